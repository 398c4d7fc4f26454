"""C2PA manifest stores for publications, built, signed and validated with the official C2PA SDK
(`c2pa-python`, the `c2pa` extra).

A publication's manifest is a separate store (a `.c2pa` file, media type application/c2pa): the
SDK cannot embed a manifest inside text. It holds `c2pa.actions` (created, with its digital
source type), the four `c2pa.soft-binding` assertions the publication signed, and the hard
binding `c2pa.hash.data`, a SHA-256 over the UTF-8 bytes of the published text (the text with
its watermark, as readers get it). Any C2PA verifier given the text and the store checks both.

The manifest's label is `urn:c2pa:<uuid>`, the uuid being the 16-byte routing pointer the
watermark carries, so a copy's watermark names its manifest. The SDK takes only version-4 UUIDs
there: `new_pointer` makes pointers that are. A pointer made before (128 random bits, not a
version-4 UUID) gets the label of the same bytes with the six version and variant bits set
(`manifest_id_for`); the registry stores that id beside the pointer to find one from the other.

How a soft-binding assertion is stored: a manifest definition is JSON, and the SDK offers no way
to hand it an assertion as CBOR, so the assertion goes in as the JSON form of our CBOR and the SDK
writes that as CBOR. The stored record holds the same fields and values as the signed one, with
two differences of form: the SDK writes every map's keys in alphabetical order (ours come in
field order), and the one byte string, the empty `pad` (0x40), is stored as the empty array
(0x80), JSON having no byte strings. The module reads maps in any key order and an array of byte
values as `pad`, so the stored assertion classifies with `verify_tier` exactly as the signed
one; its bytes, and so its hash, differ from the COSE-signed assertion's."""
from __future__ import annotations

import functools
import io
import json
import os
import struct
import sys
import uuid
from dataclasses import dataclass, field
from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING, Any, Iterable, Iterator, Mapping

from .errors import IdentityError, InputError, ManifestError
from .extras import missing_extra
from .formats import Format

if TYPE_CHECKING:
    from .signing_identity import SigningIdentity

try:
    import c2pa  # type: ignore[import-untyped]
    import cbor2
    import cryptography  # noqa: F401  (signing identities: checked here so that `available` covers them)
    _UNAVAILABLE = ""
except ImportError as _missing:
    # The SDK is built for Python 3.10 and later; pip installs nothing usable before that.
    _UNAVAILABLE = (f"C2PA manifests need Python 3.10 or later (this is {sys.version.split()[0]})"
                    if sys.version_info < (3, 10) else
                    missing_extra("C2PA manifests", "c2pa", (_missing.name or "c2pa",)))

SOFT_BINDING = "c2pa.soft-binding"
MEDIA_TYPE = "application/c2pa"
DIGITAL_SOURCE_TYPE = "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCreation"
MEDIA_TYPES: Mapping[Format, str] = {"text": "text/plain", "markdown": "text/markdown", "html": "text/html"}
_SIGNED_AS = "text/plain"  # the SDK's data-hash handler for any text; the manifest names the real type
_LABEL_PREFIX = "urn:c2pa:"
_ALGORITHMS = {"ed25519": "ED25519", "es256": "ES256", "es384": "ES384"}
MAX_STORE_BYTES = 1 << 20
"""Far above a store with a long certificate chain; bounds what a wrong file makes us read."""
Box = tuple[bytes, bytes]  # a JUMBF box: its type and its payload


@dataclass(frozen=True)
class Validation:
    """What the C2PA SDK found for a text and its manifest store."""

    state: str
    """"Trusted" (valid, and the signer chains to a trust anchor), "Valid" (intact and correctly
    signed, signer not trusted), or "Invalid"."""
    failures: tuple[str, ...]
    """Failure codes, e.g. signingCredential.untrusted or assertion.dataHash.mismatch."""
    informational: tuple[str, ...]
    manifest_id: str
    soft_bindings: Mapping[str, str] = field(default_factory=dict)
    """alg -> the stored `c2pa.soft-binding` assertion, CBOR in lower-case hex."""

    @property
    def hard_binding_holds(self) -> bool:
        """Whether the text is byte for byte the one the manifest was signed for."""
        return "assertion.dataHash.mismatch" not in self.failures


