"""A scan of a corpus that is one large JSON Lines file, on a Dask LocalCluster of 2 worker
processes: the file cut into partitions (what `quelvane scan` does) against the same file read as
one partition (how it was scanned before), all in the same run; and in this process, whole and
cut, for what the cutting itself costs.

For each: wall seconds (median of --rounds), partitions, the scan tasks each worker ran and the
CPU seconds each worker spent (CPU / wall near 2 shows both workers busy, whatever else the
machine runs). The documents are random words (the split does not depend on the prose): a
registry of --publications texts, and a file of --documents others with a tenth of them copies.

Run: python bench/bench_one_file.py [--documents 10000] [--publications 200] [--rounds 3]
"""
from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
import time
from pathlib import Path

HOST = Path(__file__).resolve().parents[1] / "host"
sys.path.insert(0, str(HOST))
# Dask starts its workers as fresh interpreters: they find the package through the environment.
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HOST), os.environ.get("PYTHONPATH")]))

from distributed import Client, get_task_stream  # noqa: E402

from quelvane_host.corpus import Corpus, Partition  # noqa: E402
from quelvane_host.engine import local_cluster  # noqa: E402
from quelvane_host.keys import Keys  # noqa: E402
from quelvane_host.registry import Registry  # noqa: E402
from quelvane_host.scan import BindingKey, scan  # noqa: E402


class OnePartition(Corpus):
    """The corpus as it was partitioned before: a file is never cut, and partitions never shrink
    for the workers (with partition_bytes larger than the file, it is one partition)."""

    def partitions(self, least: int = 1) -> list[Partition]:
        return super().partitions(1)


def make_inputs(folder, documents, publications, seed=5):
    rng = random.Random(seed)
    vocabulary = ["".join(rng.choice("abcdefghiklmnoprstuw") for _ in range(rng.randint(2, 9))) for _ in range(20000)]
    words = lambda: " ".join(rng.choice(vocabulary) for _ in range(rng.randint(150, 300)))
    keys = Keys.generate("bench-one-file")
    with Registry.create(folder / "registry.db", keys) as registry:
        published = [registry.publish(words()).published for _ in range(publications)]
    crawl = folder / "crawl.jsonl"
    with open(crawl, "w", encoding="utf-8") as stream:
        for number in range(documents):
            text = rng.choice(published) if rng.random() < 0.1 else words()
            stream.write(json.dumps({"id": f"doc-{number}", "text": text}) + "\n")
    return crawl, folder / "registry.db", BindingKey(keys.binding_hex, keys.repository_id)


def timed(corpus, registry, binding, output, client):
    """Wall seconds, the summary, the scan tasks per worker and the CPU seconds of each worker."""
    cpu_before = _cpu_each(client)
    started = time.perf_counter()
    if client is None:
        summary = scan(corpus, registry, binding, output, fmt="jsonl")
        tasks = [summary.partitions]
    else:
        with get_task_stream(client) as stream:
            summary = scan(corpus, registry, binding, output, fmt="jsonl", client=client)
        ran = [task["worker"] for task in stream.data if task["key"].startswith("scan_partition-")]
        tasks = [ran.count(worker) for worker in sorted(client.nthreads())]
    wall = time.perf_counter() - started
    return wall, summary, tasks, [after - before for before, after in zip(cpu_before, _cpu_each(client))]


def _cpu_each(client):
    if client is None:
        return [time.process_time()]
    return [cpu for _, cpu in sorted(client.run(time.process_time).items())]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=10_000)
    parser.add_argument("--publications", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quelvane-bench-one-file-") as scratch:
        scratch = Path(scratch)
        crawl, registry, binding = make_inputs(scratch, options.documents, options.publications)
        print(f"one JSON Lines file of {options.documents} documents, {crawl.stat().st_size / 1e6:.1f} MB; "
              f"registry of {options.publications} publications; median of {options.rounds} runs")
        print(f"  {'run':<34} {'seconds':>8} {'partitions':>10} {'tasks per worker':>17} "
              f"{'CPU s per worker':>17} {'CPU/wall':>8}  load")
        whole = OnePartition.of([crawl], id_field="id", partition_bytes=1 << 62)
        cut = Corpus.of([crawl], id_field="id")
        runs = [("in this process, one partition", whole, None), ("in this process, cut", cut, None),
                ("2 workers, one partition (before)", whole, 2), ("2 workers, the file cut (now)", cut, 2)]
        for label, corpus, workers in runs:
            if workers is None:
                results = [timed(corpus, registry, binding, scratch / "out", None) for _ in range(options.rounds)]
            else:
                with local_cluster(workers) as cluster, Client(cluster) as client:
                    client.wait_for_workers(workers)
                    results = [timed(corpus, registry, binding, scratch / "out", client)
                               for _ in range(options.rounds)]
            wall, summary, tasks, cpu = sorted(results, key=lambda result: result[0])[len(results) // 2]
            print(f"  {label:<34} {wall:8.2f} {summary.partitions:>10} {' '.join(map(str, tasks)):>17} "
                  f"{' '.join(f'{c:.1f}' for c in cpu):>17} {sum(cpu) / wall:8.2f}  "
                  f"{os.getloadavg()[0]:.1f}", flush=True)
            assert summary.documents == options.documents
        print(f"  (medians by wall time; {os.cpu_count()} cores)")


if __name__ == "__main__":
    main()
