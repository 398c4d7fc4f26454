"""The words a browser shows of an HTML page, each with the place in the source that produced it.

The page is tokenised and its tree built the way a browser's parser does it where that decides
what is shown: comments and unfinished tags, text-only elements (`<script>`, `<style>`,
`<textarea>`, `<xmp>`, `<plaintext>`...), SVG and MathML, misnested formatting elements that
a browser reopens, tables, `<select>`. An element's own markup decides whether its text shows
(`hidden`, `popover`, an inline `display`, `visibility` or `content-visibility`, a closed `<details>` or
`<dialog>`, fallback content). Where a browser might hide text and we cannot tell, the text is
not counted: hidden text must never make a page match a publication.

Every tag costs constant time (amortised): open elements are found through per-name lists and
per-element pointers to the nearest scope boundary, never by scanning the stack; tokens are cut
with regular expressions that never rescan what they passed."""
from __future__ import annotations

import html
import re
from array import array
from dataclasses import dataclass
from typing import Optional, Sequence

_SPACE = "\t\n\f\r "
HTML, SVG, MATH = "html", "svg", "math"


@dataclass(frozen=True)
class Visible:
    text: str
    source_after: Sequence[int]
    """For each character of `text`, the source offset just after what produced it (an array
    of machine integers: a page of ten megabytes has as many)."""


_BLOCKS = frozenset({
    "address", "article", "aside", "blockquote", "br", "caption", "center", "dd", "details", "dialog", "dir",
    "div", "dl", "dt", "fieldset", "figcaption", "figure", "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6",
    "header", "hgroup", "hr", "legend", "li", "listing", "main", "marquee", "menu", "nav", "ol", "p",
    "plaintext", "pre", "search", "section", "summary", "table", "tbody", "td", "tfoot", "th", "thead", "tr",
    "ul", "xmp",
})
_VOID = frozenset({"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "image", "img",
                   "input", "keygen", "link", "meta", "param", "source", "track", "wbr"})
# Elements whose content a browser never draws as text (replaced elements, fallback content a
# browser with scripting and media support does not use, text-only elements that are not shown).
_HIDING = {
    HTML: frozenset({"audio", "canvas", "datalist", "iframe", "meter", "noembed", "noframes", "noscript",
                     "progress", "rp", "script", "style", "template", "textarea", "title", "video"}),
    SVG: frozenset({"clippath", "defs", "desc", "filter", "lineargradient", "marker", "mask", "metadata",
                    "pattern", "radialgradient", "script", "style", "symbol", "title"}),
    MATH: frozenset({"annotation", "annotation-xml", "mphantom"}),
}
# The foreign elements a browser draws (with their text where they hold any); an unknown one is
# not drawn, nor anything inside it.
_DRAWN = {
    SVG: frozenset({"a", "foreignobject", "g", "svg", "switch", "text", "textpath", "tspan"}),
    MATH: frozenset({"maction", "math", "menclose", "merror", "mfrac", "mi", "mmultiscripts", "mn", "mo",
                     "mover", "mpadded", "mroot", "mrow", "ms", "msqrt", "mstyle", "msub", "msubsup", "msup",
                     "mtable", "mtd", "mtext", "mtr", "munder", "munderover", "semantics"}),
}
# Containers that draw only their first child element.
_FIRST_CHILD_ONLY = frozenset({("semantics", MATH), ("maction", MATH), ("switch", SVG)})
_RCDATA = frozenset({"title", "textarea"})
_RAWTEXT = frozenset({"style", "xmp", "iframe", "noembed", "noframes", "noscript"})
_CLOSES_P = frozenset({
    "address", "article", "aside", "blockquote", "center", "details", "dialog", "dir", "div", "dl", "fieldset",
    "figcaption", "figure", "footer", "header", "hgroup", "main", "menu", "nav", "ol", "p", "search", "section",
    "summary", "ul", "h1", "h2", "h3", "h4", "h5", "h6", "pre", "listing", "form", "plaintext", "table", "hr",
    "xmp", "li", "dd", "dt",
})
# Start tags before which a browser does not reopen the formatting elements a block closed.
_NO_REOPEN = (_CLOSES_P - {"xmp"}) | _RCDATA | (_RAWTEXT - {"xmp"}) | frozenset({
    "base", "basefont", "bgsound", "caption", "col", "colgroup", "link", "meta", "param", "script", "source",
    "tbody", "td", "template", "tfoot", "th", "thead", "tr", "track"})
_HEADINGS = frozenset({"h1", "h2", "h3", "h4", "h5", "h6"})
_FORMATTING = frozenset({"a", "b", "big", "code", "em", "font", "i", "nobr", "s", "small", "strike", "strong",
                         "tt", "u"})
