"""The HTTP service: the JSON API (identify, the public record, publish, withdraw, delete) and the
page at `/`.

Handlers parse and answer; the registry does the work, in a worker thread with a registry
borrowed from the pool. Every error body is {"detail": "what is wrong"}; none can carry a key or
the token, since no message of ours is built from them."""
from __future__ import annotations

import asyncio
import logging
import re
from contextlib import asynccontextmanager
from typing import Any, AsyncIterator, Dict, Optional, Tuple, TypeVar, Union

from fastapi import Depends, FastAPI, Query, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import HTMLResponse, JSONResponse, Response
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from pydantic import BaseModel, ValidationError
from starlette.concurrency import run_in_threadpool
from starlette.datastructures import UploadFile
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect
from starlette.types import Receive, Scope, Send

from ..files import SUFFIX_FORMATS
from ..errors import InputError, NotFoundError, QuelvaneHostError, RegistryError
from ..formats import FORMATS, Format
from ..identify import Matches
from ..inputs import decode
from . import resolution, results, schemas
from .config import ServiceConfig
from .limits import RETRY_AFTER_SECONDS, BodyLimit, Busy, Turns
from .page import Page
from .pool import RegistryPool

_POINTER = re.compile(r"[0-9a-fA-F]{32}")
MEDIA_FORMATS: Dict[str, Format] = {"text/plain": "text", "text/html": "html", "text/markdown": "markdown",
                                    "text/x-markdown": "markdown"}
_ERRORS: Dict[Union[int, str], Dict[str, Any]] = {
    code: {"model": schemas.ErrorBody, "description": text} for code, text in (
        (400, "The input cannot be used (not UTF-8, empty, binary, ...)."),
        (413, "The request body is over the server's limit."),
        (415, "The body is neither JSON, a form, nor plain text, HTML or Markdown."),
        (422, "The request does not have the shape described here."),
    )
}
_TOKEN_ERRORS: Dict[Union[int, str], Dict[str, Any]] = {
    401: {"model": schemas.ErrorBody, "description": "Token missing or wrong."},
    403: {"model": schemas.ErrorBody, "description": "Publishing is turned off."},
}
UNAVAILABLE = "the registry is unavailable; try again later"
log = logging.getLogger("quelvane.service")
Model = TypeVar("Model", bound=BaseModel)


def _body_schema(model: type[BaseModel], *media: str) -> Dict[str, Any]:
    content = {m: {"schema": model.model_json_schema()} for m in media}
    return {"requestBody": {"required": True, "content": content}}


