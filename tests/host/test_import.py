"""Importing an export: an untouched one comes back whole; any altered record refuses the whole
file before anything is written."""
import copy
import io
import json
import re
from pathlib import Path

import pytest
import quelvane
from click.testing import CliRunner

from quelvane_host import InputError, Registry
from quelvane_host.cli import main
from quelvane_host.algorithms import ASSERTION_ALGS
from quelvane_host.publish import assertions
from .texts import ARTICLE, ESSAY, FILLER, NOTES

ZERO_WIDTH = re.compile("[\u200b\u200c\u200d\u2060]")
ATTACKER = "33" * 32
ATTACKER_PUBLIC = quelvane.public_key(ATTACKER)
PAGE = "<html><body><h1>Notes</h1>" + "".join(f"<p>{p}</p>" for p in NOTES.split("\n\n")) + "</body></html>"


@pytest.fixture
def exported(registry):
    """The export of a registry holding two plain texts and one HTML page, as parsed records."""
    registry.publish(ARTICLE, metadata={"title": "Ferry"})
    registry.publish(ESSAY)
    registry.publish(PAGE, format="html")
    stream = io.StringIO()
    registry.export_jsonl(stream)
    return [json.loads(line) for line in stream.getvalue().splitlines()]


def lines_of(records):
    return [json.dumps(r, ensure_ascii=False) for r in records]


def resigned(record, secret=ATTACKER):
    """The record signed afresh, as an attacker with their own key would."""
    record["envelopes"] = [{"alg": alg, "cose_hex": quelvane.sign(a, secret)}
                           for alg, a in zip(ASSERTION_ALGS, assertions(record["text"], record["pointer"]))]
    record["public_key"] = quelvane.public_key(secret)
    return record


def with_text(record, text):
    record.update(text=text, published=text, content_hash=quelvane.content_hash(text))
    return record


def one_word_changed(record):
    return with_text(record, re.sub(r"\w+", "Changed", record["text"], count=1))


def set_(**fields):
    return lambda record, others: record.update(fields)