_SPECIAL = frozenset({
    "address", "applet", "area", "article", "aside", "base", "basefont", "bgsound", "blockquote", "body", "br",
    "button", "caption", "center", "col", "colgroup", "dd", "details", "dir", "div", "dl", "dt", "embed",
    "fieldset", "figcaption", "figure", "footer", "form", "frame", "frameset", "h1", "h2", "h3", "h4", "h5",
    "h6", "head", "header", "hgroup", "hr", "html", "iframe", "img", "input", "keygen", "li", "link", "listing",
    "main", "marquee", "menu", "meta", "nav", "noembed", "noframes", "noscript", "object", "ol", "p", "param",
    "plaintext", "pre", "script", "search", "section", "select", "source", "style", "summary", "table",
    "tbody", "td", "template", "textarea", "tfoot", "th", "thead", "title", "tr", "track", "ul", "wbr", "xmp",
})
_MATH_TEXT = frozenset({"mi", "mo", "mn", "ms", "mtext"})
_FOREIGN_BOUNDARIES = frozenset({("mi", MATH), ("mo", MATH), ("mn", MATH), ("ms", MATH), ("mtext", MATH),
                                 ("annotation-xml", MATH), ("foreignobject", SVG), ("desc", SVG), ("title", SVG)})
# A select bounds them too, so that nothing inside one closes what holds it.
_SCOPE = frozenset({"applet", "caption", "html", "table", "td", "th", "marquee", "object", "select", "template"})
_TABLE_SCOPE = frozenset({"html", "table", "template"})
_TABLE_PARTS = frozenset({"caption", "col", "colgroup", "tbody", "td", "tfoot", "th", "thead", "tr"})
_IN_TABLE = frozenset({"form", "input", "script", "style", "table", "template"})
_TABLE_CONTEXT = ("table", "template")
_BODY_CONTEXT = ("tbody", "thead", "tfoot") + _TABLE_CONTEXT
_ROW_CONTEXT = ("tr",) + _BODY_CONTEXT
_TABLE_TEXT_PARENTS = frozenset({"table", "tbody", "tfoot", "thead", "tr"})
_BREAKOUT = frozenset({
    "b", "big", "blockquote", "body", "br", "center", "code", "dd", "div", "dl", "dt", "em", "embed", "h1", "h2",
    "h3", "h4", "h5", "h6", "head", "hr", "i", "img", "li", "listing", "menu", "meta", "nobr", "ol", "p", "pre",
    "ruby", "s", "small", "span", "strong", "strike", "sub", "sup", "table", "tt", "u", "ul", "var",
})
_MARKERS = frozenset({"applet", "caption", "marquee", "object", "td", "template", "th"})
_SWITCH_TESTS = ("systemlanguage", "requiredextensions", "requiredfeatures")
_DEEPEST = 511
"""Past this many open elements (with html and body, 512) a browser puts a new element beside
the current one, in that one's parent, so that the tree it builds stays shallow."""
_MOST_OPEN = 250_000
"""Open elements kept at most (a few hundred bytes each); a page that nests deeper is not one a
person wrote, and none of it is counted."""
_FORMATTING_LIMIT = 32
"""Formatting elements a browser would reopen after a block ends; a real page has a handful. Past
this many the oldest is forgotten, which keeps reopening them linear; if it hid its content,
none of the page is counted."""
_RESTRUCTURE_BUDGET = 4
"""Stack entries the repairs of misnested markup (formatting elements, a form's end) may touch per
source character; a page that needs more is not one a person wrote, and none of it is counted."""

_TEXT_END = re.compile(r"<(?=[A-Za-z!/?])|&(?=#[xX][0-9a-fA-F]|#[0-9]|[A-Za-z])")
_REFERENCE = re.compile(r"&(#[xX][0-9a-fA-F]+|#[0-9]+|[A-Za-z][A-Za-z0-9]*);?")
_NAME = re.compile(r"[^\t\n\f\r />]*")
_ATTRIBUTE_NAME = re.compile(r"[^\t\n\f\r />][^\t\n\f\r /=>]*")
_UNQUOTED = re.compile(r"[^\t\n\f\r >]*")
_SKIP_SPACE = re.compile(r"[\t\n\f\r ]*")
_COMMENT_END = re.compile(r"--!?>")
# The doctypes that read a page in standards mode; any other (legacy public identifiers among
# them) may mean quirks mode, which hides no less.
_STANDARD_DOCTYPE = re.compile(r"[\t\n\f\r ]+html(?:[\t\n\f\r ]+system[\t\n\f\r ]+([\"'])about:legacy-compat\1)?"
                               r"[\t\n\f\r ]*", re.I)
_END_TAGS: dict[str, re.Pattern[str]] = {}
_SCRIPT = {
    "data": re.compile(r"<!--|</script(?=[\t\n\f\r />])", re.I),
    "escaped": re.compile(r"-->|</script(?=[\t\n\f\r />])|<script(?=[\t\n\f\r />])", re.I),
    "double": re.compile(r"-->|</script(?=[\t\n\f\r />])", re.I),
}
_CSS_TOKEN = re.compile(r"/\*.*?(?:\*/|$)|\"(?:[^\"\\\n]|\\.)*\"?|'(?:[^'\\\n]|\\.)*'?|[()\[\]{};]|[^/\"'()\[\]{};]+|/",
                        re.S)
