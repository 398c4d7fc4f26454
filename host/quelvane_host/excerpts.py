"""The excerpt index: finds a passage of a publication inside a longer, unrelated text.

Each text is cut into words and overlapping five-word shingles, each shingle hashed to a
64-bit key. Of every run of `WINDOW` consecutive shingle keys the smallest is kept
(winnowing), so any passage of at least WINDOW + SHINGLE_WORDS - 1 words shared by two texts
yields at least one key they both keep, wherever it stands in either text, while only about
one key in every four or five words is stored.

A shared key only proposes a publication; a passage is confirmed by what the two texts share in
order around the hits, not by sentences. Shingles that follow one another word by word in both
texts make an aligned run, and each run counts for its shingles beyond the first
`STOCK_RUN_SHINGLES`: pages written from one template share phrases in the same order, on both
sides of every sentence end ("... layer. Return true if ..."), and such runs are short. A run
counts only when it holds a key few publications hold (`TEMPLATE_HOLDERS`): a template's longer
sentences recur in many pages of the registry. The runs, in the same order in both texts, must
give `MIN_EVIDENCE_SHINGLES`, which any passage of 20 words shared whole does, sentence ends and
all. Replaced words break the shingles they fall in, not the passage: the runs between them still
count."""
from __future__ import annotations

import bisect
import functools
import itertools
import re
import unicodedata
import zlib
from dataclasses import dataclass
from typing import Iterable, Mapping, Sequence

from . import wordbreak
from .shingles import SHINGLE_WORDS, WINDOW, shingle_keys, winnow

try:
    from . import excerpt_keys
except ImportError:  # numpy is optional: plain Python gives the same keys, several times slower
    excerpt_keys = None  # type: ignore[assignment]

STOCK_RUN_SHINGLES = 5
"""Shingles of every aligned run that prove nothing: nine words in a row is the length of a stock
phrase ("display this help and exit", "see the manual page for more details"), which pages written
from one template share on both sides of every sentence end, in the same order. On manual pages
(bench/bench_passages.py), three in place of five made three times as many matches between
unrelated pages."""
MIN_EVIDENCE_SHINGLES = 11
"""Shingles a confirmed passage must hold beyond the stock-phrase part of each of its runs: a
passage of 20 words shared whole (16 shingles), or longer ones broken by edits."""
PER_KEY_LIMIT = 64
"""A key stored for more publications than this is a stock phrase, not evidence; it is skipped."""
TEMPLATE_HOLDERS = 4
"""A key held by more publications than this proposes them but confirms none: it is a phrase of the
template they were written from. A passage of one publication, or of a few revisions of it, holds
keys no more than that hold. On manual pages, eight in place of four made twice as many matches
between unrelated pages."""
CHAIN_GAP_WORDS = 60
CHAIN_DRIFT_WORDS = 30
"""Hits of one passage stand at nearly the same offset between the two texts; inserted or
deleted sentences shift that offset by a few dozen words at most."""

WORD_CACHE_SIZE = 1 << 15
"""Word hashes remembered per process: the documents of a corpus share most of their words, and
folding and hashing a word costs more than looking it up (some 6 MB)."""

_SPACELESS = ("\u0e01-\u0e3a\u0e40-\u0e4e\u0e50-\u0e59"  # Thai, without its currency sign and punctuation
              "\u0e81-\u0edf"  # Lao
              "\u1000-\u1049\u1050-\u109f"  # Myanmar, without its punctuation
              "\u1780-\u17d3\u17dc\u17dd\u17e0-\u17e9"  # Khmer, the same
              "\u3005-\u3007\u303b\u3041-\u309f\u30a1-\u30fa\u30fc-\u30ff\u31f0-\u31ff\uff66-\uff9f"  # kana
              "\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff\U00020000-\U0003134f")  # Han
# Words are runs of letters and digits. Scripts written without spaces between words (the
# characters above; not Korean, which has spaces) form runs of their own that ICU's dictionary
# cuts into words: one Han or kana character is less than a word, and a Thai run is a whole
# clause. Zero-width characters are not letters, so a watermark run after a word leaves the word
# as it is.
_WORD = re.compile(f"[{_SPACELESS}]+|[^\\W_{_SPACELESS}]+")
_WORD_PIECES = re.compile(f"({_WORD.pattern})")
_HAS_SPACELESS = re.compile(f"[{_SPACELESS}]")


