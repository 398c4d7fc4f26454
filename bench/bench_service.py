"""`quelvane serve` under load, on 127.0.0.1 only: identify requests from concurrent clients
against a registry of 10,000 publications.

The registry holds the real prose of bench/prose.py, published as a publisher would, grown to
the full size with synthetic entries (bench_identify.grow). Each request is an 80-word excerpt
of a published text pasted into unrelated real prose five times its length, sent as JSON from
one of the clients, each on its own keep-alive connection. Reports the median and 99th
percentile latency and the throughput, against a floor measured in the same run: the same
identify calls made in-process, one at a time, with no HTTP in between.

Usage: python bench/bench_service.py [--publications N] [--requests N] [--clients N]"""
from __future__ import annotations

import argparse
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests" / "host")]
import prose  # noqa: E402
from bench_identify import chain, excerpt, filler, grow, paste  # noqa: E402
from service_process import identify_load, serving  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402

FLOOR_SAMPLES = 200


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--publications", type=int, default=10_000)
    parser.add_argument("--requests", type=int, default=2_000)
    parser.add_argument("--clients", type=int, default=8)
    args = parser.parse_args()
    rng = random.Random(15)
    corpus = prose.texts()
    real, held_out = corpus[: len(corpus) * 3 // 4], corpus[len(corpus) * 3 // 4:]
    pool = [t.split() for t in held_out[::2]]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        keys = Keys.generate("bench-service")
        keys.save(folder / "quelvane.key")
        with Registry.create(folder / "registry.db", keys) as registry:
            started = time.perf_counter()
            pointers = [registry.publish(text).pointer for text in real[: args.publications]]
            grow(registry, registry.show(pointers[0]), args.publications - len(pointers), chain(held_out[1::2]), rng)
            print(f"registry: {registry.storage.count():,} publications ({len(pointers):,} real prose texts "
                  f"published, the rest synthetic), built in {time.perf_counter() - started:.0f} s")
            found, expected = [], []
            for _ in range(args.requests):
                which = rng.randrange(len(pointers))
                piece = excerpt(real[which].split(), 80, rng)
                found.append(paste(piece, filler(400, pool, rng), rng))
                expected.append(pointers[which])
            floor = []
            for text in found[:FLOOR_SAMPLES]:
                start = time.perf_counter()
                registry.identify(text)
                floor.append(time.perf_counter() - start)
        size = statistics.median(len(t) for t in found)
        print(f"requests: {args.requests:,} from {args.clients} clients, median {size:,.0f} characters each")
        with serving(folder / "registry.db", folder / "quelvane.key", folder / "server.log") as url:
            started = time.perf_counter()
            replies = identify_load(url, found, args.clients)
            elapsed = time.perf_counter() - started
    latencies = [r.seconds * 1000 for r in replies if r.status == 200]
    errors = sum(r.status != 200 for r in replies)
    missed = sum(r.status == 200 and p not in r.pointers for p, r in zip(expected, replies))
    floor_ms = statistics.median(floor) * 1000
    median = statistics.median(latencies)
    print(f"\n| measure | service over HTTP | floor: in-process identify, one at a time |\n|---|---|---|")
    print(f"| median latency | {median:.1f} ms | {floor_ms:.1f} ms |")
    print(f"| 99th percentile latency | {percentile(latencies, 0.99):.1f} ms | "
          f"{percentile([f * 1000 for f in floor], 0.99):.1f} ms |")
    print(f"| throughput | {len(replies) / elapsed:.1f} requests/s | {1000 / floor_ms:.1f} calls/s |")
    print(f"| error responses / requests lost / expected publication missing | {errors} / "
          f"{args.requests - len(replies)} / {missed} | |")
    print(f"\nmedian latency is {median / floor_ms:.2f}x the in-process floor with {args.clients} clients "
          f"sharing the machine's cores")


if __name__ == "__main__":
    main()