_CSS_ESCAPE = re.compile(r"\\([0-9a-fA-F]{1,6})[\t\n\f\r ]?|\\(.)", re.S)
_IMPORTANT = re.compile(r"!\s*important\s*$")
_CSS_PROPERTIES = frozenset({"display", "visibility", "content-visibility"})


def _end_tag(tag: str) -> re.Pattern[str]:
    """The end tag that closes a text-only element, as a browser recognises it."""
    if tag not in _END_TAGS:
        _END_TAGS[tag] = re.compile(f"</{tag}(?=[\\t\\n\\f\\r />])", re.I)
    return _END_TAGS[tag]


def _css_unescape(text: str) -> str:
    def one(match: re.Match[str]) -> str:
        if match.group(1):
            code = int(match.group(1), 16)
            return chr(code) if 0 < code <= 0x10FFFF and not 0xD800 <= code <= 0xDFFF else "\ufffd"
        return match.group(2)
    return _CSS_ESCAPE.sub(one, text)


def _style(value: str) -> dict[str, str]:
    """The declarations of a style attribute that decide whether text shows, read as a browser
    reads them: comments dropped, `;` inside strings and brackets kept, escapes decoded, the
    last declaration winning unless an earlier one is !important."""
    folded = value.lower()
    if "\\" not in value and "display" not in folded and "visibility" not in folded:
        return {}
    pieces: list[str] = []
    current: list[str] = []
    depth = 0
    for match in _CSS_TOKEN.finditer(value):
        token = match.group()
        if token.startswith("/*"):
            token = " "
        elif token in "([{":
            depth += 1
        elif token in ")]}":
            depth = max(depth - 1, 0)
        elif token == ";" and depth == 0:
            pieces.append("".join(current))
            current = []
            continue
        current.append(token)
    pieces.append("".join(current))
    found: dict[str, tuple[str, bool]] = {}
    for piece in pieces:
        name, colon, text = piece.partition(":")
        name = _css_unescape(name).strip().lower()
        if not colon or name not in _CSS_PROPERTIES:
            continue
        text = _css_unescape(text).strip().lower()
        important = _IMPORTANT.search(text)
        if important:
            text = text[:important.start()].strip()
        if important or not found.get(name, ("", False))[1]:
            found[name] = (text, bool(important))
    return {name: text for name, (text, _) in found.items()}


class _Element:
    """An open element and what a browser does with what is inside it."""

    __slots__ = ("tag", "ns", "attrs", "index", "shows", "visible", "painted", "in_select", "breaks",
                 "is_open", "children", "closed_details", "special", "special_not_adp", "html", "scope",
                 "button_scope", "list_scope", "table_scope", "detached", "transparent", "has_summary", "parent")

    def __init__(self, tag: str, ns: str, attrs: dict[str, str]) -> None:
        self.tag, self.ns, self.attrs = tag, ns, attrs
        self.index = 0
        self.shows = self.visible = self.painted = True
        self.in_select = self.breaks = self.closed_details = False
        self.is_open = True
        self.children = 0
        self.has_summary = False  # a closed details shows its first summary only
        self.parent: Optional[_Element] = None  # the element it is drawn in
        # Off the parser's stack but kept on ours, so that no index above it moves: it is found by
        # no end tag and bounds no search. A transparent one left the tree too (a misnesting repair
        # moved what was inside it out), so it passes its parent's state on.
        self.detached = self.transparent = False
        # Indexes of the nearest element of each kind at or below this one on the stack.
        self.special = self.special_not_adp = self.html = 0
        self.scope = self.button_scope = self.list_scope = self.table_scope = 0

    def snapshot(self) -> tuple[object, ...]:
        return (self.shows, self.visible, self.painted, self.in_select, self.breaks, self.closed_details,
                self.special, self.special_not_adp, self.html, self.scope, self.button_scope, self.list_scope,
                self.table_scope)

    def hides_itself(self) -> bool:
        style = _style(self.attrs.get("style", ""))
        return ("hidden" in self.attrs or style.get("display") == "none"
                or style.get("visibility") in ("hidden", "collapse") or style.get("content-visibility") == "hidden")


def _last_position(elements: list[_Element], element: _Element) -> int:
    """Where the element is in a list of open elements; it is usually near the end."""
    for position in range(len(elements) - 1, -1, -1):
        if elements[position] is element:
            return position
    raise ValueError("not an open element")


