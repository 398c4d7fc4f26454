"""The scan (quelvane_host.scan) and near-duplicate clustering (quelvane_host.dedup) on generated
corpora of real prose: the paragraphs of the benches' corpus (`make corpus`: Debian's documentation
in English, German and Russian by default; --languages adds Japanese and Chinese), documents
being runs of 2 to 8 of them, written as JSON Lines files of 2,000 documents.

The scan, against a registry of --publications texts, on corpora where a tenth of the documents
are copies of publications:
- its cost per document in this process against its floors, measured in the same run:
  (a) reading the documents and computing their MinHash signatures and band keys (the issue's
  floor); (a') the module calls the scan makes for every document (the watermark attempt and the
  band keys); (b) (a') and the excerpt index keys, i.e. every key the scan must compute before
  any look-up: what the scan spends beyond (b) is the look-ups, the confirmation and the engine;
- throughput in documents and MB per second on a Dask LocalCluster of 1 and of 2 worker
  processes (one thread each), with the CPU seconds each worker spent (CPU / wall near the
  number of workers shows the work itself parallelizes, whatever else the machine runs) and
  the load average before and after;
- the peak resident memory of each of 2 workers over a scan of --small and of --documents.

Dedup: clusters against datasketch's MinHashLSH on prose with near copies; throughput in-process
and on 1 and 2 workers; the peak resident memory of each worker at two corpus sizes.

Run: python bench/bench_scale.py [--documents 100000] [--small 10000] [--rounds 3] [--agreement 4000]
                                 [--publications 10000] [--scanned 5000] [--only scan-cost|scan|dedup]
                                 [--scratch DIR] [--languages english,german,...]
"""
from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

HOST = Path(__file__).resolve().parents[1] / "host"
sys.path[:0] = [str(HOST), str(HOST.parent / "tests" / "scale")]
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HOST), os.environ.get("PYTHONPATH")]))

from distributed import Client  # noqa: E402

import quelvane  # noqa: E402

from quelvane_host import excerpts  # noqa: E402
from quelvane_host.corpus import Corpus, Document, read_partition  # noqa: E402
from quelvane_host.dedup import DEFAULT_THRESHOLD, cluster_rows, dedup  # noqa: E402
from quelvane_host.engine import local_cluster  # noqa: E402
from quelvane_host.keys import Keys  # noqa: E402
from quelvane_host.identify import read_watermark  # noqa: E402
from quelvane_host.registry import Registry  # noqa: E402
from quelvane_host.scan import BindingKey, scan  # noqa: E402
from quelvane_host.output import read_rows  # noqa: E402
from peers import agreement, datasketch_clusters  # noqa: E402

CORPUS = Path(__file__).resolve().parents[1] / "build" / "corpus"
LANGUAGES = ("english", "german", "russian", "japanese", "chinese")
# Han and kana characters are words of their own, so unrelated texts in those scripts share
# five-word shingles often, and each document meets dozens of candidates: measured apart.
ALPHABETIC = ("english", "german", "russian")
DOCUMENTS_PER_FILE = 2000


def prose_paragraphs(languages, minimum_characters=200):
    """The paragraphs of the real-prose corpus of the benches (`make corpus`: Debian's documentation
    in five languages, 10 MB each), long enough to be running text."""
    paragraphs = set()
    for language in languages:
        text = (CORPUS / f"{language}-10mb.txt").read_text(encoding="utf-8")
        paragraphs.update(block.strip() for block in text.split("\n\n") if len(block.strip()) >= minimum_characters)
    return sorted(paragraphs)


def write_corpus(folder, documents, paragraphs, copies=0.1, shares=(0.02,), seed=3):
    """JSON Lines files of `documents` texts, a share `copies` of them near copies of an earlier
    one with one of `shares` of their words replaced. Returns the size of the texts in bytes."""
    rng = random.Random(seed)
    made, size, batch, texts = 0, 0, 0, []
    while made < documents:
        lines = []
        for _ in range(min(DOCUMENTS_PER_FILE, documents - made)):
            if texts and rng.random() < copies:
                words = rng.choice(texts).split()
                share = rng.choice(shares)
                text = " ".join(rng.choice(words) if rng.random() < share else word for word in words)
            else:
                start = rng.randrange(len(paragraphs))
                text = "\n\n".join(paragraphs[start:start + rng.randint(2, 8)])
                if len(texts) < 5000:
                    texts.append(text)
            lines.append(json.dumps({"text": text}))
            size += len(text.encode())
            made += 1
        (folder / f"crawl-{batch:04d}.jsonl").write_text("\n".join(lines) + "\n")
        batch += 1
    return size


