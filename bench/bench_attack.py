"""What one identify costs at worst: found texts built to meet as many publications as possible.

A registry of N publications (default 10,000): every text of real prose that bench/prose.py
gives (paragraphs of the Python documentation, in texts of 60 to 200 words), published as a
user would, then texts walked by a word-pair chain over that prose (real vocabulary and word
frequencies) stored directly, up to N. The found texts:

- "24 words of each": 24 consecutive words of every publication, one after another (some
  1.5 MB at 10,000 publications; cut to the 10 MB body limit at 100,000): every piece is a real
  excerpt, so every publication is a candidate and most are confirmed;
- "1 MB of published prose": paragraphs of the published real prose, shuffled, to 1 MB;
- "1 MB walked by the chain": 1 MB walked by the same chain, published as such nowhere, though
  the chain re-creates many real passages (so it matches many publications);
- "10 MB, the body limit": the published prose repeated to 10 MB;
- "5 KB, an excerpt in other prose": the ordinary request, as a floor.

Each is identified once (after one warm-up identify of a small text); the script prints the
seconds, the rows reported and whether the result says it was cut. Run it against other host
sources (PYTHONPATH) on the same registry file to compare them.

Usage: python bench/bench_attack.py [--publications N] [--registry PATH] [--skip NAME ...]"""
from __future__ import annotations

import argparse
import random
import secrets
import sys
import time
from pathlib import Path

import quelvane

sys.path.insert(0, str(Path(__file__).resolve().parent))
import prose  # noqa: E402
from bench_identify import chain  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402
from quelvane_host import excerpts  # noqa: E402
from quelvane_host.storage import IndexEntries, Publication  # noqa: E402

SEED = 19
BODY_LIMIT = 10_000_000


def walk(followers: dict[str, list[str]], starts: list[str], words: int, rng: random.Random) -> str:
    out = [rng.choice(starts)]
    while len(out) < words:
        out.append(rng.choice(followers.get(out[-1]) or starts))
    return " ".join(out)


def build(path: Path, count: int, real: list[str], followers: dict[str, list[str]], rng: random.Random) -> None:
    keys = Keys.generate("attack-bench")
    keys.save(path.with_suffix(".key"))
    with Registry.create(path, keys) as registry:
        for text in real[:count]:
            registry.publish(text)
        template = registry.show(registry.list(limit=1)[0].pointer)
        starts = sorted(followers)
        for _ in range(count - registry.storage.count()):
            text = walk(followers, starts, rng.randrange(60, 200), rng)
            entry = Publication(**{**template.__dict__, "pointer": secrets.token_hex(16), "text": text,
                                   "published": text, "metadata": {}})
            registry.storage.put(entry, IndexEntries(quelvane.minhash_bands(text), excerpts.index_entries(text)))


def cut(text: str, size: int) -> str:
    return text.encode()[:size].decode(errors="ignore")


def found_texts(registry: Registry, real: list[str], followers: dict[str, list[str]],
                rng: random.Random) -> dict[str, str]:
    pieces = []
    for publication in registry.storage.publications():
        words = publication.text.split()
        start = rng.randrange(max(1, len(words) - 24))
        pieces.append(" ".join(words[start:start + 24]))
    paragraphs = [p for text in real for p in text.split("\n\n")]
    rng.shuffle(paragraphs)
    published = "\n\n".join(paragraphs)
    while len(published) < BODY_LIMIT:
        published += "\n\n" + published
    passage = " ".join(real[0].split()[:80])
    filler = walk(followers, sorted(followers), 700, rng)
    return {
        "24 words of each": cut(" ".join(pieces), BODY_LIMIT),
        "1 MB of published prose": cut(published, 1_000_000),
        "1 MB walked by the chain": cut(walk(followers, sorted(followers), 180_000, rng), 1_000_000),
        "10 MB, the body limit": cut(published, BODY_LIMIT),
        "5 KB, an excerpt in other prose": cut(filler[:2000] + " " + passage + " " + filler[2000:], 5_000),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--publications", type=int, default=10_000)
    parser.add_argument("--registry", type=Path, help="Registry file to use, built first if missing.")
    parser.add_argument("--skip", nargs="*", default=[], help="Found texts not to identify (by name).")
    args = parser.parse_args()
    rng = random.Random(SEED)
    real = prose.texts(min_words=60, max_words=200)
    followers = chain(real)
    path = args.registry or Path(f"build/bench-attack-{args.publications}.db")
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists():
        start = time.perf_counter()
        build(path, args.publications, real, followers, rng)
        print(f"built {path} in {time.perf_counter() - start:.0f} s", file=sys.stderr)
    with Registry.open(path, path.with_suffix(".key")) as registry:
        count = registry.storage.count()
        texts = found_texts(registry, real, followers, random.Random(SEED))
        registry.identify(texts["5 KB, an excerpt in other prose"])
        print(f"{count:,} publications, {min(count, len(real)):,} of them real prose "
              f"({len(real):,} texts of real prose available)\n")
        print("| found text | size | seconds | rows | matches | cut |\n|---|---|---|---|---|---|")
        for name, text in texts.items():
            if name in args.skip:
                continue
            start = time.perf_counter()
            result = registry.identify(text)
            seconds = time.perf_counter() - start
            matches = sum(m.verdict == "match" for m in result)
            cut_note = getattr(result, "complete", None)
            print(f"| {name} | {len(text.encode()) / 1e6:.2f} MB | {seconds:.2f} | {len(result)} | {matches} | "
                  f"{'-' if cut_note is None else ('no' if cut_note else 'yes')} |", flush=True)


if __name__ == "__main__":
    main()