def _derive(element: _Element, parent: _Element) -> None:
    """Sets what `element` shows from its parent and its own markup."""
    if element.transparent:
        element.shows, element.visible, element.painted = parent.shows, parent.visible, parent.painted
        element.in_select, element.closed_details, element.breaks = parent.in_select, parent.closed_details, False
        return
    tag, ns, attrs = element.tag, element.ns, element.attrs
    style = _style(attrs.get("style", ""))
    display = attrs.get("display", "").strip().lower() if ns == SVG else ""
    visibility = style.get("visibility") or (attrs.get("visibility", "").strip().lower() if ns == SVG else "")
    rendered = (parent.shows and "hidden" not in attrs and style.get("display") != "none" and display != "none"
                and not (parent.closed_details and (tag != "summary" or parent.has_summary))
                and not (ns == HTML and "popover" in attrs)
                and not ((parent.tag, parent.ns) in _FIRST_CHILD_ONLY and parent.children > 0)
                and not (parent.tag == "switch" and parent.ns == SVG and any(a in attrs for a in _SWITCH_TESTS)))
    # An object shows its fallback content only when it has nothing else to show; with a
    # resource named we cannot tell whether it loads.
    fallback_used = not (tag == "object" and ns == HTML and (attrs.get("data", "").strip() or "type" in attrs))
    element.shows = (rendered and tag not in _HIDING[ns] and style.get("content-visibility") != "hidden"
                     and (ns == HTML or tag in _DRAWN[ns])
                     and not (tag == "dialog" and ns == HTML and "open" not in attrs) and fallback_used)
    element.visible = {"hidden": False, "collapse": False, "visible": True}.get(visibility, parent.visible)
    # A select draws its options itself, and an option its text: what they hide, nothing inside
    # them can show.
    element.visible = element.visible and (parent.visible or not parent.in_select)
    element.in_select = parent.in_select or (tag in ("select", "option") and ns == HTML)
    if ns == HTML:
        element.painted = tag == "option" or (parent.painted and tag != "select")
    elif ns == SVG:
        element.painted = tag in ("text", "foreignobject") or (parent.painted and tag != "svg")
    else:
        element.painted = tag in _MATH_TEXT or (parent.painted and tag != "math")
    element.closed_details = tag == "details" and ns == HTML and "open" not in attrs
    # Options, and MathML's text elements, are laid out as boxes of their own.
    separate = ((ns == HTML and tag in _BLOCKS and not element.in_select) or (ns == MATH and tag in _MATH_TEXT)
                or (ns == HTML and tag == "option" and element.in_select) or (ns == SVG and tag == "text"))
    element.breaks = separate and element.shows and element.visible


def _link(element: _Element, below: _Element, index: int) -> None:
    """Sets the element's place on the stack and its pointers to the nearest boundaries."""
    element.index = index
    html_element = element.ns == HTML
    if element.detached:
        html_element = special = scope = False
    else:
        special = (html_element and element.tag in _SPECIAL) or (element.tag, element.ns) in _FOREIGN_BOUNDARIES
        scope = (html_element and element.tag in _SCOPE) or (element.tag, element.ns) in _FOREIGN_BOUNDARIES
    element.special = index if special else below.special
    element.special_not_adp = (index if special and element.tag not in ("address", "div", "p")
                               else below.special_not_adp)
    element.html = index if html_element else below.html
    element.scope = index if scope else below.scope
    element.button_scope = index if scope or (html_element and element.tag == "button") else below.button_scope
    element.list_scope = index if scope or (html_element and element.tag in ("ol", "ul")) else below.list_scope
    element.table_scope = index if html_element and element.tag in _TABLE_SCOPE else below.table_scope


