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

