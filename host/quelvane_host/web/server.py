"""The HTTP server under the application: uvicorn's h11 protocol with deadlines and a connection cap.

uvicorn closes a connection that idles after a response, but one that never finishes its request
line and headers, or trickles its body a byte at a time, would stay open for ever, and enough of
them use up the process's file descriptors, after which no one is answered. So each connection
gets a deadline for its headers and one for its body, open connections are capped below the
descriptor limit (a newcomer displaces the connection that has waited longest for its client), and
a refused accept is logged as one line now and then, not a traceback per attempt."""
from __future__ import annotations

import asyncio
import json
import logging
import resource
import time
from typing import Any, Callable, Dict, Optional

import h11
import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol

from .config import ServiceConfig
from .limits import RETRY_AFTER_SECONDS
from .workers import Supervisor, listening_socket

# Beside uvicorn's own lines about the server, in its format.
log = logging.getLogger("uvicorn.error")
RESERVED_DESCRIPTORS = 100
"""Kept free of connections: the listening socket, logs, uploads spooled to disk, the library's own files."""
DESCRIPTORS_PER_REGISTRY = 4
"""An SQLite registry holds its database, its WAL and its shared-memory file open."""
UNLIMITED_FILES_CAP = 1024
"""The cap where the open-file limit sets none."""
WARNING_INTERVAL = 60.0


class RateLimitedWarning:
    """Logs a warning at most once per interval, counting what it left out, so a flood of refused
    connections costs a line a minute."""

    def __init__(self, message: str, interval: float = WARNING_INTERVAL) -> None:
        self.message = message
        self.interval = interval
        self._last = -interval
        self._skipped = 0

    def __call__(self, *args: object) -> None:
        now = time.monotonic()
        if now - self._last < self.interval:
            self._skipped += 1
            return
        suffix = f" ({self._skipped} more since the last warning)" if self._skipped else ""
        log.warning(self.message + suffix, *args)
        self._last, self._skipped = now, 0


def _raw_response(status: int, reason: str, detail: str, *headers: str) -> bytes:
    """A complete answer written straight to the socket, for connections the application never sees."""
    body = json.dumps({"detail": detail}).encode()
    head = [f"HTTP/1.1 {status} {reason}", "content-type: application/json", f"content-length: {len(body)}",
            "connection: close", *headers]
    return ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body


REQUEST_TIMEOUT = _raw_response(408, "Request Timeout", "the request did not arrive in time; send it again")
TOO_MANY_CONNECTIONS = _raw_response(503, "Service Unavailable", "the server is busy; try again in a few seconds",
                                     f"retry-after: {RETRY_AFTER_SECONDS}")


def connection_cap(config: ServiceConfig) -> int:
    """Open connections allowed: the configured number, or what the descriptor limit leaves."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return config.max_connections or UNLIMITED_FILES_CAP
    available = max(1, soft - RESERVED_DESCRIPTORS - DESCRIPTORS_PER_REGISTRY * config.pool_size)
    return min(config.max_connections or available, available)


def guarded_protocol(config: ServiceConfig, cap: int) -> type[H11Protocol]:
    """uvicorn's h11 protocol with the deadlines and the cap of `config`."""
    over_cap = RateLimitedWarning("%d connections are open, the most allowed: each new one closes the one "
                                  "waiting longest for its client, or is refused when none is waiting")

    class GuardedProtocol(H11Protocol):
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            self.waiting_since = time.monotonic()
            self._deadline: Optional[asyncio.TimerHandle] = None

        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            if len(self.connections) >= cap:
                over_cap(len(self.connections))
                if not self._displace():
                    transport.write(TOO_MANY_CONNECTIONS)
                    transport.close()
                    return
            super().connection_made(transport)
            self._arm(config.header_seconds)

        def connection_lost(self, exc: Optional[Exception]) -> None:
            if self._deadline is not None:
                self._deadline.cancel()
            if self.transport is not None:  # None when refused at the cap
                super().connection_lost(exc)

        def handle_events(self) -> None:
            waiting = self.conn.their_state is h11.IDLE
            super().handle_events()
            if waiting and self.conn.their_state is not h11.IDLE:
                self._arm(config.body_seconds)

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                # The next request's headers get the same time as the first one's.
                self.waiting_since = time.monotonic()
                self._arm(config.header_seconds)

        def waiting_on_client(self) -> bool:
            """Still receiving a request (or waiting for one), as opposed to answering one."""
            return self.conn.their_state in (h11.IDLE, h11.SEND_BODY)

        def _displace(self) -> bool:
            """Makes room by closing the connection that has waited longest for its client,
            sparing bodies being received while another connection only waits for headers."""
            waiting = [c for c in self.connections if isinstance(c, GuardedProtocol) and c.waiting_on_client()]
            if not waiting:
                return False
            oldest = min(waiting, key=lambda c: (c.conn.their_state is h11.SEND_BODY, c.waiting_since))
            oldest.cut_off(answer=False)
            self.connections.discard(oldest)
            return True

        def _arm(self, seconds: float) -> None:
            if self._deadline is not None:
                self._deadline.cancel()
            self._deadline = self.loop.call_later(seconds, self._expired)

        def _expired(self) -> None:
            self._deadline = None
            # Once the request is in, the application's own limits apply.
            if not self.transport.is_closing() and self.waiting_on_client():
                self.cut_off(answer=True)

        def cut_off(self, *, answer: bool) -> None:
            """Closes the connection, with a 408 if asked and a request was begun; an
            application waiting for the rest of the body learns the client is gone."""
            cycle = self.cycle if self.conn.their_state is h11.SEND_BODY else None
            if cycle is not None:
                if answer and not cycle.response_started:
                    self.transport.write(REQUEST_TIMEOUT)
                cycle.disconnected = True
                cycle.message_event.set()
            elif answer and self.conn.trailing_data[0]:
                self.transport.write(REQUEST_TIMEOUT)  # headers begun: a connection that sent nothing gets none
            self.transport.close()

    return GuardedProtocol


