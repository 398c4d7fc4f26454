"""The excerpt index: finds a passage of a publication inside a longer, unrelated text.

Each text is cut into words and overlapping five-word shingles, each shingle hashed to a
64-bit key. Of every run of `WINDOW` consecutive shingle keys the smallest is kept
(winnowing), so any passage of at least WINDOW + SHINGLE_WORDS - 1 words shared by two texts
yields at least one key they both keep, wherever it stands in either text, while only about
one key in every four or five words is stored. A shared key only proposes a publication: the
aligned regions around the hits must then share at least `MIN_SHARED_SHINGLES` distinct
shingles, among them an unbroken run of `MIN_RUN_SHINGLES`, which unrelated prose does not do by
chance. Replaced words break the shingles they fall in, not the passage: the shingles between
them still agree. Confirmation counts only shingles within one sentence: pages written from one
template share short phrases on both sides of every sentence end ("... layer. Return true if
..."), and shingles that join them made unrelated pages look like a copy."""
from __future__ import annotations

import bisect
import functools
import itertools
import re
import unicodedata
import zlib
from dataclasses import dataclass
from typing import Iterable, Sequence

from . import wordbreak
from .shingles import SHINGLE_WORDS, WINDOW, shingle_keys, winnow

try:
    from . import excerpt_keys
except ImportError:  # numpy is optional: plain Python gives the same keys, several times slower
    excerpt_keys = None  # type: ignore[assignment]

MIN_SHARED_SHINGLES = 20
MIN_RUN_SHINGLES = 4
"""Consecutive shared shingles a confirmed passage must hold somewhere: eight words in a row."""
PER_KEY_LIMIT = 64
"""A key stored for more publications than this is a stock phrase, not evidence; it is skipped."""
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
# A sentence ends at a full stop, question or exclamation mark followed by space (closing quotes,
# brackets and watermark characters may come between), at a CJK full stop, and at a paragraph
# break; not at "3.5", and not at a single line break, which re-wrapping adds anywhere.
_SENTENCE_END = re.compile("[.!?][\"'\u2019\u201d)\\]\u200b-\u200d\u2060\ufeff]*\\s|[\u3002\uff01\uff1f]|\n\\s*\n")


class Words:
    """The words of a text, each with its 64-bit hash, character span and sentence number, each
    found when first asked for: most candidates are dropped before spans and sentences are needed."""

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

    @functools.cached_property
    def sentences(self) -> tuple[int, ...]:
        """Each word's sentence number: the number of sentence ends before it."""
        starts = self.starts
        numbers: list[int] = []
        ends = 0
        # A sentence is a run of words: one search per sentence end, not one per word.
        for ends, end in enumerate((m.start() for m in _SENTENCE_END.finditer(self._text)), 1):
            numbers.extend(itertools.repeat(ends - 1, bisect.bisect_right(starts, end) - len(numbers)))
        numbers.extend(itertools.repeat(ends, len(starts) - len(numbers)))
        return tuple(numbers)


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


def confirm(found: Words, published: Words, hits: Iterable[tuple[int, int]]) -> list[Passage]:
    """The confirmed passages among hits of (found word position, published word position)."""
    confirmed = [p for p in (_confirm_chain(found, published, chain) for chain in _chains(sorted(set(hits))))
                 if p is not None]
    # A text that repeats itself aligns several ways; keep the best-supported passage per stretch.
    kept: list[Passage] = []
    for passage in sorted(confirmed, key=lambda p: -p.shared_shingles):
        if all(passage.found_end <= k.found_start or passage.found_start >= k.found_end for k in kept):
            kept.append(passage)
    return sorted(kept, key=lambda p: p.found_start)


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


def _confirm_chain(found: Words, published: Words, chain: list[tuple[int, int]]) -> Passage | None:
    margin = WINDOW + SHINGLE_WORDS
    found_range = (chain[0][0] - margin, chain[-1][0] + margin)
    published_lo = min(p for _, p in chain) - margin
    published_hi = max(p for _, p in chain) + margin
    found_first, found_all = _shingles(found, *found_range)
    published_first, published_all = _shingles(published, published_lo, published_hi)
    # Keeping only the shingles within one sentence can only lower the count: most chains fall
    # short before their sentences are needed.
    if len(set(found_all) & set(published_all)) < MIN_SHARED_SHINGLES:
        return None
    found_keys = _within_sentences(found, found_first, found_all)
    published_keys = _within_sentences(published, published_first, published_all)
    shared = found_keys.keys() & published_keys.keys()
    if len(shared) < MIN_SHARED_SHINGLES or _longest_run(found_keys, published_keys, shared) < MIN_RUN_SHINGLES:
        return None
    found_at = [found_keys[k] for k in shared]
    published_at = [published_keys[k] for k in shared]
    last_word = SHINGLE_WORDS - 1
    return Passage(
        found.starts[min(found_at)], found.ends[min(max(found_at) + last_word, len(found) - 1)],
        published.starts[min(published_at)],
        published.ends[min(max(published_at) + last_word, len(published) - 1)],
        len(shared),
    )


def _shingles(words: Words, first: int, last: int) -> tuple[int, list[int]]:
    """The first position and the keys of the shingles in first .. last - 1."""
    start = max(first, 0)
    return start, words.shingles[start:max(last, start)]


def _within_sentences(words: Words, start: int, keys: list[int]) -> dict[int, int]:
    """Key to word position of the shingles from `start` on that lie within one sentence."""
    sentences = words.sentences
    return {key: start + i for i, key in enumerate(keys)
            if sentences[start + i] == sentences[start + i + SHINGLE_WORDS - 1]}


def _longest_run(found_keys: dict[int, int], published_keys: dict[int, int], shared: set[int]) -> int:
    """The most shared shingles that follow one another word by word in both texts."""
    pairs = {(found_keys[k], published_keys[k]) for k in shared}
    longest = 0
    for found_at, published_at in pairs:
        if (found_at - 1, published_at - 1) not in pairs:
            length = 1
            while (found_at + length, published_at + length) in pairs:
                length += 1
            longest = max(longest, length)
    return longest
