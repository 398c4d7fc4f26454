import re

import pytest
import quelvane

from quelvane_host.formats import visible_text
from .texts import ARTICLE, ESSAY, LINK, NOTES, PAGE, PARAGRAPHS

ZERO_WIDTH = re.compile("[\u200b\u200c\u200d\u2060]")


MARKDOWN = f"""# Ferry to reopen

{PARAGRAPHS[0]} Run `ferry --status now` to see the `current timetable`, or read the
[timetable page](https://example.org/ferry/timetable "the timetable") and <https://example.org/ferry>.

```
ferry schedule --from eastern-bank --to merrow --every thirty minutes
ferry notify --when crossing-open
```

    indented code block with several words that must not change at all

<div class="note">An HTML block with words in it that stays as written.</div>

{PARAGRAPHS[1]}

* {PARAGRAPHS[2]}
"""


def test_html_runs_only_in_visible_text_nodes(registry):
    assert LINK in PAGE
    result = registry.publish(PAGE, format="html")
    assert result.watermark_runs == 48
    published = result.published
    assert ZERO_WIDTH.sub("", published) == PAGE
    for tag in re.findall(r"<[^>]*>", published):
        assert not ZERO_WIDTH.search(tag), tag
    hidden = r"<(head|script|style|dialog)>.*?</\1>|<div hidden>.*?</div>|</summary>.*?</details>|none\">[^<]*"
    for part in re.finditer(hidden, published, re.S):
        assert not ZERO_WIDTH.search(part.group()), part.group()
    for reference in re.findall(r"&[#\w]*;?", published):
        assert not ZERO_WIDTH.search(reference)
    visible = visible_text(published, "html")
    assert "Ferry\xa0crossing" in ZERO_WIDTH.sub("", visible) and "Timetable" in visible
    for unseen in ("script has many words", "archived note", "thirty minutes", "Subscribe", "correction"):
        assert unseen not in visible
    assert quelvane.extract_watermark(visible, registry.keys.binding_hex) == (result.pointer, True, 0)
    [match] = registry.identify(published, format="html")
    assert match.pointer == result.pointer and match.evidence.watermark and match.tier == "BOUND"


def test_markdown_runs_never_in_code_links_or_html(registry):
    result = registry.publish(MARKDOWN, format="markdown")
    assert result.watermark_runs >= 24
    published = result.published
    assert ZERO_WIDTH.sub("", published) == MARKDOWN
    protected = re.findall(r"```[\s\S]*?```|`[^`\n]*`|\]\([^)]*\)|<https?://[^>]*>|<div[\s\S]*?</div>|^    [^\n]*$",
                           published, re.M)
    assert len(protected) >= 6
    for piece in protected:
        assert not ZERO_WIDTH.search(piece), piece
    shown = visible_text(published, "markdown")
    pointer, verified, _ = quelvane.extract_watermark(shown, registry.keys.binding_hex)
    assert (pointer, verified) == (result.pointer, True)
    [match] = registry.identify(published, format="markdown")
    assert match.pointer == result.pointer and match.evidence.watermark


@pytest.mark.parametrize("format", ["html", "markdown"])
def test_markup_without_enough_plain_words_is_published_unmarked(registry, format):
    document = {"html": "<p>Too few words here.</p><script>" + ESSAY + "</script>",
                "markdown": "Too few words here.\n\n```\n" + NOTES + "\n```\n"}[format]
    result = registry.publish(document, format=format)
    assert result.watermark_runs == 0 and result.published == document and result.watermark_note
    assert registry.identify(document, format=format)[0].pointer == result.pointer


# Places a page can keep the published text where a browser never shows it.
HIDDEN_HOLDERS = [
    "<noframes>{}</noframes>",
    "<noembed>{}</noembed>",
    "<datalist>{}</datalist>",
    "<ruby>x<rp>{}</rp></ruby>",
    '<div style="/*x*/display:none">{}</div>',
    "<script><!--<script></script>{}</script>",
    "<p><b hidden>x</p><p>{}</p>",
    "<b><div hidden>x</b>{}</div>",
    "<form hidden><div></form>{}</div>",
    "<select><div>{}</div></select>",
    "<svg><desc>{}</desc></svg>",
    '<object data="page.pdf">{}</object>',
    "<!-- {}",
    '<p title="{}',
]


@pytest.mark.parametrize("holder", HIDDEN_HOLDERS)
def test_published_text_a_browser_does_not_show_never_matches(registry, holder):
    published = registry.publish("<p>" + ARTICLE.replace("\n\n", "</p><p>") + "</p>", format="html").published
    page = f"<!DOCTYPE html><html><body><p>{ESSAY}</p>" + holder.format(published) + "</body></html>"
    assert "Hollins" not in visible_text(page, "html")
    assert registry.identify(page, format="html") == []


def test_runs_stay_in_shown_text_around_markup_a_browser_reads_specially(registry):
    first, second, third = PARAGRAPHS
    page = (f"<!DOCTYPE html><body><p>{first}</p><noframes>{NOTES}</noframes><!-->"
            f"<svg><title>{NOTES}</title><text>{second}</text></svg><textarea><!--</textarea>"
            f"<select><option>{third}</option></select><xmp>a &amp; b</xmp><plaintext>{NOTES}")
    result = registry.publish(page, format="html")
    assert result.watermark_runs == 48
    assert ZERO_WIDTH.sub("", result.published) == page
    for hidden in re.findall(r"<noframes>.*?</noframes>|<title>.*?</title>", result.published, re.S):
        assert not ZERO_WIDTH.search(hidden)
    visible = visible_text(result.published, "html")
    assert quelvane.extract_watermark(visible, registry.keys.binding_hex) == (result.pointer, True, 0)
    assert ZERO_WIDTH.sub("", visible).split()[-3:] == NOTES.split()[-3:]


@pytest.mark.parametrize("format, opening, depth", [
    ("html", "<div>", 100_000),
    ("markdown", "<div>", 100_000),
    ("html", "<b><li><table><tr><td><span><svg><g><foreignObject><i>", 10_000),
])
def test_deep_nesting_is_read_in_linear_time(format, opening, depth):
    words = "word " * 60
    assert visible_text(opening * depth + "\n\n" + words, format).split() == words.split()


@pytest.mark.parametrize("page", [
    "<b>" * 260_000 + ARTICLE,  # more open elements than are kept
    "<p>x</p><frameset><frame></frameset>" + ARTICLE,
])
def test_a_page_no_person_writes_counts_nothing(page):
    assert visible_text(page, "html") == ""
