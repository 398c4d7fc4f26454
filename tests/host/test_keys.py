import json
import os
import stat

import pytest

from quelvane_host import KeyFileError, Keys


def test_saved_keys_load_back_owner_only(tmp_path):
    path = tmp_path / "k.key"
    keys = Keys.generate("repo-1")
    keys.save(path)
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    loaded = Keys.load(path)
    assert (loaded.signing_hex, loaded.binding_hex, loaded.repository_id, loaded.public_hex) == (
        keys.signing_hex, keys.binding_hex, "repo-1", keys.public_hex)


def test_repr_shows_no_secret():
    keys = Keys.generate("repo-1")
    for shown in (repr(keys), str(keys), f"{keys}"):
        assert keys.public_hex in shown and "repo-1" in shown
        assert keys.signing_hex not in shown and keys.binding_hex not in shown


def test_save_refuses_to_overwrite(tmp_path):
    path = tmp_path / "k.key"
    Keys.generate().save(path)
    with pytest.raises(KeyFileError, match="already exists"):
        Keys.generate().save(path)


@pytest.mark.parametrize("mode", [0o640, 0o604, 0o644, 0o660])
def test_readable_by_others_is_refused_with_the_fix(tmp_path, mode):
    path = tmp_path / "k.key"
    keys = Keys.generate()
    keys.save(path)
    os.chmod(path, mode)
    with pytest.raises(KeyFileError, match=f"chmod 600 {path}") as caught:
        Keys.load(path)
    assert keys.signing_hex not in str(caught.value)


def _document(keys):
    return {"format": "quelvane-keys", "version": 1, "repository_id": "r",
            "signing_key": keys.signing_hex, "binding_key": keys.binding_hex}


@pytest.mark.parametrize("change, message", [
    (lambda d: "not json {", "not JSON"),
    (lambda d: [d], "not a quelvane key file"),
    (lambda d: {**d, "format": "other"}, "not a quelvane key file"),
    (lambda d: {**d, "version": 2}, "version 2"),
    (lambda d: {**d, "signing_key": d["signing_key"][:-2]}, "signing_key must be"),
    (lambda d: {**d, "binding_key": d["binding_key"].upper()}, "binding_key must be"),
    (lambda d: {k: v for k, v in d.items() if k != "repository_id"}, "repository_id"),
])
def test_malformed_key_files_are_refused_with_reason(tmp_path, change, message):
    keys = Keys.generate()
    changed = change(_document(keys))
    path = tmp_path / "k.key"
    path.write_text(changed if isinstance(changed, str) else json.dumps(changed))
    os.chmod(path, 0o600)
    with pytest.raises(KeyFileError, match=message) as caught:
        Keys.load(path)
    assert keys.signing_hex[:16] not in str(caught.value) and keys.binding_hex[:16] not in str(caught.value)


def test_missing_key_file_says_how_to_make_one(tmp_path):
    with pytest.raises(KeyFileError, match="quelvane init"):
        Keys.load(tmp_path / "absent.key")
