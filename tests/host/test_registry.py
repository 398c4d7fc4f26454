import io
import json
import re
import sqlite3

import pytest
import quelvane

from quelvane_host import InputError, NotFoundError, Registry, RegistryError
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
    assert match.metadata == {"title": "Ferry"}


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
    assert start <= passage.found_start < start + 40 and start + len(excerpt) - 40 < passage.found_end
    assert excerpt.startswith(NOTES[passage.published_start:passage.published_end][:20])


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
    assert match.verdict == "unverified" and match.tier == "REVIEW"
    assert all(not c.signature_ok and "did not verify" in c.signature_error for c in match.evidence.assertions)


def _evidence(**tiers):
    checks = tuple(AssertionCheck(f"com.lanternquill.{name}", True, None, tier) for name, tier in tiers.items())
    return Evidence(False, None, 0, (), False, checks)


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
