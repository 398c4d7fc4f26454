"""The C2PA Soft Binding Resolution API: find manifests by a soft-binding value or by a text,
fetch a manifest store, list the algorithms. Public reads, like identify: no token. The look-ups
and their scores are the registry's (`quelvane_host.resolve`); this module parses and answers,
with the service's turns, body limit and error body ({"detail": ...}). A well-formed look-up
that is one indexed read (by watermark pointer, or a manifest by id) costs less than a turn: it
takes none (`quick_read`).

The C2PA API answers a query it cannot use with 400, so a malformed parameter here is a 400, not
the 422 the rest of the service gives (`answers_400`)."""
from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Optional, Union
from urllib.parse import parse_qsl

from fastapi import APIRouter, Query, Request
from fastapi.responses import JSONResponse, Response
from pydantic import BaseModel, ConfigDict, Field
from starlette.exceptions import HTTPException
from starlette.types import Scope

from ..algorithms import MINHASH_ALG, STRUCTURE_ALG, SURFACE_ALG, WATERMARK_ALG
from ..errors import InputError
from ..formats import Format
from ..manifests import MEDIA_TYPE, parse_manifest_id
from ..inputs import decode
from ..resolve import DEFAULT_RESULTS, MAX_ENCODED_CHARACTERS, MAX_RESULTS, Resolution, check_alg, decode_value
from .schemas import ErrorBody

if TYPE_CHECKING:
    from ..registry import Registry

InRegistry = Callable[..., Awaitable[Any]]
PREFIXES = ("/matches/", "/manifests/", "/services/")
_COUNT = re.compile(r"[1-9][0-9]{0,8}")
_MANIFESTS = "/manifests/"
QuickRead = Callable[["Registry"], Response]
TEXT_FORMATS: Dict[str, Format] = {"text/html": "html", "text/markdown": "markdown", "text/x-markdown": "markdown"}
"""Any other text/* body is read as plain text."""


class SoftBindingQuery(BaseModel):
    model_config = ConfigDict(extra="forbid")
    alg: str = Field(description="The soft-binding algorithm's identifier.")
    value: str = Field(description="The binding value, base64.")


class SoftBindingMatch(BaseModel):
    manifestId: str = Field(description="The manifest's id, `urn:c2pa:<uuid>`; fetch it from /manifests/{manifestId}.")
    similarityScore: int = Field(ge=0, le=100, description=(
        "100: the binding names exactly this publication; 80 to 99: a match; 50 and below: weak evidence, "
        "never a match."))


class SoftBindingQueryResult(BaseModel):
    matches: List[SoftBindingMatch] = Field(description="Strongest first.")


class SoftBindingAlg(BaseModel):
    alg: str


class SoftBindingAlgList(BaseModel):
    watermarks: List[SoftBindingAlg]
    fingerprints: List[SoftBindingAlg]


ALGORITHMS = SoftBindingAlgList(watermarks=[SoftBindingAlg(alg=WATERMARK_ALG)],
                                fingerprints=[SoftBindingAlg(alg=a) for a in (SURFACE_ALG, STRUCTURE_ALG, MINHASH_ALG)])


def _errors(*codes: int) -> Dict[Union[int, str], Dict[str, Any]]:
    texts = {400: "The query cannot be used: unknown algorithm, malformed value or parameter.",
             404: "No manifest of this id.", 413: "The request body is over the server's limit.",
             414: f"The value is over {MAX_ENCODED_CHARACTERS} characters: send it with POST.",
             415: "The body is not text/* (plain text, HTML or Markdown).",
             503: "The registry is busy or unavailable; try again after Retry-After seconds."}
    return {code: {"model": ErrorBody, "description": texts[code]} for code in codes}


def quick_read(scope: Scope) -> Optional[QuickRead]:
    """The registry read answering a well-formed request that is one indexed read: GET
    /matches/byBinding by watermark pointer, GET /manifests/{manifestId}. None for any other
    request, and for one with a repeated parameter or a value in a form other than the plain one
    (a count with leading zeros, a boolean spelled 1): its route answers those, errors included."""
    path: str = scope["path"] if scope["type"] == "http" and scope["method"] == "GET" else ""
    if path != "/matches/byBinding" and not path.startswith(_MANIFESTS):
        return None
    # Read as the routes read it: Latin-1 bytes, then percent-escapes as UTF-8.
    fields = parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True)
    query = dict(fields)
    if len(query) != len(fields):
        return None
    if path == "/matches/byBinding":
        return _pointer_read(query)
    if query.get("returnActiveManifest", "false") in ("true", "false"):
        return _manifest_read(path[len(_MANIFESTS):])
    return None


def _pointer_read(query: Dict[str, str]) -> Optional[QuickRead]:
    count = query.get("maxResults", str(DEFAULT_RESULTS))
    if query.get("alg") != WATERMARK_ALG or not _COUNT.fullmatch(count):
        return None
    try:
        pointer = decode_value(WATERMARK_ALG, query.get("value", ""))
    except InputError:
        return None
    max_results = min(int(count), MAX_RESULTS)
    return lambda registry: answer(registry.resolve(WATERMARK_ALG, pointer, max_results=max_results))


def _manifest_read(manifest_id: str) -> Optional[QuickRead]:
    try:
        parse_manifest_id(manifest_id)
    except InputError:
        return None
    return lambda registry: _store(registry.manifest_by_id(manifest_id))