def available() -> bool:
    """Whether manifests can be built and read here, and signing identities made (the `c2pa`
    extra is installed); when not, `unavailable_reason` says how to install it."""
    return not _UNAVAILABLE


def unavailable_reason() -> str:
    """Why manifests cannot be used here, with the line that installs what is missing; empty
    when they can."""
    return _UNAVAILABLE


def new_pointer() -> str:
    """A fresh routing pointer: a random version-4 UUID (122 random bits) as 32 hex characters."""
    return uuid.uuid4().hex


def manifest_id_for(pointer: str) -> str:
    """The manifest label of a publication: `urn:c2pa:` and the pointer as a UUID, its version
    and variant bits set if it is not already a version-4 UUID."""
    try:
        raw = bytes.fromhex(pointer)
    except ValueError:
        raw = b""
    if len(raw) != 16:
        raise InputError(f"a pointer is 32 hex characters, not {pointer[:40]!r}")
    return f"{_LABEL_PREFIX}{uuid.UUID(bytes=raw, version=4)}"


def parse_manifest_id(manifest_id: str) -> str:
    """The 32 hex characters of a manifest id `urn:c2pa:<version-4 uuid>`: the pointer itself for
    pointers made by `new_pointer`. Refuses anything else with an InputError."""
    if manifest_id.startswith(_LABEL_PREFIX) and len(manifest_id) == len(_LABEL_PREFIX) + 36:
        try:
            parsed = uuid.UUID(manifest_id[len(_LABEL_PREFIX):])
        except ValueError:
            parsed = None
        if parsed is not None and parsed.version == 4 and str(parsed) == manifest_id[len(_LABEL_PREFIX):]:
            return parsed.hex
    raise InputError(f"not a manifest id of ours (urn:c2pa: and a lower-case version-4 UUID): {manifest_id[:80]!r}")


def build_store(identity: SigningIdentity, text_published: str, assertions: Mapping[str, str], pointer: str,
                *, title: str, format: Format = "text") -> bytes:
    """The signed manifest store of a publication: `assertions` maps each soft-binding algorithm
    to its assertion (CBOR hex, as the module builds and publishing signs it), `text_published` is
    the document readers get, which the hard binding covers."""
    _require()
    try:
        return _sign(identity, definition(assertions, pointer, title=title, format=format), _utf8(text_published))
    except c2pa.C2paError as error:
        raise ManifestError(f"the C2PA SDK refused to sign the manifest: {_sdk_reason(error)}") from None


def definition(assertions: Mapping[str, str], pointer: str, *, title: str, format: Format = "text") -> str:
    """The manifest definition of a publication, as the JSON the SDK's builder takes (see
    `build_store`)."""
    _require()
    return _stored_json({
        "claim_generator_info": [{"name": "quelvane", "version": _version()}],
        "title": title,
        "format": MEDIA_TYPES[format],
        "label": manifest_id_for(pointer),
        "assertions": [
            {"label": "c2pa.actions",
             "data": {"actions": [{"action": "c2pa.created", "digitalSourceType": DIGITAL_SOURCE_TYPE}]}},
            *({"label": SOFT_BINDING, "data": _record(alg, cbor_hex)} for alg, cbor_hex in assertions.items()),
        ],
    })


def check_signs(identity: SigningIdentity) -> None:
    """Signs a throwaway manifest with `identity`: the SDK checks a certificate further than
    importing it does (its key identifiers, for one), and a certificate it refuses is better
    refused when it is set up than at the first publish."""
    _require()
    throwaway = {"title": "signing check", "format": _SIGNED_AS,
                 "assertions": [{"label": "c2pa.actions", "data": {"actions": [
                     {"action": "c2pa.created", "digitalSourceType": DIGITAL_SOURCE_TYPE}]}}]}
    try:
        _sign(identity, _stored_json(throwaway), b"signing check")
    except c2pa.C2paError as error:
        raise IdentityError(f"the C2PA SDK refuses to sign with this certificate ({_sdk_reason(error)}); ask its "
                            f"issuer for one C2PA signing accepts") from None