def quiet_refused_accepts(loop: asyncio.AbstractEventLoop) -> None:
    """Logs an accept refused for want of descriptors as a rate-limited line: asyncio logs a
    traceback for each, and retries every second for as long as the shortage lasts."""
    refused = RateLimitedWarning("refusing connections: %s; lower --max-connections or raise the open-file "
                                 "limit (ulimit -n)")

    def handle(loop: asyncio.AbstractEventLoop, context: Dict[str, Any]) -> None:
        error = context.get("exception")
        if context.get("message") == "socket.accept() out of system resource" and isinstance(error, OSError):
            refused(error.strerror)
        else:
            loop.default_exception_handler(context)

    loop.set_exception_handler(handle)


class QuietServer(uvicorn.Server):
    async def startup(self, sockets: Any = None) -> None:
        quiet_refused_accepts(asyncio.get_running_loop())
        await super().startup(sockets=sockets)


class HideQueryString(logging.Filter):
    """Drops the query string from access log lines: whatever a client puts there (a token sent by
    mistake, a text to check) stays out of the log."""

    def filter(self, record: logging.LogRecord) -> bool:
        if isinstance(record.args, tuple) and len(record.args) > 2 and isinstance(record.args[2], str):
            path, query, _ = record.args[2].partition("?")
            record.args = record.args[:2] + (path + ("?…" if query else ""),) + record.args[3:]
        return True


def run(make_app: Callable[[], Any], config: ServiceConfig, host: str, port: int, forwarded_allow_ips: str,
        workers: int) -> None:
    """Serves the application `make_app` builds, in this process or in `workers` forked processes,
    each building its own (and so opening its own registry connections)."""
    cap = connection_cap(config)
    settings = uvicorn.Config(make_app, factory=True, host=host, port=port, http=guarded_protocol(config, cap),
                              proxy_headers=True, forwarded_allow_ips=forwarded_allow_ips, server_header=False,
                              log_level="info", timeout_keep_alive=config.keep_alive_seconds)
    # After the Config: building it sets up uvicorn's loggers, which would drop a filter added before.
    logging.getLogger("uvicorn.access").addFilter(HideQueryString())
    each = " in each worker process" if workers > 1 else ""
    log.info("at most %d connections%s; %g s for headers, %g s for a body", cap, each, config.header_seconds,
             config.body_seconds)
    if workers == 1:
        QuietServer(settings).run()
        return
    with listening_socket(host, port, listen=False):
        log.info("serving http://%s:%d with %d worker processes", host, port, workers)

        def work() -> None:
            with listening_socket(host, port, listen=True) as sock:
                QuietServer(settings).run(sockets=[sock])

        Supervisor(workers, work).run()
