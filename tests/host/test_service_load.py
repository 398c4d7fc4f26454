"""`quelvane serve` under load and at its limits over real sockets on 127.0.0.1: many clients at
once, each answer right and none lost; bodies over the limit cut off while they arrive.
The full-size load with its figures is bench/bench_service.py."""
import http.client
import json
import os
import random
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

pytest.importorskip("fastapi")
from quelvane_host import Keys, Registry  # noqa: E402
from .service_process import children, identify_load, server_process, serving  # noqa: E402
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


TOKEN = "query-token-for-tests-0123456789"
HEADER_SECONDS = 1
BODY_SECONDS = 2
CUT_OFF_WITHIN = 8
"""Seconds allowed for a deadline of 1 or 2 s to close a connection on a busy machine."""


@pytest.fixture(scope="module", params=[1, 2], ids=["one worker", "two workers"])
def guarded(tmp_path_factory, request):
    """A server with short read deadlines and a token, in one process or two (each worker keeps
    the deadlines itself): (port, log path)."""
    folder = tmp_path_factory.mktemp("guarded")
    keys = Keys.generate("guarded-test")
    keys.save(folder / "quelvane.key")
    Registry.create(folder / "registry.db", keys).close()
    log = folder / "server.log"
    with serving(folder / "registry.db", folder / "quelvane.key", log, TOKEN, "--header-timeout",
                 str(HEADER_SECONDS), "--body-timeout", str(BODY_SECONDS), workers=request.param) as url:
        yield int(url.rsplit(":", 1)[1]), log


def _drip(connection, data, pause):
    """Sends `data` a byte at a time until the server closes the connection; what it answered."""
    for byte in data:
        try:
            connection.sendall(bytes([byte]))
        except OSError:
            break
        time.sleep(pause)
    return _rest(connection)


def _rest(connection):
    received = []
    try:
        while data := connection.recv(65536):
            received.append(data)
    except ConnectionResetError:
        pass
    return b"".join(received).decode("latin-1")


HEAD = b"POST /identify HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
ANSWERED = b"POST /identify HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nwords"


@pytest.mark.parametrize("sent, dripped, answers", [
    (b"", b"", []),                                                   # connects, says nothing
    (HEAD, b"", ["408"]),                                             # headers begun, never ended
    (b"", HEAD + b"X-Slow: " + b"a" * 200, ["408"]),                  # headers a byte at a time
    (HEAD + b"Content-Length: 400\r\n\r\n", b"w" * 200, ["408"]),     # a body a byte at a time
    (ANSWERED, b"", ["200"]),                                         # a kept-alive connection, idle
    (ANSWERED + HEAD, b"", ["200", "408"]),                           # then a second request begun
], ids=["silent", "partial headers", "trickled headers", "trickled body", "idle after an answer",
        "partial second request"])
def test_slow_clients_are_cut_off(guarded, sent, dripped, answers):
    port, _ = guarded
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as connection:
        connection.sendall(sent)
        received = _drip(connection, dripped, 0.05)
    assert time.monotonic() - started < CUT_OFF_WITHIN
    assert re.findall(r"HTTP/1\.1 (\d{3}) ", received) == answers


def test_a_token_in_the_query_is_neither_accepted_nor_logged(guarded):
    port, log = guarded
    for method, path in (("GET", "/"), ("POST", "/publications"), ("GET", "/publications/" + "0" * 32)):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request(method, f"{path}?token={TOKEN}&text=private", b"{}" if method == "POST" else None,
                           {"Content-Type": "application/json"})
        status = connection.getresponse().status
        connection.close()
        assert status == {"/": 200, "/publications": 401}.get(path, 404)
    time.sleep(0.5)  # the log is written by another process
    written = log.read_text()
    assert '"POST /publications?… HTTP/1.1" 401' in written
    assert TOKEN not in written and "private" not in written
    assert "Traceback" not in written  # nor from the slow clients cut off before, if they ran


