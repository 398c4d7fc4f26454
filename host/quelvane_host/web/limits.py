"""The request body limit, enforced while the body arrives: a declared length over the limit is
refused before anything is read, and a body that grows past it (chunked, or longer than it
declared) is cut off at the chunk that crosses the limit, so no request holds more than the
limit in memory."""
from __future__ import annotations

import html
import json

from starlette.types import ASGIApp, Message, Receive, Scope, Send


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