class _Reader:
    def __init__(self, source: str) -> None:
        self.source = source
        root = _Element("#document", HTML, {})
        root.breaks = False
        self.stack = [root]
        self.by_name: dict[str, list[_Element]] = {}
        self.sections: list[list[_Element]] = [[]]
        self.root_attrs: dict[str, str] = {}
        self.chars: list[str] = []  # pieces of the text
        self.after = array("q")
        self.unsure = False  # a browser may hide any of the page: count none of it
        self.budget = _RESTRUCTURE_BUDGET * len(source) + 10_000
        self.raw: Optional[str] = None
        self.here = 0
        self.form: Optional[_Element] = None  # a browser keeps one form open at a time
        # Whether the page is read in quirks mode, where a table may sit inside a paragraph:
        # decided by the doctype, or by its absence when the first tag or word comes.
        self.quirks: Optional[bool] = None

    # Output

    def _shown(self, parent: _Element) -> bool:
        return parent.shows and parent.visible and parent.painted and not parent.closed_details

    def text(self, start: int, end: int) -> None:
        if start >= end:
            return
        if self.quirks is None and self.source[start:end].strip(_SPACE):
            self.quirks = True
        parent = self._text_parent(self.source[start:end])
        if self._shown(parent):
            self.chars.append(self.source[start:end])
            self.after.extend(range(start + 1, end + 1))

    def reference(self, start: int) -> int:
        if self.quirks is None:
            self.quirks = True
        match = _REFERENCE.match(self.source, start)
        end = match.end() if match else start + 1
        text = html.unescape(self.source[start:end])
        if self._shown(self._text_parent(text)):
            self.chars.append(text)
            self.after.extend([end] * len(text))
        return end

    def line_break(self, element: _Element) -> None:
        if element.breaks:
            self.chars.append("\n")
            self.after.append(self.here)

    def _text_parent(self, text: str) -> _Element:
        top = self.stack[-1]
        if top.ns != HTML or top.tag not in _TABLE_TEXT_PARENTS or not text.strip(_SPACE):
            if top.ns == HTML:
                self._reopen_formatting()
            return self.stack[-1]
        return self._foster_target()

    def _foster_target(self) -> _Element:
        """Where a browser puts text or an element found where only table parts belong: in front
        of the table, or in a template opened inside it."""
        table = self.by_name["table"][-1]
        template = self.innermost("template")
        if template is not None and template.index > table.index:
            return template
        return self.stack[table.index - 1]

    # The stack of open elements

    def push(self, tag: str, ns: str, attrs: dict[str, str], parent: Optional[_Element] = None) -> _Element:
        below = self.stack[-1]
        if parent is None:
            parent = below
            if len(self.stack) > _DEEPEST and below.parent is not None:
                parent = below.parent
        if len(self.stack) > _MOST_OPEN:
            self.unsure = True
        element = _Element(tag, ns, attrs)
        element.parent = parent
        _derive(element, parent)
        _link(element, below, len(self.stack))
        parent.children += 1
        if tag == "summary" and ns == HTML:
            parent.has_summary = True
        self.stack.append(element)
        self.by_name.setdefault(tag, []).append(element)
        return element

    def pop_through(self, element: _Element) -> None:
        """Closes the element and every one still open inside it, as its end tag would."""
        while len(self.stack) > element.index:
            popped = self.stack.pop()
            popped.is_open = False
            if not popped.detached:
                self.by_name[popped.tag].pop()
            self.line_break(popped)
            if popped.ns == HTML and popped.tag in _MARKERS and len(self.sections) > 1:
                self.sections.pop()

    def innermost(self, *tags: str) -> Optional[_Element]:
        found = [self.by_name[tag][-1] for tag in tags if self.by_name.get(tag)]
        return max(found, key=lambda element: element.index) if found else None

    def in_scope(self, tag: str, boundary: str = "scope") -> Optional[_Element]:
        element = self.innermost(tag)
        if element is None or self._boundary(boundary) > element.index:
            return None
        return element

    def _boundary(self, kind: str) -> int:
        """The index of the innermost open element that bounds a search of that kind."""
        top = self.stack[-1]
        return {"scope": top.scope, "button_scope": top.button_scope, "list_scope": top.list_scope,
                "table_scope": top.table_scope}[kind]

    def _foster_parent(self, tag: str) -> Optional[_Element]:
        """Where a browser puts an element that does not belong in a table: in front of it."""
        top = self.stack[-1]
        if top.ns == HTML and top.tag in _TABLE_TEXT_PARENTS and tag not in _TABLE_PARTS and tag not in _IN_TABLE:
            return self._foster_target()
        return None

    # Formatting elements a browser reopens after the block that closed them. They are kept in
    # sections, one per cell, object or template, since a browser never reopens one across them.

    def _remember_formatting(self, element: _Element) -> None:
        section = self.sections[-1]
        same = [entry for entry in section if entry.tag == element.tag and entry.attrs == element.attrs]
        if len(same) >= 3:
            section.remove(same[0])
        if len(section) >= _FORMATTING_LIMIT and section.pop(0).hides_itself():
            self.unsure = True
        section.append(element)

    def _reopen_formatting(self) -> None:
        section = self.sections[-1]
        if not section or section[-1].is_open:
            return
        start = len(section) - 1
        while start > 0 and not section[start - 1].is_open:
            start -= 1
        for i in range(start, len(section)):
            old = section[i]
            section[i] = self.push(old.tag, HTML, old.attrs)

    def _formatting_entry(self, tag: str) -> Optional[_Element]:
        return next((entry for entry in reversed(self.sections[-1]) if entry.tag == tag), None)

    def _adopt(self, tag: str) -> None:
        """A formatting element's end tag where elements are misnested: a block opened inside
        it stays open but leaves it, carrying a copy of it, as a browser's parser does."""
        top = self.stack[-1]
        if top.tag == tag and top.ns == HTML and top not in self.sections[-1]:
            self.pop_through(top)
            return
        for _ in range(8):
            entry = self._formatting_entry(tag)
            if entry is None:
                self._any_other_end(tag)
                return
            if not entry.is_open:
                self.sections[-1].remove(entry)
                return
            if self.stack[-1].scope > entry.index:
                return
            block = self._furthest_block(entry)
            if self.unsure:
                return
            if block is None:
                self.pop_through(entry)
                self.sections[-1].remove(entry)
                return
            self._restructure(entry, block)

    def _furthest_block(self, entry: _Element) -> Optional[_Element]:
        if self.stack[-1].special <= entry.index:
            return None
        for index in range(entry.index + 1, len(self.stack)):
            self._spend(1)
            if self.unsure:
                return None
            if self.stack[index].special == index:
                return self.stack[index]
        return None

    def _restructure(self, entry: _Element, block: _Element) -> None:
        """The stack after the repair: the formatting elements between the two (at most three,
        nearest the block first) stay, the others leave, then come the block, the formatting
        element (a browser's copy of it) and what was open inside the block. Those that leave
        stay on the stack as transparent placeholders below the rest, so that no index above
        moves and the repair costs what lies between the two, not the depth of the page."""
        section = self.sections[-1]
        first, last = entry.index, block.index
        between = self.stack[first + 1:last]
        kept: list[_Element] = []
        for steps, node in enumerate(reversed(between), 1):
            if node in section and steps > 3:
                section.remove(node)
            elif node in section:
                kept.append(node)
        kept.reverse()
        left = [node for node in between if node not in kept]
        self._spend(len(between) + 2)
        self._forget([node for node in left if not node.detached])
        for node in left:
            node.detached = node.transparent = True
        same_name = sum(node.tag == entry.tag for node in kept)
        names = self.by_name[entry.tag]
        at = _last_position(names, entry)
        names[at:at + same_name + 1] = names[at + 1:at + same_name + 1] + [entry]
        self.stack[first:last + 1] = left + kept + [block, entry]
        self._relink(first, last, (block, entry))

    def _relink(self, first: int, last: int, moved: Optional[tuple[_Element, _Element]] = None) -> None:
        """Recomputes the elements from `first` up, after those from `first` to `last` were put
        each inside the one below it; `moved` is (old, new) when what was drawn in old is
        drawn in new now."""
        for index in range(first, len(self.stack)):
            self._spend(1)
            node, below = self.stack[index], self.stack[index - 1]
            if index <= last:
                node.parent = below
            elif moved and node.parent is moved[0]:
                node.parent = moved[1]
            before = node.snapshot()
            _link(node, below, index)
            _derive(node, node.parent or below)
            if last < index <= _DEEPEST and node.snapshot() == before:
                break  # what lies above depends only on this element, which did not change

    def _forget(self, nodes: list[_Element]) -> None:
        """Takes elements (given in stack order) off the per-name lists. Those of one name lie
        in stack order there too, so each list is searched once, from its end down."""
        below: dict[str, int] = {}
        for node in reversed(nodes):
            names = self.by_name[node.tag]
            position = below.get(node.tag, len(names)) - 1
            steps = 1
            while names[position] is not node:
                position -= 1
                steps += 1
            del names[position]
            below[node.tag] = position
            self._spend(steps)

    def _spend(self, steps: int) -> None:
        self.budget -= steps
        if self.budget < 0:
            self.unsure = True

    # Tags

    def start_tag(self, tag: str, attrs: dict[str, str], self_closing: bool) -> None:
        if self.quirks is None:
            self.quirks = True
        top = self.stack[-1]
        if top.ns != HTML and not self._html_rules_apply(top, tag):
            if tag in _BREAKOUT or (tag == "font" and any(a in attrs for a in ("color", "face", "size"))):
                while self.stack[-1].ns != HTML and not self._integration_point(self.stack[-1]):
                    self.pop_through(self.stack[-1])
            else:
                element = self.push(tag, top.ns, attrs)
                if self_closing:
                    self.pop_through(element)
                return
        self._html_start_tag(tag, attrs, self_closing)

    @staticmethod
    def _integration_point(element: _Element) -> bool:
        if element.ns == SVG:
            return element.tag in ("foreignobject", "desc", "title")
        return element.ns == MATH and (element.tag in _MATH_TEXT or (
            element.tag == "annotation-xml"
            and element.attrs.get("encoding", "").lower() in ("text/html", "application/xhtml+xml")))

    def _html_rules_apply(self, top: _Element, tag: str) -> bool:
        if top.ns == MATH and top.tag in _MATH_TEXT:
            return tag not in ("mglyph", "malignmark")
        if top.ns == MATH and top.tag == "annotation-xml" and tag == "svg":
            return True
        return self._integration_point(top)

    def _html_start_tag(self, tag: str, attrs: dict[str, str], self_closing: bool) -> None:
        if tag in ("html", "body"):
            for name, value in attrs.items():
                self.root_attrs.setdefault(name, value)
            return
        if tag == "frameset":
            self.unsure = True  # a frameset page shows other documents, not this one
            return
        if (tag in ("head", "frame") or (tag in _TABLE_PARTS and not self.by_name.get("table"))
                or (tag == "form" and self.form and not self.by_name.get("template"))):
            return
        if tag in _CLOSES_P and not (tag == "table" and self.quirks):
            paragraph = self.in_scope("p", "button_scope")
            if paragraph:
                self.pop_through(paragraph)
        if self._close_implied(tag):
            return
        if tag in ("svg", "math"):
            self._reopen_formatting()
            element = self.push(tag, SVG if tag == "svg" else MATH, attrs, self._foster_parent(tag))
            if self_closing:
                self.pop_through(element)
            return
        if tag == "a" and self._formatting_entry("a"):
            self._adopt("a")
            leftover = self._formatting_entry("a")
            if leftover is not None:
                self.sections[-1].remove(leftover)
                if leftover.is_open:
                    self.pop_through(leftover)
        if tag not in _NO_REOPEN:
            self._reopen_formatting()
        element = self.push("img" if tag == "image" else tag, HTML, attrs, self._foster_parent(tag))
        self.line_break(element)
        if tag in _VOID:
            self.pop_through(element)
            return
        if tag in _FORMATTING:
            self._remember_formatting(element)
        elif tag == "form" and not self.by_name.get("template"):
            self.form = element
        elif tag in _MARKERS:
            self.sections.append([])
        if tag in _RCDATA or tag in _RAWTEXT or tag in ("script", "plaintext"):
            self.raw = tag

    def _close_implied(self, tag: str) -> bool:
        """Start tags that close an open element of their kind, as a browser does; True when
        that is all the tag does."""
        closing: Optional[_Element] = None
        if tag in _HEADINGS and self.stack[-1].tag in _HEADINGS:
            closing = self.stack[-1]
        elif tag == "li":
            closing = self.innermost("li")
        elif tag in ("dd", "dt"):
            closing = self.innermost("dd", "dt")
        elif tag in ("option", "optgroup") and self.stack[-1].tag == "option":
            closing = self.stack[-1]
        elif tag in ("button", "nobr"):
            closing = self.in_scope(tag)
            if tag == "nobr" and closing:
                self._adopt("nobr")
                return False
        elif tag == "select" and self.in_scope("select"):
            self.pop_through(self.by_name["select"][-1])  # a select inside a select ends the first
            return True
        elif tag in _TABLE_PARTS:
            closing = self._open_table_part(tag)
        if tag in ("li", "dd", "dt") and closing and self.stack[-1].special_not_adp > closing.index:
            closing = None
        if closing:
            self.pop_through(closing)
        return False

    def _open_table_part(self, tag: str) -> Optional[_Element]:
        """The first element above the table, body or row this part belongs in: a browser closes
        it and all inside it (foster-parented elements included) before the part."""
        contexts = {"td": _ROW_CONTEXT, "th": _ROW_CONTEXT, "tr": _BODY_CONTEXT}.get(tag, _TABLE_CONTEXT)
        context = self.innermost(*contexts)
        if context is None or context.index + 1 >= len(self.stack):
            return None
        return self.stack[context.index + 1]

    def end_tag(self, tag: str) -> None:
        if self.quirks is None:
            self.quirks = True
        top = self.stack[-1]
        if top.ns != HTML:
            if tag in ("br", "p"):
                while self.stack[-1].ns != HTML and not self._integration_point(self.stack[-1]):
                    self.pop_through(self.stack[-1])
            else:
                element = self.innermost(tag)
                if element is not None and element.index > top.html:
                    self.pop_through(element)
                    return
        self._html_end_tag(tag)

    def _html_end_tag(self, tag: str) -> None:
        if tag in ("html", "body", "head"):
            return
        if tag == "br":
            self.start_tag("br", {}, False)
            return
        if tag == "p":
            paragraph = self.in_scope("p", "button_scope")
            if paragraph:
                self.pop_through(paragraph)
            else:
                self.line_break(self.push("p", HTML, {}))
                self.pop_through(self.stack[-1])
            return
        if tag in _FORMATTING:
            self._adopt(tag)
            return
        if tag == "form" and not self.by_name.get("template"):
            self._close_form()
            return
        element: Optional[_Element]
        if tag in _HEADINGS:
            element = self.innermost(*_HEADINGS)
            boundary = "scope"
        else:
            element = self.innermost(tag)
            boundary = {"li": "list_scope", "button": "button_scope"}.get(tag, "scope")
            if tag in _TABLE_PARTS or tag == "table":
                boundary = "table_scope"
        if tag in _SPECIAL or tag in _HEADINGS:
            if element is not None and self._boundary(boundary) <= element.index:
                self.pop_through(element)
            return
        self._any_other_end(tag)

    def _close_form(self) -> None:
        """A form's end tag takes the form off the stack but leaves what is open inside it
        there, still inside the form."""
        form, self.form = self.form, None
        if form is None or not form.is_open or self._boundary("scope") > form.index:
            return
        if form is self.stack[-1]:
            self.pop_through(form)
            return
        self._forget([form])
        form.detached = True
        self._relink(form.index, form.index - 1)

    def _any_other_end(self, tag: str) -> None:
        element = self.innermost(tag)
        if element is not None and self.stack[-1].special <= element.index:
            self.pop_through(element)

    def root_hidden(self) -> bool:
        holder = _Element("body", HTML, self.root_attrs)
        return holder.hides_itself()


