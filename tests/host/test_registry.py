import contextlib
import io
import json
import re
import sqlite3
import subprocess

import pytest
import quelvane
from click.testing import CliRunner

from quelvane_host import InputError, Keys, NotFoundError, Registry, RegistryError
from quelvane_host.cli import main
from quelvane_host.errors import NoRegistryError
from quelvane_host.storage import open_storage
from quelvane_host.identify import AssertionCheck, Evidence, _verdict
from .texts import ARTICLE, ESSAY, FILLER, NOTES

ZERO_WIDTH = re.compile("[\u200b\u200c\u200d\u2060]")


def test_watermarked_copy_is_bound_by_every_kind_of_evidence(registry):
    result = registry.publish(ARTICLE, metadata={"title": "Ferry"})
    assert result.watermark_runs == 48 and result.watermark_note == ""
    assert ZERO_WIDTH.sub("", result.published) == ARTICLE
    [match] = registry.identify(result.published)
    assert (match.pointer, match.verdict, match.tier) == (result.pointer, "match", "BOUND")
    assert match.evidence.found_by == ("watermark", "band keys", "excerpt index")
    assert match.evidence.crosscheck_ok and match.evidence.shards_recovered == 0
    assert all(check.signature_ok for check in match.evidence.assertions)
    assert {c.alg: c.tier for c in match.evidence.assertions}["com.lanternquill.zwc-watermark.2"] == "LIKELY"
    assert match.publication.metadata == {"title": "Ferry"} and match.publication.title == "Ferry"


def test_stripped_and_edited_copy_is_found_without_the_watermark(registry):
    result = registry.publish(ESSAY)
    edited = ZERO_WIDTH.sub("", result.published).replace("grandfather", "uncle").upper()
    [match] = registry.identify(edited)
    assert match.pointer == result.pointer and match.verdict == "match"
    assert not match.evidence.watermark and not match.evidence.crosscheck_ok
    assert match.evidence.band_keys > 0


def test_excerpt_inside_unrelated_text_is_found_with_its_place(registry):
    result = registry.publish(NOTES)
    registry.publish(ARTICLE)
    excerpt = NOTES[NOTES.index("The command that lists"):NOTES.index("which makes them")]
    found = FILLER + "\n\n" + excerpt + "\n\n" + ESSAY
    [match] = registry.identify(found)
    assert match.pointer == result.pointer and match.verdict == "match"
    assert match.evidence.found_by == ("excerpt index",)
    [passage] = match.evidence.passages
    start = found.index(excerpt)
    assert start <= passage.found.start < start + 40 and start + len(excerpt) - 40 < passage.found.end
    assert passage.publication_text == NOTES[passage.publication.start:passage.publication.end]
    assert excerpt.startswith(passage.publication_text[:20])


def test_unrelated_texts_find_nothing(registry):
    for text in (ARTICLE, ESSAY, NOTES):
        registry.publish(text)
    assert registry.identify(FILLER) == []
    assert registry.identify(FILLER + "\n\n" + FILLER.lower()) == []


@pytest.mark.parametrize("text", [
    "A short notice: the library closes early on Friday for the staff training day.",
    "河川管理局は火曜日、昨春の洪水以来閉鎖されていた旧フェリー乗り場の再開を決定した。技術者らは上流に新しい橋を架けるよう主張したが、費用がフェリーの約四倍に上るため、議論は一時間以内に決着した。",
])
def test_text_too_short_for_a_watermark_is_published_and_found(registry, text):
    result = registry.publish(text)
    assert result.watermark_runs == 0 and not result.watermarked and result.published == text
    assert "fewer than 48 words" in result.watermark_note
    [match] = registry.identify(text)
    assert match.pointer == result.pointer and match.verdict == "match" and match.evidence.band_keys > 0


