"""Short passages pasted into unrelated text, and the matches unrelated texts make, on real prose.

Documents of 250 to 2,000 words (bench/corpus.py; English: sections of the Python documentation,
other languages: consecutive paragraphs of the language's prose grouped) are first made unrelated:
a paragraph repeating any eight-word run of an earlier document is dropped. The first
`--publications` are published into a fresh SQLite registry, the rest held out. For a passage of
20, 30 and 50 words from a random place of every published text, pasted at a random word of
held-out text five times its length, identify reports its publication as a match, only as a weak
row, or not at all. Words are runs of letters and digits as the excerpt index splits them, so a
Chinese or Japanese "word" is whatever that splitting makes one.

Unrelated pairs: every row of every identify call (weak rows asked for) for a publication the
found text was not made from, over the pasted passages and the held-out documents themselves;
each call stands for its text paired with every publication but its own. A "match" row there is
a real shared passage when the two texts share a run of SHARED_RUN_WORDS words, which the
unrelated corpus does not have but the template genre does; else a template match when every
passage it shows is what it claims, the same words in both texts (SAME_WORDS of them in order:
template sentences both pages hold); else a false match.

The template genre: Debian's manual pages of section 1 as a terminal shows them (bench/bench_weak.py),
pages written from one skeleton sharing headings, option phrases and closing paragraphs, not made
unrelated: published and held out the same way, with their own passages and held-out pages.

The reference: datasketch's MinHashLSH (128 permutations) over the published texts' 50-word chunks
(every 25 words) of five-word shingles, queried with the found text's chunks the same way, at
Jaccard thresholds 0.5 and 0.3: a passage is found when a chunk of its own publication comes back,
and every other publication coming back is a false row.

Usage: python bench/bench_passages.py [--language english|german|russian|chinese|japanese]
       [--publications N] [--man N] [--no-reference]"""
from __future__ import annotations

import argparse
import collections
import difflib
import itertools
import random
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus  # noqa: E402
from bench_weak import manual_pages  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402
from quelvane_host import excerpts, indexing  # noqa: E402
from quelvane_host.identify import SharedPassage, shown  # noqa: E402

LANGUAGES = ("english", "german", "russian", "chinese", "japanese")
LENGTHS = (20, 30, 50)
GOALS = {20: 0.80, 30: 0.95, 50: 0.999}
PASTE_FACTOR = 5
RUN_WORDS = 8
SHARED_RUN_WORDS = 20
SAME_WORDS = 0.8
DOCUMENT_WORDS = (250, 2000)
CHUNK_WORDS, CHUNK_STEP = 50, 25
THRESHOLDS = (0.5, 0.3)
SEED = 20261211


# --- corpus ---------------------------------------------------------------------------------

def word_spans(text: str) -> list[tuple[int, int]]:
    words = excerpts.split_words(text)
    return list(zip(words.starts, words.ends))


def folded_words(text: str) -> list[int]:
    return excerpts.word_hashes(text)


def raw_documents(language: str) -> list[str]:
    if language == "english":
        return corpus.documents()
    # Other languages come as one stream of paragraphs: consecutive ones make a document.
    low, _ = DOCUMENT_WORDS
    out, pending, words = [], [], 0
    for paragraph in corpus.text(language, 1).split("\n\n"):
        pending.append(paragraph)
        words += len(folded_words(paragraph))
        if words >= low:
            out.append("\n\n".join(pending))
            pending, words = [], 0
    return out


def unrelated(documents: list[str]) -> list[str]:
    """The documents without any paragraph repeating a RUN_WORDS-word run of an earlier one, those
    left of DOCUMENT_WORDS words."""
    seen: set[tuple[int, ...]] = set()
    kept = []
    low, high = DOCUMENT_WORDS
    for document in documents:
        paragraphs = []
        for paragraph in document.split("\n\n"):
            words = folded_words(paragraph)
            runs = {tuple(words[i:i + RUN_WORDS]) for i in range(max(1, len(words) - RUN_WORDS + 1))}
            if runs & seen:
                continue
            seen |= runs
            paragraphs.append(paragraph)
        text = "\n\n".join(paragraphs)
        if low <= len(folded_words(text)) <= high:
            kept.append(text)
    return kept


def passage(text: str, length: int, rng: random.Random) -> str:
    spans = word_spans(text)
    first = rng.randrange(len(spans) - length + 1)
    return text[spans[first][0]:spans[first + length - 1][1]]


def pasted(piece: str, length: int, pool: list[str], joiner: str, rng: random.Random) -> str:
    """`piece` at a random word of held-out text PASTE_FACTOR times `length` words long."""
    needed = PASTE_FACTOR * length
    around = ""
    while True:
        source = rng.choice(pool)
        spans = word_spans(source)
        around += joiner + source if around else source
        if len(word_spans(around)) >= needed:
            break
    spans = word_spans(around)[:needed]
    around = around[:spans[-1][1]]
    at = spans[rng.randrange(len(spans))][0]
    return around[:at] + piece + joiner + around[at:]