def create_app(config: ServiceConfig) -> BodyLimit:
    """The service as an ASGI application, with the body limit in front of everything."""
    pool = RegistryPool(config.registry, config.registry_keys, config.pool_size, config.max_body_bytes,
                        config.queue_seconds)
    turns = Turns(config.pool_size, config.client_slots, config.client_queue, config.queue_seconds)
    page = Page()
    limit = config.max_body_bytes

    @asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        yield
        pool.close()

    app = FastAPI(title="quelvane", summary="Check a text against a registry of signed publications.",
                  version="1", docs_url=None, redoc_url=None, lifespan=lifespan)
    bearer = HTTPBearer(auto_error=False, description="The token the server was started with.")

    def borrowing(work: Any, *args: Any) -> Any:
        with pool.borrow() as registry:
            return work(registry, *args)

    async def in_registry(request: Request, work: Any, *args: Any) -> Any:
        """`work(registry, *args)` in a worker thread, once this client's turn comes."""
        # Behind a trusted proxy this is the address it forwarded, not the proxy's.
        address = request.client.host if request.client else ""
        async with turns.turn(address):
            return await run_in_threadpool(borrowing, work, *args)

    @app.exception_handler(QuelvaneHostError)
    async def host_error(request: Request, error: QuelvaneHostError) -> JSONResponse:
        status, message, headers = _failure(error)
        return JSONResponse({"detail": message}, status_code=status, headers=headers)

    @app.exception_handler(ClientDisconnect)
    async def gone(request: Request, error: ClientDisconnect) -> Response:
        # The client left, or the body limit cut it off and has answered already: nobody reads this.
        return Response(status_code=400)

    @app.exception_handler(RequestValidationError)
    async def invalid_request(request: Request, error: RequestValidationError) -> JSONResponse:
        status = 400 if resolution.answers_400(request.url.path) else 422
        return JSONResponse({"detail": _describe(error.errors())}, status_code=status)

    @app.exception_handler(Exception)
    async def unexpected(request: Request, error: Exception) -> JSONResponse:
        # The server logs the traceback itself; the client learns only that it failed.
        return JSONResponse({"detail": "internal error; the server's log has the details"}, status_code=500)

    @app.post("/identify", response_model=schemas.IdentifyResponse, responses=_ERRORS,
              openapi_extra=_body_schema(schemas.IdentifyRequest, "application/json")
              | {"description": "The found text as JSON, as a multipart form (`file` or `text`, and "
                                "`format`), or as the body itself with Content-Type text/plain, text/html "
                                "or text/markdown."})
    async def identify(request: Request, weak: bool = Query(
            False, description="Also report weak similarities of the kinds unrelated texts often share; "
                               "without it they are only counted (weak_hidden).")) -> JSONResponse:
        """Every publication the text comes from, matches first, with the evidence for each."""
        text, format = await _found_text(request, limit)
        found: Matches = await in_registry(request, results.identify, text, format, weak)
        # Serialised as the command line's --json is; the model above only describes it.
        return JSONResponse(found.as_json())

    @app.get("/publications/{pointer}", response_model=schemas.PublicRecord, responses=_ERRORS)
    async def publication(request: Request, pointer: str) -> schemas.PublicRecord:
        """The public record of a publication: metadata, signed envelopes, public key."""
        _check_pointer(pointer)
        stored = await in_registry(request, lambda registry: registry.show(pointer))
        return results.public_record(stored)

    @app.post("/publications", status_code=201, response_model=schemas.PublishResponse,
              responses={**_ERRORS, **_TOKEN_ERRORS},
              openapi_extra=_body_schema(schemas.PublishRequest, "application/json"))
    async def publish(request: Request, credentials: Optional[HTTPAuthorizationCredentials] = Depends(bearer)
                      ) -> schemas.PublishResponse:
        """Publishes a text: signs, indexes and watermarks it; returns the document to publish."""
        # The token is checked before the body is read: a stranger's upload is never taken in.
        _authorize(config, credentials)
        body = _parse(schemas.PublishRequest, await request.body())
        answer: schemas.PublishResponse = await in_registry(request, _publish, body)
        log.info("published %s (%d characters)", answer.pointer, answer.record.characters)
        return answer

    @app.post("/publications/{pointer}/withdraw", response_model=schemas.PublicRecord,
              responses={**_ERRORS, **_TOKEN_ERRORS}, openapi_extra=_body_schema(schemas.WithdrawRequest,
                                                                                  "application/json"))
    async def withdraw(request: Request, pointer: str,
                       credentials: Optional[HTTPAuthorizationCredentials] = Depends(bearer)) -> schemas.PublicRecord:
        """Withdraws a publication: it stays known, and identify reports its copies as withdrawn, with
        the reason and time, never as matches."""
        _authorize(config, credentials)
        _check_pointer(pointer)
        body = _parse(schemas.WithdrawRequest, await request.body())
        stored = await in_registry(request, lambda registry: registry.withdraw(pointer, body.reason))
        log.info("withdrew %s", stored.pointer)
        return results.public_record(stored)

    @app.delete("/publications/{pointer}", response_model=schemas.DeleteResponse,
                responses={**_ERRORS, **_TOKEN_ERRORS})
    async def delete(request: Request, pointer: str,
                     credentials: Optional[HTTPAuthorizationCredentials] = Depends(bearer)) -> schemas.DeleteResponse:
        """Deletes a publication made by mistake, with its index entries; its pointer is kept as deleted
        and never used again."""
        _authorize(config, credentials)
        _check_pointer(pointer)
        at = await in_registry(request, lambda registry: registry.delete(pointer))
        log.info("deleted %s", pointer.lower())
        return schemas.DeleteResponse(pointer=pointer.lower(), deleted_at=at)

    app.include_router(resolution.router(in_registry, limit))

    @app.get("/", response_class=HTMLResponse, include_in_schema=False)
    async def form() -> HTMLResponse:
        return _page(page, page.render(max_bytes=limit))

    @app.post("/", response_class=HTMLResponse, include_in_schema=False)
    async def check(request: Request) -> HTMLResponse:
        pasted = ""
        try:
            async with request.form(max_files=1, max_fields=8, max_part_size=limit) as fields:
                pasted = _field(fields.get("text"))
                chosen = _field(fields.get("format")) or "auto"
                weak = bool(_field(fields.get("weak")))
                text, format = await _form_text(fields, chosen, limit)
            found = await in_registry(request, results.identify, text, format, weak)
        except HTTPException as error:
            return _page(page, page.render(text=pasted, error=error.detail, max_bytes=limit), 400)
        except QuelvaneHostError as error:
            status, message, headers = _failure(error)
            return _page(page, page.render(text=pasted, error=message, max_bytes=limit), status, headers)
        # Rendering a long text's cards takes a while: off the event loop, like the look-up.
        html = await run_in_threadpool(lambda: page.render(result=found, text=pasted, format=chosen, weak=weak,
                                                           max_bytes=limit))
        return _page(page, html)

    def quickly(read: resolution.QuickRead) -> Optional[Response]:
        with pool.borrow_idle() as registry:
            if registry is None:
                return None
            try:
                return read(registry)
            except Exception:
                # Whatever failed, the route tries again and answers with its own error page.
                return None

    async def served(scope: Scope, receive: Receive, send: Send) -> None:
        # A request that is one indexed read costs less than the turn, the routing and the
        # validation around it: a well-formed one goes straight to a worker thread, which takes a
        # registry only if one is idle. Any other request goes the usual way, and so does such a
        # one when no registry is idle or the read fails.
        read = resolution.quick_read(scope)
        if read is not None:
            response = await asyncio.get_running_loop().run_in_executor(None, quickly, read)
            if response is not None:
                await response(scope, receive, send)
                return
        await app(scope, receive, send)

    return BodyLimit(served, limit)