def test_watermark_of_another_registry_is_not_trusted(tmp_path, registry):
    from quelvane_host import Keys

    other = Registry.create(tmp_path / "other.db", Keys.generate("other"))
    marked = other.publish(ARTICLE).published
    registry.publish(ESSAY)
    assert registry.identify(marked) == []


def test_forged_envelope_is_reported_unverified(tmp_path, registry):
    result = registry.publish(ARTICLE)
    forged = quelvane.sign(quelvane.soft_binding_minhash(ARTICLE), "11" * 32)
    with sqlite3.connect(tmp_path / "registry.db") as db:
        db.execute("UPDATE envelopes SET cose_hex = ?", (forged,))
    [match] = registry.identify(ZERO_WIDTH.sub("", result.published))
    # No tier: nothing verified binds the copy to the entry.
    assert match.verdict == "unverified" and match.tier is None
    assert all(not c.signature_ok and "did not verify" in c.signature_error for c in match.evidence.assertions)


def _evidence(**tiers):
    checks = tuple(AssertionCheck(f"com.lanternquill.{name}", True, None, tier, "") for name, tier in tiers.items())
    return Evidence((), False, None, 0, 0, False, False, (), (), checks)


@pytest.mark.parametrize("tiers, verdict", [
    ({"text-fingerprint.1": "LIKELY", "text-structure.1": "REVIEW", "text-minhash.1": "REVIEW"}, "weak"),
    ({"text-fingerprint.1": "REVIEW", "text-structure.1": "LIKELY", "text-minhash.1": "REVIEW"}, "weak"),
    ({"text-fingerprint.1": "BOUND", "text-structure.1": "LIKELY", "text-minhash.1": "REVIEW"}, "weak"),
    ({"text-fingerprint.1": "REVIEW", "text-structure.1": "REVIEW", "text-minhash.1": "REVIEW"}, None),
])
def test_surface_or_structure_alone_is_only_weak(tiers, verdict):
    assert _verdict(_evidence(**tiers))[0] == verdict


@pytest.mark.parametrize("text, message", [
    ("", "empty"),
    (" \n\t ", "empty"),
    ("some words\x00 and a NUL", "binary"),
    ("word " * 30, "over the limit"),
    ("a lone \ud800 surrogate", "not valid Unicode"),
])
def test_bad_input_is_refused_and_nothing_stored(tmp_path, keys, text, message):
    with Registry.create(tmp_path / "r.db", keys, max_bytes=100) as registry:
        with pytest.raises(InputError, match=message):
            registry.publish(text)
        with pytest.raises(InputError, match=message):
            registry.identify(text)
        assert registry.storage.count() == 0


def test_republishing_a_watermarked_copy_is_refused(registry):
    published = registry.publish(ARTICLE).published
    with pytest.raises(InputError, match="already carries a watermark"):
        registry.publish(published)


def test_export_import_round_trip_checks_signatures(tmp_path, keys, registry):
    pointers = {registry.publish(text).pointer for text in (ARTICLE, ESSAY)}
    exported = io.StringIO()
    assert registry.export_jsonl(exported) == 2
    with Registry.create(tmp_path / "copy.db", keys) as copy:
        result = copy.import_jsonl(exported.getvalue().splitlines())
        assert (result.added, result.skipped) == (2, 0)
        assert {s.pointer for s in copy.list()} == pointers
        assert copy.import_jsonl(exported.getvalue().splitlines()).skipped == 2
        assert copy.identify(ESSAY)[0].verdict == "match"
    line = json.loads(exported.getvalue().splitlines()[0])
    line["envelopes"][0]["cose_hex"] = quelvane.sign("forged", "22" * 32)
    with Registry.create(tmp_path / "third.db", keys) as third:
        with pytest.raises(InputError, match=r"line 1, field envelopes\[0\].cose_hex: does not verify"):
            third.import_jsonl([json.dumps(line)])
        assert third.storage.count() == 0


