import io
import json
import random

import pytest
from click.testing import CliRunner
from quelvane_host import Keys, Registry
from quelvane_host.cli import main
from quelvane_host.corpus import Corpus
from quelvane_host.output import read_rows
from quelvane_host.scan import BindingKey, scan

from .conftest import a_worker_killed

MAX_BYTES = 20_000


def _words(rng, vocabulary, count):
    return [rng.choice(vocabulary) for _ in range(count)]


@pytest.fixture(scope="module")
def scanned(tmp_path_factory):
    """A registry of three publications and a corpus of copies of them among 300 unrelated
    documents and a few unreadable ones; what a scan in this process made of it."""
    rng = random.Random(11)
    vocabulary = ["".join(rng.choice("abcdefghiklmnoprstuw") for _ in range(rng.randint(2, 9))) for _ in range(20000)]
    home = tmp_path_factory.mktemp("scan")
    keys = Keys.generate("scan-test")
    keys.save(home / "quelvane.key")
    texts = [" ".join(_words(rng, vocabulary, 300)) for _ in range(3)]
    with Registry.create(home / "registry.db", keys) as registry:
        published = [registry.publish(text) for text in texts]
    corpus = home / "corpus"
    (corpus / "copies").mkdir(parents=True)
    (corpus / "copies" / "exact.txt").write_text(published[0].published)
    edited = texts[1].split()
    for i in range(0, len(edited), 40):
        edited[i] = rng.choice(vocabulary)
    (corpus / "copies" / "edited.txt").write_text(" ".join(edited))
    passage = " ".join(texts[2].split()[100:160])
    pasted = " ".join(_words(rng, vocabulary, 200)) + " " + passage + " " + " ".join(_words(rng, vocabulary, 200))
    lines = [json.dumps({"text": " ".join(_words(rng, vocabulary, rng.randint(100, 300)))}) for _ in range(150)]
    lines.insert(70, json.dumps({"text": pasted}))
    lines.insert(20, json.dumps({"body": "no text field"}))
    (corpus / "crawl.jsonl").write_text("\n".join(lines) + "\n")
    for number in range(150):
        (corpus / "other" / f"{number:03d}.txt").parent.mkdir(exist_ok=True)
        (corpus / "other" / f"{number:03d}.txt").write_text(" ".join(_words(rng, vocabulary, rng.randint(100, 300))))
    (corpus / "bad").mkdir()
    (corpus / "bad" / "blank.txt").write_text("  \n")
    (corpus / "bad" / "image.txt").write_bytes(b"\x89PNG\x00\x00")
    (corpus / "bad" / "latin1.txt").write_bytes("caf\xe9".encode("latin-1"))
    (corpus / "bad" / "huge.txt").write_text("word " * MAX_BYTES)
    documents = Corpus.of([corpus], max_bytes=MAX_BYTES, partition_bytes=32 * 1024)
    binding = BindingKey(keys.binding_hex, keys.repository_id)
    output = home / "in-process"
    summary = scan(documents, home / "registry.db", binding, output, fmt="jsonl")
    return {"home": home, "corpus": documents, "binding": binding, "summary": summary,
            "pointers": [p.pointer for p in published], "rows": sorted_rows(output)}


def sorted_rows(output):
    return (sorted(read_rows(output / "matches"), key=lambda row: (row["document"], row["pointer"])),
            sorted(read_rows(output / "errors"), key=lambda row: row["document"]))


def _short(document):
    return document.rsplit("/", 1)[1]


def test_finds_copies_edits_and_excerpts_among_unrelated_documents(scanned):
    matches, errors = scanned["rows"]
    exact, edited, excerpt = scanned["pointers"]
    found = {(_short(row["document"]), row["pointer"]): row for row in matches if row["verdict"] == "match"}
    assert found.keys() == {("exact.txt", exact), ("edited.txt", edited), ("crawl.jsonl:72", excerpt)}
    assert found["exact.txt", exact]["found_by"] == "watermark,band keys,excerpt index"
    assert found["exact.txt", exact]["tier"] == "BOUND" and found["exact.txt", exact]["crosscheck_ok"] == 1
    assert "band keys" in found["edited.txt", edited]["found_by"]
    assert found["crawl.jsonl:72", excerpt]["found_by"] == "excerpt index"
    # The pasted passage stands after the 200 words before it, and is about as long as the 60 pasted words.
    [[found_start, found_end, published_start, published_end]] = json.loads(found["crawl.jsonl:72", excerpt]["regions"])
    assert found_start > 200 * 2 and 0.8 < (found_end - found_start) / (published_end - published_start) < 1.2
    assert [(_short(row["document"]), row["reason"].split(" (")[0]) for row in errors] == [
        ("blank.txt", "empty"), ("huge.txt", f"larger than the limit of {MAX_BYTES} bytes"),
        ("image.txt", "binary"), ("latin1.txt", "not valid UTF-8"), ("crawl.jsonl:21", "no field 'text'")]
    summary = scanned["summary"]
    assert (summary.documents, summary.errors, summary.matches) == (303, 5, len(found))
    assert summary.other_rows == len(matches) - len(found)
    assert len(scanned["corpus"].partitions()) >= 4