def test_trickling_connections_past_the_open_file_limit_do_not_stop_answers(tmp_path):
    """300 connections sending headers a byte now and then, to a server allowed 256 descriptors:
    the connections are capped below the limit, the newest displacing the longest waiting, and
    a normal request is answered at once; the log says so in a line, without a traceback."""
    keys = Keys.generate("crowd-test")
    keys.save(tmp_path / "quelvane.key")
    Registry.create(tmp_path / "registry.db", keys).close()
    log = tmp_path / "server.log"
    with serving(tmp_path / "registry.db", tmp_path / "quelvane.key", log, None, open_files=256) as url:
        port = int(url.rsplit(":", 1)[1])
        crowd = []
        try:
            for _ in range(300):
                crowd.append(socket.create_connection(("127.0.0.1", port), timeout=5))
                crowd[-1].sendall(HEAD[:10])
            for byte in range(10, 14):
                for connection in crowd:
                    try:
                        connection.sendall(HEAD[byte:byte + 1])
                    except OSError:
                        pass  # displaced already
            started = time.monotonic()
            replies = identify_load(url, [ARTICLE], 1, timeout=10)
            assert [r.status for r in replies] == [200]
            assert time.monotonic() - started < 5
            open_ones = sum(1 for connection in crowd if _still_open(connection))
            assert 0 < open_ones < 256
        finally:
            for connection in crowd:
                connection.close()
    written = log.read_text()
    assert "Traceback" not in written and len(written) < 20_000
    assert written.count("connections are open, the most allowed") == 1, written


def _still_open(connection):
    """Whether the server still holds the connection: it has not closed its side (an answer it
    wrote before closing does not count)."""
    connection.setblocking(False)
    try:
        while connection.recv(65536):
            pass
        return False
    except BlockingIOError:
        return True
    except OSError:
        return False


REFUSING = """
import asyncio, resource, sys
from quelvane_host.web.server import quiet_refused_accepts

resource.setrlimit(resource.RLIMIT_NOFILE, (48, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
held = []

async def main():
    if sys.argv[1] == "quiet":
        quiet_refused_accepts(asyncio.get_running_loop())
    server = await asyncio.start_server(lambda reader, writer: held.append(writer), "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await asyncio.sleep(4)

asyncio.run(main())
"""