def test_show_and_list(registry):
    result = registry.publish(ARTICLE, metadata={"title": "Ferry", "url": "https://example.org/ferry"})
    assert registry.show(result.pointer.upper()).published == result.published
    [summary] = registry.list()
    assert (summary.pointer, summary.title, summary.format) == (result.pointer, "Ferry", "text")
    with pytest.raises(NotFoundError, match="quelvane list"):
        registry.show("00" * 16)


def test_corrupt_registry_is_a_clear_error(tmp_path, keys):
    path = tmp_path / "broken.db"
    path.write_bytes(b"this is not a database at all, just some bytes" * 100)
    with pytest.raises(RegistryError, match="damaged or not a quelvane registry"):
        Registry.open(path, keys)


def test_registry_damaged_inside_is_a_clear_error(tmp_path, keys):
    path = tmp_path / "r.db"
    with Registry.create(path, keys) as registry:
        for text in (ARTICLE, ESSAY, NOTES, FILLER):
            registry.publish(text)
    data = bytearray(path.read_bytes())
    data[4096:8192] = b"\xff" * 4096  # a page of the tables overwritten
    path.write_bytes(bytes(data))
    with pytest.raises(RegistryError, match="damaged"):
        with Registry.open(path, keys) as registry:
            registry.identify(ARTICLE)
            registry.list()


def test_newer_schema_and_foreign_database_are_refused(tmp_path, keys):
    path = tmp_path / "r.db"
    Registry.create(path, keys).close()
    with sqlite3.connect(path) as db:
        db.execute("UPDATE quelvane_meta SET value = '99' WHERE name = 'schema_version'")
    with pytest.raises(RegistryError, match="schema version 99, newer .* upgrade quelvane"):
        Registry.open(path, keys)
    other = tmp_path / "other.db"
    with sqlite3.connect(other) as db:
        db.execute("CREATE TABLE notes (x)")
    with pytest.raises(RegistryError, match="not a quelvane registry"):
        Registry.open(other, keys)
    with pytest.raises(RegistryError, match="quelvane init"):
        Registry.open(tmp_path / "absent.db", keys)


def _published_registry(path, keys):
    with Registry.create(path, keys) as registry:
        return registry.publish(ARTICLE, metadata={"title": "Ferry"}).pointer


def _read_everything(registry, pointer):
    assert [s.pointer for s in registry.list()] == [pointer]
    assert registry.show(pointer).metadata == {"title": "Ferry"}
    assert [m.pointer for m in registry.identify(ARTICLE)] == [pointer]


def test_opening_and_reading_write_nothing(tmp_path, keys):
    path = tmp_path / "r.db"
    pointer = _published_registry(path, keys)
    before = (path.read_bytes(), path.stat().st_mtime_ns)
    with Registry.open(path, keys) as registry:
        _read_everything(registry, pointer)
    assert (path.read_bytes(), path.stat().st_mtime_ns) == before
    assert not (tmp_path / "r.db-wal").exists()


def test_a_reader_does_not_wait_behind_a_writer(tmp_path, keys):
    path = tmp_path / "r.db"
    pointer = _published_registry(path, keys)
    writer = sqlite3.connect(path, isolation_level=None)
    writer.execute("BEGIN IMMEDIATE")
    writer.execute("UPDATE publications SET created = 'changing'")
    try:
        # Opening used to take the write lock: this waited the whole busy timeout, then failed.
        with Registry.open(path, keys) as registry:
            _read_everything(registry, pointer)
    finally:
        writer.execute("ROLLBACK")
        writer.close()


@contextlib.contextmanager
def mounted(*mount_args):
    """Runs `mount` with these arguments for the block, skipping the test where it is not allowed."""
    if subprocess.run(["mount", *map(str, mount_args)], capture_output=True).returncode:
        pytest.skip("needs permission to mount (root)")
    try:
        yield
    finally:
        subprocess.run(["umount", "--lazy", str(mount_args[-1])], check=True)


