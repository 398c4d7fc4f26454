"""`quelvane serve` under load and at its limits over real sockets on 127.0.0.1: many clients at
once, each answer right and none lost; bodies over the limit cut off while they arrive.
The full-size load with its figures is bench/bench_service.py."""
import random
import socket

import pytest

pytest.importorskip("fastapi")
from quelvane_host import Keys, Registry  # noqa: E402
from .service_process import identify_load, serving  # noqa: E402
from .texts import ARTICLE, ESSAY, FILLER, NOTES  # noqa: E402

PUBLICATIONS = 120
REQUESTS = 320
CLIENTS = 8
LIMIT = 64 * 1024


def word_texts(count, rng):
    """Texts of the tests' prose vocabulary in random order: each shares no passage with another."""
    vocabulary = sorted({w.strip(".,;:'").lower() for t in (ARTICLE, ESSAY, NOTES) for w in t.split()})
    return [" ".join(rng.choice(vocabulary) for _ in range(160)) + "." for _ in range(count)]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """A registry of real and word-salad texts served with a small body limit: (URL, texts, pointers)."""
    folder = tmp_path_factory.mktemp("load")
    keys = Keys.generate("load-test")
    keys.save(folder / "quelvane.key")
    texts = [ARTICLE, ESSAY, NOTES] + word_texts(PUBLICATIONS - 3, random.Random(15))
    with Registry.create(folder / "registry.db", keys) as registry:
        pointers = [registry.publish(text).pointer for text in texts]
    with serving(folder / "registry.db", folder / "quelvane.key", folder / "server.log", None,
                 "--max-body-bytes", str(LIMIT)) as url:
        yield url, texts, pointers


def test_concurrent_clients_get_every_answer_right(server):
    url, texts, pointers = server
    rng = random.Random(16)
    expected, found = [], []
    for _ in range(REQUESTS):
        which = rng.randrange(len(texts))
        words = texts[which].split()
        start = rng.randrange(len(words) - 80)
        found.append(f"{FILLER}\n\n{' '.join(words[start:start + 80])}\n\n{FILLER}")
        expected.append(pointers[which])
    replies = identify_load(url, found, CLIENTS)
    assert len(replies) == REQUESTS
    assert [r.status for r in replies] == [200] * REQUESTS
    assert all(pointer in reply.pointers for pointer, reply in zip(expected, replies))


def _exchange(port, head, body_chunks):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as connection:
        connection.sendall(head)
        for chunk in body_chunks:
            connection.sendall(chunk)
        # Each of these answers closes the connection: read until it does.
        received = []
        while data := connection.recv(65536):
            received.append(data)
        return b"".join(received).decode("latin-1")


def test_real_server_refuses_a_body_over_the_limit_before_it_ends(server):
    port = int(server[0].rsplit(":", 1)[1])
    request = b"POST /identify HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
    # A declared length over the limit: answered before a byte of the body is sent.
    answer = _exchange(port, request + f"Content-Length: {LIMIT + 1}\r\n\r\n".encode(), [])
    assert answer.startswith("HTTP/1.1 413") and f"limit of {LIMIT} bytes" in answer
    # A chunked body: answered once it passes the limit, though its last chunk never comes.
    chunk = b"word " * 2048
    count = LIMIT // len(chunk) + 1
    framed = [b"%x\r\n%s\r\n" % (len(chunk), chunk)] * count
    answer = _exchange(port, request + b"Transfer-Encoding: chunked\r\n\r\n", framed)
    assert answer.startswith("HTTP/1.1 413") and f"limit of {LIMIT} bytes" in answer
    within = _exchange(port, request + b"Content-Length: 11\r\nConnection: close\r\n\r\n", [b"a few words"])
    assert within.startswith("HTTP/1.1 200")