def _run(pattern: re.Pattern[str], source: str, pos: int) -> re.Match[str]:
    """The run of `pattern` at `pos`, possibly empty."""
    match = pattern.match(source, pos)
    assert match is not None, "the pattern matches the empty string"
    return match


def _tag(reader: _Reader, start: int, end_tag: bool) -> int:
    """Reads the tag at `start` (just after `<` or `</`); returns where it ends. A tag cut off by
    the end of the document is not a tag: a browser drops it and all that follows."""
    source, n = reader.source, len(reader.source)
    name_end = _run(_NAME, source, start).end()
    tag = source[start:name_end].lower()
    attrs: dict[str, str] = {}
    pos, self_closing = name_end, False
    while True:
        pos = _run(_SKIP_SPACE, source, pos).end()
        if pos >= n:
            return n
        if source[pos] == ">":
            pos += 1
            break
        if source[pos] == "/":
            if source.startswith(">", pos + 1):
                self_closing, pos = True, pos + 2
                break
            pos += 1
            continue
        name_match = _run(_ATTRIBUTE_NAME, source, pos)
        name, pos = name_match.group().lower(), name_match.end()
        value = ""
        pos = _run(_SKIP_SPACE, source, pos).end()
        if source.startswith("=", pos):
            pos = _run(_SKIP_SPACE, source, pos + 1).end()
            if pos >= n:
                return n
            quote = source[pos]
            if quote in "\"'":
                close = source.find(quote, pos + 1)
                if close < 0:
                    return n
                value, pos = source[pos + 1:close], close + 1
            else:
                unquoted = _run(_UNQUOTED, source, pos)
                value, pos = unquoted.group(), unquoted.end()
        attrs.setdefault(name, html.unescape(value))
    reader.here = pos
    if end_tag:
        reader.end_tag(tag)
    else:
        reader.start_tag(tag, attrs, self_closing)
    return pos


