"""Markdown: the rendered text a reader sees, and where in the source a watermark run can go.

A run may follow a word only where that word is plain text in the source: never inside code
spans, code blocks, HTML, autolinks or link targets. Words of the rendered text are matched to
the plain-text words of the source in order; a word that has no plain-text counterpart gets no
run, and the erasure code makes up for it. The caller reads the watermark back from the
rendered result before keeping it."""
from __future__ import annotations

import re
from typing import Sequence

from markdown_it import MarkdownIt
from markdown_it.token import Token

_WORD = re.compile(r"\S+")
LOOKAHEAD = 8


def _parser() -> MarkdownIt:
    return MarkdownIt("commonmark")


def render(document: str) -> str:
    """The HTML a CommonMark renderer makes of the document."""
    return str(_parser().render(document))


def place(document: str, visible: str, insertions: Sequence[tuple[int, str]]) -> list[tuple[int, str]]:
    """Source offsets for the runs that go after words of `visible`; runs with no safe place are dropped."""
    visible_words = [(m.group(), m.end()) for m in _WORD.finditer(visible)]
    word_ending_at = {end: k for k, (_, end) in enumerate(visible_words)}
    source_words = _plain_words(document)
    # Both lists are in reading order and mostly the same words; a rendered word from code or
    # HTML finds no plain counterpart close ahead and is passed over.
    mapped: dict[int, int] = {}
    j = 0
    for k, (word, _) in enumerate(visible_words):
        for ahead in range(j, min(j + LOOKAHEAD, len(source_words))):
            if source_words[ahead][0] == word:
                mapped[k] = source_words[ahead][1]
                j = ahead + 1
                break
    placed = []
    for offset, run in insertions:
        index = word_ending_at.get(offset)
        if index is not None and index in mapped:
            placed.append((mapped[index], run))
    return placed


def _plain_words(document: str) -> list[tuple[str, int]]:
    """(word, source offset just after it) for every word written as plain text in the source."""
    line_starts = [0] + [m.end() for m in re.finditer("\n", document)]
    words: list[tuple[str, int]] = []
    cursor = 0
    for block in _parser().parse(document):
        if block.type != "inline" or block.map is None or block.children is None:
            continue
        cursor = max(cursor, line_starts[block.map[0]])
        limit = line_starts[block.map[1]] if block.map[1] < len(line_starts) else len(document)
        cursor = _inline_words(document, block.children, cursor, limit, words)
    return words


def _inline_words(document: str, children: list[Token], cursor: int, limit: int,
                  words: list[tuple[str, int]]) -> int:
    in_autolink = False
    for token in children:
        if token.type == "link_open":
            in_autolink = token.markup == "autolink"
        elif token.type == "link_close":
            in_autolink = False
        elif token.type in ("code_inline", "html_inline") or (token.type == "text" and in_autolink):
            # Step over it so that no later word is looked for inside it.
            found = document.find(token.content, cursor, limit)
            if found >= 0:
                cursor = found + len(token.content)
        elif token.type == "text" and token.content:
            found = document.find(token.content, cursor, limit)
            if found < 0:  # escapes or entities: the source spells it otherwise, so leave it alone
                continue
            words.extend((m.group(), found + m.end()) for m in _WORD.finditer(token.content))
            cursor = found + len(token.content)
    return cursor
