"""What a reader sees of a document, and how a watermark goes into the document so that the
copy a reader takes still carries it.

Plain text is watermarked as it is. For HTML the fingerprints and the watermark are computed
on the visible text of the body (text nodes only, no scripts, styles or attributes, block
elements as line breaks, nothing the page itself hides: `hidden`, an inline `display: none` or
`visibility: hidden`, a closed `<details>` or `<dialog>`), and each run is written into the
source right after the character that ends its word, which always lies in a text node.
Markdown is rendered, and runs go only where a word of the rendered text is plain text in the
source."""
from __future__ import annotations

import html
import re
from dataclasses import dataclass
from html.parser import HTMLParser
from typing import AbstractSet, Literal

import quelvane

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
        return _html_visible(document).text
    from .markdown import render

    return _html_visible(render(document)).text


def embed(document: str, format: Format, pointer_hex: str, key_hex: str) -> Embedded:
    """Writes the watermark carrying the pointer; a document too short to carry one comes back unchanged."""
    visible = visible_text(document, format)
    try:
        marked = quelvane.embed_watermark(visible, pointer_hex, key_hex)
    except ValueError:
        return Embedded(document, 0, TOO_FEW_WORDS)
    if format == "text":
        return Embedded(marked, RUNS, "")
    insertions = _insertions(visible, marked)
    if format == "html":
        after = _html_visible(document).source_after
        placed = [(after[i - 1], run) for i, run in insertions]
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


@dataclass(frozen=True)
class _Visible:
    text: str
    source_after: list[int]
    """For each character of `text`, the source offset just after what produced it."""


_SKIPPED = frozenset({"head", "title", "script", "style", "template", "noscript", "svg", "math", "select",
                      "textarea", "iframe", "object"})
_BLOCKS = frozenset({
    "address", "article", "aside", "blockquote", "br", "caption", "dd", "details", "dialog", "div", "dl",
    "dt", "fieldset", "figcaption", "figure", "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6",
    "header", "hgroup", "hr", "li", "main", "nav", "ol", "p", "pre", "section", "summary", "table",
    "tbody", "td", "tfoot", "th", "thead", "tr", "ul",
})
_REFERENCE = re.compile(r"&(#[xX][0-9a-fA-F]+|#[0-9]+|[A-Za-z][A-Za-z0-9]*);?")
_VOID = frozenset({"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track",
                   "wbr"})
# Where a browser stops looking for an element to close implicitly, and which start tags close
# which open elements (so that `<p hidden>one<p>two` hides only "one", as a browser does).
_SCOPE = frozenset({"applet", "caption", "html", "table", "td", "th", "marquee", "object", "template", "button"})
_CLOSES_P = _BLOCKS - {"br", "caption", "tbody", "td", "tfoot", "th", "thead", "tr"} | {"menu", "center", "search"}
_TABLE_SCOPE = frozenset({"table", "html", "template"})
_IMPLIED_CLOSE: dict[str, tuple[AbstractSet[str], AbstractSet[str]]] = {
    "li": ({"li"}, _SCOPE | {"ol", "ul"}),
    "dt": ({"dt", "dd"}, _SCOPE | {"dl"}),
    "dd": ({"dt", "dd"}, _SCOPE | {"dl"}),
    "tr": ({"tr"}, _TABLE_SCOPE),
    "td": ({"td", "th"}, _TABLE_SCOPE | {"tr"}),
    "th": ({"td", "th"}, _TABLE_SCOPE | {"tr"}),
}


@dataclass(frozen=True)
class _Open:
    """An open element, and whether a browser renders it and shows its text."""

    tag: str
    rendered: bool
    visible: bool
    closed_details: bool = False


def _inline_style(attrs: list[tuple[str, str | None]]) -> dict[str, str]:
    """The declarations of an element's style attribute that decide whether it shows: the last
    of each wins, unless an earlier one is !important."""
    declarations: dict[str, tuple[str, bool]] = {}
    for name, value in attrs:
        if name != "style" or not value:
            continue
        for declaration in value.split(";"):
            prop, _, text = declaration.partition(":")
            prop, text = prop.strip().lower(), text.strip().lower()
            important = text.endswith("important") and "!" in text
            text = text.split("!")[0].strip()
            if prop in ("display", "visibility") and (important or not declarations.get(prop, ("", False))[1]):
                declarations[prop] = (text, important)
    return {prop: text for prop, (text, _) in declarations.items()}


