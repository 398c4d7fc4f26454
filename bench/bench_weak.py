"""How often each kind of weak evidence links unrelated texts, on real prose (bench/prose.py).

Publishes a corpus of distinct texts into a fresh SQLite registry and identifies, with weak rows
asked for, found texts that come from none of them (held-out whole texts) and copies of one
(a 20% excerpt of a published text pasted into held-out text 5x its length). Every row for a
publication the found text does not come from is a pair of unrelated texts; weak rows are counted
by what they rest on (`weak_kind`), per unrelated candidate-publication pair. A kind is shown
without being asked for only at 1e-5 per pair or below (identify.SHOWN_WEAK_KINDS).

Two corpora: the Python documentation's paragraphs (bench/prose.py), distinct texts of many
subjects, and Debian's manual pages of section 1 rendered to text, one genre sharing its headings,
option lists and closing paragraphs.

Usage: python bench/bench_weak.py [--corpus python-doc|man] [--publications N]"""
from __future__ import annotations

import argparse
import collections
import gzip
import random
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import prose  # noqa: E402
from bench_identify import excerpt, filler, paste  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402
from quelvane_host.identify import SHOWN_WEAK_KINDS, weak_kind  # noqa: E402

GOAL = 1e-5
MANUAL_PAGES = Path("/usr/share/man/man1")


def manual_pages(count: int, every: int = 9) -> list[str]:
    """Up to `count` manual pages of 250 to 2,000 words, as a reader sees them in a terminal."""
    found = []
    for path in sorted(MANUAL_PAGES.glob("*.1.gz"))[::every]:
        rendered = subprocess.run(["groff", "-man", "-Tutf8", "-P-cbou"], input=gzip.decompress(path.read_bytes()),
                                  capture_output=True, timeout=30).stdout.decode("utf-8", "replace")
        if 250 <= len(rendered.split()) <= 2000:
            found.append(rendered)
        if len(found) == count:
            break
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", choices=("python-doc", "man"), default="python-doc")
    parser.add_argument("--publications", type=int, default=300)
    args = parser.parse_args()
    rng = random.Random(22)
    corpus = (prose.texts(min_words=250, max_words=2000) if args.corpus == "python-doc"
              else manual_pages(3 * args.publications))
    published_texts, held_out = corpus[:args.publications], corpus[args.publications:]
    pool = [t.split() for t in held_out]
    kinds: collections.Counter[str] = collections.Counter()
    pairs = 0
    with tempfile.TemporaryDirectory() as scratch:
        registry = Registry.create(Path(scratch) / "bench.db", Keys.generate("bench"))
        pointers = [registry.publish(text).pointer for text in published_texts]
        print(f"published {len(pointers)}; identifying", file=sys.stderr, flush=True)
        found: list[tuple[str | None, str]] = [(None, text) for text in held_out]
        for pointer, text in zip(pointers, published_texts):
            words = text.split()
            piece = excerpt(words, len(words) // 5, rng)
            found.append((pointer, paste(piece, filler(5 * len(piece), pool, rng), rng)))
        for own, text in found:
            matches = registry.identify(text, weak=True)
            kinds.update(weak_kind(m.evidence) for m in matches if m.verdict == "weak" and m.pointer != own)
            pairs += len(pointers) - (own is not None)
        registry.close()
    print(f"\n{args.corpus}: {len(published_texts)} publications of real prose, {len(held_out)} held-out whole "
          f"texts and {len(published_texts)} pasted 20% excerpts identified: {pairs:,} unrelated "
          "candidate-publication pairs\n")
    print("| weak evidence | unrelated pairs | per pair | shown by default |\n|---|---|---|---|")
    for kind in ("id 41", "id 43", "id 41 and id 43", "id 41 with band keys", "id 43 with band keys",
                 "id 41 and id 43 with band keys"):
        rate = kinds[kind] / pairs
        print(f"| {kind} | {kinds[kind]} | {rate:.1e} | {'yes' if kind in SHOWN_WEAK_KINDS else 'no'}"
              f"{' (rare in this corpus)' if rate <= GOAL else ''} |")
    print(f"| all weak rows | {sum(kinds.values())} | {sum(kinds.values()) / pairs:.1e} | |")
    quiet = sum(count for kind, count in kinds.items() if kind in SHOWN_WEAK_KINDS)
    print(f"| weak rows in the default output | {quiet} | {quiet / pairs:.1e} | goal <= {GOAL:.0e} |")


if __name__ == "__main__":
    main()
