"""A published HTML page, rendered by a real headless Chromium: the text a reader copies
(document.body.innerText) carries the watermark."""
import os
import shutil

import pytest
import quelvane
from quelvane_host.formats import visible_text

from .test_formats import PAGE

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    if CHROMIUM is None or DRIVER is None:
        pytest.skip("Debian's chromium and chromium-driver are not installed (make test installs them)")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    os.environ["SE_OFFLINE"] = "true"  # never let Selenium fetch a browser or driver of its own
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(argument)
    # The browser runs none of our code: under the sanitizer run it must not inherit the
    # preloaded runtime meant for the interpreter.
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}
    service = Service(executable_path=DRIVER, env=environment)
    driver = webdriver.Chrome(options=options, service=service)
    yield driver
    driver.quit()


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
