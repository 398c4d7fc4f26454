"""The page as a person uses it: `quelvane serve` on 127.0.0.1 with a registry of a few
publications, Debian's Chromium (headless) uploading a copy, then pasting an edited copy and an
excerpt set inside other text, and submitting from the keyboard. The cards, tiers and highlighted
passages are read from the rendered page; screenshots land in the test's temporary folder."""
import json
import re
import urllib.request

import pytest

pytest.importorskip("fastapi")
from .service_process import serving  # noqa: E402
from .forgery import look_alike  # noqa: E402
from .texts import ARTICLE, ESSAY, FILLER, NOTES  # noqa: E402

TOKEN = "browser-test-token-0123456789abcdef"
EDITED = ("November", "late October")  # one word of one sentence; the watermark runs follow words
ZERO_WIDTH = re.compile("[\u200b\u200c\u200d\u2060]")
EXCERPT = NOTES[NOTES.index("The command that lists"):NOTES.index(" which makes them")]


@pytest.fixture
def server(tmp_path, keys, registry):
    log = tmp_path / "server.log"
    with serving(tmp_path / "registry.db", tmp_path / "quelvane.key", log, TOKEN) as url:
        records = {title: _publish(url, text, title) for title, text in
                   (("Ferry crossing to reopen", ARTICLE), ("Soil is not dirt", ESSAY),
                    ("Scheduler 2.4 release notes", NOTES))}
        yield url, records
    text = log.read_text()
    assert "POST /publications HTTP/1.1\" 201" in text
    assert not any(secret in text for secret in (keys.signing_hex, keys.binding_hex, TOKEN))


