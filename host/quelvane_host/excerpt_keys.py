"""The excerpt index keys of a whole text on numpy arrays: the keys and choices of
`shingles.shingle_keys` and `shingles.winnow`, one array operation per step instead of a Python
loop per word. Registries store these keys, so both ways must give them bit for bit."""
from __future__ import annotations

from typing import Sequence

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

from .shingles import MIX, SHINGLE_WORDS, WINDOW

KeyArray = npt.NDArray[np.uint64]


def index_entries(hashes: list[int]) -> list[tuple[int, int]]:
    """(key, word position) of the winnowed shingle keys of a text's word hashes."""
    keys = shingle_keys(np.array(hashes, dtype=np.uint64))
    positions = winnow(keys)
    return list(zip(keys[positions].tolist(), positions.tolist()))


def all_shingle_keys(hashes: Sequence[int]) -> list[int]:
    """`shingles.shingle_keys` of the whole text."""
    keys: list[int] = shingle_keys(np.array(hashes, dtype=np.uint64)).tolist()
    return keys


def shingle_keys(hashes: KeyArray) -> KeyArray:
    count = len(hashes) - SHINGLE_WORDS + 1
    value = np.zeros(max(count, 0), dtype=np.uint64)
    # uint64 arithmetic wraps modulo 2**64, which is the mask the plain loop applies.
    for offset in range(SHINGLE_WORDS):
        value = (value ^ hashes[offset:offset + len(value)]) * np.uint64(MIX)
    mixed: KeyArray = value ^ (value >> np.uint64(29))
    return mixed


def winnow(keys: KeyArray) -> npt.NDArray[np.intp]:
    """Positions of the smallest key of every window of WINDOW keys, the rightmost on ties, each once."""
    if not len(keys):
        return np.empty(0, dtype=np.intp)
    span = min(WINDOW, len(keys))
    # argmin takes the first of equal minima: read each window backwards to take the last.
    backwards = sliding_window_view(keys, span)[:, ::-1]
    best = np.arange(len(backwards)) + (span - 1 - np.argmin(backwards, axis=1))
    fresh = np.ones(len(best), dtype=bool)
    fresh[1:] = best[1:] != best[:-1]
    chosen: npt.NDArray[np.intp] = best[fresh]
    return chosen
