"""The keys of the excerpt index, in plain Python: a text's word hashes mixed into one 64-bit key
per run of `SHINGLE_WORDS` words, and the keys winnowing keeps. Registries store these keys, so
`excerpt_keys` (the same on numpy arrays) must give them bit for bit."""
from __future__ import annotations

from typing import Sequence

SHINGLE_WORDS = 5
WINDOW = 8
MIX = 0x100000001B3
"""The multiplier that mixes word hashes into a shingle key (64-bit FNV prime)."""
_MASK = (1 << 64) - 1


def shingle_keys(words: Sequence[int], first: int = 0, last: int | None = None) -> list[int]:
    """Keys of the shingles (runs of SHINGLE_WORDS word hashes) starting at positions first .. last - 1."""
    count = len(words) - SHINGLE_WORDS + 1
    stop = count if last is None else min(last, count)
    keys = []
    for i in range(max(first, 0), stop):
        value = 0
        for word in words[i:i + SHINGLE_WORDS]:
            value = ((value ^ word) * MIX) & _MASK
        keys.append(value ^ (value >> 29))
    return keys


def winnow(keys: Sequence[int]) -> list[tuple[int, int]]:
    """(key, position) of the smallest key of every window of WINDOW keys, the rightmost on ties."""
    if not keys:
        return []
    span = min(WINDOW, len(keys))
    count = len(keys)
    # Window minima in linear time: each window is a suffix of one block of `span` keys followed
    # by a prefix of the next, so the minima of block prefixes and suffixes give every window's.
    prefix = list(range(count))
    suffix = list(range(count))
    for i in range(count):
        if i % span and keys[prefix[i - 1]] < keys[i]:
            prefix[i] = prefix[i - 1]
    for i in range(count - 2, -1, -1):
        if (i + 1) % span and keys[suffix[i + 1]] <= keys[i]:
            suffix[i] = suffix[i + 1]
    chosen: list[tuple[int, int]] = []
    last = -1
    for start in range(count - span + 1):
        left, right = suffix[start], prefix[start + span - 1]
        best = right if keys[right] <= keys[left] else left
        if best != last:
            chosen.append((keys[best], best))
            last = best
    return chosen
