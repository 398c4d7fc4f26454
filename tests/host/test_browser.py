"""A published HTML page, rendered by a real headless Chromium: the text a reader copies
(document.body.innerText) carries the watermark."""
import random
import re

import pytest
import quelvane
from quelvane_host.formats import visible_text

from .texts import PAGE

def test_rendered_page_yields_the_pointer(browser, registry, tmp_path):
    result = registry.publish(PAGE, format="html")
    page = tmp_path / "page.html"
    page.write_text(result.published, encoding="utf-8")
    browser.get(page.as_uri())
    copied = browser.execute_script("return document.body.innerText")
    assert "script has many words" not in copied and "archived note" not in copied
    assert quelvane.extract_watermark(copied, registry.keys.binding_hex) == (result.pointer, True, 0)
    [match] = registry.identify(copied)
    assert match.pointer == result.pointer and match.evidence.watermark and match.tier == "BOUND"


# Each way a page hides text from its readers, with a word that shows and one that does not.
HIDING = [
    '<div hidden>no1 <span>no2</span><div>no3</div> no4</div>',
    '<p hidden="until-found">no5</p><div hidden=false>no6</div>',
    '<p style="color: red; display : none !important">no7</p><div style="DISPLAY:NONE">no8</div>',
    '<p style="visibility:hidden">no9 <span style="visibility: visible">yes1</span></p>',
    '<details><summary>yes2</summary><p>no10</p>no11</details>',
    '<details open><summary>yes3</summary><p>yes4</p></details>',
    '<dialog><p>no12</p></dialog><dialog open><p>yes5</p></dialog>',
    '<p hidden>no13<p>yes6</p><ul><li hidden>no14<li>yes7</ul>',
    '<table><tr><td hidden>no15<td>yes8</tr></table><img hidden alt="no16"> yes9',
    '<span aria-hidden="true">yes10</span><noscript>no17</noscript><input type="hidden" value="no18">',
]


def test_the_words_we_read_are_the_words_a_browser_shows(browser, tmp_path):
    page = tmp_path / "hiding.html"
    page.write_text("<!DOCTYPE html><html><body>\n" + "\n".join(HIDING) + "\n</body></html>", encoding="utf-8")
    browser.get(page.as_uri())
    shown = browser.execute_script("return document.body.innerText").split()
    assert shown == [f"yes{i}" for i in range(1, 11)]
    assert visible_text(page.read_text(encoding="utf-8"), "html").split() == shown


STANDARD = "<!DOCTYPE html><html><body>\n"


def _innertext(browser, path, page):
    path.write_text(page, encoding="utf-8")
    browser.get(path.as_uri())
    return browser.execute_script("return document.body.innerText").split()


