import io
import json
import random
import subprocess
import sys

from pathlib import Path

import pytest
from click.testing import CliRunner
from quelvane_host import Keys, Registry
from quelvane_host.cli import main
from quelvane_host.corpus import Corpus
from quelvane_host.extras import install_line
from quelvane_host.output import read_rows
from quelvane_host.scan import BindingKey, scan

from host.forgery import look_alike
from host.texts import ARTICLE, ESSAY
from .conftest import a_worker_killed

# Runs the command with numpy, pyarrow, scipy and Dask made unimportable, as on the base install.
BASE_INSTALL = ("import sys; sys.modules.update(numpy=None, pyarrow=None, scipy=None, dask=None, distributed=None); "
                "from quelvane_host.cli import main; main()")

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
    progress = []
    summary = scan(documents, home / "registry.db", binding, output, fmt="jsonl", progress=progress.append)
    return {"home": home, "corpus": documents, "binding": binding, "summary": summary, "progress": progress,
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


@pytest.mark.parametrize("asked", [[], ["--weak"]])
def test_weak_similarities_are_counted_and_written_only_when_asked_for(tmp_path, asked):
    keys = Keys.generate("scan-weak")
    keys.save(tmp_path / "quelvane.key")
    with Registry.create(tmp_path / "registry.db", keys) as registry:
        essay = registry.publish(ESSAY)
        registry.publish(ARTICLE)
    (tmp_path / "corpus").mkdir()
    (tmp_path / "corpus" / "look-alike.txt").write_text(look_alike(ARTICLE))
    (tmp_path / "corpus" / "copy.txt").write_text(essay.published)
    result = CliRunner().invoke(main, ["scan", str(tmp_path / "corpus"), "--registry", str(tmp_path / "registry.db"),
                                       "--keys", str(tmp_path / "quelvane.key"), "--output", str(tmp_path / "out"),
                                       "--format", "jsonl", "--json", *asked])
    assert result.exit_code == 0, result.output
    rows = {_short(row["document"]): row["verdict"] for row in read_rows(tmp_path / "out" / "matches")}
    assert rows == {"copy.txt": "match", **({"look-alike.txt": "weak"} if asked else {})}
    summary = json.loads(result.stdout)
    assert (summary["matches"], summary["other_rows"], summary["weak_hidden"]) == ((1, 1, 0) if asked else (1, 0, 1))
    assert ("1 weak similarity not written" in result.stderr) != bool(asked)


def test_progress_counts_documents_and_bytes(scanned):
    progress, corpus = scanned["progress"], scanned["corpus"]
    total = sum((Path(path).stat().st_size for path in corpus.files()))
    assert [step.partitions_done for step in progress] == list(range(1, len(corpus.partitions()) + 1))
    assert all(step.bytes_total == total for step in progress)
    for earlier, later in zip(progress, progress[1:]):
        assert earlier.documents <= later.documents and earlier.bytes_read < later.bytes_read
    assert (progress[-1].documents, progress[-1].bytes_read) == (303, total)


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


def test_an_in_process_scan_needs_no_optional_dependency(scanned, tmp_path):
    """On the base install: JSON Lines output in this process works, keeping the corpus's ids;
    Parquet output is refused before any work, with the line that installs what it needs."""
    home = scanned["home"]
    crawl = tmp_path / "crawl.jsonl"
    crawl.write_text(json.dumps({"url": "https://example.org/copy", "text": (home / "corpus/copies/exact.txt").read_text()})
                     + "\n" + json.dumps({"url": "https://example.org/other", "text": "Nothing published here at all."}) + "\n")
    command = [sys.executable, "-c", BASE_INSTALL, "scan", str(crawl), "--registry", str(home / "registry.db"),
               "--keys", str(home / "quelvane.key"), "--output", str(tmp_path / "out"), "--id-field", "url"]
    done = subprocess.run(command + ["--format", "jsonl", "--json"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["documents"] == 2
    [row] = [row for row in read_rows(tmp_path / "out" / "matches") if row["verdict"] == "match"]
    assert (row["document"], row["pointer"]) == ("https://example.org/copy", scanned["pointers"][0])
    refused = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert refused.returncode == 3 and "Traceback" not in refused.stderr
    assert install_line("dask") in refused.stderr and "--format jsonl" in refused.stderr
    (tmp_path / "rows.parquet").write_bytes(b"PAR1")
    refused = subprocess.run(command[:4] + [str(tmp_path)] + command[5:] + ["--format", "jsonl"],
                             capture_output=True, text=True, timeout=300)
    assert refused.returncode == 3 and "reading Parquet needs quelvane[dask]" in refused.stderr


def test_one_large_json_lines_file_keeps_both_workers_busy(scanned, dask_client, tmp_path):
    from distributed import get_task_stream

    home = scanned["home"]
    documents = sorted(path for path in (home / "corpus").rglob("*.txt") if "bad" not in path.parts)
    crawl = tmp_path / "crawl.jsonl"
    with open(crawl, "w") as stream:
        for round in range(3):
            for path in documents:
                stream.write(json.dumps({"id": f"{round}/{path.name}", "text": path.read_text()}) + "\n")
    corpus = Corpus.of([crawl], id_field="id")
    with get_task_stream(dask_client) as stream:
        summary = scan(corpus, home / "registry.db", scanned["binding"], tmp_path / "out", fmt="jsonl",
                       client=dask_client)
    workers = {task["worker"] for task in stream.data if task["key"].startswith("scan_partition-")}
    assert summary.partitions >= 2 and len(workers) == 2
    assert summary.documents == 3 * len(documents)
    found = {row["document"] for row in read_rows(tmp_path / "out" / "matches") if row["verdict"] == "match"}
    assert found == {f"{round}/{name}" for round in range(3) for name in ("exact.txt", "edited.txt")}


def test_the_command_says_when_workers_stay_idle(scanned, dask_client, tmp_path):
    home = scanned["home"]
    result = CliRunner().invoke(main, ["scan", str(home / "corpus" / "copies" / "exact.txt"), "--registry",
                                       str(home / "registry.db"), "--keys", str(home / "quelvane.key"),
                                       "--output", str(tmp_path), "--format", "jsonl",
                                       "--scheduler", dask_client.scheduler.address])
    assert result.exit_code == 0, result.output
    assert "the corpus made 1 partition(s), so only 1 of the 2 workers had work" in result.stderr
