"""Near-duplicate clustering (quelvane_host.dedup) on a generated corpus of real prose.

Throughput in documents and MB per second in-process, on a Dask LocalCluster of 1 and of 2 worker
processes (one thread each), and the peak resident memory of each worker at two corpus sizes.
Documents are runs of paragraphs of the English documentation installed under /usr/share/doc
(release notes, READMEs, change logs), a tenth of them near copies of another with a few words
replaced, written as JSON Lines files of 2,000 documents.

The peer comparison: clusters against datasketch's MinHashLSH on prose with near copies.

The scan (quelvane_host.scan) in-process against a registry of --publications texts, on a corpus
where a tenth of the documents are copies of publications, against the floor every scan pays:
reading the same documents and computing their MinHash signatures and band keys.

Run: python bench/bench_scale.py [--documents 100000] [--small 10000] [--rounds 3] [--agreement 4000]
                                 [--publications 10000] [--scanned 5000] [--only-scan]
"""
from __future__ import annotations

import argparse
import gzip
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

from quelvane_host.corpus import Corpus  # noqa: E402
from quelvane_host.dedup import DEFAULT_THRESHOLD, cluster_rows, dedup, fingerprint, local_cluster  # noqa: E402
from quelvane_host.keys import Keys  # noqa: E402
from quelvane_host.registry import Registry  # noqa: E402
from quelvane_host.scan import BindingKey, scan  # noqa: E402
from quelvane_host.output import read_rows  # noqa: E402
from peers import agreement, datasketch_clusters  # noqa: E402

SOURCES = ("/usr/share/doc",)
DOCUMENTS_PER_FILE = 2000


def prose_paragraphs(minimum_words=25):
    """Paragraphs of running text (not lists of file names or code) from the installed docs."""
    paragraphs = set()
    for root in SOURCES:
        for path in sorted(Path(root).rglob("*")):
            name = path.name.lower()
            if not path.is_file() or not (name.endswith((".txt", ".gz")) or name.startswith(("readme", "news"))):
                continue
            try:
                raw = gzip.decompress(path.read_bytes()) if name.endswith(".gz") else path.read_bytes()
                text = raw.decode("utf-8")
            except (OSError, UnicodeDecodeError, gzip.BadGzipFile, EOFError):
                continue
            for block in text.split("\n\n"):
                words = block.split()
                letters = sum(word.isalpha() for word in words)
                if len(words) >= minimum_words and letters >= 0.7 * len(words):
                    paragraphs.add(" ".join(words))
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


def scan_cost(paragraphs, publications, documents, rounds, scratch):
    """Median seconds per document of a scan and of its fingerprinting floor, in this process."""
    rng = random.Random(5)
    keys = Keys.generate("bench")
    texts = []
    started = time.perf_counter()
    # Publications and the other documents come from separate halves of the paragraphs, each
    # paragraph in one publication at most: unrelated pages share no passage with the registry.
    # The installed docs repeat licence and boilerplate paragraphs with small changes: an other
    # paragraph sharing any eight-word run with a published one is left out.
    published = paragraphs[:len(paragraphs) // 2]
    runs = {run for paragraph in published for run in _runs(paragraph)}
    unrelated = [p for p in paragraphs[len(paragraphs) // 2:] if not runs & _runs(p)]
    start = 0
    with Registry.create(scratch / "registry.db", keys) as registry:
        for _ in range(publications):
            count = rng.randint(2, 4)
            text = "\n\n".join(published[start:start + count]).replace("\x00", "")
            start = (start + count) % (len(published) - 4)
            registry.publish(text)
            texts.append(text)
    print(f"registry: {publications} publications in {time.perf_counter() - started:.0f} s")
    folder = scratch / "scan-corpus"
    folder.mkdir()
    write_corpus(folder, documents, unrelated, copies=0.0, seed=9)
    # A tenth of the documents are copies of publications, as found on the web.
    lines = [json.dumps({"text": rng.choice(texts)}) for _ in range(documents // 10)]
    (folder / "copies.jsonl").write_text("\n".join(lines) + "\n")
    corpus = Corpus.of([folder])
    binding = BindingKey(keys.binding_hex, keys.repository_id)
    total = documents + len(lines)
    scans, floors, found = [], [], 0
    for _ in range(rounds):
        started = time.perf_counter()
        for partition in corpus.partitions():
            fingerprint(partition)
        floors.append(time.perf_counter() - started)
        started = time.perf_counter()
        found = scan(corpus, scratch / "registry.db", binding, scratch / "scan-out", fmt="jsonl").matches
        scans.append(time.perf_counter() - started)
    scan_s, floor_s = statistics.median(scans), statistics.median(floors)
    print(f"scan of {total} documents against {publications} publications ({found} match rows), "
          f"median of {rounds}:")
    print(f"  {'fingerprints and band keys alone':<34} {floor_s:7.2f} s {floor_s / total * 1e6:8.0f} us/doc")
    print(f"  {'scan':<34} {scan_s:7.2f} s {scan_s / total * 1e6:8.0f} us/doc   {scan_s / floor_s:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=100_000)
    parser.add_argument("--small", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--agreement", type=int, default=4000, help="documents in the peer comparison")
    parser.add_argument("--publications", type=int, default=10_000, help="registry size for the scan")
    parser.add_argument("--scanned", type=int, default=5000, help="unrelated documents in the scan's corpus")
    parser.add_argument("--only-scan", action="store_true", help="measure the scan alone")
    options = parser.parse_args()
    paragraphs = prose_paragraphs()
    print(f"{len(paragraphs)} paragraphs of prose from {', '.join(SOURCES)}")
    with tempfile.TemporaryDirectory(prefix="quelvane-bench-scale-") as scratch:
        scratch = Path(scratch)
        scan_cost(paragraphs, options.publications, options.scanned, options.rounds, scratch)
        if options.only_scan:
            return
        peer_agreement(paragraphs, options.agreement, scratch)
        (scratch / "corpus").mkdir()
        size = write_corpus(scratch / "corpus", options.documents, paragraphs)
        corpus = Corpus.of([scratch / "corpus"])
        print(f"corpus: {options.documents} documents, {size / 1e6:.1f} MB, "
              f"{len(corpus.partitions())} partitions; median of {options.rounds} runs")
        rows = throughput(corpus, size, options.documents, options.rounds, scratch)
        single = next(row for row in rows if row[0] == "1 worker")[1]
        print(f"{'dedup':<12} {'seconds':>8} {'docs/s':>8} {'MB/s':>6} {'vs 1 worker':>12} {'CPU us/doc':>11}")
        for label, seconds, docs_per_second, mb_per_second, cpu_us in rows:
            print(f"{label:<12} {seconds:8.2f} {docs_per_second:8.0f} {mb_per_second:6.2f} "
                  f"{single / seconds:11.2f}x {cpu_us:11.0f}")
        print(f"machine load (1-minute average) at the end: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        print("resident memory per worker (MB), 2 workers: at start -> peak during the run")
        (scratch / "small").mkdir()
        write_corpus(scratch / "small", options.small, paragraphs)
        corpora = [(options.small, Corpus.of([scratch / "small"])), (options.documents, corpus)]
        for documents, before, after in memory(corpora, scratch):
            print(f"  {documents:>7} documents: {' '.join(f'{mb:.0f}' for mb in before)} -> "
                  f"{' '.join(f'{mb:.0f}' for mb in after)}")


if __name__ == "__main__":
    main()
