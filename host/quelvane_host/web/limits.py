"""What one request may take. The body limit, enforced while the body arrives: a declared length
over the limit is refused before anything is read, and a body that grows past it (chunked, or
longer than it declared) is cut off at the chunk that crosses the limit, so no request holds more
than the limit in memory. And turns at the registry: a few requests use it at once, one client
address only some of them, so a client sending many costly requests waits for itself, not others."""
from __future__ import annotations

import asyncio
import html
import json
from contextlib import asynccontextmanager
from typing import AsyncIterator, Dict, Optional

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from ..errors import QuelvaneHostError

RETRY_AFTER_SECONDS = 5


def too_large_message(limit: int) -> str:
    return f"request body is larger than the limit of {limit} bytes; send less, or ask for a higher limit"


class BodyLimit:
    """ASGI middleware answering 413 to any request whose body exceeds `max_bytes`."""

    def __init__(self, app: ASGIApp, max_bytes: int) -> None:
        self.app = app
        self.max_bytes = max_bytes

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        wants_page = b"text/html" in _header(scope, b"accept")
        declared = _content_length(scope)
        if declared is not None and declared > self.max_bytes:
            await self._refuse(send, wants_page)
            return
        received = 0
        refused = started = False

        async def limited_receive() -> Message:
            nonlocal received, refused
            if refused:
                return {"type": "http.disconnect"}
            message = await receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > self.max_bytes:
                    # Answer now and tell the application the client went away, so it stops
                    # reading and whatever it answers after is dropped.
                    refused = True
                    if not started:
                        await self._refuse(send, wants_page)
                    return {"type": "http.disconnect"}
            return message

        async def guarded_send(message: Message) -> None:
            nonlocal started
            if not refused:
                started = True
                await send(message)

        await self.app(scope, limited_receive, guarded_send)

    async def _refuse(self, send: Send, wants_page: bool) -> None:
        message = too_large_message(self.max_bytes)
        if wants_page:
            # A browser posting the page's form gets a page back, not JSON.
            body = (f'<!doctype html><html lang="en"><meta charset="utf-8"><title>Too large</title>'
                    f'<p>{html.escape(message)}.</p><p><a href="./">Back to the form</a></p></html>').encode()
            media = b"text/html; charset=utf-8"
        else:
            body = json.dumps({"detail": message}).encode()
            media = b"application/json"
        await send({"type": "http.response.start", "status": 413,
                    "headers": [(b"content-type", media), (b"content-length", str(len(body)).encode()),
                                (b"connection", b"close")]})
        await send({"type": "http.response.body", "body": body})


def _header(scope: Scope, name: bytes) -> bytes:
    return next((value for key, value in scope["headers"] if key == name), b"")


def _content_length(scope: Scope) -> int | None:
    try:
        return int(_header(scope, b"content-length"))
    except ValueError:
        return None


class Busy(QuelvaneHostError):
    """No turn at the registry came in time; the client should try again later (503, Retry-After)."""

    def __init__(self) -> None:
        super().__init__("the server is busy; try again in a few seconds")


class _Client:
    __slots__ = ("turns", "requests")

    def __init__(self, slots: int) -> None:
        self.turns = asyncio.Semaphore(slots)
        self.requests = 0
        """Waiting or running."""


class Turns:
    """At most `slots` requests at the registry at once, at most `client_slots` of them from one
    client address and at most `client_queue` waiting behind those; a request waits up to
    `wait_seconds` for its turn, else Busy."""

    def __init__(self, slots: int, client_slots: int, client_queue: int, wait_seconds: float) -> None:
        # Made on first use, inside the server's event loop: before Python 3.10 a semaphore binds
        # to the loop current when it is created, which is not the one that serves.
        self._slot_count = slots
        self._shared: Optional[asyncio.Semaphore] = None
        self._client_slots = min(client_slots, slots)
        self._client_limit = self._client_slots + client_queue
        self._wait_seconds = wait_seconds
        self._clients: Dict[str, _Client] = {}

    @property
    def _slots(self) -> asyncio.Semaphore:
        if self._shared is None:
            self._shared = asyncio.Semaphore(self._slot_count)
        return self._shared

    @asynccontextmanager
    async def turn(self, address: str) -> AsyncIterator[None]:
        client = self._clients.get(address)
        if client is None:
            client = self._clients[address] = _Client(self._client_slots)
        if client.requests >= self._client_limit:
            raise Busy()
        client.requests += 1
        try:
            deadline = asyncio.get_running_loop().time() + self._wait_seconds
            # The client's own turn first: its extra requests queue here, out of everyone else's way.
            await _acquire(client.turns, deadline)
            try:
                await _acquire(self._slots, deadline)
                try:
                    yield
                finally:
                    self._slots.release()
            finally:
                client.turns.release()
        finally:
            client.requests -= 1
            if not client.requests:
                del self._clients[address]


async def _acquire(semaphore: asyncio.Semaphore, deadline: float) -> None:
    if not semaphore.locked():
        await semaphore.acquire()
        return
    try:
        await asyncio.wait_for(semaphore.acquire(), max(0.0, deadline - asyncio.get_running_loop().time()))
    except asyncio.TimeoutError:
        raise Busy() from None