def timed_run(corpus, output, client):
    """Wall seconds, and CPU seconds of this process and of every worker, of one run."""
    cpu = _cpu_seconds(client)
    started = time.perf_counter()
    dedup(corpus, output, client=client)
    return time.perf_counter() - started, _cpu_seconds(client) - cpu


def _cpu_seconds(client):
    workers = sum(client.run(time.process_time).values()) if client is not None else 0.0
    return time.process_time() + workers


def worker_memory(client, field):
    """VmRSS (resident now) or VmHWM (peak resident since the worker started) of each worker, MB."""
    return sorted(client.run(_status_megabytes, field).values())


def _status_megabytes(field):
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) / 1024


def throughput(corpus, size, documents, rounds, scratch):
    rows = []
    runs = [("in-process", None)] + [(f"{n} worker{'s' * (n > 1)}", n) for n in (1, 2)]
    for label, workers in runs:
        if workers is None:
            runs = [timed_run(corpus, scratch / "out", None) for _ in range(rounds)]
        else:
            with local_cluster(workers) as cluster, Client(cluster) as client:
                runs = [timed_run(corpus, scratch / "out", client) for _ in range(rounds)]
        median = statistics.median(wall for wall, _ in runs)
        cpu = statistics.median(cpu for _, cpu in runs)
        rows.append((label, median, documents / median, size / median / 1e6, cpu / documents * 1e6))
    return rows


def memory(corpora, scratch):
    rows = []
    for documents, corpus in corpora:
        with local_cluster(2) as cluster, Client(cluster) as client:
            before = worker_memory(client, "VmRSS")
            timed_run(corpus, scratch / "out", client)
            rows.append((documents, before, worker_memory(client, "VmHWM")))
    return rows


def peer_agreement(paragraphs, documents, scratch):
    """Our clusters against datasketch's MinHashLSH at the same threshold, on prose with near
    copies whose share of replaced words straddles the threshold."""
    folder = scratch / "agreement"
    folder.mkdir()
    write_corpus(folder, documents, paragraphs, copies=0.3, shares=(0.0, 0.01, 0.02, 0.03, 0.05, 0.1))
    corpus = Corpus.of([folder])
    summary = dedup(corpus, scratch / "agreement-out")
    ours = cluster_rows(read_rows(scratch / "agreement-out" / "clusters"))
    recall, f1 = agreement(ours, datasketch_clusters(corpus, DEFAULT_THRESHOLD))
    print(f"against datasketch MinHashLSH at threshold {DEFAULT_THRESHOLD}, {documents} documents, "
          f"{summary.clusters} clusters: {recall:.1%} of its same-cluster pairs found, pair F1 {f1:.3f}")


def _runs(paragraph):
    words = paragraph.lower().split()
    return {hash(tuple(words[i:i + 8])) for i in range(max(1, len(words) - 7))}


