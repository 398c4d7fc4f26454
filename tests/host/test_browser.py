"""A published HTML page, rendered by a real headless Chromium: the text a reader copies
(document.body.innerText) carries the watermark."""
import os
import shutil

import pytest
import quelvane

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
    assert "script has many words" not in copied
    assert quelvane.extract_watermark(copied, registry.keys.binding_hex) == (result.pointer, True, 0)
    [match] = registry.identify(copied)
    assert match.pointer == result.pointer and match.evidence.watermark and match.tier == "BOUND"