def test_two_worker_processes_give_the_same_rows(scanned, dask_client, tmp_path):
    summary = scan(scanned["corpus"], scanned["home"] / "registry.db", scanned["binding"], tmp_path,
                   fmt="jsonl", client=dask_client)
    assert sorted_rows(tmp_path) == scanned["rows"]
    assert (summary.documents, summary.matches, summary.errors) == (303, scanned["summary"].matches, 5)


def test_a_postgresql_registry_gives_the_same_rows(scanned, postgres_url, dask_client, tmp_path):
    """The registry copied into PostgreSQL through export and import, scanned on the cluster."""
    keys = Keys.load(scanned["home"] / "quelvane.key")
    exported = io.StringIO()
    with Registry.open(scanned["home"] / "registry.db", keys) as registry:
        registry.export_jsonl(exported)
    with Registry.create(postgres_url, keys) as shared:
        shared.import_jsonl(exported.getvalue().splitlines())
    scan(scanned["corpus"], postgres_url, scanned["binding"], tmp_path, fmt="jsonl", client=dask_client)
    assert sorted_rows(tmp_path) == scanned["rows"]


def test_a_worker_killed_mid_scan_costs_no_result(scanned, dask_client, tmp_path):
    """One worker process is killed while it scans a partition: Dask runs the partition again
    elsewhere, and every row is in the output exactly once."""
    with a_worker_killed(dask_client, dask_client.processing, "scan_partition-") as killed:
        scan(scanned["corpus"], scanned["home"] / "registry.db", scanned["binding"], tmp_path, fmt="jsonl",
             client=dask_client)
    assert killed
    rows = sorted_rows(tmp_path)
    assert rows == scanned["rows"]
    pairs = [(row["document"], row["pointer"]) for row in read_rows(tmp_path / "matches")]
    assert len(pairs) == len(set(pairs))


def test_command_line_scan_and_dedup(scanned, tmp_path):
    home = scanned["home"]
    runner = CliRunner()
    result = runner.invoke(main, ["scan", str(home / "corpus"), "--registry", str(home / "registry.db"),
                                  "--keys", str(home / "quelvane.key"), "--output", str(tmp_path / "scan"),
                                  "--max-bytes", str(MAX_BYTES), "--workers", "2", "--json"])
    assert result.exit_code == 0, result.output
    summary = json.loads(result.stdout)
    assert (summary["documents"], summary["errors"], summary["matches"]) == (303, 5, scanned["summary"].matches)
    assert summary["output"] == str(tmp_path / "scan") and summary["megabytes"] > 0.3
    assert sorted(read_rows(tmp_path / "scan" / "matches"), key=lambda row: (row["document"], row["pointer"])) \
        == scanned["rows"][0]

    result = runner.invoke(main, ["dedup", str(home / "corpus"), "--output", str(tmp_path / "dedup"),
                                  "--format", "jsonl", "--threshold", "0.5", "--max-bytes", str(MAX_BYTES)])
    assert result.exit_code == 0, result.output
    assert result.stdout.startswith("303 documents, 5 errors, 0 clusters")
    assert len(read_rows(tmp_path / "dedup" / "clusters")) == 303

    result = runner.invoke(main, ["scan", str(home / "corpus"), "--registry", str(home / "missing.db"),
                                  "--keys", str(home / "quelvane.key"), "--output", str(tmp_path / "x")])
    assert result.exit_code == 3 and "no registry at" in result.stderr and "Traceback" not in result.output

    result = runner.invoke(main, ["dedup", str(home / "corpus"), "--output", str(tmp_path / "y"), "--workers", "2",
                                  "--scheduler", "tcp://127.0.0.1:1"])
    assert result.exit_code == 2 and "give --workers or --scheduler, not both" in result.stderr