def _sign(identity: SigningIdentity, definition_json: str, data: bytes) -> bytes:
    signer = _signer(os.getpid(), identity.algorithm, identity.chain_pem, identity.key_pem)
    with c2pa.Builder(definition_json, _signing_context(os.getpid())) as builder:
        builder.set_no_embed()
        store: bytes = builder.sign(signer, _SIGNED_AS, io.BytesIO(data), io.BytesIO())
    return store


def validate(store: bytes, text: str, anchors: str = "") -> Validation:
    """Validates `store` for `text` with the C2PA SDK: hard binding, signature, certificate and,
    when `anchors` (PEM roots) are given, trust."""
    _require()
    try:
        context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors}}) if anchors else c2pa.Context()
    except c2pa.C2paError as error:
        raise ManifestError(f"the trust anchors are not usable PEM certificates ({_sdk_reason(error)}); "
                            f"check the trust anchor list") from None
    with context:
        reader, manifest_id = _read(store, context, _utf8(text))
        with reader:
            results = (reader.get_validation_results() or {}).get("activeManifest") or {}
            state = reader.get_validation_state() or "Invalid"
    return Validation(
        state=state,
        failures=tuple(status["code"] for status in results.get("failure", ())),
        informational=tuple(status["code"] for status in results.get("informational", ())),
        manifest_id=manifest_id,
        soft_bindings=_soft_bindings(store, manifest_id),
    )


def soft_bindings(store: bytes) -> dict[str, str]:
    """alg -> the `c2pa.soft-binding` assertions of the store's active manifest, CBOR hex as
    stored, read without the text (nothing is validated)."""
    _require()
    with c2pa.Context() as context:
        reader, manifest_id = _read(store, context, None)
        reader.close()
    return _soft_bindings(store, manifest_id)


def same_soft_binding(stored_hex: str, signed_hex: str) -> bool:
    """Whether a soft-binding assertion read from a store (CBOR hex) is the signed one: the same
    fields and values once each is in the form a store keeps it (byte strings as arrays)."""
    _require()
    try:
        stored = cbor2.loads(bytes.fromhex(stored_hex))
    except (ValueError, RecursionError):
        return False
    return bool(stored == _as_stored(cbor2.loads(bytes.fromhex(signed_hex))))


def _stored_json(value: Any) -> str:
    # The one conversion a manifest definition makes: JSON has no byte strings, so each becomes
    # the array of its byte values.
    return json.dumps(value, default=list, ensure_ascii=False, separators=(",", ":"))


def _as_stored(record: Any) -> Any:
    return json.loads(_stored_json(record))


def _require() -> None:
    if _UNAVAILABLE:
        raise ManifestError(_UNAVAILABLE)


# The SDK's objects below are made once per process (a forked child makes its own: native handles
# do not survive a fork) and reused: making them anew costs a tenth of signing a short text.
@functools.lru_cache(maxsize=None)
def _signing_context(process: int) -> Any:
    # The SDK reads every store back after signing unless told not to; what it would check (the
    # hash and signature it has just made) is what `validate` checks for any reader. A context
    # may be shared by builders (the SDK guards it).
    return c2pa.Context.from_dict({"verify": {"verify_after_sign": False}})


@functools.lru_cache(maxsize=4)
def _signer(process: int, algorithm: str, chain_pem: bytes, key_pem: bytes) -> Any:
    return c2pa.Signer.from_info(c2pa.C2paSignerInfo(getattr(c2pa.C2paSigningAlg, _ALGORITHMS[algorithm]),
                                                     chain_pem, key_pem, None))


@functools.lru_cache(maxsize=None)
def _version() -> str:
    # Looked up once: reading the installed metadata takes longer than signing a short text.
    try:
        return version("quelvane")
    except PackageNotFoundError:
        return "0"


