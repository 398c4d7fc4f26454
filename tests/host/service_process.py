"""`quelvane serve` run as a person runs it: a child process on a free port of 127.0.0.1, the
token in its environment, its log kept for the tests to read."""
from __future__ import annotations

import http.client
import json
import os
import queue
import resource
import threading
import signal
import socket
import subprocess
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, List, Optional, Sequence, Set, Tuple

STARTUP_SECONDS = 60


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@contextmanager
def serving(registry: Path, keys: Path, log: Path, token: Optional[str] = None, *options: str,
            open_files: Optional[int] = None, workers: int = 1) -> Iterator[str]:
    """Yields the base URL once the server answers; stops it with Ctrl-C on the way out. With
    `open_files`, the server runs with that many file descriptors at most."""
    with server_process(registry, keys, log, token, *options, open_files=open_files, workers=workers) as (_, url):
        yield url


@contextmanager
def server_process(registry: Path, keys: Path, log: Path, token: Optional[str] = None, *options: str,
                   open_files: Optional[int] = None,
                   workers: int = 1) -> Iterator[Tuple["subprocess.Popen[bytes]", str]]:
    """`serving`, yielding the server's process beside its URL."""
    port = free_port()
    env = {k: v for k, v in os.environ.items() if k != "QUELVANE_TOKEN"}
    if token is not None:
        env["QUELVANE_TOKEN"] = token
    command = [sys.executable, "-c", "from quelvane_host.cli import main; main()", "serve", "--registry",
               str(registry), "--keys", str(keys), "--host", "127.0.0.1", "--port", str(port),
               "--workers", str(workers), *options]
    with log.open("wb") as output:
        server = subprocess.Popen(command, env=env, stdout=output, stderr=subprocess.STDOUT,
                                  preexec_fn=None if open_files is None else lambda: _limit_files(open_files))
        try:
            _wait_until_up(server, port, log)
            yield server, f"http://127.0.0.1:{port}"
        finally:
            if server.poll() is None:
                server.send_signal(signal.SIGINT)
            try:
                server.wait(timeout=40)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


def children(pid: int) -> Set[int]:
    """The processes whose parent is `pid` (a server's workers)."""
    found = set()
    for entry in os.listdir("/proc"):
        fields = _stat(entry)
        if fields and int(fields[1]) == pid:
            found.add(int(entry))
    return found


def cpu_seconds(pid: int) -> float:
    """The processor time a process has used so far (0 once it is gone)."""
    fields = _stat(str(pid))
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK") if fields else 0.0


def _stat(entry: str) -> List[str]:
    """The fields of /proc/<entry>/stat after the command name ([] if no such process)."""
    try:
        with open(f"/proc/{entry}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return []  # not a process, or gone meanwhile


def _limit_files(count: int) -> None:
    resource.setrlimit(resource.RLIMIT_NOFILE, (count, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


def _wait_until_up(server: subprocess.Popen, port: int, log: Path) -> None:  # type: ignore[type-arg]
    deadline = time.monotonic() + STARTUP_SECONDS
    while time.monotonic() < deadline:
        if server.poll() is not None:
            raise AssertionError(f"quelvane serve exited with {server.returncode}:\n{log.read_text()}")
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            connection.request("GET", "/")
            if connection.getresponse().status == 200:
                return
        except OSError:
            time.sleep(0.1)
    raise AssertionError(f"quelvane serve did not answer within {STARTUP_SECONDS} s:\n{log.read_text()}")


@dataclass(frozen=True)
class Reply:
    status: int
    """0 when no answer came (connection refused, reset or timed out)."""
    seconds: float
    pointers: List[str]


def identify_load(url: str, texts: Sequence[str], clients: int, timeout: float = 60.0) -> List[Reply]:
    """POSTs each text to /identify from `clients` threads, each on its own keep-alive connection;
    the reply to texts[i] is at index i, so a lost request shows as a missing reply."""
    host, port = url.rsplit("/", 1)[-1].rsplit(":", 1)
    pending: "queue.SimpleQueue[int]" = queue.SimpleQueue()
    for index in range(len(texts)):
        pending.put(index)
    replies: List[Optional[Reply]] = [None] * len(texts)

    def client() -> None:
        connection = http.client.HTTPConnection(host, int(port), timeout=timeout)
        while True:
            try:
                index = pending.get_nowait()
            except queue.Empty:
                break
            body = json.dumps({"text": texts[index]}).encode()
            started = time.perf_counter()
            try:
                connection.request("POST", "/identify", body, {"Content-Type": "application/json"})
                answer = connection.getresponse()
                data = answer.read()
                status = answer.status
            except (OSError, http.client.HTTPException):
                connection.close()
                status, data = 0, b""
            seconds = time.perf_counter() - started
            pointers = [m["pointer"] for m in json.loads(data)["matches"]] if status == 200 else []
            replies[index] = Reply(status, seconds, pointers)
        connection.close()

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(reply is not None for reply in replies), "a request got no reply at all"
    return [reply for reply in replies if reply is not None]