class Words:
    """The words of a text, each with its 64-bit hash and character span, each found when first
    asked for: most candidates are dropped before spans are needed."""

    def __init__(self, text: str, hashes: Sequence[int] | None = None) -> None:
        self._text = text
        if hashes is not None:
            self.hashes = tuple(hashes)

    def __len__(self) -> int:
        return len(self.hashes)

    @functools.cached_property
    def hashes(self) -> tuple[int, ...]:
        return tuple(word_hashes(self._text))

    @functools.cached_property
    def shingles(self) -> list[int]:
        """The key of the shingle starting at each word (of all but the last SHINGLE_WORDS - 1)."""
        if excerpt_keys is None:
            return shingle_keys(self.hashes)
        return excerpt_keys.all_shingle_keys(self.hashes)

    @functools.cached_property
    def _spans(self) -> tuple[tuple[int, ...], tuple[int, ...]]:
        if _HAS_SPACELESS.search(self._text):
            starts, ends = _spaceless_spans(self._text)
            return tuple(starts), tuple(ends)
        # A found text may be megabytes long: splitting it into gaps and words and summing their
        # lengths runs in C, where a match object per word does not.
        pieces = _WORD_PIECES.split(self._text)
        bounds = list(itertools.accumulate(map(len, pieces), initial=0))
        return tuple(bounds[1:-1:2]), tuple(bounds[2:-1:2])

    @property
    def starts(self) -> tuple[int, ...]:
        return self._spans[0]

    @property
    def ends(self) -> tuple[int, ...]:
        return self._spans[1]


def word_hashes(text: str) -> list[int]:
    """The 64-bit hash of every word of `text`, in order: all that the look-up keys need."""
    return _hashes(_words(text))


def needs_segmentation(text: str) -> bool:
    """Whether `text` holds a script whose words ICU's dictionary finds (see `wordbreak`)."""
    return _HAS_SPACELESS.search(text) is not None


def _words(text: str) -> list[str]:
    if not _HAS_SPACELESS.search(text):
        return _WORD.findall(text)
    return [text[start:end] for start, end in zip(*_spaceless_spans(text))]


def _spaceless_spans(text: str) -> tuple[list[int], list[int]]:
    """Where each word of a text that holds scripts written without spaces starts, and where it
    ends: two lists of offsets, which take a fraction of the memory of a pair per word."""
    starts: list[int] = []
    ends: list[int] = []
    for match in _WORD.finditer(text):
        start, end = match.span()
        if _HAS_SPACELESS.match(text, start):
            # The words of one run follow each other: each ends where the next starts.
            bounds = wordbreak.bounds(match.group(), start)
            starts.extend(bounds[:-1])
            ends.extend(bounds[1:])
        else:
            starts.append(start)
            ends.append(end)
    return starts, ends


def split_words(text: str, hashes: Sequence[int] | None = None) -> Words:
    """The words of `text`; `hashes` are its `word_hashes` when already computed."""
    return Words(text, hashes)


def _hashes(words: list[str]) -> list[int]:
    # Prose repeats its words: a text of a million characters has some ten thousand distinct ones.
    distinct = {word: _word_hash(word) for word in set(words)}
    return [distinct[word] for word in words]


@functools.lru_cache(maxsize=WORD_CACHE_SIZE)
def _word_hash(word: str) -> int:
    # Two cheap checksums in one 64-bit value: words only need telling apart, and the shingle
    # mix below spreads them; a rare collision only proposes a candidate that confirmation drops.
    folded = (word.casefold() if word.isascii() else unicodedata.normalize("NFC", word).casefold()).encode()
    return (zlib.crc32(folded) << 32) | zlib.adler32(folded)


def index_entries(text: str) -> list[tuple[int, int]]:
    """(key, word position) pairs of a text: stored for a published text, looked up for a found one."""
    return winnowed_keys(word_hashes(text))


def winnowed_keys(hashes: list[int]) -> list[tuple[int, int]]:
    """`index_entries` of the text whose `word_hashes` these are."""
    if excerpt_keys is None:
        return winnow(shingle_keys(hashes))
    return excerpt_keys.index_entries(hashes)


@dataclass(frozen=True)
class Passage:
    """A passage shared by the found text and a publication, as character ranges (end exclusive) in
    the text a reader sees of each: the text itself, or the visible text of an HTML or Markdown page."""

    found_start: int
    found_end: int
    published_start: int
    published_end: int
    shared_shingles: int


def confirm(found: Words, published: Words, hits: Iterable[tuple[int, int]],
            holders: Mapping[int, int] | None = None) -> list[Passage]:
    """The confirmed passages among hits of (found word position, published word position);
    `holders` gives for each key looked up how many publications hold it (every one rare when not
    given)."""
    rare = _rare_hits(found, sorted(set(hits)), holders)
    confirmed = [p for p in (_confirm_chain(found, published, chain, rare) for chain in _chains(sorted(set(hits))))
                 if p is not None]
    # A text that repeats itself aligns several ways; keep the best-supported passage per stretch.
    kept: list[Passage] = []
    for passage in sorted(confirmed, key=lambda p: -p.shared_shingles):
        if all(passage.found_end <= k.found_start or passage.found_start >= k.found_end for k in kept):
            kept.append(passage)
    return sorted(kept, key=lambda p: p.found_start)


def _rare_hits(found: Words, hits: list[tuple[int, int]], holders: Mapping[int, int] | None) -> set[tuple[int, int]]:
    """The hits of keys few publications hold: a key many hold is a template's phrase, not evidence."""
    if holders is None:
        return set(hits)
    keys = found.shingles
    return {(f, p) for f, p in hits if holders.get(keys[f], 1) <= TEMPLATE_HOLDERS}