def _read(store: bytes, context: Any, text: bytes | None) -> tuple[Any, str]:
    """The SDK's reader of `store`, for `text` when given, and its active manifest's label."""
    try:
        if text is None:
            reader = c2pa.Reader(MEDIA_TYPE, io.BytesIO(store), context=context)
        else:
            reader = c2pa.Reader(_SIGNED_AS, io.BytesIO(text), manifest_data=store, context=context)
        manifest_id = json.loads(reader.json()).get("active_manifest")
    except c2pa.C2paError as error:
        raise ManifestError(f"not a readable C2PA manifest store: {_sdk_reason(error)}") from None
    if not isinstance(manifest_id, str):
        reader.close()
        raise ManifestError("the C2PA manifest store has no active manifest")
    return reader, manifest_id


def _utf8(text: str) -> bytes:
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise InputError(f"text holds a lone surrogate at character {error.start}: it is not valid Unicode") from None


def _sdk_reason(error: Exception) -> str:
    # The SDK's messages can run over many lines; the first names the reason.
    return (str(error).strip().splitlines() or ["no reason given"])[0][:300]


def _record(alg: str, cbor_hex: str) -> dict[str, Any]:
    """The decoded assertion, once it is known to be a soft-binding record of algorithm `alg`."""
    try:
        record = cbor2.loads(bytes.fromhex(cbor_hex))
    except ValueError:  # bad hex, or cbor2's CBORDecodeError
        raise ManifestError(f"the {alg} assertion is not CBOR hex") from None
    if not isinstance(record, dict) or record.get("alg") != alg:
        raise ManifestError(f"the assertion given for {alg} is not a soft-binding record of that algorithm")
    return record


def _soft_bindings(store: bytes, manifest_id: str) -> dict[str, str]:
    found: dict[str, str] = {}
    for label, content in _assertion_boxes(store, manifest_id):
        if label == SOFT_BINDING or label.startswith(SOFT_BINDING + "__"):
            try:
                record = cbor2.loads(content)
            except (ValueError, RecursionError):
                continue  # not CBOR: the SDK reports the assertion as malformed; no binding to offer
            if isinstance(record, dict) and isinstance(record.get("alg"), str):
                found[record["alg"]] = content.hex()
    return found


def _assertion_boxes(store: bytes, manifest_id: str) -> Iterator[tuple[str, bytes]]:
    """(label, CBOR content) of each CBOR assertion of one manifest, read from the store's JUMBF
    boxes as stored: the SDK reports assertions only as JSON, which loses their byte layout."""
    for _, manifests in _superboxes(_boxes(store)):
        for label, manifest in _superboxes(manifests):
            if label != manifest_id:
                continue
            for group, assertions in _superboxes(manifest):
                if group != "c2pa.assertions":
                    continue
                for assertion_label, content in _superboxes(assertions):
                    for kind, payload in content:
                        if kind == b"cbor":
                            yield assertion_label, payload


def _superboxes(boxes: Iterable[Box]) -> Iterator[tuple[str, list[Box]]]:
    """(label, the boxes after its description) of each JUMBF superbox among `boxes`."""
    for kind, payload in boxes:
        if kind != b"jumb":
            continue
        children = list(_boxes(payload))
        if not children or children[0][0] != b"jumd" or len(children[0][1]) < 17:
            continue
        description = children[0][1]
        # After the 16-byte content type, a toggle byte; bit 1 says a NUL-terminated label follows.
        label = description[17:].split(b"\0")[0].decode("utf-8", "replace") if description[16] & 0x02 else ""
        yield label, children[1:]


def _boxes(data: bytes) -> Iterator[Box]:
    """(type, payload) of each box; stops at the first box whose size does not fit."""
    position = 0
    while position + 8 <= len(data):
        size, kind = struct.unpack_from(">I4s", data, position)
        header = 8
        if size == 1 and position + 16 <= len(data):
            size, header = struct.unpack_from(">Q", data, position + 8)[0], 16
        elif size == 0:
            size = len(data) - position
        if size < header or position + size > len(data):
            return
        yield kind, data[position + header:position + size]
        position += size