def _markup(reader: _Reader, pos: int) -> int:
    """Reads what starts with `<` at `pos`; returns where it ends."""
    source = reader.source
    following = source[pos + 1:pos + 2]
    if following.isascii() and following.isalpha():
        return _tag(reader, pos + 1, end_tag=False)
    if following == "/":
        after = source[pos + 2:pos + 3]
        if after.isascii() and after.isalpha():
            return _tag(reader, pos + 2, end_tag=True)
        if after == ">":
            return pos + 3
        if not after:
            reader.text(pos, pos + 2)
            return pos + 2
        return _to_gt(source, pos + 2)
    if following == "!":
        if source.startswith("--", pos + 2):
            return _comment_end(source, pos + 4)
        if source[pos + 2:pos + 9].lower() == "doctype":
            end = _to_gt(source, pos + 2)
            if reader.quirks is None:
                reader.quirks = not _STANDARD_DOCTYPE.fullmatch(source[pos + 9:end].rstrip(">"))
            return end
        if source.startswith("[CDATA[", pos + 2) and reader.stack[-1].ns != HTML:
            close = source.find("]]>", pos + 9)
            end = len(source) if close < 0 else close
            reader.text(pos + 9, end)
            return end + 3 if close >= 0 else end
    return _to_gt(source, pos + 2)


