"""`quelvane serve` against slow clients, on 127.0.0.1 only, stopping by itself.

The server runs with an open-file limit of 1,024. A crowd of connections (1,100 by default)
each sends the start of a request's headers, then one more byte every second, and never
finishes. Meanwhile a normal client sends an identify request once a second. Reports how many
of the normal requests were answered and how fast, how many crowd connections the server still
holds at the end, and how large its log grew. Run it with PYTHONPATH pointing at the sources to
compare (another checkout's host/, say) to see the same figures for other code.

Usage: python bench/bench_slow_clients.py [--crowd N] [--seconds S]"""
from __future__ import annotations

import argparse
import http.client
import json
import socket
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests" / "host")]
from service_process import serving  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402

OPEN_FILES = 1024
HEAD = b"POST /identify HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nX-Slow: " + b"a" * 4096


def normal_request(port: int) -> tuple[int, float]:
    started = time.perf_counter()
    try:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        connection.request("POST", "/identify", json.dumps({"text": "a few words to check"}),
                           {"Content-Type": "application/json"})
        status = connection.getresponse().status
        connection.close()
    except (OSError, http.client.HTTPException):
        status = 0
    return status, time.perf_counter() - started


def still_open(connection: socket.socket) -> bool:
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--crowd", type=int, default=1100)
    parser.add_argument("--seconds", type=int, default=60)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        keys = Keys.generate("slow-clients")
        keys.save(base / "quelvane.key")
        Registry.create(base / "registry.db", keys).close()
        log = base / "server.log"
        with serving(base / "registry.db", base / "quelvane.key", log, None, open_files=OPEN_FILES) as url:
            port = int(url.rsplit(":", 1)[1])
            crowd: list[socket.socket] = []
            for _ in range(options.crowd):
                try:
                    crowd.append(socket.create_connection(("127.0.0.1", port), timeout=2))
                    crowd[-1].sendall(HEAD[:16])
                except OSError:
                    pass
            answers = []
            ended = time.monotonic() + options.seconds
            sent = 16
            while time.monotonic() < ended:
                for connection in crowd:
                    try:
                        connection.sendall(HEAD[sent:sent + 1])
                    except OSError:
                        pass
                sent += 1
                answers.append(normal_request(port))
                time.sleep(max(0.0, 1 - answers[-1][1]))
            held = sum(still_open(connection) for connection in crowd)
            for connection in crowd:
                connection.close()
        answered = [seconds for status, seconds in answers if status == 200]
        print(f"crowd {options.crowd} connections trickling headers for {options.seconds} s, open-file limit "
              f"{OPEN_FILES}")
        print(f"normal requests answered 200: {len(answered)} of {len(answers)}"
              + (f", slowest {max(answered):.2f} s" if answered else ""))
        print(f"statuses: {sorted({status for status, _ in answers})}")
        print(f"crowd connections still open at the end: {held}")
        text = log.read_text(errors="replace")
        print(f"server log: {len(text.encode())} bytes, {text.count('Traceback')} tracebacks")


if __name__ == "__main__":
    main()