def _publish(url, text, title):
    request = urllib.request.Request(f"{url}/publications", method="POST",
                                     data=json.dumps({"text": text, "metadata": {"title": title}}).encode(),
                                     headers={"Authorization": f"Bearer {TOKEN}",
                                              "Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)


def _submit_and_read(browser, submit):
    from selenium.webdriver.common.by import By
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.support.ui import WebDriverWait

    # The form posts and the browser loads a new document. A mark set on the old one tells them
    # apart without touching a node that may already be detached (newer drivers report that as
    # an unknown error, not a stale element).
    browser.execute_script("document.documentElement.dataset.submitted = 'yes';")
    submit()
    WebDriverWait(browser, 60, ignored_exceptions=(WebDriverException,)).until(_new_document_loaded)
    WebDriverWait(browser, 60).until(lambda b: b.find_elements(By.ID, "results"))
    cards = []
    # The cards a reader sees, in the page's order: folded ones are not among them.
    for card in browser.find_elements(By.CSS_SELECTOR, "article.card"):
        if not card.is_displayed():
            continue
        tier = card.find_elements(By.CSS_SELECTOR, ".badge:not(.badge-verdict)")
        cards.append({
            "title": card.find_element(By.TAG_NAME, "h3").text,
            "verdict": card.find_element(By.CSS_SELECTOR, ".badge-verdict").text,
            "badge": tier[0].text if tier else None,
            "meaning": card.find_element(By.CSS_SELECTOR, ".meaning").text if tier else "",
            "marks": [(m.get_attribute("href").split("#")[1], m.find_element(By.TAG_NAME, "mark").text) for m in
                      card.find_elements(By.CSS_SELECTOR, ".found a.passage")],
            "passages": {li.get_attribute("id"): li.find_element(By.TAG_NAME, "blockquote").text
                         for li in card.find_elements(By.CSS_SELECTOR, "ol.passages li")},
            "signatures": card.find_element(By.CSS_SELECTOR, ".facts dd").text,
        })
    return cards


def _new_document_loaded(browser):
    return browser.execute_script(
        "return document.readyState === 'complete' && !document.documentElement.dataset.submitted;")


def _words(text):
    return re.findall(r"\w+", text.lower())


def test_a_reader_checks_copies_on_the_page(browser, server, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    url, records = server
    browser.set_window_size(1280, 900)
    browser.get(url + "/")

    # An exact copy of the published article, chosen as a file: bound.
    found_file = tmp_path / "found-article.txt"
    found_file.write_text(records["Ferry crossing to reopen"]["published"], encoding="utf-8")
    browser.find_element(By.ID, "file").send_keys(str(found_file))
    [card] = _submit_and_read(browser, browser.find_element(By.ID, "submit").click)
    assert (card["title"], card["verdict"], card["badge"]) == ("Ferry crossing to reopen", "MATCH", "BOUND")
    assert card["meaning"].startswith("Binding BOUND: A signed fingerprint matches")
    assert card["signatures"] == "all 4 signed assertions verify"

    # Pasted: the essay with one sentence edited, then an excerpt of the notes among other prose.
    essay = records["Soil is not dirt"]["published"]
    assert EDITED[0] in essay
    pasted = (f"{FILLER}\n\n{essay.replace(*EDITED)}\n\nFrom the changelog I was sent: {EXCERPT}. "
              f"{FILLER.upper()}")
    textarea = browser.find_element(By.ID, "text")
    browser.execute_script("arguments[0].value = arguments[1];", textarea, pasted)  # as a paste would
    cards = _submit_and_read(browser, lambda: textarea.send_keys(Keys.CONTROL, Keys.ENTER))
    assert [(c["title"], c["badge"]) for c in cards] == [("Soil is not dirt", "LIKELY"),
                                                        ("Scheduler 2.4 release notes", "REVIEW")]
    essay_card, notes_card = cards
    for card in cards:
        assert card["marks"] and card["signatures"] == "all 4 signed assertions verify"
        for target, marked in card["marks"]:
            # Each highlighted passage links to the same passage of the publication, shown below.
            assert _words(marked)[:5] == _words(card["passages"][target])[:5]
    assert all(EDITED[1] not in shown for shown in essay_card["passages"].values())
    assert any(EDITED[1] in marked for _, marked in essay_card["marks"])
    assert any(EDITED[0] in shown for shown in essay_card["passages"].values())
    # The edit itself: the new words marked in the found text, the old ones in the publication.
    # (A watermark run may follow the edited word in the copy: its invisible characters are not compared.)
    inserted = [ZERO_WIDTH.sub("", e.text) for e in browser.find_elements(By.CSS_SELECTOR, "#m1 .found ins")]
    assert inserted == [EDITED[1] + ","]
    assert [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#m1 .passages del")] == [EDITED[0] + ","]
    [(target, marked)] = notes_card["marks"]
    assert _words(marked) == _words(EXCERPT)[:len(_words(marked))] and len(_words(marked)) > 40

    # The keyboard reaches a highlighted passage and follows its link to the publication's.
    first = browser.find_element(By.CSS_SELECTOR, "#m1 .found a.passage")
    first.send_keys(Keys.ENTER)
    assert browser.current_url.endswith("#" + essay_card["marks"][0][0])

    height = browser.execute_script("return document.documentElement.scrollHeight")
    browser.set_window_size(1280, min(height + 120, 6000))
    browser.save_screenshot(str(tmp_path / "page-desktop.png"))
    browser.set_window_size(390, 844)
    assert browser.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")
    browser.save_screenshot(str(tmp_path / "page-phone.png"))
    assert (tmp_path / "page-desktop.png").stat().st_size > 10_000


def test_matches_come_first_and_weak_similarities_asked_for_are_folded(browser, server):
    """A copy of the essay beside a text shaped like the article, weak similarities asked for: the
    match is counted and shown first; the weak similarity waits, folded, under its own heading."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    url, records = server
    browser.get(url + "/")
    pasted = f"{records['Soil is not dirt']['published']}\n\n{look_alike(ARTICLE)}"
    textarea = browser.find_element(By.ID, "text")
    browser.execute_script("arguments[0].value = arguments[1];", textarea, pasted)
    cards = _submit_and_read(browser, lambda: textarea.send_keys(Keys.CONTROL, Keys.ENTER))
    assert [(c["title"], c["verdict"]) for c in cards] == [("Soil is not dirt", "MATCH")]
    assert not browser.find_elements(By.ID, "weak")
    assert browser.find_element(By.ID, "weak-hidden").text.startswith("1 weak similarity hidden")
    browser.find_element(By.ID, "weak-rows").click()
    textarea = browser.find_element(By.ID, "text")
    cards = _submit_and_read(browser, lambda: textarea.send_keys(Keys.CONTROL, Keys.ENTER))
    assert [(c["title"], c["verdict"]) for c in cards] == [("Soil is not dirt", "MATCH")]
    assert browser.find_element(By.ID, "results-title").text == "1 publication found"
    assert browser.title.startswith("1 found")
    folded = browser.find_element(By.CSS_SELECTOR, "#weak summary")
    assert folded.text == "Weak similarities, not matches (1)"
    folded.click()
    weak = browser.find_element(By.CSS_SELECTOR, "#weak article.card")
    assert weak.is_displayed() and weak.find_element(By.TAG_NAME, "h3").text == "Ferry crossing to reopen"
    assert weak.find_element(By.CSS_SELECTOR, ".badge-verdict").text == "WEAK"
    assert not weak.find_elements(By.CSS_SELECTOR, ".badge:not(.badge-verdict)")  # no tier: it binds nothing
    assert browser.execute_script(
        "return document.querySelector('#matches').compareDocumentPosition(arguments[0]) & 4", weak)

