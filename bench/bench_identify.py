"""How well and how fast the host identifies texts, on real prose (bench/prose.py).

Publishes a corpus of distinct texts into a fresh SQLite registry, then, for each published
text, builds found texts of each kind below and identifies them. A case counts as found when
the result has a "match" for the text's own pointer; every "match" for any other publication
is a false match, counted over all unrelated (found text, publication) pairs. Then the
registry grows with synthetic entries, texts walked by a word-pair chain over held-out real
prose (real vocabulary and word frequencies, shingles as unique as real texts'), to time identify
on a 5 KB candidate at 1,000 and 100,000 publications, and measures the index size.

Usage: python bench/bench_identify.py [--publications N] [--large N]"""
from __future__ import annotations

import argparse
import random
import secrets
import statistics
import sys
import tempfile
import time
from pathlib import Path

import quelvane

sys.path.insert(0, str(Path(__file__).resolve().parent))
import prose  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402
from quelvane_host import excerpts  # noqa: E402
from quelvane_host.identify import shown  # noqa: E402
from quelvane_host.storage import IndexEntries, Publication  # noqa: E402

GOALS = {
    "20% excerpt in unrelated text 5x its length": ">= 99%",
    "the same, 5% of its words replaced": ">= 99%",
    "one window (80 words), 5% replaced, pasted 5x": ">= 95%",
    "50-word passage pasted 5x": ">= 99%",
}


def replace_words(words: list[str], share: float, vocabulary: list[str], rng: random.Random) -> list[str]:
    out = list(words)
    for i in rng.sample(range(len(out)), round(share * len(out))):
        out[i] = rng.choice(vocabulary)
    return out


def filler(words_needed: int, pool: list[list[str]], rng: random.Random) -> list[str]:
    out: list[str] = []
    while len(out) < words_needed:
        out.extend(rng.choice(pool))
    return out[:words_needed]


def paste(piece: list[str], around: list[str], rng: random.Random) -> str:
    at = rng.randrange(len(around) + 1)
    return " ".join(around[:at] + piece + around[at:])


def excerpt(words: list[str], length: int, rng: random.Random) -> list[str]:
    start = rng.randrange(len(words) - length + 1)
    return words[start:start + length]


