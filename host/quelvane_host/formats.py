"""What a reader sees of a document, and how a watermark goes into the document so that the
copy a reader takes still carries it.

Plain text is watermarked as it is. For HTML the fingerprints and the watermark are computed
on the text a browser shows (htmltext.py: the page parsed as a browser parses it, nothing the
page hides, nothing a browser might hide), and each run is written into the source right after
the character that ends its word, which always lies in a text node.
Markdown is rendered, and runs go only where a word of the rendered text is plain text in the
source."""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Literal

import quelvane

from . import htmltext

Format = Literal["text", "html", "markdown"]
FORMATS: tuple[Format, ...] = ("text", "html", "markdown")
RUNS = 48
MIN_RUNS = 24
"""The erasure code rebuilds up to 24 missing runs, so a document where only some words can take
a run still carries a readable watermark."""
_ALPHABET = frozenset("\u200b\u200c\u200d\u2060")
_EXISTING_RUN = re.compile("[\u200b\u200c\u200d\u2060]{4}")
TOO_FEW_WORDS = (
    "not watermarked: fewer than 48 words separated by white space (text written without spaces, "
    "such as Chinese or Japanese, has few); it is found by its fingerprints"
)


@dataclass(frozen=True)
class Embedded:
    """A document with the watermark written in, and how much of it."""

    document: str
    runs: int
    note: str


def has_watermark_runs(document: str) -> bool:
    return _EXISTING_RUN.search(document) is not None


def visible_text(document: str, format: Format) -> str:
    """The text a reader sees and copies."""
    if format == "text":
        return document
    if format == "html":
        return htmltext.read(document).text
    from .markdown import render

    return htmltext.read(render(document)).text


def embed(document: str, format: Format, pointer_hex: str, key_hex: str) -> Embedded:
    """Writes the watermark carrying the pointer; a document too short to carry one comes back unchanged."""
    page = htmltext.read(document) if format == "html" else None
    visible = page.text if page is not None else visible_text(document, format)
    try:
        marked = quelvane.embed_watermark(visible, pointer_hex, key_hex)
    except ValueError:
        return Embedded(document, 0, TOO_FEW_WORDS)
    if format == "text":
        return Embedded(marked, RUNS, "")
    insertions = _insertions(visible, marked)
    if page is not None:
        placed = [(page.source_after[i - 1], run) for i, run in insertions]
    else:
        from .markdown import place

        placed = place(document, visible, insertions)
    return _checked(document, format, placed, pointer_hex, key_hex)


def _checked(document: str, format: Format, placed: list[tuple[int, str]], pointer_hex: str, key_hex: str
             ) -> Embedded:
    """The document with the runs written in, if what a reader sees of it reads back the pointer."""
    if len(placed) < MIN_RUNS:
        return Embedded(document, 0, f"not watermarked: only {len(placed)} of 48 runs fall on plain words "
                                     "(the rest are in code, links or markup); it is found by its fingerprints")
    result = _insert(document, placed)
    try:
        pointer, verified, _ = quelvane.extract_watermark(visible_text(result, format), key_hex)
    except ValueError:
        pointer, verified = "", False
    if not verified or pointer != pointer_hex[:32].ljust(32, "0"):
        return Embedded(document, 0, "not watermarked: the markup left no safe place for the runs; it is "
                                     "found by its fingerprints")
    note = "" if len(placed) == RUNS else f"{RUNS - len(placed)} of 48 runs left out (words in code or markup)"
    return Embedded(result, len(placed), note)


def _insertions(original: str, marked: str) -> list[tuple[int, str]]:
    """(offset in original, run) of each run the watermark added, the run going before that offset."""
    found: list[tuple[int, str]] = []
    i = j = 0
    while j < len(marked):
        run = marked[j:j + 4]
        if len(run) == 4 and _ALPHABET.issuperset(run) and original[i:i + 4] != run:
            found.append((i, run))
            j += 4
        else:
            i += 1
            j += 1
    return found


def _insert(document: str, insertions: list[tuple[int, str]]) -> str:
    pieces: list[str] = []
    last = 0
    for offset, run in sorted(insertions, key=lambda item: item[0]):
        pieces.append(document[last:offset])
        pieces.append(run)
        last = offset
    pieces.append(document[last:])
    return "".join(pieces)