def _chains(hits: list[tuple[int, int]]) -> list[list[tuple[int, int]]]:
    chains: list[list[tuple[int, int]]] = []
    for found_pos, published_pos in hits:
        for chain in chains:
            last_found, last_published = chain[-1]
            if (found_pos - last_found <= CHAIN_GAP_WORDS
                    and abs((published_pos - found_pos) - (last_published - last_found)) <= CHAIN_DRIFT_WORDS):
                chain.append((found_pos, published_pos))
                break
        else:
            chains.append([(found_pos, published_pos)])
    return chains


def _confirm_chain(found: Words, published: Words, chain: list[tuple[int, int]], rare: set[tuple[int, int]]
                   ) -> Passage | None:
    margin = WINDOW + SHINGLE_WORDS
    found_first, found_keys = _shingles(found, chain[0][0] - margin, chain[-1][0] + margin)
    published_first, published_keys = _shingles(published, min(p for _, p in chain) - margin,
                                                max(p for _, p in chain) + margin)
    # Counting shared keys first is cheap and drops most chains before any alignment.
    if len(set(found_keys) & set(published_keys)) < STOCK_RUN_SHINGLES + MIN_EVIDENCE_SHINGLES:
        return None
    offsets = [p - f for f, p in chain]
    pairs = _aligned_pairs(found_first, found_keys, published_first, published_keys,
                           min(offsets) - CHAIN_DRIFT_WORDS, max(offsets) + CHAIN_DRIFT_WORDS)
    runs = _ordered_runs(pairs, rare)
    if sum(length - STOCK_RUN_SHINGLES for _, _, length in runs) < MIN_EVIDENCE_SHINGLES:
        return None
    (found_lo, published_lo, _), (last_found, last_published, last_length) = runs[0], runs[-1]
    found_hi, published_hi = last_found + last_length - 1, last_published + last_length - 1
    shared = sum(1 for f, p in pairs if found_lo <= f <= found_hi and published_lo <= p <= published_hi)
    last_word = SHINGLE_WORDS - 1
    return Passage(
        found.starts[found_lo], found.ends[min(found_hi + last_word, len(found) - 1)],
        published.starts[published_lo], published.ends[min(published_hi + last_word, len(published) - 1)],
        shared,
    )


def _shingles(words: Words, first: int, last: int) -> tuple[int, list[int]]:
    """The first position and the keys of the shingles in first .. last - 1."""
    start = max(first, 0)
    return start, words.shingles[start:max(last, start)]


def _aligned_pairs(found_first: int, found_keys: list[int], published_first: int, published_keys: list[int],
                   lowest: int, highest: int) -> set[tuple[int, int]]:
    """(found position, published position) of every shingle the two share at an offset (published
    minus found) between `lowest` and `highest`: where the chain says the passage lies."""
    positions: dict[int, list[int]] = {}
    for i, key in enumerate(published_keys):
        positions.setdefault(key, []).append(published_first + i)
    pairs: set[tuple[int, int]] = set()
    for i, key in enumerate(found_keys, found_first):
        at = positions.get(key)
        if at is not None:
            # A text repeating itself holds a key many times: only those at a chain's offset count.
            pairs.update((i, p) for p in at[bisect.bisect_left(at, i + lowest):bisect.bisect_right(at, i + highest)])
    return pairs


def _ordered_runs(pairs: set[tuple[int, int]], rare: set[tuple[int, int]]) -> list[tuple[int, int, int]]:
    """(found start, published start, length) of the aligned runs that are evidence, in the order
    both texts have them, chosen to hold the most evidence: a text that repeats itself aligns several
    ways, and each of its words is evidence once. A run is evidence when it is longer than a stock
    phrase and holds a rare hit: a run of template phrases holds only keys many publications hold,
    or no hit at all when every key of it is held by more than PER_KEY_LIMIT."""
    runs = []
    for found_at, published_at in pairs:
        if (found_at - 1, published_at - 1) not in pairs:
            length = 1
            while (found_at + length, published_at + length) in pairs:
                length += 1
            if length > STOCK_RUN_SHINGLES and any((found_at + i, published_at + i) in rare for i in range(length)):
                runs.append((found_at, published_at, length))
    runs.sort()
    # best[i]: the most evidence of runs in order ending with run i, and the run before it there.
    best: list[tuple[int, int]] = []
    for f, p, length in runs:
        before = max(((best[j][0], j) for j, (bf, bp, bl) in enumerate(runs[:len(best)])
                      if bf + bl <= f and bp + bl <= p), default=(0, -1))
        best.append((before[0] + length - STOCK_RUN_SHINGLES, before[1]))
    chosen = []
    i = max(range(len(best)), key=lambda k: best[k][0], default=-1)
    while i >= 0:
        chosen.append(runs[i])
        i = best[i][1]
    return chosen[::-1]