def shares_run(a: str, b: str) -> bool:
    """Whether two texts share SHARED_RUN_WORDS words in a row."""
    wa, wb = folded_words(a), folded_words(b)
    runs = {tuple(wa[i:i + SHARED_RUN_WORDS]) for i in range(len(wa) - SHARED_RUN_WORDS + 1)}
    return any(tuple(wb[i:i + SHARED_RUN_WORDS]) in runs for i in range(len(wb) - SHARED_RUN_WORDS + 1))


def passage_shared(text: str, passage: SharedPassage) -> bool:
    """Whether a passage shown is what it claims, the same words in the found text as in the
    publication: at least SAME_WORDS of them in order."""
    found = folded_words(text[passage.found.start:passage.found.end])
    published = folded_words(passage.publication_text)
    return difflib.SequenceMatcher(None, found, published, autojunk=False).ratio() >= SAME_WORDS


# --- measuring ------------------------------------------------------------------------------

@dataclass
class Tally:
    found: dict[int, collections.Counter[str]] = field(default_factory=lambda: collections.defaultdict(collections.Counter))
    pairs: int = 0
    false_matches: int = 0
    template_matches: int = 0
    shared_passages: int = 0
    weak_rows: int = 0
    weak_shown: int = 0
    examples: list[str] = field(default_factory=list)
    seconds: float = 0.0
    floor_seconds: float = 0.0
    """Computing the found texts' excerpt keys alone, timed beside each identify."""
    calls: int = 0


def identify_all(registry: Registry, publications: list[str], pointers: list[str],
                 found: list[tuple[int | None, int, str]], tally: Tally) -> None:
    """Identify every (own publication or None, length, text); tally its own row and the others."""
    index = {pointer: i for i, pointer in enumerate(pointers)}
    for own, length, text in found:
        start = time.perf_counter()
        indexing.excerpt_keys(excerpts.word_hashes(text))
        middle = time.perf_counter()
        matches = registry.identify(text, weak=True)
        tally.seconds += time.perf_counter() - middle
        tally.floor_seconds += middle - start
        tally.calls += 1
        own_pointer = None if own is None else pointers[own]
        if own is not None:
            row = next((m for m in matches if m.pointer == own_pointer), None)
            tally.found[length][
                "match" if row is not None and row.verdict == "match" else "weak" if row is not None else "absent"] += 1
        tally.pairs += len(pointers) - (own is not None)
        for match in matches:
            if match.pointer == own_pointer:
                continue
            if match.verdict == "match":
                if shares_run(text, publications[index[match.pointer]]):
                    tally.shared_passages += 1
                elif all(passage_shared(text, p) for p in match.evidence.passages) and match.evidence.passages:
                    tally.template_matches += 1
                else:
                    tally.false_matches += 1
                    p = max(match.evidence.passages, key=lambda p: p.shared_shingles, default=None)
                    if p is not None and len(tally.examples) < 5:
                        tally.examples.append(f"{p.shared_shingles} shingles: found "
                                              f"{' '.join(text[p.found.start:p.found.end].split())[:200]!r} / "
                                              f"published {' '.join(p.publication_text.split())[:200]!r}")
            elif match.verdict == "weak":
                tally.weak_rows += 1
                tally.weak_shown += shown(match, weak=False)


def run_corpus(name: str, documents: list[str], publications: int, rounds: int, joiner: str,
               rng: random.Random, reference: bool) -> tuple[Tally, dict[float, tuple[dict[int, int], int]]]:
    published, held_out = documents[:publications], documents[publications:]
    found: list[tuple[int | None, int, str]] = []
    for i, text in itertools.chain.from_iterable(itertools.repeat(list(enumerate(published)), rounds)):
        for length in LENGTHS:
            found.append((i, length, pasted(passage(text, length, rng), length, held_out, joiner, rng)))
    found += [(None, 0, text) for text in held_out]
    tally = Tally()
    with tempfile.TemporaryDirectory() as scratch:
        registry = Registry.create(Path(scratch) / "bench.db", Keys.generate("bench"))
        start = time.perf_counter()
        pointers = [registry.publish(text).pointer for text in published]
        print(f"{name}: published {len(pointers)} in {time.perf_counter() - start:.0f} s; identifying "
              f"{len(found)} texts", file=sys.stderr, flush=True)
        identify_all(registry, published, pointers, found, tally)
        registry.close()
    return tally, (lsh_reference(published, found) if reference else {})


# --- the reference --------------------------------------------------------------------------