# How a browser's parser and renderer treat markup an attacker can choose: each page alone, as
# some constructs (an unfinished comment or tag, <plaintext>) run to the end of the document.
# A word named noN is one the browser does not show; every yesN is shown.
CONSTRUCTS = [
    '<div>yes1</div><noembed>no1</noembed><noframes><p>no2</p></noframes><div>yes2</div>',
    '<datalist id=d><option>no1</option>no2</datalist><div>yes1</div><input list=d value="no3">',
    '<ruby>yes1<rp>(no1</rp><rt>yes2</rt><rp>no2)</rp></ruby>',
    '<div>yes1</div><!-- no1 <p>no2</p>',
    '<div>yes1</div><p title="no1">yes2 <b no3',
    '<div>yes1</div><p title="no1',
    '<p style="/*x*/display:none">no1</p><p style="display: /* c */ none">no2</p>'
    '<p style="DISPLAY :NONE !IMPORTANT">no3</p><p style="display:none!important;display:block">no4</p>'
    '<p style="display:block;display:none">no5</p><p style="display:n\\6f ne">no6</p>'
    '<p style="content:\'a;b\';display:none">no7</p><p style="display:none;display:block">yes1</p>',
    '<svg><title>no1</title><desc>no2</desc>no3<text>yes1<tspan>yes2</tspan></text><defs></defs></svg><div>yes3</div>',
    '<math><mi>yes1</mi><mo>yes2</mo><semantics><mn>yes3</mn><annotation>no1</annotation></semantics>'
    '<mphantom><mi>no2</mi></mphantom></math>',
    '<select><option>yes1</option><optgroup label="no1"><option label="no2">yes2</option></optgroup></select>'
    '<div>yes3</div>',
    '<select><option>yes1</option><span hidden>no1</span><div>no2</div></select><div>yes2</div>',
    '<object><param name=a value=no1><p>yes1</p></object><object data="data:image/gif;base64,R0lGODlhAQABAIAAAAAAAP'
    '///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7"><p>no2</p></object><div>yes2</div>',
    '<xmp><b>yes1</b> yes2</xmp><div>yes3</div>',
    '<div>yes1</div><plaintext><b>yes2</b></plaintext> <p>yes3',
    '<textarea>no1</textarea><p title="</textarea>">yes1</p><textarea><!--</textarea><p>yes2</p>--><div>yes3</div>',
    '<title><!--</title><p>yes1</p>--><div>yes2</div>',
    '<svg><title><p>no1</p></title><text>yes1</text></svg><p>yes2</p><svg><style><b>yes3</b></style></svg>',
    '<svg><foreignObject><p>yes1</p></foreignObject></svg><svg><p>yes2</p>yes3</svg>'
    '<math><mi><title>no1</title><p>yes4</p></mi></math>',
    '<svg><switch><text>yes1</text></switch><g><text>yes2</text></g><a><text>yes3</text></a>'
    '<noscript><foreignObject><p>no1</p></foreignObject></noscript></svg>',
    '<noscript><p>no1</p></noscript><template><p>no2</p></template><div>yes1</div>'
    '<noscript><!--</noscript><p>yes2</p>-->',
    '<p>yes1</p><!-->yes2 <!--->yes3 <!--x--!>yes4 <!--!> no1 --> <p>yes5</p>',
    '<svg><![CDATA[no1]]><text><![CDATA[yes1]]></text></svg><![CDATA[no2]]><div>yes2</div>',
    '<div>yes1</div><p hidden="until-found">no1</p><div>yes2</div><p style="content-visibility:hidden">no2</p>'
    '<div>yes3</div>',
    '<input value="no1"><input type="submit" value="no2"><button>yes1</button><img alt="no3"><div>yes2</div>',
    '<script><!--<script></script>no1</script><div>yes1</div><script><!--</script><p>yes2</p>',
    '<div>yes1</div><p><b hidden>no1</p><p>no2</p><p><font style="display:none">no3</p><p>no4</p>',
    '<b><div hidden>no1</b>no2</div><div>yes1</div>'
    '<div style="visibility:hidden"><b style="visibility:visible"><p>yes2</b>no3</p></div><div>yes3</div>',
    '<table hidden>yes1<tr><td>no1</td></tr></table><div>yes2</div><td hidden>yes3</td>'
    '<table><tr><td hidden>no2</td><td>yes4</td></tr></table>',
    '<div style="display:none" style="display:block">no1</div>'
    '<div style="display:block" style="display:none">yes1</div>'
    '<div hidden="hidden" hidden=false>no2</div>',
    '<audio>no1</audio><video>no2</video><canvas>no3</canvas><iframe><p>no4</p></iframe><div>yes1</div>',
    '<a hidden>no1<a>yes1</a></a><p>yes2</p><ul><li>yes3<li hidden>no2<li>yes4</ul>',
    '<div>yes1</div></x no1> <? no2 > <!DOCTYPE no3> <div>yes2</div> <a <b>yes3</b> yes4 </ p> yes5',
    '<details><p>no1</p><summary>yes1</summary><summary>no2</summary>no3</details><div popover>no4</div>'
    '<div popover="manual">no5</div><p>yes2</p>',
]


@pytest.mark.parametrize("body", CONSTRUCTS)
def test_markup_tricks_read_as_a_browser_reads_them(browser, tmp_path, body):
    shown = _innertext(browser, tmp_path / "page.html", STANDARD + body)
    assert not re.search(r"\bno\d", " ".join(shown)), "the case itself is wrong"
    assert len(re.findall(r"yes\d", " ".join(shown))) == body.count("yes")
    assert visible_text(STANDARD + body, "html").split() == shown


# Without a standard doctype a browser reads the page in quirks mode, where a table stays inside
# the paragraph that holds it (and so inside whatever hides that paragraph).
DOCTYPES = [
    ("", ["after"]),
    ("<!-- first --> <!doctype HTML>", ["cell", "after"]),
    ('<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01 Transitional//EN">', ["after"]),
]