def _to_gt(source: str, pos: int) -> int:
    """The end of a bogus comment or a doctype: the next `>`."""
    close = source.find(">", pos)
    return len(source) if close < 0 else close + 1


def _comment_end(source: str, pos: int) -> int:
    if source.startswith(">", pos):
        return pos + 1
    if source.startswith("->", pos):
        return pos + 2
    match = _COMMENT_END.search(source, pos)
    return match.end() if match else len(source)


def _raw_text(reader: _Reader, pos: int) -> int:
    """Reads the content of a text-only element; returns where its end tag starts."""
    tag, source = reader.raw, reader.source
    assert tag is not None
    reader.raw = None
    if tag == "plaintext":
        end = len(source)
    elif tag == "script":
        end = _script_end(source, pos)
    else:
        match = _end_tag(tag).search(source, pos)
        end = match.start() if match else len(source)
    if tag in _RCDATA:
        _data(reader, pos, end)
    else:
        reader.text(pos, end)
    return end


def _script_end(source: str, pos: int) -> int:
    """Where a script ends: `<!--` and a nested `<script>` hide a `</script>` from the parser."""
    state = "data"
    while True:
        match = _SCRIPT[state].search(source, pos)
        if match is None:
            return len(source)
        token = match.group().lower()
        if token == "</script" and state != "double":
            return match.start()
        if token == "<!--":
            state, pos = "escaped", match.start() + 2
        elif token == "-->":
            state, pos = "data", match.end()
        elif token == "<script":
            state, pos = "double", match.end()
        else:
            state, pos = "escaped", match.end()


def _data(reader: _Reader, pos: int, end: int) -> None:
    """Text with character references, up to `end`."""
    while pos < end:
        match = _TEXT_END.search(reader.source, pos, end)
        stop = match.start() if match else end
        reader.text(pos, stop)
        if match is None:
            return
        if reader.source[stop] == "&":
            pos = reader.reference(stop)
        else:
            reader.text(stop, stop + 1)
            pos = stop + 1


def read(source: str) -> Visible:
    """The text a browser shows of the page, with where each character comes from."""
    reader = _Reader(source)
    pos, n = 0, len(source)
    while pos < n and not reader.unsure:
        if reader.raw:
            pos = _raw_text(reader, pos)
            if pos >= n:
                break
        match = _TEXT_END.search(source, pos)
        stop = match.start() if match else n
        reader.text(pos, stop)
        if match is None:
            break
        reader.here = stop
        pos = reader.reference(stop) if source[stop] == "&" else _markup(reader, stop)
    if reader.unsure or reader.root_hidden():
        return Visible("", array("q"))
    return Visible("".join(reader.chars), reader.after)