def scan_registry(paragraphs, publications, scratch):
    """A registry of `publications` texts (made once per scratch folder), its keys, its texts, and
    the paragraphs unrelated to any of them."""
    # Publications and the other documents come from separate halves of the paragraphs, each
    # paragraph in one publication at most: unrelated pages share no passage with the registry.
    # The installed docs repeat licence and boilerplate paragraphs with small changes: an other
    # paragraph sharing any eight-word run with a published one is left out.
    published = paragraphs[:len(paragraphs) // 2]
    runs = {run for paragraph in published for run in _runs(paragraph)}
    unrelated = [p for p in paragraphs[len(paragraphs) // 2:] if not runs & _runs(p)]
    database, key_file = scratch / f"registry-{publications}.db", scratch / f"registry-{publications}.key"
    if database.exists() and key_file.exists():
        with Registry.open(database, key_file) as registry:
            return database, registry.keys, [p.text for p in registry.storage.publications()], unrelated
    database.unlink(missing_ok=True)
    key_file.unlink(missing_ok=True)
    rng = random.Random(5)
    keys = Keys.generate("bench")
    texts, start, started = [], 0, time.perf_counter()
    with Registry.create(database, keys) as registry:
        for _ in range(publications):
            count = rng.randint(2, 4)
            text = "\n\n".join(published[start:start + count]).replace("\x00", "")
            start = (start + count) % (len(published) - 4)
            registry.publish(text)
            texts.append(text)
    keys.save(key_file)
    print(f"registry: {publications} publications in {time.perf_counter() - started:.0f} s")
    return database, keys, texts, unrelated


def scan_corpus(folder, documents, unrelated, texts, seed=9):
    """`documents` unrelated documents and a tenth as many copies of publications, as found on the
    web; returns the corpus and the size of its texts in bytes."""
    if not folder.exists():
        folder.mkdir()
        write_corpus(folder, documents, unrelated, copies=0.0, seed=seed)
        rng = random.Random(seed)
        lines = [json.dumps({"text": rng.choice(texts)}) for _ in range(documents // 10)]
        (folder / "copies.jsonl").write_text("\n".join(lines) + "\n")
    corpus = Corpus.of([folder])
    size = sum(len(record.text.encode()) for partition in corpus.partitions() for record in read_partition(partition)
               if isinstance(record, Document))
    return corpus, size


def signatures_and_bands(corpus):
    """The floor the scan is held to: reading the documents, their MinHash signatures and band keys."""
    for partition in corpus.partitions():
        for record in read_partition(partition):
            if isinstance(record, Document):
                quelvane.minhash_signature(record.text)
                quelvane.minhash_bands(record.text)


def per_document_keys(corpus, binding, excerpt_keys):
    """What a scan computes for every document before any look-up: the module calls (the watermark
    attempt and the band keys) and, with `excerpt_keys`, the excerpt index keys too."""
    for partition in corpus.partitions():
        for record in read_partition(partition):
            if isinstance(record, Document):
                read_watermark(record.text, binding.binding_hex)
                quelvane.minhash_bands(record.text)
                if excerpt_keys:
                    excerpts.index_entries(record.text)


def scan_cost(paragraphs, publications, documents, rounds, scratch):
    """Median seconds per document of a scan, in this process, and of the floors it is held to."""
    database, keys, texts, unrelated = scan_registry(paragraphs, publications, scratch)
    corpus, _ = scan_corpus(scratch / f"scan-corpus-{documents}", documents, unrelated, texts)
    binding = BindingKey(keys.binding_hex, keys.repository_id)
    total = documents + documents // 10
    steps = {
        "(a) signatures and band keys": lambda: signatures_and_bands(corpus),
        "(a') watermark and band keys": lambda: per_document_keys(corpus, binding, False),
        "(b) (a') and excerpt keys": lambda: per_document_keys(corpus, binding, True),
        "scan": lambda: scan(corpus, database, binding, scratch / "scan-out", fmt="jsonl"),
    }
    seconds = {name: [] for name in steps}
    for _ in range(rounds):
        for name, step in steps.items():
            started = time.perf_counter()
            step()
            seconds[name].append(time.perf_counter() - started)
    summary = scan(corpus, database, binding, scratch / "scan-out", fmt="jsonl")
    medians = {name: statistics.median(values) for name, values in seconds.items()}
    print(f"scan of {total} documents against {publications} publications ({summary.matches} match rows, {summary.other_rows} weak or unverified), "
          f"median of {rounds}, load average {_load()}:")
    for name, value in medians.items():
        ratios = "" if name != "scan" else "   " + "  ".join(
            f"{value / medians[floor]:.2f}x {floor.split()[0]}" for floor in medians if floor != "scan")
        print(f"  {name:<30} {value:7.2f} s {value / total * 1e6:8.0f} us/doc{ratios}")
    return database, binding, texts, unrelated


def timed_scan(corpus, database, binding, output, client):
    """Wall seconds, the CPU seconds of each worker (or of this process), and the summary of one scan."""
    before = _cpu_each(client)
    started = time.perf_counter()
    summary = scan(corpus, database, binding, output, fmt="parquet", client=client)
    wall = time.perf_counter() - started
    return wall, [after - first for first, after in zip(before, _cpu_each(client))], summary


def _cpu_each(client):
    if client is None:
        return [time.process_time()]
    return [cpu for _, cpu in sorted(client.run(time.process_time).items())]


def _load():
    return " ".join(f"{value:.1f}" for value in os.getloadavg())


def scan_throughput(corpus, size, documents, database, binding, rounds, scratch):
    """docs/s and MB/s of the scan on 1 and 2 worker processes, the CPU seconds each worker spent,
    and each worker's peak resident memory."""
    print(f"scan throughput: {documents} documents, {size / 1e6:.1f} MB, {len(corpus.partitions())} partitions, "
          f"median of {rounds}")
    print(f"  {'workers':<8} {'seconds':>8} {'docs/s':>8} {'MB/s':>6} {'vs 1':>6} {'CPU s per worker':>18} "
          f"{'CPU/wall':>8} {'peak RSS MB':>12}  load before / after")
    single = None
    for workers in (1, 2):
        with local_cluster(workers) as cluster, Client(cluster) as client:
            load = _load()
            runs = [timed_scan(corpus, database, binding, scratch / "scan-throughput", client) for _ in range(rounds)]
            peak = worker_memory(client, "VmHWM")
        wall = statistics.median(run[0] for run in runs)
        cpu = [statistics.median(run[1][i] for run in runs) for i in range(workers)]
        single = single or wall
        print(f"  {workers:<8} {wall:8.1f} {documents / wall:8.0f} {size / wall / 1e6:6.2f} {single / wall:5.2f}x "
              f"{' '.join(f'{c:.1f}' for c in cpu):>18} {sum(cpu) / wall:8.2f} "
              f"{' '.join(f'{mb:.0f}' for mb in peak):>12}  {load} / {_load()}", flush=True)


def scan_memory(sizes, unrelated, texts, database, binding, scratch):
    """Peak resident memory of each of 2 workers over one scan, at each corpus size."""
    print("scan, peak resident memory per worker (MB), 2 workers, a fresh cluster per size:")
    for documents in sizes:
        corpus, size = scan_corpus(scratch / f"scan-corpus-{documents}", documents, unrelated, texts)
        with local_cluster(2) as cluster, Client(cluster) as client:
            before = worker_memory(client, "VmRSS")
            timed_scan(corpus, database, binding, scratch / "scan-memory", client)
            peak = worker_memory(client, "VmHWM")
        print(f"  {documents:>7} documents ({size / 1e6:.0f} MB): {' '.join(f'{mb:.0f}' for mb in before)} at start, "
              f"peak {' '.join(f'{mb:.0f}' for mb in peak)}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=100_000)
    parser.add_argument("--small", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--agreement", type=int, default=4000, help="documents in the peer comparison")
    parser.add_argument("--publications", type=int, default=10_000, help="registry size for the scan")
    parser.add_argument("--scanned", type=int, default=5000, help="unrelated documents in the scan's cost")
    parser.add_argument("--only", choices=("scan-cost", "scan", "dedup"), help="measure one part alone")
    parser.add_argument("--scratch", type=Path, help="keep the registry and corpora in this folder between runs")
    parser.add_argument("--languages", default=",".join(ALPHABETIC), help=f"of {', '.join(LANGUAGES)}")
    options = parser.parse_args()
    languages = options.languages.split(",")
    paragraphs = prose_paragraphs(languages)
    print(f"{len(paragraphs)} paragraphs of prose from {CORPUS}: {', '.join(languages)}")
    with tempfile.TemporaryDirectory(prefix="quelvane-bench-scale-") as temporary:
        scratch = options.scratch or Path(temporary)
        scratch.mkdir(exist_ok=True)
        if options.only in (None, "scan-cost", "scan"):
            database, binding, texts, unrelated = scan_cost(
                paragraphs, options.publications, options.scanned, options.rounds, scratch)
        if options.only in (None, "scan"):
            corpus, size = scan_corpus(scratch / f"scan-corpus-{options.documents}", options.documents, unrelated,
                                       texts)
            documents = options.documents + options.documents // 10
            scan_throughput(corpus, size, documents, database, binding, options.rounds, scratch)
            scan_memory((options.small, options.documents), unrelated, texts, database, binding, scratch)
        if options.only in (None, "dedup"):
            dedup_measures(paragraphs, options, scratch)


def dedup_measures(paragraphs, options, scratch):
    peer_agreement(paragraphs, options.agreement, scratch)
    folder = scratch / f"dedup-corpus-{options.documents}"
    folder.mkdir(exist_ok=True)
    size = write_corpus(folder, options.documents, paragraphs)
    corpus = Corpus.of([folder])
    print(f"dedup corpus: {options.documents} documents, {size / 1e6:.1f} MB, "
          f"{len(corpus.partitions())} partitions; median of {options.rounds} runs")
    rows = throughput(corpus, size, options.documents, options.rounds, scratch)
    single = next(row for row in rows if row[0] == "1 worker")[1]
    print(f"{'dedup':<12} {'seconds':>8} {'docs/s':>8} {'MB/s':>6} {'vs 1 worker':>12} {'CPU us/doc':>11}")
    for label, seconds, docs_per_second, mb_per_second, cpu_us in rows:
        print(f"{label:<12} {seconds:8.2f} {docs_per_second:8.0f} {mb_per_second:6.2f} "
              f"{single / seconds:11.2f}x {cpu_us:11.0f}")
    print(f"load average at the end: {_load()} on {os.cpu_count()} cores")
    print("dedup, resident memory per worker (MB), 2 workers: at start -> peak during the run")
    small = scratch / f"dedup-corpus-{options.small}"
    small.mkdir(exist_ok=True)
    write_corpus(small, options.small, paragraphs)
    corpora = [(options.small, Corpus.of([small])), (options.documents, corpus)]
    for documents, before, after in memory(corpora, scratch):
        print(f"  {documents:>7} documents: {' '.join(f'{mb:.0f}' for mb in before)} -> "
              f"{' '.join(f'{mb:.0f}' for mb in after)}")


if __name__ == "__main__":
    main()