def _page(page: Page, html: str, status: int = 200, headers: Optional[Dict[str, str]] = None) -> HTMLResponse:
    return HTMLResponse(html, status_code=status, headers={
        "Content-Security-Policy": page.content_security_policy, "X-Content-Type-Options": "nosniff",
        "Referrer-Policy": "no-referrer", "X-Frame-Options": "DENY", **(headers or {}),
    })


def _failure(error: QuelvaneHostError) -> Tuple[int, str, Dict[str, str]]:
    """The status, message and headers answering one of our errors."""
    if isinstance(error, Busy):
        return 503, str(error), {"Retry-After": str(RETRY_AFTER_SECONDS)}
    if isinstance(error, RegistryError):
        # Its message names the registry's file or server, which is for the operator, not the client.
        log.warning("the registry failed: %s", error)
        return 503, UNAVAILABLE, {"Retry-After": str(RETRY_AFTER_SECONDS)}
    return 404 if isinstance(error, NotFoundError) else 400, str(error), {}


def _authorize(config: ServiceConfig, credentials: Optional[HTTPAuthorizationCredentials]) -> None:
    challenge = {"WWW-Authenticate": "Bearer"}
    if config.token is None:
        raise HTTPException(403, "publishing, withdrawing and deleting are turned off on this server: it was "
                                 "started without a token")
    if credentials is None:
        raise HTTPException(401, "missing bearer token: send the header Authorization: Bearer <token>",
                            headers=challenge)
    # Header values reach us decoded as Latin-1; encoding back gives the bytes that were sent.
    if not config.token.matches(credentials.credentials.encode("latin-1")):
        raise HTTPException(401, "wrong token", headers={"WWW-Authenticate": 'Bearer error="invalid_token"'})


def _check_pointer(pointer: str) -> None:
    if not _POINTER.fullmatch(pointer):
        raise HTTPException(422, "the pointer must be 32 hexadecimal characters")


def _publish(registry: Any, body: schemas.PublishRequest) -> schemas.PublishResponse:
    result = registry.publish(body.text, format=body.format, metadata=body.metadata)
    return results.published(result, registry.show(result.pointer))


async def _found_text(request: Request, limit: int) -> Tuple[str, Format]:
    media = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if media == "application/json":
        body = _parse(schemas.IdentifyRequest, await request.body())
        return body.text, body.format
    if media in ("multipart/form-data", "application/x-www-form-urlencoded"):
        async with request.form(max_files=1, max_fields=8, max_part_size=limit) as fields:
            return await _form_text(fields, _field(fields.get("format")) or "auto", limit)
    if media in MEDIA_FORMATS:
        return decode(await request.body(), limit), MEDIA_FORMATS[media]
    raise HTTPException(415, "send the text as JSON ({\"text\": ..., \"format\": ...}), as a multipart form "
                             "with a file, or with Content-Type text/plain, text/html or text/markdown")


async def _form_text(fields: Any, chosen: str, limit: int) -> Tuple[str, Format]:
    """The uploaded file if there is one, else the text field; the format chosen, else guessed."""
    if chosen != "auto" and chosen not in FORMATS:
        raise InputError(f"unknown format {chosen!r}; use auto, {', '.join(FORMATS)}")
    upload = fields.get("file")
    if isinstance(upload, UploadFile) and upload.filename:
        data = await upload.read()
        if data:
            guessed = _guess(upload.filename, upload.content_type)
            return decode(data, limit), guessed if chosen == "auto" else chosen  # type: ignore[return-value]
    text = _field(fields.get("text"))
    if not text.strip():
        raise InputError("nothing to check: paste a text or choose a file")
    return text, "text" if chosen == "auto" else chosen  # type: ignore[return-value]


def _guess(filename: str, content_type: Optional[str]) -> Format:
    suffix = filename[filename.rfind("."):].lower() if "." in filename else ""
    if suffix in SUFFIX_FORMATS:
        return SUFFIX_FORMATS[suffix]
    return MEDIA_FORMATS.get((content_type or "").split(";")[0].strip().lower(), "text")


def _field(value: Any) -> str:
    return value if isinstance(value, str) else ""


def _parse(model: type[Model], raw: bytes) -> Model:
    try:
        return model.model_validate_json(raw)
    except ValidationError as error:
        raise RequestValidationError(error.errors(include_input=False)) from None


def _describe(errors: Any) -> str:
    """One line per problem: where it is and what is wrong, without echoing the input."""
    lines = []
    for error in errors:
        where = ".".join(str(part) for part in error.get("loc", ()) if part != "body")
        lines.append(f"{where}: {error.get('msg')}" if where else str(error.get("msg")))
    return "; ".join(lines)