def cases(words: list[str], pool: list[list[str]], vocabulary: list[str], rng: random.Random) -> dict[str, str]:
    fifth = excerpt(words, len(words) // 5, rng)
    window = excerpt(words, 80, rng)
    passage = excerpt(words, 50, rng)
    return {
        "20% excerpt in unrelated text 5x its length": paste(fifth, filler(5 * len(fifth), pool, rng), rng),
        "the same, 5% of its words replaced": paste(replace_words(fifth, 0.05, vocabulary, rng),
                                                     filler(5 * len(fifth), pool, rng), rng),
        "one window (80 words), 5% replaced, pasted 5x": paste(replace_words(window, 0.05, vocabulary, rng),
                                                                filler(400, pool, rng), rng),
        "50-word passage pasted 5x": paste(passage, filler(250, pool, rng), rng),
    }


def module_alone(found: str, envelopes: dict[str, str]) -> bool:
    """Whether the id 41 or id 44 assertion alone puts the found text above REVIEW."""
    return any(quelvane.verify_tier(found, envelopes[alg], False, False) != "REVIEW"
               for alg in ("com.lanternquill.text-fingerprint.1", "com.lanternquill.text-minhash.1"))


def chain(texts: list[str]) -> dict[str, list[str]]:
    followers: dict[str, list[str]] = {}
    for text in texts:
        words = text.split()
        for a, b in zip(words, words[1:]):
            followers.setdefault(a, []).append(b)
    return followers


def synthetic(followers: dict[str, list[str]], starts: list[str], rng: random.Random) -> str:
    words = [rng.choice(starts)]
    while len(words) < 330:
        words.append(rng.choice(followers.get(words[-1]) or starts))
    return " ".join(words)


def grow(registry: Registry, template: Publication, count: int, followers: dict[str, list[str]],
         rng: random.Random) -> None:
    starts = sorted(followers)
    for _ in range(count):
        text = synthetic(followers, starts, rng)
        entry = Publication(**{**template.__dict__, "pointer": secrets.token_hex(16), "text": text,
                               "published": text, "metadata": {}})
        registry.storage.put(entry, IndexEntries(quelvane.minhash_bands(text), excerpts.index_entries(text)))


def module_floor(text: str) -> None:
    """What any host does with a found text at the least: read the watermark, hash the content,
    compute the band keys and compare one fingerprint."""
    try:
        quelvane.extract_watermark(text, "00" * 32)
    except ValueError:
        pass
    quelvane.content_hash(text)
    quelvane.minhash_bands(text)
    quelvane.text_fingerprint(text)


def latency(registry: Registry, candidates: list[str]) -> tuple[float, float]:
    """Median milliseconds of identify and of the floor, timed in turn on each candidate."""
    times: list[float] = []
    floors: list[float] = []
    for text in candidates:
        start = time.perf_counter()
        registry.identify(text)
        middle = time.perf_counter()
        module_floor(text)
        times.append(middle - start)
        floors.append(time.perf_counter() - middle)
    return statistics.median(times) * 1000, statistics.median(floors) * 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--publications", type=int, default=650)
    parser.add_argument("--large", type=int, default=100_000)
    args = parser.parse_args()
    rng = random.Random(12)
    corpus = prose.texts(min_words=300, max_words=1000)
    published_texts, held_out = corpus[:args.publications], corpus[args.publications:]
    fillers, chain_source = held_out[::2], held_out[1::2]
    pool = [t.split() for t in fillers]
    vocabulary = sorted({w for words in pool for w in words})
    followers = chain(chain_source)
    print(f"corpus: {len(corpus)} texts of real prose; {len(published_texts)} published, {len(fillers)} held "
          f"out as unrelated filler, {len(chain_source)} as the source of synthetic entries")

    with tempfile.TemporaryDirectory() as scratch:
        registry = Registry.create(Path(scratch) / "bench.db", Keys.generate("bench"))
        pointers = []
        start = time.perf_counter()
        for text in published_texts:
            pointers.append(registry.publish(text).pointer)
        publish_ms = (time.perf_counter() - start) / len(published_texts) * 1000
        text_bytes = sum(len(t.encode()) for t in published_texts)
        index_ratio = registry.storage.index_bytes() / text_bytes

        found = {name: 0 for name in GOALS}
        baseline = {name: 0 for name in GOALS}
        false_matches = weak = quiet_weak = pairs = 0
        five_kb: list[str] = []
        print(f"published {len(pointers)}; identifying the cases", file=sys.stderr, flush=True)
        for pointer, text in zip(pointers, published_texts):
            stored = registry.show(pointer)
            envelopes = {e.alg: quelvane.verify(e.cose_hex, stored.public_key) for e in stored.envelopes}
            for name, found_text in cases(text.split(), pool, vocabulary, rng).items():
                matches = registry.identify(found_text, weak=True)
                found[name] += any(m.pointer == pointer and m.verdict == "match" for m in matches)
                false_matches += sum(m.pointer != pointer and m.verdict == "match" for m in matches)
                weak += sum(m.pointer != pointer and m.verdict == "weak" for m in matches)
                quiet_weak += sum(m.pointer != pointer and m.verdict == "weak" and shown(m, False) for m in matches)
                pairs += len(pointers) - 1
                baseline[name] += module_alone(found_text, envelopes)
            if len(five_kb) < 40:
                five_kb.append(paste(excerpt(text.split(), 80, rng), filler(800, pool, rng), rng)[:5000])
        for text in fillers:
            matches = registry.identify(text, weak=True)
            false_matches += sum(m.verdict == "match" for m in matches)
            weak += sum(m.verdict == "weak" for m in matches)
            quiet_weak += sum(m.verdict == "weak" and shown(m, False) for m in matches)
            pairs += len(pointers)

        template = registry.show(pointers[0])
        grow(registry, template, max(0, 1000 - len(pointers)), followers, rng)
        latency(registry, five_kb[:5])  # warm the page cache and the verified-envelope memo alike
        latency_small, floor_small = latency(registry, five_kb)
        print(f"timed at 1,000 publications; growing to {args.large:,}", file=sys.stderr, flush=True)
        grow(registry, template, args.large - registry.storage.count(), followers, rng)
        latency(registry, five_kb[:5])
        latency_large, floor_large = latency(registry, five_kb)
        large = registry.storage.count()
        registry.close()

    n = len(published_texts)
    print("\n| case | goal | found by the host | id 41 or id 44 alone |\n|---|---|---|---|")
    for name, goal in GOALS.items():
        print(f"| {name} | {goal} | {100 * found[name] / n:.1f}% ({found[name]}/{n}) | "
              f"{100 * baseline[name] / n:.1f}% |")
    print(f"| unrelated pairs reported as a match | 0 | {false_matches} of {pairs:,} "
          f"({weak} reported as weak when asked for, {quiet_weak} in the default output) | |")
    print(f"| identify, 5 KB candidate, 1,000 publications | <= 20 ms median | {latency_small:.1f} ms "
          f"({latency_small / floor_small:.1f}x the floor) | |")
    print(f"| identify, 5 KB candidate, {large:,} publications | <= 50 ms median | {latency_large:.1f} ms "
          f"({latency_large / floor_large:.1f}x the floor) | |")
    print(f"| look-up index per byte of published text | <= 3 bytes | {index_ratio:.2f} bytes | |")
    print(f"\nfloor: the module's watermark read, content hash, band keys and fingerprint of the same "
          f"candidate, {floor_small:.1f} ms and {floor_large:.1f} ms in the same rounds")
    print(f"publish: {publish_ms:.1f} ms mean per text of about {text_bytes // n} bytes")


if __name__ == "__main__":
    main()
