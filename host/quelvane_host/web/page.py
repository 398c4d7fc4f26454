"""The verification page: a form to paste a text or drop a file, and the matches as cards.

Rendered on the server from one template with autoescaping; its style and its small script are
inline and allowed by their hashes in the Content-Security-Policy, so the page loads nothing
from anywhere and runs nothing else."""
from __future__ import annotations

import base64
import difflib
import hashlib
import re
from dataclasses import dataclass
from importlib import resources
from typing import List, Literal, Optional, Sequence, Tuple

import jinja2

from ..identify import TIER_MEANINGS, VERDICTS, Match, Matches, SharedPassage

CONTEXT_CHARS = 240
"""Found text shown on each side of a passage; longer stretches between passages are elided."""
OPENING_CHARS = 800
"""Found text shown when a match has no passage to point at (found by watermark or band keys)."""
PASSAGE_CHARS = 1600
"""A passage longer than this is shown by its beginning and end, without its differences marked."""
_TOKEN = re.compile(r"\S+")
_NOT_COMPARED = re.compile("[\u200b\u200c\u200d\u2060\ufeff]|[^\\w]+$|^[^\\w]+")
Runs = Tuple[Tuple[str, bool], ...]
"""A text cut into runs, each flagged when its words are not in the text it is compared with."""


@dataclass(frozen=True)
class Piece:
    """One stretch of the found text as shown: plain, a matched passage, or an elision."""

    kind: Literal["text", "mark", "gap"]
    text: str = ""
    number: int = 0
    runs: Runs = ()
    """For a mark: its text, with the words that differ from the publication flagged."""


def shorten(text: str, limit: int = PASSAGE_CHARS) -> str:
    if len(text) <= limit:
        return text
    half = limit // 2
    return f"{text[:half]} […{len(text) - 2 * half} characters…] {text[-half:]}"


def differences(found: str, published: str) -> Tuple[Runs, Runs]:
    """Both sides of a passage cut into runs, flagging the words the other side lacks (an edit)."""
    if len(found) > PASSAGE_CHARS or len(published) > PASSAGE_CHARS:
        return ((shorten(found), False),), ((shorten(published), False),)
    found_words, published_words = list(_TOKEN.finditer(found)), list(_TOKEN.finditer(published))
    matcher = difflib.SequenceMatcher(None, [_compared(w.group()) for w in found_words],
                                      [_compared(w.group()) for w in published_words], autojunk=False)
    changed_found: set[int] = set()
    changed_published: set[int] = set()
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag != "equal":
            changed_found.update(range(i1, i2))
            changed_published.update(range(j1, j2))
    return _runs(found, found_words, changed_found), _runs(published, published_words, changed_published)


def _compared(word: str) -> str:
    return _NOT_COMPARED.sub("", word).casefold()


def _runs(text: str, words: List["re.Match[str]"], changed: set[int]) -> Runs:
    runs: List[Tuple[str, bool]] = []
    position = 0
    for index, word in enumerate(words):
        flagged = index in changed
        if runs and runs[-1][1] == flagged:
            runs[-1] = (runs[-1][0] + text[position:word.end()], flagged)
        else:
            if word.start() > position:
                runs.append((text[position:word.start()], False))
            runs.append((word.group(), flagged))
        position = word.end()
    if position < len(text):
        runs.append((text[position:], False))
    return tuple(runs)


@dataclass(frozen=True)
class Card:
    """One row of a result as the page draws it: the found text around its passages, and each
    passage as published, its differences marked on both sides by one comparison."""

    match: Match
    pieces: List[Piece]
    published: List[Runs]


def card(found_text: str, match: Match) -> Card:
    compared = [differences(found_text[p.found.start:p.found.end], p.publication_text)
                for p in match.evidence.passages]
    return Card(match, pieces(found_text, match.evidence.passages, [found for found, _ in compared]),
                [published for _, published in compared])


def pieces(found_text: str, passages: Sequence[SharedPassage], marked: Sequence[Runs]) -> List[Piece]:
    """The found text around its passages, each passage (as `marked`, its runs) numbered from 1 in
    reading order."""
    if not passages:
        shown = [Piece("text", found_text[:OPENING_CHARS])]
        return shown + [Piece("gap")] if len(found_text) > OPENING_CHARS else shown
    out: List[Piece] = []
    position = 0
    for number, (passage, runs) in enumerate(zip(passages, marked), 1):
        start, end = passage.found.start, passage.found.end
        out.extend(_between(found_text[position:start], first=number == 1, last=False))
        out.append(Piece("mark", "".join(run for run, _ in runs), number, runs))
        position = end
    out.extend(_between(found_text[position:], first=False, last=True))
    return out


def _between(text: str, *, first: bool, last: bool) -> List[Piece]:
    """Unmatched text: only the context next to a passage, cut at a space, the rest elided."""
    keep_head = 0 if first else CONTEXT_CHARS
    keep_tail = 0 if last else CONTEXT_CHARS
    if len(text) <= keep_head + keep_tail:
        return [Piece("text", text)] if text else []
    out: List[Piece] = []
    if keep_head:
        head = text[:keep_head]
        out.append(Piece("text", head[:head.rfind(" ") + 1] or head))
    out.append(Piece("gap"))
    if keep_tail:
        tail = text[-keep_tail:]
        out.append(Piece("text", tail[tail.find(" "):] if " " in tail else tail))
    return out


def _csp_hash(source: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(source.encode()).digest()).decode() + "'"


class Page:
    def __init__(self) -> None:
        self._environment = jinja2.Environment(
            loader=jinja2.PackageLoader("quelvane_host.web", "templates"),
            autoescape=True, trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined,
        )
        folder = resources.files("quelvane_host.web") / "templates"
        self._style = (folder / "page.css").read_text(encoding="utf-8")
        self._script = (folder / "page.js").read_text(encoding="utf-8")
        self.content_security_policy = (
            f"default-src 'none'; style-src {_csp_hash(self._style)}; script-src {_csp_hash(self._script)}; "
            "img-src data:; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"
        )

    def render(self, *, max_bytes: int, result: Optional[Matches] = None, text: str = "",
               format: str = "auto", weak: bool = False, error: Optional[str] = None) -> str:
        """The page; with a result, its rows in groups: matches, withdrawn publications, forged
        entries, and the weak similarities, folded away."""
        groups = {verdict: [card(result.found_text, m) for m in result if m.verdict == verdict]
                  for verdict in VERDICTS} if result is not None else {}
        return self._environment.get_template("page.html").render(
            style=self._style, script=self._script, result=result, groups=groups, text=text, format=format, weak=weak,
            error=error, max_bytes=max_bytes, tier_meanings=TIER_MEANINGS,
        )
