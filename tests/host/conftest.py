import pytest

from quelvane_host import Keys, Registry


@pytest.fixture
def keys(tmp_path):
    path = tmp_path / "quelvane.key"
    Keys.generate("test-repository").save(path)
    return Keys.load(path)


@pytest.fixture
def registry(tmp_path, keys):
    with Registry.create(tmp_path / "registry.db", keys) as opened:
        yield opened