# Each case alters the last of the three records and names the field the refusal must point at.
TAMPERING = {
    "one character of the text": (lambda r, o: r.update(text=r["text"].replace("e", "a", 1)), "content_hash"),
    "one word, hash recomputed": (lambda r, o: one_word_changed(r), r"envelopes\[0\].cose_hex"),
    "text replaced, hash recomputed": (lambda r, o: with_text(r, FILLER), r"envelopes\[0\].cose_hex"),
    "text replaced, document kept": (lambda r, o: r.update(text=FILLER, content_hash=quelvane.content_hash(FILLER)),
                                     r"envelopes\[0\].cose_hex"),
    "document replaced": (lambda r, o: r.update(published=FILLER), "published"),
    "watermark stripped from the document": (lambda r, o: r.update(published=ZERO_WIDTH.sub("", r["published"])),
                                             "published"),
    "pointer changed": (set_(pointer="0123456789abcdef0123456789abcdef"), r"envelopes\[3\].cose_hex"),
    "pointer of another entry": (lambda r, o: r.update(pointer=o[0]["pointer"]), r"envelopes\[3\].cose_hex"),
    "content hash zeroed": (set_(content_hash="00" * 32), "content_hash"),
    "tag zeroed": (set_(crosscheck_tag="00" * 32), "crosscheck_tag"),
    "tag of another entry": (lambda r, o: r.update(crosscheck_tag=o[0]["crosscheck_tag"]), "crosscheck_tag"),
    "envelopes of another entry": (lambda r, o: r.update(envelopes=o[0]["envelopes"]), r"envelopes\[0\].cose_hex"),
    "MinHash envelope of another entry": (lambda r, o: r["envelopes"].__setitem__(2, o[0]["envelopes"][2]),
                                          r"envelopes\[2\].cose_hex"),
    "watermark envelope of another entry": (lambda r, o: r["envelopes"].__setitem__(3, o[0]["envelopes"][3]),
                                            r"envelopes\[3\].cose_hex"),
    "last envelope removed": (lambda r, o: r["envelopes"].pop(), "envelopes"),
    "first envelope removed": (lambda r, o: r["envelopes"].pop(0), r"envelopes\[0\].alg"),
    "an envelope duplicated": (lambda r, o: r["envelopes"].append(r["envelopes"][1]), "envelopes"),
    "an envelope in place of another": (lambda r, o: r["envelopes"].__setitem__(1, r["envelopes"][0]),
                                        r"envelopes\[1\].alg"),
    "two envelopes in the wrong order": (lambda r, o: r["envelopes"].reverse(), r"envelopes\[0\].alg"),
    "a label changed": (lambda r, o: r["envelopes"][1].update(alg=ASSERTION_ALGS[2]), r"envelopes\[1\].alg"),
    "labels swapped over their envelopes": (
        lambda r, o: (r["envelopes"][0].update(alg=ASSERTION_ALGS[1]), r["envelopes"][1].update(alg=ASSERTION_ALGS[0])),
        r"envelopes\[0\].alg"),
    "re-signed with an attacker's key": (lambda r, o: resigned(r), "public_key"),
    "attacker's signatures under our key": (lambda r, o: r.update(envelopes=resigned(copy.deepcopy(r))["envelopes"]),
                                            r"envelopes\[0\].cose_hex"),
    "our signatures under the attacker's key": (set_(public_key=ATTACKER_PUBLIC), "public_key"),
    "format html read as text": (set_(format="text"), "published"),
    "format unknown": (set_(format="pdf"), "format"),
    "runs given as text": (set_(watermark_runs="48"), "watermark_runs"),
    "runs given as true": (set_(watermark_runs=True), "watermark_runs"),
    "runs denied": (set_(watermark_runs=0), "watermark_runs"),
    "envelope in upper case": (lambda r, o: r["envelopes"][0].update(cose_hex=r["envelopes"][0]["cose_hex"].upper()),
                               r"envelopes\[0\].cose_hex"),
    "metadata not an object": (set_(metadata=["title"]), "metadata"),
    "a field too many": (set_(signed_by="someone"), "signed_by"),
    "a field missing": (lambda r, o: r.pop("content_hash"), "content_hash"),
    "date not a date": (set_(created="yesterday"), "created"),
    "withdrawal without a reason": (set_(withdrawal={"reason": " ", "at": "2026-01-02T03:04:05+00:00"}),
                                    r"withdrawal\.reason"),
    "withdrawal not dated": (set_(withdrawal={"reason": "wrong", "at": "soon"}), r"withdrawal\.at"),
    "withdrawal a string": (set_(withdrawal="yes"), "withdrawal"),
}


@pytest.mark.parametrize("alter, field", TAMPERING.values(), ids=TAMPERING.keys())
def test_altered_record_refuses_the_whole_file(tmp_path, keys, exported, alter, field):
    alter(exported[2], exported)
    lines = lines_of(exported)
    lines.insert(1, "")
    with Registry.create(tmp_path / "copy.db", keys) as target:
        with pytest.raises(InputError, match=rf"^import line 4, field {field}: ") as refused:
            target.import_jsonl(lines)
        assert "\n" not in str(refused.value)
        assert target.storage.count() == 0


@pytest.mark.parametrize("line, message", [
    ('{"pointer": NaN}', "holds NaN"),
    ('{"text": "a", "text": "b"}', "field text: appears twice"),
    ("[1, 2]", "is not a JSON object"),
    ("not json at all", "is not JSON"),
    ('"\\ud800"', "is not a JSON object"),
    ('{"text": "\\ud800"}', "lone surrogate"),
    ("[" * 100000, "nests too deeply"),
])
def test_malformed_line_is_refused(tmp_path, keys, exported, line, message):
    with Registry.create(tmp_path / "copy.db", keys) as target:
        with pytest.raises(InputError, match=f"^import line 4[:,] .*{message}"):
            target.import_jsonl([*lines_of(exported), line])
        assert target.storage.count() == 0


def test_same_pointer_twice_in_one_file(tmp_path, keys, exported):
    with Registry.create(tmp_path / "copy.db", keys) as target:
        with pytest.raises(InputError, match="^import line 4, field pointer: repeats the pointer of line 1"):
            target.import_jsonl(lines_of([*exported, exported[0]]))
        assert target.storage.count() == 0


