"""The C2PA Soft Binding Resolution API served by `quelvane serve` on 127.0.0.1: GET
/manifests/{id} requests per second with the server held to one core, and a look-up by watermark
pointer (GET /matches/byBinding) against one by the same text (POST /matches/byContent).

The registry holds real prose (bench/prose.py), published with a local C2PA signing identity so
every publication has its manifest. One client on one keep-alive connection sends the requests
in a bounded loop; the server process is pinned to one core and the client to another, so the
rate is the server's on one core, HTTP parsing and the registry read included. The byBinding
and byContent requests alternate over the same published texts, so a busy machine slows both
alike; the ratio of their median latencies is the figure. A look-up by pointer costs the same
whatever the text; identify's cost grows with the text, so the ratio is given for the corpus's
short texts (about 1.3 KB) and for documents made of 12 and of 48 of them end to end (about 14
and 55 KB).

Usage: python bench/bench_resolution.py [--publications N] [--requests N]"""
from __future__ import annotations

import argparse
import base64
import http.client
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from urllib.parse import urlencode, urlparse

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests" / "host")]
import prose  # noqa: E402
from service_process import serving  # noqa: E402

from quelvane_host import Registry  # noqa: E402
from quelvane_host.algorithms import WATERMARK_ALG  # noqa: E402
from quelvane_host.manifests import manifest_id_for  # noqa: E402
from quelvane_host.publish import PublishResult  # noqa: E402

JOINED = {"long": 12, "longer": 48}
"""Corpus texts per document of each longer size."""
DOCUMENTS = 10


def request(connection: http.client.HTTPConnection, method: str, path: str, body: bytes | None = None,
            headers: dict[str, str] | None = None) -> tuple[int, bytes, float]:
    started = time.perf_counter()
    connection.request(method, path, body=body, headers=headers or {})
    response = connection.getresponse()
    data = response.read()
    return response.status, data, time.perf_counter() - started


def requests_per_second(connection: http.client.HTTPConnection, paths: list[str]) -> float:
    started = time.perf_counter()
    statuses = {request(connection, "GET", path)[0] for path in paths}
    assert statuses == {200}, statuses
    return len(paths) / (time.perf_counter() - started)


def lookup(connection: http.client.HTTPConnection, published: list[PublishResult], count: int
           ) -> tuple[list[float], list[float]]:
    """Seconds of each byBinding (by watermark pointer) and byContent request, alternating over
    the published texts; each must find its own manifest with score 100."""
    binding, content = [], []
    for i in range(count):
        result = published[i % len(published)]
        value = base64.b64encode(bytes.fromhex(result.pointer)).decode()
        status, body, seconds = request(connection, "GET", "/matches/byBinding?" + urlencode(
            {"alg": WATERMARK_ALG, "value": value}))
        assert status == 200 and json.loads(body)["matches"][0]["similarityScore"] == 100, body
        binding.append(seconds)
        status, body, seconds = request(connection, "POST", "/matches/byContent", result.published.encode(),
                                        {"Content-Type": "text/plain"})
        assert status == 200 and json.loads(body)["matches"][0]["similarityScore"] == 100, body
        content.append(seconds)
    return binding, content


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--publications", type=int, default=200)
    parser.add_argument("--requests", type=int, default=5_000, help="GET /manifests requests")
    parser.add_argument("--lookups", type=int, default=200, help="byBinding and byContent requests each")
    args = parser.parse_args()
    cores = sorted(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        registry, _ = Registry.init(folder / "registry.db", folder / "quelvane.key")
        corpus = prose.texts()
        texts = {"short": corpus[: args.publications]}
        rest = iter(corpus[args.publications:])
        for name, count in JOINED.items():
            texts[name] = ["\n\n".join(next(rest) for _ in range(count)) for _ in range(DOCUMENTS)]
        with registry:
            published = {name: [registry.publish(text) for text in group] for name, group in texts.items()}
        results = published["short"]
        ids = [manifest_id_for(r.pointer) for r in results]
        # The server inherits this process's core; the client moves to another once it is up.
        os.sched_setaffinity(0, {cores[0]})
        with serving(folder / "registry.db", folder / "quelvane.key", folder / "server.log") as url:
            os.sched_setaffinity(0, set(cores[1:]) or {cores[0]})
            address = urlparse(url)
            connection = http.client.HTTPConnection(address.hostname, address.port, timeout=60)
            for manifest_id in ids[:50]:  # warm: the server's first requests open its registries
                request(connection, "GET", f"/manifests/{manifest_id}")
            rate = requests_per_second(connection, [f"/manifests/{ids[i % len(ids)]}" for i in range(args.requests)])
            floor = requests_per_second(connection, ["/services/supportedAlgorithms"] * args.requests)
            lookups = {name: lookup(connection, group, args.lookups) for name, group in published.items()}
            connection.close()
    print(f"registry: {sum(map(len, published.values()))} publications with manifests")
    print("\n| measure | result | target |\n|---|---|---|")
    print(f"| GET /manifests/{{id}}, server on one core, one keep-alive client | {rate:,.0f} requests/s "
          f"({args.requests:,} requests) | at least 1,000 |")
    print(f"| peer: GET /services/supportedAlgorithms (no turn, no registry) | {floor:,.0f} requests/s | |")
    for name, group in published.items():
        size = statistics.median(len(r.published) for r in group)
        by_binding, by_content = (statistics.median(times) * 1000 for times in lookups[name])
        print(f"| {name} texts (median {size:,.0f} characters): byBinding by watermark pointer, median | "
              f"{by_binding:.2f} ms | |")
        print(f"| the same texts: byContent, median | {by_content:.2f} ms | |")
        print(f"| {name} texts: byContent / byBinding | {by_content / by_binding:.1f}x | at least 20x |")


if __name__ == "__main__":
    main()
