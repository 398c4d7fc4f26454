"""`quelvane serve` under load, on 127.0.0.1 only: identify requests from concurrent clients, served
by one worker process and by several, in the same run.

The registry holds real prose only: documents of bench/corpus.py (sections of the Python
documentation, a few hundred to a few thousand words each), published as a publisher would. The
requests, the same for every server, mix what a checker sends: an 80-word excerpt of a published
document pasted into unrelated held-out prose five times its length (half of them), a whole
published document, and an unrelated held-out document that matches nothing. Each client sends
them one after another on its own keep-alive connection. For each number of workers: the
throughput, the median and 99th percentile latency, and their ratio; the throughput of the
larger numbers against one worker's. A floor measured in the same run: the same identify calls
in-process, one at a time, with no HTTP in between. And a peer after each server: the same calls
in-process from as many forked processes at once as it had workers, which shows how far the
machine, as loaded at that moment, lets processes scale at all.

Usage: python bench/bench_service.py [--publications N] [--requests N] [--clients N] [--workers N ...]
(--workers 1 2 1 2 alternates the servers, to see how much the machine's noise moves the figures)"""
from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests" / "host")]
import corpus  # noqa: E402
from service_process import children, cpu_seconds, identify_load, server_process  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402

FLOOR_SAMPLES = 100
WARM_UP = 16


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def requests(published: list[str], held_out: list[str], count: int,
             rng: random.Random) -> tuple[list[str], list[int | None]]:
    """The request mix, and the index of the published document each should match (None: none)."""
    words = [text.split() for text in held_out]
    found: list[str] = []
    sources: list[int | None] = []
    for index in range(count):
        kind, source = index % 4, rng.randrange(len(published))
        if kind == 3:
            found.append(rng.choice(held_out))
            sources.append(None)
            continue
        sources.append(source)
        if kind == 2:
            found.append(published[source])
            continue
        piece = published[source].split()
        start = rng.randrange(len(piece) - 80)
        around: list[str] = []
        while len(around) < 400:
            around.extend(rng.choice(words))
        at = rng.randrange(400)
        found.append(" ".join(around[:at] + piece[start:start + 80] + around[at:400]))
    return found, sources


def processes_floor(registry: Path, keys: Path, texts: list[str], processes: int) -> float:
    """Calls per second of the same identify calls made in-process by `processes` forked processes
    at once, each on its own registry: how far this machine, as loaded now, lets processes scale."""
    started = time.perf_counter()
    children = []
    for _ in range(processes):
        pid = os.fork()
        if pid == 0:
            with Registry.open(registry, keys) as own:
                for text in texts:
                    own.identify(text)
            os._exit(0)
        children.append(pid)
    for pid in children:
        os.waitpid(pid, 0)
    return processes * len(texts) / (time.perf_counter() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--publications", type=int, default=800)
    parser.add_argument("--requests", type=int, default=2_000)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, len(os.sched_getaffinity(0))])
    args = parser.parse_args()
    rng = random.Random(15)
    documents = corpus.documents()
    published, held_out = documents[: args.publications], documents[args.publications:]
    assert len(held_out) >= 100, "too few documents left for unrelated prose: lower --publications"
    found, sources = requests(published, held_out, args.requests, rng)
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        keys = Keys.generate("bench-service")
        keys.save(folder / "quelvane.key")
        with Registry.create(folder / "registry.db", keys) as registry:
            started = time.perf_counter()
            pointers = [registry.publish(text).pointer for text in published]
            print(f"registry: {len(pointers):,} documents of real prose, published in "
                  f"{time.perf_counter() - started:.0f} s")
            floor = []
            for text in found[:FLOOR_SAMPLES]:
                start = time.perf_counter()
                registry.identify(text)
                floor.append(time.perf_counter() - start)
        size = statistics.median(len(t) for t in found)
        print(f"requests: {args.requests:,} from {args.clients} clients, median {size:,.0f} characters each; "
              f"{len(os.sched_getaffinity(0))} usable cores")
        runs = []
        peers = []
        for order, workers in enumerate(args.workers):
            with server_process(folder / "registry.db", folder / "quelvane.key", folder / f"server-{order}.log",
                                workers=workers) as (server, url):
                identify_load(url, found[:WARM_UP], args.clients)
                processes = [server.pid, *sorted(children(server.pid))]
                before = [cpu_seconds(pid) for pid in processes]
                started = time.perf_counter()
                replies = identify_load(url, found, args.clients)
                elapsed = time.perf_counter() - started
                used = [cpu_seconds(pid) - spent for pid, spent in zip(processes, before)]
                runs.append((workers, replies, elapsed, used, os.getloadavg()[0]))
            peers.append((workers, processes_floor(folder / "registry.db", folder / "quelvane.key",
                                                   found[:FLOOR_SAMPLES * 2], workers)))
    floor_ms = statistics.median(floor) * 1000
    print("\n| server | throughput | against 1 worker | median latency | 99th percentile | p99 / median "
          "| errors / lost / expected match missing | cores used (each worker's share) | requests per processor second | machine load |"
          "\n|---|---|---|---|---|---|---|---|---|---|")
    single = None
    for workers, replies, elapsed, used, load in runs:
        throughput = len(replies) / elapsed
        single = throughput if workers == 1 else single
        latencies = [r.seconds * 1000 for r in replies if r.status == 200]
        median, p99 = statistics.median(latencies), percentile(latencies, 0.99)
        missed = sum(s is not None and r.status == 200 and pointers[s] not in r.pointers
                     for s, r in zip(sources, replies))
        print(f"| {workers} worker process{'es' if workers > 1 else ''} | {throughput:.1f} requests/s | "
              f"{f'{throughput / single:.2f}x' if single else ''} | {median:.0f} ms | {p99:.0f} ms | "
              f"{p99 / median:.2f} | {sum(r.status != 200 for r in replies)} / {args.requests - len(replies)} / "
              f"{missed} | {sum(used) / elapsed:.2f} ({' '.join(f'{u / sum(used):.0%}' for u in used[1:] or used)}) | "
              f"{len(replies) / sum(used):.1f} | "
              f"{load:.1f} |")
    print(f"| floor: in-process identify, one at a time | {1000 / floor_ms:.1f} calls/s | | {floor_ms:.0f} ms | "
          f"{percentile(floor, 0.99) * 1000:.0f} ms | {percentile(floor, 0.99) / statistics.median(floor):.2f} | | | | |")
    print("\n| peer: the same identify calls in-process, no HTTP, run after each server | calls/s | against 1 process |"
          "\n|---|---|---|")
    alone = None
    for processes, rate in peers:
        alone = rate if processes == 1 else alone
        print(f"| {processes} process{'es' if processes > 1 else ''} at once | {rate:.1f} | "
              f"{f'{rate / alone:.2f}x' if alone else ''} |")
    print("\nagainst 1 worker: the throughput over that of the latest 1-worker run before it. cores used: the "
          "processor time of the server's processes over the run's time; requests per processor second: the "
          "throughput the processor time bought, which sets what N cores of their own would serve. machine load: "
          "the load average after the run, other work included; with more runnable processes than cores the "
          "server gets a share of them, and throughput follows the cores it got")

if __name__ == "__main__":
    main()
