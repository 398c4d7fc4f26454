import os
import shutil

import pytest
from click.testing import CliRunner

from quelvane_host import Keys, Registry
from quelvane_host.cli import main


@pytest.fixture
def keys(tmp_path):
    path = tmp_path / "quelvane.key"
    Keys.generate("test-repository").save(path)
    return Keys.load(path)


@pytest.fixture
def registry(tmp_path, keys):
    with Registry.create(tmp_path / "registry.db", keys) as opened:
        yield opened


@pytest.fixture
def runner(tmp_path, monkeypatch):
    """A command line run in an empty folder where `quelvane init` has made a key and registry."""
    monkeypatch.chdir(tmp_path)
    runner = CliRunner()
    assert runner.invoke(main, ["init"]).exit_code == 0
    return runner


CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    """A real headless Chromium, driven through Selenium and Debian's chromium-driver."""
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