@pytest.fixture
def read_only_mount(tmp_path):
    """A folder mounted read-only over `tmp_path / 'source'`, where even root cannot write."""
    source, target = tmp_path / "source", tmp_path / "mounted"
    source.mkdir()
    target.mkdir()
    with mounted("--bind", source, target):
        subprocess.run(["mount", "-o", "remount,bind,ro", target], check=True, capture_output=True)
        yield source, target


def test_a_registry_that_cannot_be_written_is_read_and_refuses_writes(read_only_mount, keys):
    source, mounted = read_only_mount
    pointer = _published_registry(source / "r.db", keys)
    with Registry.open(mounted / "r.db", keys) as registry:
        assert registry.storage.read_only
        _read_everything(registry, pointer)
        with pytest.raises(RegistryError, match=f"registry {mounted / 'r.db'} is read-only"):
            registry.publish(ESSAY)


def _fill(folder):
    with (folder / "filler").open("ab", buffering=0) as filler, pytest.raises(OSError, match="No space"):
        while True:
            filler.write(b"\0" * 4096)


def test_a_full_disk_does_not_stop_reading(tmp_path, keys):
    folder = tmp_path / "small"
    folder.mkdir()
    with mounted("-t", "tmpfs", "-o", "size=1m", "tmpfs", folder):
        pointer = _published_registry(folder / "r.db", keys)
        # Another reader keeps SQLite's shared-memory file open, as a running service does.
        with Registry.open(folder / "r.db", keys):
            _fill(folder)
            with Registry.open(folder / "r.db", keys) as registry:
                _read_everything(registry, pointer)
        _fill(folder)  # the room the shared-memory file took, once it is gone
        # Alone, a reader needs room for that file, and says so.
        with pytest.raises(RegistryError, match="could not make r.db-shm .*is the disk full"):
            Registry.open(folder / "r.db", keys).close()


def test_an_explicit_read_only_open_refuses_writes(tmp_path, keys):
    path = tmp_path / "r.db"
    pointer = _published_registry(path, keys)
    storage = open_storage(path, read_only=True)
    with Registry(storage, keys) as registry:
        _read_everything(registry, pointer)
        with pytest.raises(RegistryError, match="is read-only"):
            registry.publish(ESSAY)
        assert registry.storage.count() == 1


def _empty_database(path):
    with contextlib.closing(sqlite3.connect(path)) as db:
        db.execute("PRAGMA user_version = 1")


@pytest.mark.parametrize("make, message", [
    (lambda path: path.touch(), r"is an empty file \(0 bytes\), not a registry: .*restore it from a backup"),
    (_empty_database, "is an empty SQLite database, not a registry"),
])
def test_an_empty_file_is_not_made_a_registry_but_init_makes_one(tmp_path, keys, monkeypatch, make, message):
    path = tmp_path / "quelvane.db"
    make(path)
    before = path.read_bytes()
    with pytest.raises(NoRegistryError, match=message + ".*quelvane init"):
        Registry.open(path, keys)
    assert path.read_bytes() == before
    monkeypatch.chdir(tmp_path)
    made = CliRunner().invoke(main, ["init"])  # for the key file there already (the keys fixture)
    assert made.exit_code == 0, made.output
    with Registry.open(path, tmp_path / "quelvane.key") as registry:
        assert registry.list() == []


