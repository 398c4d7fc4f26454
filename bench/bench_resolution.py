"""The C2PA Soft Binding Resolution API served by `quelvane serve` on 127.0.0.1: GET
/manifests/{id} requests per second with the server held to one core, and a look-up by watermark
pointer (GET /matches/byBinding) against one by the same text (POST /matches/byContent).

The registry holds real prose, published with a local C2PA signing identity so every publication
has its manifest: the corpus's short texts (bench/prose.py, about 1.3 KB) and real documents of
300 to 5,000 words (bench/corpus.py `documents()`, sections of the Python documentation), spread
evenly over the whole list. One client on one keep-alive connection sends the requests in a
bounded loop; the server process is pinned to one core and the client to another, so the rate is
the server's on one core, HTTP parsing and the registry read included. For each text, byBinding
with its pointer and byContent with its published document alternate, so a busy machine slows
both alike; a text's ratio is its median byContent time over its median byBinding time. A look-up
by pointer costs the same whatever the text; identify's cost grows with the text, so the ratios
are given per band of document length (the median over the band's documents) and over all the
documents, and for the short texts on their own.

Usage: python bench/bench_resolution.py [--publications N] [--documents N] [--requests N] [--rounds N]"""
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
import corpus  # noqa: E402
import prose  # noqa: E402
from service_process import serving  # noqa: E402

from quelvane_host import Registry  # noqa: E402
from quelvane_host.algorithms import WATERMARK_ALG  # noqa: E402
from quelvane_host.manifests import manifest_id_for  # noqa: E402
from quelvane_host.publish import PublishResult  # noqa: E402

BANDS = ((300, 500), (500, 1_000), (1_000, 2_000), (2_000, 6_000))
"""Document lengths in words, each band reported on its own."""


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


def lookup(connection: http.client.HTTPConnection, published: list[PublishResult], rounds: int
           ) -> list[tuple[float, float]]:
    """Per published text, the median seconds of its byBinding (by watermark pointer) and of its
    byContent requests, the two alternating; each must find the text's own manifest, scored 100."""
    binding: list[list[float]] = [[] for _ in published]
    content: list[list[float]] = [[] for _ in published]
    for _ in range(rounds):
        for i, result in enumerate(published):
            own = manifest_id_for(result.pointer)
            value = base64.b64encode(bytes.fromhex(result.pointer)).decode()
            status, body, seconds = request(connection, "GET", "/matches/byBinding?" + urlencode(
                {"alg": WATERMARK_ALG, "value": value}))
            assert status == 200 and json.loads(body)["matches"] == [{"manifestId": own, "similarityScore": 100}], body
            binding[i].append(seconds)
            status, body, seconds = request(connection, "POST", "/matches/byContent", result.published.encode(),
                                            {"Content-Type": "text/plain"})
            assert status == 200 and {"manifestId": own, "similarityScore": 100} in json.loads(body)["matches"], body
            content[i].append(seconds)
    return [(statistics.median(b), statistics.median(c)) for b, c in zip(binding, content)]


def rows(name: str, texts: list[str], times: list[tuple[float, float]]) -> list[str]:
    """The table rows of a group of texts: their median length, median byBinding and byContent
    times, and the median of their ratios."""
    size = statistics.median(len(t) for t in texts)
    by_binding = statistics.median(b for b, _ in times) * 1000
    by_content = statistics.median(c for _, c in times) * 1000
    ratio = statistics.median(c / b for b, c in times)
    sizes = (f"| {name}: {len(texts)} texts, median {size:,.0f} characters | byBinding {by_binding:.2f} ms, "
             f"byContent {by_content:.2f} ms (medians) | |")
    return [sizes, f"| {name}: byContent / byBinding, median over the texts | {ratio:.1f}x | at least 20x |"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--publications", type=int, default=200, help="short texts")
    parser.add_argument("--documents", type=int, default=200, help="documents, spread over the whole list")
    parser.add_argument("--requests", type=int, default=5_000, help="GET /manifests requests")
    parser.add_argument("--rounds", type=int, default=3, help="byBinding and byContent requests per text")
    args = parser.parse_args()
    cores = sorted(os.sched_getaffinity(0))
    every = corpus.documents()
    documents = [every[i * len(every) // args.documents] for i in range(args.documents)]
    short = prose.texts()[: args.publications]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        registry, _ = Registry.init(folder / "registry.db", folder / "quelvane.key")
        with registry:
            published = {name: [registry.publish(text) for text in group]
                         for name, group in (("short", short), ("documents", documents))}
        ids = [manifest_id_for(r.pointer) for r in published["short"]]
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
            times = {name: lookup(connection, group, args.rounds) for name, group in published.items()}
            connection.close()
    print(f"registry: {sum(map(len, published.values()))} publications with manifests; "
          f"{args.rounds} rounds of byBinding and byContent per text")
    print("\n| measure | result | target |\n|---|---|---|")
    print(f"| GET /manifests/{{id}}, server on one core, one keep-alive client | {rate:,.0f} requests/s "
          f"({args.requests:,} requests) | at least 1,000 |")
    print(f"| peer: GET /services/supportedAlgorithms (no turn, no registry) | {floor:,.0f} requests/s | |")
    for line in rows("short texts", short, times["short"]):
        print(line)
    words = [len(d.split()) for d in documents]
    for low, high in BANDS:
        band = [i for i, w in enumerate(words) if low <= w < high]
        if band:
            for line in rows(f"documents of {low:,} to {high:,} words", [documents[i] for i in band],
                             [times["documents"][i] for i in band]):
                print(line)
    for line in rows("all documents", documents, times["documents"]):
        print(line)


if __name__ == "__main__":
    main()