def _opened(parent: _Open, tag: str, attrs: list[tuple[str, str | None]]) -> _Open:
    names = {name for name, _ in attrs}
    style = _inline_style(attrs)
    rendered = (parent.rendered and "hidden" not in names and style.get("display") != "none"
                and not (tag == "dialog" and "open" not in names)
                and not (parent.closed_details and tag != "summary"))
    visible = {"hidden": False, "collapse": False, "visible": True}.get(style.get("visibility", ""), parent.visible)
    return _Open(tag, rendered, visible, closed_details=tag == "details" and "open" not in names)


class _VisibleParser(HTMLParser):
    def __init__(self, source: str) -> None:
        super().__init__(convert_charrefs=False)
        self._source = source
        self._line_starts = [0] + [m.end() for m in re.finditer("\n", source)]
        self._skipping: list[str] = []
        self._open = [_Open("#document", rendered=True, visible=True)]
        self.chars: list[str] = []
        self.after: list[int] = []

    def _offset(self) -> int:
        line, column = self.getpos()
        return self._line_starts[line - 1] + column

    def _break(self) -> None:
        self.chars.append("\n")
        self.after.append(self._offset())

    def _shown(self) -> bool:
        """Whether text here is what a reader sees."""
        top = self._open[-1]
        return not self._skipping and top.rendered and top.visible and not top.closed_details

    def _innermost(self, tags: AbstractSet[str], scope: AbstractSet[str] = frozenset()) -> int:
        """The depth of the innermost open element named in `tags`, or 0 when there is none or
        an element of `scope` comes first."""
        for depth in range(len(self._open) - 1, 0, -1):
            tag = self._open[depth].tag
            if tag in tags:
                return depth
            if tag in scope:
                return 0
        return 0

    def _close_through(self, tags: AbstractSet[str], scope: AbstractSet[str]) -> None:
        """Closes that element and every one still open inside it, as its end tag would."""
        depth = self._innermost(tags, scope)
        if depth:
            del self._open[depth:]

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "body":
            self._skipping.clear()
        elif tag in _SKIPPED:
            self._skipping.append(tag)
        if self._skipping or tag in ("html", "body"):
            return
        if tag in _CLOSES_P:
            self._close_through({"p"}, _SCOPE)
        if tag in _IMPLIED_CLOSE:
            self._close_through(*_IMPLIED_CLOSE[tag])
        element = _opened(self._open[-1], tag, attrs)
        if tag in _BLOCKS and element.rendered:
            self._break()
        if tag not in _VOID:
            self._open.append(element)

    def handle_endtag(self, tag: str) -> None:
        if tag in self._skipping:
            while self._skipping.pop() != tag:
                pass
            return
        if self._skipping or tag in ("html", "body"):
            return
        depth = self._innermost({tag})
        # An end tag with nothing to close (a stray </p>, </br>) still breaks the line.
        rendered = self._open[depth or -1].rendered
        if depth:
            del self._open[depth:]
        if tag in _BLOCKS and rendered:
            self._break()

    def handle_data(self, data: str) -> None:
        if not self._shown():
            return
        start = self._offset()
        self.chars.extend(data)
        self.after.extend(range(start + 1, start + len(data) + 1))

    def _reference(self) -> None:
        if not self._shown():
            return
        start = self._offset()
        match = _REFERENCE.match(self._source, start)
        end = match.end() if match else start + 1
        text = html.unescape(self._source[start:end])
        self.chars.extend(text)
        self.after.extend([end] * len(text))

    def handle_entityref(self, name: str) -> None:
        self._reference()

    def handle_charref(self, name: str) -> None:
        self._reference()


def _html_visible(source: str) -> _Visible:
    parser = _VisibleParser(source)
    parser.feed(source)
    parser.close()
    return _Visible("".join(parser.chars), parser.after)