@pytest.mark.parametrize("quiet", [True, False])
def test_refused_accepts_are_one_line_not_a_traceback_each(quiet):
    """A process out of descriptors: asyncio retries the accept each second, logging a traceback
    each time unless told otherwise. Without the handler, the test shows what it replaces."""
    server = subprocess.Popen([sys.executable, "-c", REFUSING, "quiet" if quiet else "loud"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    port = int(server.stdout.readline())
    clients = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(80)]
    _, errors = server.communicate(timeout=30)
    for client in clients:
        client.close()
    if quiet:
        assert "Traceback" not in errors and errors.count("refusing connections: Too many open files") == 1
    else:
        assert errors.count("Traceback") >= 2


@pytest.mark.parametrize("workers", [1, 2])
def test_one_clients_costly_requests_do_not_hold_up_another(tmp_path, workers):
    """One client address sends four identify requests of a megabyte each, made of passages of
    every publication, each taking seconds; another client's short request, sent after them, is
    answered while they run, whichever worker takes each. The costly client's extra requests wait
    for its own turns, and get 503 with Retry-After if none comes in time."""
    keys = Keys.generate("turns-test")
    keys.save(tmp_path / "quelvane.key")
    texts = word_texts(300, random.Random(17))
    with Registry.create(tmp_path / "registry.db", keys) as registry:
        for text in texts:
            registry.publish(text)
    costly = " ".join(" ".join(text.split()[:24]) for text in texts)
    costly = json.dumps({"text": " ".join([costly] * (1_000_000 // len(costly)))})
    finished = []

    def send(client, body):
        connection = http.client.HTTPConnection(host, port, timeout=120)
        started = time.monotonic()
        connection.request("POST", "/identify", body, {"Content-Type": "application/json",
                                                       "X-Forwarded-For": client})
        answer = connection.getresponse()
        answer.read()
        finished.append((client, answer.status, answer.getheader("retry-after"), time.monotonic() - started))
        connection.close()

    with serving(tmp_path / "registry.db", tmp_path / "quelvane.key", tmp_path / "server.log",
                 workers=workers) as url:
        host, port = url.rsplit("/", 1)[1].split(":")
        greedy = [threading.Thread(target=send, args=("10.0.0.1", costly)) for _ in range(4)]
        for thread in greedy:
            thread.start()
        time.sleep(1)  # its requests are in
        send("10.0.0.2", json.dumps({"text": texts[0]}))
        for thread in greedy:
            thread.join()
    [(_, status, _, seconds)] = [row for row in finished if row[0] == "10.0.0.2"]
    rest = [row for row in finished if row[0] == "10.0.0.1"]
    assert status == 200
    # Answered in a small part of the time one costly request takes, not after one of them ends
    # (identify bounds each request's work, so a costly one may be done before the short one).
    assert seconds * 2 < min(taken for _, status, _, taken in rest if status == 200)
    assert {status for _, status, _, _ in rest} <= {200, 503}
    assert all(retry.isdigit() for _, status, retry, _ in rest if status == 503)


def _holder(server_port, client_port, pids):
    """Which of `pids` holds the server's end of the connection from `client_port`."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    [inode] = [row[9] for row in rows if int(row[1].split(":")[1], 16) == server_port
               and int(row[2].split(":")[1], 16) == client_port]
    [pid] = [pid for pid in pids for fd in os.listdir(f"/proc/{pid}/fd")
             if os.readlink(f"/proc/{pid}/fd/{fd}") == f"socket:[{inode}]"]
    return pid


def _wait_for(predicate, seconds=20):
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.1)


@pytest.fixture
def published(tmp_path):
    """A registry of the three test articles: (folder, pointers)."""
    keys = Keys.generate("workers-test")
    keys.save(tmp_path / "quelvane.key")
    with Registry.create(tmp_path / "registry.db", keys) as registry:
        pointers = [registry.publish(text).pointer for text in (ARTICLE, ESSAY, NOTES)]
    return tmp_path, pointers


def test_workers_share_the_connections_a_dead_one_is_replaced_and_sigterm_stops_all(published):
    """Two workers: connections land in both, each answers right and knows the token, which is in
    no process's command line or environment; a worker killed is replaced and the service still
    answers; SIGTERM ends the supervisor and every worker."""
    folder, pointers = published
    log = folder / "server.log"
    token_file = folder / "token"
    token_file.write_text(TOKEN)
    token_file.chmod(0o600)
    with server_process(folder / "registry.db", folder / "quelvane.key", log, None, "--token-file", str(token_file),
                        workers=2) as (server, url):
        port = int(url.rsplit(":", 1)[1])
        workers = children(server.pid)
        assert len(workers) == 2
        connections = [http.client.HTTPConnection("127.0.0.1", port, timeout=30) for _ in range(16)]
        for connection in connections:
            connection.request("POST", "/identify", json.dumps({"text": ARTICLE}), {"Content-Type": "application/json"})
            answer = connection.getresponse()
            assert answer.status == 200 and json.loads(answer.read())["matches"][0]["pointer"] == pointers[0]
            # Let in by the token (404: no such publication), which only the supervisor read.
            connection.request("DELETE", "/publications/" + "0" * 32, headers={"Authorization": f"Bearer {TOKEN}"})
            answer = connection.getresponse()
            assert answer.status == 404, answer.read()
            answer.read()
        for pid in workers | {server.pid}:
            for exposed in ("cmdline", "environ"):
                assert TOKEN.encode() not in Path(f"/proc/{pid}/{exposed}").read_bytes()
        # Kept alive, each connection is still held by the worker that answered on it.
        assert {_holder(port, c.sock.getsockname()[1], workers) for c in connections} == workers
        for connection in connections:
            connection.close()

        victim = min(workers)
        os.kill(victim, signal.SIGKILL)
        _wait_for(lambda: len(children(server.pid) - {victim}) == 2)
        replaced = children(server.pid)
        assert victim not in replaced
        assert [r.status for r in identify_load(url, [NOTES] * 8, 4)] == [200] * 8

        server.send_signal(signal.SIGTERM)
        assert server.wait(timeout=40) == 0
    assert not any(os.path.exists(f"/proc/{pid}") for pid in workers | replaced)
    written = log.read_text()
    assert f"worker process {victim} was killed by SIGKILL; starting another" in written
    assert "stopping 2 worker processes" in written and "Traceback" not in written


def test_workers_that_keep_dying_stop_the_service_with_a_message(published):
    folder, _ = published
    log = folder / "server.log"
    with server_process(folder / "registry.db", folder / "quelvane.key", log, workers=2) as (server, _):
        seen = set()
        while server.poll() is None:
            alive = children(server.pid) - seen
            if alive:
                victim = alive.pop()
                seen.add(victim)
                os.kill(victim, signal.SIGKILL)
            time.sleep(0.1)
            assert len(seen) < 20, "the service kept replacing its workers"
        assert server.returncode != 0
    written = log.read_text()
    assert "worker processes keep dying (5 in 60 s, the last one was killed by SIGKILL); the service stopped" in written
    assert not any(os.path.exists(f"/proc/{pid}") for pid in seen | children(server.pid))