@pytest.mark.parametrize("column, value, detail", [
    ("metadata", "{not json", "its metadata is not JSON"),
    ("metadata", '{"size": NaN}', "its metadata is not JSON"),
    ("metadata", "[1, 2]", "its metadata is not a JSON object"),
    ("watermark_runs", "many", "its watermark_runs is not a whole number"),
])
def test_a_damaged_row_is_named(tmp_path, keys, column, value, detail):
    path = tmp_path / "r.db"
    with Registry.create(path, keys) as registry:
        registry.publish(ESSAY)
        pointer = registry.publish(ARTICLE, metadata={"title": "Ferry"}).pointer
    with sqlite3.connect(path) as db:
        db.execute(f"UPDATE publications SET {column} = ? WHERE pointer = ?", (value, pointer))
    message = f"registry {path}: publication {pointer} \\(row 2\\) is damaged: {detail}; restore"
    with Registry.open(path, keys) as registry:
        readers = [lambda: registry.show(pointer), lambda: registry.identify(ARTICLE),
                   lambda: registry.export_jsonl(io.StringIO())]
        if column == "metadata" and value != "[1, 2]":
            readers.append(registry.list)
        for read in readers:
            with pytest.raises(RegistryError, match=message):
                read()


@pytest.mark.parametrize("metadata", ['{"score": NaN}', '{"score": -Infinity}', '{"a": [Infinity]}'])
def test_the_command_line_refuses_metadata_without_a_json_number(tmp_path, monkeypatch, metadata):
    monkeypatch.chdir(tmp_path)
    runner = CliRunner()
    assert runner.invoke(main, ["init"]).exit_code == 0
    (tmp_path / "a.txt").write_text(ARTICLE)
    result = runner.invoke(main, ["publish", "a.txt", "--metadata", metadata])
    assert result.exit_code == 2 and "is not a JSON number" in result.output
    listed = runner.invoke(main, ["list"])
    assert (listed.exit_code, listed.output) == (0, "")


def _cli(tmp_path, *args):
    return CliRunner().invoke(main, [str(a) for a in args])


@pytest.fixture
def made(tmp_path, monkeypatch):
    """A registry and its key file made by `init` in the current folder, with one publication."""
    monkeypatch.chdir(tmp_path)
    assert _cli(tmp_path, "init").exit_code == 0
    (tmp_path / "a.txt").write_text(ARTICLE)
    assert _cli(tmp_path, "publish", "a.txt").exit_code == 0
    return Keys.load(tmp_path / "quelvane.key")


@pytest.mark.parametrize("replace", ["key file replaced", "--keys other.key", "repository id changed"])
def test_other_keys_are_refused(tmp_path, made, replace):
    other = Keys.generate(made.repository_id)
    if replace == "repository id changed":
        other = Keys(made.signing_hex, made.binding_hex, "urn:other")
    args = ["list"]
    if replace == "--keys other.key":
        other.save(tmp_path / "other.key")
        args += ["--keys", "other.key"]
    else:
        (tmp_path / "quelvane.key").unlink()
        other.save(tmp_path / "quelvane.key")
    for command in (args, ["identify", "a.published.txt"], ["publish", "a.txt"]):
        result = _cli(tmp_path, *command, *args[1:])
        assert result.exit_code == 3 and "restore its key file from the backup" in result.output, result.output
        assert made.public_hex[:16] in result.output or "urn:other" in result.output
        assert made.signing_hex not in result.output and other.signing_hex not in result.output
    with Registry.open(tmp_path / "quelvane.db", made) as registry:
        assert len(registry.list()) == 1


def test_init_is_all_or_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # The registry cannot be made (no such folder): the key file made for it does not stay.
    failed = _cli(tmp_path, "init", "--registry", tmp_path / "absent" / "r.db")
    assert failed.exit_code == 3 and not (tmp_path / "quelvane.key").exists()
    assert _cli(tmp_path, "init").exit_code == 0
    keys = (tmp_path / "quelvane.key").read_bytes()
    again = _cli(tmp_path, "init")
    assert again.exit_code == 3 and "already exists" in again.output
    assert (tmp_path / "quelvane.key").read_bytes() == keys
    # A key file that exists is the one a new registry is made for.
    second = _cli(tmp_path, "init", "--registry", "second.db")
    assert second.exit_code == 0 and "created key file" not in second.output
    with Registry.open(tmp_path / "second.db", tmp_path / "quelvane.key") as registry:
        assert registry.storage.identity().public_key == registry.keys.public_hex
