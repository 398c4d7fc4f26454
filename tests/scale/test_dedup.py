import os

import pytest
from quelvane_host.corpus import Corpus
from quelvane_host.dedup import BUCKET_WINDOW, DEFAULT_THRESHOLD, cluster_rows, dedup
from quelvane_host.output import read_rows

from .conftest import a_worker_killed
from .peers import agreement, datasketch_clusters


@pytest.fixture(scope="module")
def in_process(near_duplicates, tmp_path_factory):
    output = tmp_path_factory.mktemp("in-process")
    summary = dedup(near_duplicates, output, fmt="jsonl")
    return summary, sorted_rows(output)


def sorted_rows(output):
    return (sorted(read_rows(output / "clusters"), key=lambda row: row["document"]),
            sorted(read_rows(output / "errors"), key=lambda row: row["document"]))


def test_clusters_agree_with_datasketch(near_duplicates, in_process):
    summary, (rows, errors) = in_process
    ours = cluster_rows(rows)
    theirs = datasketch_clusters(near_duplicates, DEFAULT_THRESHOLD)
    assert ours.keys() == theirs.keys() and summary.documents == len(ours) > 3000
    # datasketch tunes its bands to 14 of 9 values at this threshold and misses some pairs of
    # similarity 0.75 to 0.85 that 32 bands of 4 catch: it finds nearly nothing we do not.
    recall_of_theirs, f1 = agreement(ours, theirs)
    assert recall_of_theirs >= 0.99 and f1 >= 0.97
    assert summary.clusters > 500 and summary.duplicates > 800
    assert [(row["document"].rsplit("/", 1)[1], row["reason"]) for row in errors] == [
        ("blank.txt", "empty"), ("crawl.jsonl:" + errors[1]["document"].rsplit(":", 1)[1], "not valid JSON"),
        ("image.txt", "binary (contains NUL bytes)")]


def test_two_worker_processes_give_the_same_clusters(near_duplicates, in_process, dask_client, tmp_path):
    summary = dedup(near_duplicates, tmp_path, client=dask_client)
    assert (summary, sorted_rows(tmp_path)) == in_process
    assert len(near_duplicates.partitions()) >= 10
    # The signatures and band rows waited on disk, and are gone with the run.
    assert sorted(path.name for path in tmp_path.iterdir()) == ["clusters", "errors"]


def test_a_worker_killed_mid_run_costs_no_result(near_duplicates, in_process, dask_client, tmp_path):
    """One worker process is killed as soon as it holds fingerprints that later steps need: Dask
    computes them again elsewhere, and every document is in the output exactly once."""
    with a_worker_killed(dask_client, dask_client.has_what, "fingerprint-") as killed:
        summary = dedup(near_duplicates, tmp_path, client=dask_client)
    assert killed
    assert killed[0] not in dask_client.run(os.getpid).values()
    assert (summary, sorted_rows(tmp_path)) == in_process
    documents = [row["document"] for row in read_rows(tmp_path / "clusters")]
    assert len(documents) == len(set(documents))


def test_many_copies_of_one_text_make_one_cluster_at_bounded_cost(tmp_path):
    text = " ".join(f"word{i % 97} w{i % 13}" for i in range(300))
    for copy in range(400):
        (tmp_path / "in" / f"{copy:03d}.txt").parent.mkdir(exist_ok=True)
        (tmp_path / "in" / f"{copy:03d}.txt").write_text(text)
    (tmp_path / "in" / "other.txt").write_text("an unrelated text of its own " * 20)
    summary = dedup(Corpus.of([tmp_path / "in"]), tmp_path / "out")
    rows = read_rows(tmp_path / "out" / "clusters")
    assert {(row["cluster"].rsplit("/", 1)[1], row["cluster_size"]) for row in rows} == {
        ("000.txt", 400), ("other.txt", 1)}
    assert summary.candidate_pairs <= BUCKET_WINDOW * 400 < 400 * 399 // 2
    assert (summary.clusters, summary.duplicates) == (1, 399)


@pytest.mark.parametrize("options, message", [
    ({"threshold": 0}, "threshold must be above 0 and at most 1, not 0"),
    ({"threshold": 1.5}, "threshold must be above 0 and at most 1, not 1.5"),
    ({"fmt": "csv"}, "unknown output format 'csv': choose one of parquet, jsonl"),
])
def test_refuses_bad_options_before_any_work(tmp_path, options, message):
    with pytest.raises(ValueError, match=message):
        dedup(Corpus.of([tmp_path / "missing"]), tmp_path / "out", **options)
    assert not (tmp_path / "out").exists()


def test_an_empty_corpus_gives_empty_output(tmp_path):
    (tmp_path / "in").mkdir()
    assert dedup(Corpus.of([tmp_path / "in"]), tmp_path / "out").documents == 0
    assert read_rows(tmp_path / "out" / "clusters") == []