def test_untouched_export_imports_and_identifies(tmp_path, keys, registry, exported):
    with Registry.create(tmp_path / "copy.db", keys) as target:
        assert target.import_jsonl(lines_of(exported)).added == 3
        article = next(r for r in exported if r["text"] == ARTICLE)
        [match] = target.identify(article["published"])
        assert (match.pointer, match.verdict, match.tier) == (article["pointer"], "match", "BOUND")
        assert match.publication.metadata == {"title": "Ferry"}
        assert all(c.signature_ok for c in match.evidence.assertions)
        page = exported[2]
        [match] = target.identify(page["published"], format="html")
        assert (match.pointer, match.verdict) == (page["pointer"], "match")
        assert target.import_jsonl(lines_of(exported)).skipped == 3


def test_a_withdrawal_travels_with_its_record_and_an_old_export_still_imports(tmp_path, keys, registry, exported):
    withdrawal = {"reason": "figures were wrong", "at": "2026-01-02T03:04:05+00:00"}
    exported[0]["withdrawal"] = withdrawal
    del exported[1]["withdrawal"]  # as an export made before publications could be withdrawn
    with Registry.create(tmp_path / "copy.db", keys) as target:
        assert target.import_jsonl(lines_of(exported)).added == 3
        [row] = target.identify(exported[0]["published"])
        assert (row.verdict, row.tier) == ("withdrawn", "BOUND")
        assert row.explanation.startswith("withdrawn on 2026-01-02T03:04:05+00:00: figures were wrong")
        assert target.show(exported[1]["pointer"]).withdrawal is None


def test_foreign_text_under_a_real_pointer_is_never_a_match(tmp_path, keys, exported):
    forged = with_text(exported[0], FILLER)
    with Registry.create(tmp_path / "copy.db", keys) as target:
        with pytest.raises(InputError, match="line 1, field envelopes"):
            target.import_jsonl(lines_of([forged]))
        assert target.identify(FILLER) == []


def test_another_publishers_records_only_when_trusted(tmp_path, keys, exported):
    theirs = [resigned(r) for r in exported]
    with Registry.create(tmp_path / "copy.db", keys) as target:
        with pytest.raises(InputError, match=f"line 1, field public_key: {ATTACKER_PUBLIC} is not this registry"):
            target.import_jsonl(lines_of(theirs))
        assert target.import_jsonl(lines_of(theirs), trusted_keys=[ATTACKER_PUBLIC.upper()]).added == 3
        # Our watermark in a copy speaks for our publications only, never for another key's record
        # stored under the pointer it carries.
        [match] = target.identify(exported[0]["published"])
        assert match.pointer == exported[0]["pointer"] and not match.evidence.watermark
        # Trusting a key trusts its signatures, not a record that disagrees with them.
        altered = resigned(copy.deepcopy(exported[0]))
        altered["text"] = one_word_changed(copy.deepcopy(altered))["text"]
        with pytest.raises(InputError, match="content_hash"):
            target.import_jsonl(lines_of([altered]), trusted_keys=[ATTACKER_PUBLIC])


def test_cli_trust_key(tmp_path, monkeypatch, keys, exported):
    monkeypatch.chdir(tmp_path)
    runner = CliRunner()
    Path("theirs.jsonl").write_text("\n".join(lines_of([resigned(r) for r in exported])) + "\n")
    arguments = ["import", "--keys", str(tmp_path / "quelvane.key"), "--registry", "copy.db", "theirs.jsonl"]
    assert runner.invoke(main, ["init", "--keys", str(tmp_path / "quelvane.key"), "--registry", "copy.db"]
                         ).exit_code == 0
    refused = runner.invoke(main, arguments)
    assert refused.exit_code == 3 and refused.output.count("\n") == 1 and "--trust-key" in refused.output
    bad = runner.invoke(main, [*arguments, "--trust-key", "xyz"])
    assert bad.exit_code == 3 and "64 hex characters" in bad.output
    done = runner.invoke(main, [*arguments, "--trust-key", ATTACKER_PUBLIC, "--json"])
    assert done.exit_code == 0 and json.loads(done.output) == {"added": 3, "skipped": 0}


def test_endless_line_is_refused_without_reading_it_whole(tmp_path, keys):
    path = tmp_path / "endless.jsonl"
    path.write_text('{"text": "' + "word " * 400_000)
    with Registry.create(tmp_path / "copy.db", keys, max_bytes=100) as target:
        with path.open(encoding="utf-8") as source, pytest.raises(InputError, match="^import line 1 is over"):
            target.import_jsonl(source)
        assert target.storage.count() == 0