@pytest.mark.parametrize("doctype, words", DOCTYPES)
def test_quirks_mode_keeps_a_table_in_its_paragraph(browser, tmp_path, doctype, words):
    page = doctype + "<html><body><p hidden>paragraph<table><tr><td>cell</td></tr></table><div>after</div>"
    shown = _innertext(browser, tmp_path / "page.html", page)
    assert shown == words
    assert visible_text(page, "html").split() == shown


# Past 512 open elements a browser puts a new element beside the current one, not in it: out of
# a hidden element, or out of a visible one inside a hidden one.
DEEP = {
    "out of hidden": "<div>" * 510 + "<div hidden>no1<span>yes1</span></div>",
    "out of visible": "<div>" * 495 + '<div style="visibility:hidden">' + "<div>" * 20
                      + '<span style="visibility:visible">yes1<b>no1<i>no2</i></b> yes2</span></div>',
}


@pytest.mark.parametrize("body", DEEP.values(), ids=DEEP.keys())
def test_a_page_deeper_than_a_browser_builds(browser, tmp_path, body):
    shown = _innertext(browser, tmp_path / "page.html", STANDARD + body)
    assert [word for word in shown if "no" not in word] == shown and shown
    assert visible_text(STANDARD + body, "html").split() == shown


# Where a browser may show text and may not (a resource that may load, markup a browser reads
# one way today and could read another), the reader counts none of it: such text can never
# make a page match. The browser shows every word; we read only the yesN.
UNSURE = [
    '<div>yes1</div><object data="missing.bin"><p>maybe1</p></object>',
    '<div>maybe1</div><frameset><frame></frameset><div>maybe2</div>',
    '<svg><text hidden>maybe1</text><g display="none"><text>maybe2</text></g><defs><text>maybe3</text></defs>'
    '</svg><div>yes1</div>',
    '<select><option hidden>maybe1</option><option style="display:none">maybe2</option><option>yes1</option></select>',
    '<math><maction><mi>yes1</mi><mi>maybe1</mi></maction><mrow hidden><mi>maybe2</mi></mrow></math>',
    '<div>maybe1</div><body hidden><div>maybe2</div>',
]


@pytest.mark.parametrize("body", UNSURE)
def test_text_a_browser_may_hide_is_not_counted(browser, tmp_path, body):
    shown = _innertext(browser, tmp_path / "page.html", STANDARD + body)
    read = visible_text(STANDARD + body, "html").split()
    assert [word for word in shown if word.startswith("yes")] == read
    assert len(shown) > len(read)


TAGS = ("a b i p div span li ul table tr td tbody caption em font nobr button select option svg math mi text title "
        "desc foreignObject textarea xmp noscript template details summary dialog object h1 dd dt form center "
        "marquee rp ruby s u code pre plaintext iframe style script frameset").split()
ATTRIBUTES = ["", "", "", " hidden", ' style="display:none"', ' style="visibility:hidden"',
              ' style="visibility:visible"', ' style="content-visibility:hidden"', " open", ' data="x"', " popover"]
ODD = ["<!--", "-->", "<!-->", "--!>", "<![CDATA[", "]]>", "<p", "<svg/>", "<td/>", "&lt;", "</br>", "</p>"]


def _random_page(rng):
    parts, words = [], 0
    for _ in range(rng.randint(3, 25)):
        roll = rng.random()
        if roll < 0.05:
            parts.append(rng.choice(ODD))
        elif roll < 0.4:
            parts.append(f"<{rng.choice(TAGS)}{rng.choice(ATTRIBUTES)}>")
        elif roll < 0.7:
            parts.append(f"</{rng.choice(TAGS)}>")
        else:
            words += 1
            parts.append(f" w{words} ")
    return STANDARD + "".join(parts)


def test_random_misnested_markup_never_reads_a_word_the_browser_hides(browser, tmp_path):
    rng = random.Random(19)
    for _ in range(100):
        page = _random_page(rng)
        shown = set(re.findall(r"w\d+", " ".join(_innertext(browser, tmp_path / "page.html", page))))
        read = set(re.findall(r"w\d+", visible_text(page, "html")))
        assert read <= shown, page
