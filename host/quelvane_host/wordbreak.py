"""Words of the scripts written without spaces between them (Chinese, Japanese, Thai, Lao, Khmer,
Burmese), from ICU's dictionary-based word break iterator through PyICU.

PyICU is an optional extra: it is built against the system's ICU (libicu-dev), which an English
registry never needs. A text that holds these scripts is refused without it rather than indexed
another way, since keys derived one way are never found by keys derived the other."""
from __future__ import annotations

import functools
import importlib
import threading
from types import ModuleType
from typing import Any

from .errors import QuelvaneHostError
from .extras import missing_extra

PURPOSE = "indexing texts in Chinese, Japanese, Thai, Lao, Khmer or Burmese"
_INSTALL_ICU = ("; PyICU is built against the system's ICU: on Debian, first run "
                "apt-get install libicu-dev pkg-config g++")
_local = threading.local()


@functools.lru_cache(maxsize=1)
def _icu() -> ModuleType | None:
    try:
        return importlib.import_module("icu")
    except ImportError:
        return None


def available() -> bool:
    return _icu() is not None


def version() -> str | None:
    """The ICU release the words come from, e.g. "ICU 72.1"; its dictionaries change between
    releases. None without PyICU."""
    icu = _icu()
    return None if icu is None else f"ICU {icu.ICU_VERSION}"


def bounds(run: str, offset: int) -> list[int]:
    """The offsets where the words of `run`, a run of letters of these scripts found at `offset`,
    start, and where the last ends."""
    iterator = _iterator()
    iterator.setText(run)
    return [offset, *(offset + bound for bound in iterator)]


def _iterator() -> Any:
    # A break iterator holds the text it walks: one per thread, made once, as making one loads
    # the rules.
    iterator = getattr(_local, "iterator", None)
    if iterator is None:
        icu = _icu()
        if icu is None:
            raise QuelvaneHostError(missing_extra(PURPOSE, "icu", ("PyICU",)) + _INSTALL_ICU)
        iterator = _local.iterator = icu.BreakIterator.createWordInstance(icu.Locale.getRoot())
    return iterator