def answers_400(path: str) -> bool:
    """Whether a request to this path answers a malformed parameter with 400."""
    return path.startswith(PREFIXES)


_MAX_RESULTS = Query(DEFAULT_RESULTS, ge=1, description=f"Manifests returned at most (over {MAX_RESULTS} counts as "
                                                         f"{MAX_RESULTS}).")


def router(in_registry: InRegistry, limit: int) -> APIRouter:
    """The API's routes; `in_registry(request, work, *args)` runs `work(registry, *args)` in the
    client's turn."""
    api = APIRouter(tags=["C2PA Soft Binding Resolution API"])

    @api.get("/matches/byBinding", response_model=SoftBindingQueryResult, responses=_errors(400, 414, 503),
             operation_id="queryByBinding")
    async def by_binding(request: Request, alg: str = Query(description="The soft-binding algorithm's identifier."),
                         value: str = Query(description="The binding value, base64."),
                         maxResults: int = _MAX_RESULTS) -> JSONResponse:
        """Manifests a soft-binding value names, strongest first."""
        if len(value) > MAX_ENCODED_CHARACTERS:
            raise HTTPException(414, f"the value is {len(value)} characters, over {MAX_ENCODED_CHARACTERS}; send it "
                                     "with POST /matches/byBinding")
        return await _resolved(request, in_registry, alg, value, maxResults)

    @api.post("/matches/byBinding", response_model=SoftBindingQueryResult, responses=_errors(400, 413, 503),
              operation_id="queryByLargeBinding")
    async def by_large_binding(request: Request, query: SoftBindingQuery,
                               maxResults: int = _MAX_RESULTS) -> JSONResponse:
        """Manifests a soft-binding value names, the value in the body."""
        return await _resolved(request, in_registry, query.alg, query.value, maxResults)

    @api.post("/matches/byContent", response_model=SoftBindingQueryResult, responses=_errors(400, 413, 415, 503),
              operation_id="uploadFile", openapi_extra={"requestBody": {"required": True, "content": {
                  media: {"schema": {"type": "string"}} for media in ("text/plain", "text/html", "text/markdown")}}})
    async def by_content(request: Request,
                         alg: str = Query("", description="One of the algorithms this service supports: the text "
                                                          "is compared by all of them."),
                         maxResults: int = _MAX_RESULTS,
                         hintAlg: str = Query("", description="The algorithm of hintValue."),
                         hintValue: str = Query("", description="A binding value (base64) whose own resolutions "
                                                                "are added.")) -> JSONResponse:
        """Manifests of the publications a text (plain, HTML or Markdown) comes from: identify's
        result, scored."""
        media = request.headers.get("content-type", "").split(";")[0].strip().lower()
        if not media.startswith("text/"):
            raise HTTPException(415, "send the text with Content-Type text/plain, text/html or text/markdown")
        if alg:
            check_alg(alg)
        hint = _hint(hintAlg, hintValue)
        text = decode(await request.body(), limit)
        found: Resolution = await in_registry(request, lambda registry: registry.resolve_content(
            text, format=TEXT_FORMATS.get(media, "text"), hint=hint, max_results=min(maxResults, MAX_RESULTS)))
        return answer(found)

    @api.get("/manifests/{manifestId}", response_class=Response, responses={
        200: {"description": "The manifest store (it holds one manifest, the active one).",
              "content": {MEDIA_TYPE: {"schema": {"type": "string", "format": "binary"}}}},
        **_errors(400, 404, 503)}, operation_id="getManifestById")
    async def manifest(request: Request, manifestId: str,
                       returnActiveManifest: bool = Query(False, description="The store holds only the active "
                                                                             "manifest: both give the same bytes.")
                       ) -> Response:
        """A publication's C2PA manifest store, as application/c2pa."""
        return _store(await in_registry(request, lambda registry: registry.manifest_by_id(manifestId)))

    @api.get("/services/supportedAlgorithms", response_model=SoftBindingAlgList, operation_id="getSupportedBindings")
    async def supported() -> SoftBindingAlgList:
        """The soft-binding algorithms this service resolves."""
        return ALGORITHMS

    return api


async def _resolved(request: Request, in_registry: InRegistry, alg: str, encoded: str, max_results: int
                    ) -> JSONResponse:
    value = decode_value(alg, encoded)  # refused before the client takes a turn
    found: Resolution = await in_registry(request, lambda registry: registry.resolve(
        alg, value, max_results=min(max_results, MAX_RESULTS)))
    return answer(found)


def _hint(alg: str, encoded: str) -> Optional[tuple[str, bytes]]:
    # An empty parameter counts as absent, as the C2PA API's optional strings have no null.
    if not alg and not encoded:
        return None
    if not alg or not encoded:
        raise InputError("give hintAlg and hintValue together, or neither")
    return alg, decode_value(alg, encoded)


def _store(store: bytes) -> Response:
    return Response(store, media_type=MEDIA_TYPE)


def answer(found: Resolution) -> JSONResponse:
    # A cut search still answers with what it found; the header says it may be incomplete.
    headers = {} if found.complete else {"Quelvane-Incomplete": found.note}
    return JSONResponse({"matches": [{"manifestId": r.manifest_id, "similarityScore": r.score}
                                     for r in found.matches]}, headers=headers)
