"""How many of the 128 whole-text MinHash values a found text shares with a publication, on real
prose (bench/prose.py): whole copies (reflowed, edited, cut) against pairs of unrelated texts
of the same documentation, and the one-band forgery (the few five-word phrases that hold one
band's minima, set in invented words). The threshold in quelvane_host.identify
(MINHASH_AGREEMENT) must lie above every unrelated pair and the forgeries and below the copies.

Usage: python bench/bench_agreement.py [--texts N]"""
from __future__ import annotations

import argparse
import itertools
import random
import re
import statistics
import sys
from pathlib import Path

import quelvane

sys.path.insert(0, str(Path(__file__).resolve().parent))
import prose  # noqa: E402

from quelvane_host.identify import MINHASH_AGREEMENT, agreement_of  # noqa: E402

SEED = 44


def replace(words: list[str], share: float, vocabulary: list[str], rng: random.Random) -> list[str]:
    out = list(words)
    for i in rng.sample(range(len(out)), round(share * len(out))):
        out[i] = rng.choice(vocabulary)
    return out


def reflow(text: str, rng: random.Random) -> str:
    return re.sub(r"\s+", lambda _: rng.choice([" ", "\n", "  ", "\n\n"]), text)


def drop_sentences(text: str, share: float, rng: random.Random) -> str:
    sentences = re.split(r"(?<=[.!?])\s+", text)
    kept = [s for s in sentences if rng.random() >= share]
    return " ".join(kept or sentences[:1])


def forged(text: str, band: int, rng: random.Random, vocabulary: list[str]) -> str | None:
    """An invented text of some 190 words carrying only the shingles that hold one band's minima,
    drawn again until it shares the band; None if no draw does."""
    words = re.findall(r"[^\W_]+", text.lower())
    shingles = [" ".join(words[i:i + 5]) for i in range(max(1, len(words) - 4))]
    # Hashing each shingle alone gives its value at every position; the band's minima are held
    # by at most four of them.
    signatures = [quelvane.minhash_signature(s) for s in shingles]
    chosen = {min(range(len(shingles)), key=lambda k: signatures[k][p]) for p in range(4 * band, 4 * band + 4)}
    wanted = quelvane.minhash_bands(text)[band]
    for _ in range(200):
        filler = [rng.choice(vocabulary) for _ in range(190 - 5 * len(chosen))]
        for k in chosen:
            at = rng.randrange(len(filler) + 1)
            filler[at:at] = shingles[k].split()
        candidate = " ".join(filler)
        if wanted in quelvane.minhash_bands(candidate):
            return candidate
    return None


def describe(values: list[int]) -> str:
    ordered = sorted(values)
    return (f"min {ordered[0]:3}  1% {ordered[len(ordered) // 100]:3}  median {statistics.median(ordered):5.1f}  "
            f"99% {ordered[len(ordered) * 99 // 100]:3}  max {ordered[-1]:3}  (n={len(ordered)})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", type=int, default=600)
    args = parser.parse_args()
    rng = random.Random(SEED)
    corpus = [t for t in prose.texts() if len(t.split()) >= 150][:args.texts]
    vocabulary = sorted({w for t in corpus for w in t.split()})
    signatures = [quelvane.minhash_signature(t) for t in corpus]
    copies: dict[str, list[int]] = {name: [] for name in (
        "reflowed", "5% of words replaced", "10% replaced", "20% replaced", "a fifth of the sentences dropped",
        "the first half", "one-band forgery (not a copy)")}
    for text, signature in zip(corpus, signatures):
        words = text.split()
        forgery = forged(text, rng.randrange(32), rng, vocabulary)
        variants = {
            "reflowed": reflow(text, rng),
            "5% of words replaced": " ".join(replace(words, 0.05, vocabulary, rng)),
            "10% replaced": " ".join(replace(words, 0.10, vocabulary, rng)),
            "20% replaced": " ".join(replace(words, 0.20, vocabulary, rng)),
            "a fifth of the sentences dropped": drop_sentences(text, 0.2, rng),
            "the first half": " ".join(words[:len(words) // 2]),
        }
        if forgery is not None:
            variants["one-band forgery (not a copy)"] = forgery
        for name, variant in variants.items():
            copies[name].append(agreement_of(quelvane.minhash_signature(variant), signature))
    pairs = list(itertools.combinations(range(len(corpus)), 2))
    unrelated = [agreement_of(signatures[i], signatures[j]) for i, j in rng.sample(pairs, min(len(pairs), 100_000))]
    print(f"{len(corpus)} texts of real prose, {min(len(t.split()) for t in corpus)} to "
          f"{max(len(t.split()) for t in corpus)} words; equal values of 128 (threshold {MINHASH_AGREEMENT})\n")
    for name, values in copies.items():
        print(f"{name:34} {describe(values)}")
    print(f"{'unrelated pairs':34} {describe(unrelated)}")


if __name__ == "__main__":
    main()