def chunks(text: str) -> list[set[bytes]]:
    words = folded_words(text)
    out = []
    for start in range(0, max(1, len(words) - CHUNK_WORDS + CHUNK_STEP), CHUNK_STEP):
        piece = words[start:start + CHUNK_WORDS]
        out.append({repr(piece[i:i + excerpts.SHINGLE_WORDS]).encode()
                    for i in range(max(1, len(piece) - excerpts.SHINGLE_WORDS + 1))})
    return out


def lsh_reference(published: list[str], found: list[tuple[int | None, int, str]]
                  ) -> dict[float, tuple[dict[int, int], int]]:
    """Per threshold: passages found per length, and false rows over every found text."""
    from datasketch import MinHash, MinHashLSH

    def minhash(shingles: set[bytes]) -> MinHash:
        m = MinHash(num_perm=128, seed=1)
        m.update_batch(list(shingles))
        return m

    indexed = [[minhash(c) for c in chunks(text)] for text in published]
    out = {}
    for threshold in THRESHOLDS:
        lsh = MinHashLSH(threshold=threshold, num_perm=128)
        for i, hashes in enumerate(indexed):
            for j, m in enumerate(hashes):
                lsh.insert(f"{i}:{j}", m)
        hits: dict[int, int] = collections.Counter()
        false_rows = 0
        for own, length, text in found:
            returned = {int(key.partition(":")[0]) for c in chunks(text) for key in lsh.query(minhash(c))}
            hits[length] += own in returned
            false_rows += len(returned - {own})
        out[threshold] = (dict(hits), false_rows)
    return out


# --- report ---------------------------------------------------------------------------------

def share(counter: collections.Counter[str], key: str) -> str:
    total = sum(counter.values())
    return f"{100 * counter[key] / total:.1f}%" if total else "-"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--language", choices=LANGUAGES, default="english")
    parser.add_argument("--publications", type=int, default=540)
    parser.add_argument("--man", type=int, default=540, help="manual pages published (0: none)")
    parser.add_argument("--rounds", type=int, default=2, help="passages of each length per publication")
    parser.add_argument("--no-reference", action="store_true", help="skip datasketch's MinHashLSH")
    args = parser.parse_args()
    rng = random.Random(SEED)
    documents = unrelated(raw_documents(args.language))
    joiner = "" if args.language in ("chinese", "japanese") else " "
    # A language with little prose keeps a third of it held out, as filler and as unrelated texts.
    publications = min(args.publications, len(documents) - len(documents) // 3)
    tally, lsh = run_corpus(args.language, documents, publications, args.rounds, joiner, rng, not args.no_reference)
    man = None
    if args.man:
        pages = manual_pages(2 * args.man)
        man, _ = run_corpus("manual pages", pages, min(args.man, len(pages) // 2), args.rounds, " ", rng, False)

    print(f"\n{args.language}: {publications} publications of real prose, "
          f"{len(documents) - publications} held out; each passage pasted at a random word of held-out "
          f"text {PASTE_FACTOR}x its length\n")
    print("| passage | match | only weak | absent | goal |" + "".join(
        f" MinHashLSH {t} |" for t in lsh) + "\n|---|---|---|---|---|" + "---|" * len(lsh))
    for length in LENGTHS:
        counter = tally.found[length]
        total = sum(counter.values())
        print(f"| {length} words ({total}) | {share(counter, 'match')} | {share(counter, 'weak')} | "
              f"{share(counter, 'absent')} | >= {100 * GOALS[length]:g}% |"
              + "".join(f" {100 * hits.get(length, 0) / total:.1f}% |" for hits, _ in lsh.values()))
    print("\n| unrelated pairs | calls | pairs | false matches | template matches | real shared passages | weak rows (per pair) "
          "| weak rows shown by default | identify mean (x its keys alone) |" + "".join(f" MinHashLSH {t} false rows |" for t in lsh))
    print("|---|---|---|---|---|---|---|---|---|" + "---|" * len(lsh))
    for name, t in ((args.language, tally), ("manual pages (section 1)", man)):
        if t is None:
            continue
        print(f"| {name} | {t.calls} | {t.pairs:,} | {t.false_matches} | {t.template_matches} | {t.shared_passages} | {t.weak_rows} "
              f"({t.weak_rows / t.pairs:.1e}) | {t.weak_shown} ({t.weak_shown / t.pairs:.1e}) | "
              f"{1e3 * t.seconds / t.calls:.1f} ms ({t.seconds / t.floor_seconds:.0f}x) |"
              + ("".join(f" {false} |" for _, false in lsh.values()) if t is tally else " - |" * len(lsh)))
    for t in (tally, man):
        if t is not None and t.examples:
            print("\nfalse matches:\n" + "\n".join(f"- {e}" for e in t.examples))


if __name__ == "__main__":
    main()
