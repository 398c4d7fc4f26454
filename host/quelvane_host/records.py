"""Reading the records of an export back, trusting nothing in them that cannot be checked.

A record's signatures cover its four assertions, not the record around them. So every part of a
record is either rebuilt from its visible text with the code that published it and compared (the
content hash, the id 41/43/44 assertions, the id 42 assertion from the pointer), or checked for
its form. The published document must read, in the record's format, as that text: this refuses
any change of document or format that changes what a reader sees.

The cross-check tag and the watermark of the published document are keyed with the binding key
of the registry that published them. When that is this registry (the record carries our public
key) both are recomputed and compared. A record of another publisher, accepted only when the user
trusts its key, keeps its tag as given: it can never equal a tag this registry computes, so it
can only lower what identifying says of the record, never raise it.

A record's C2PA manifest store, when it has one, must validate with the C2PA SDK for the record's
published document (the hard binding holding, the signature and certificate sound; trust is not
required, a registry's test root being trusted nowhere else), be labelled with the manifest id of
the record's pointer, and hold as its soft bindings the four assertions the record's envelopes
sign. A record without one (from an export made before manifests) is imported without one.

Each refusal names the line and the field, in one line."""
from __future__ import annotations

import base64
import dataclasses
import hmac
import io
import json
import re
import tempfile
from contextlib import contextmanager
from datetime import datetime
from typing import Any, Iterable, Iterator, cast

import quelvane

from . import excerpts, formats, manifests
from .errors import InputError, ManifestError
from .formats import Format
from .keys import Keys
from .algorithms import ASSERTION_ALGS
from .inputs import check_input
from .publish import assertions, crosscheck_tag
from .storage import Envelope, Publication, Withdrawal

_POINTER = re.compile(r"[0-9a-f]{32}")
_HEX64 = re.compile(r"[0-9a-f]{64}")
_HEX = re.compile(r"(?:[0-9a-f]{2})+")
_ZERO_WIDTH = re.compile("[\u200b\u200c\u200d\u2060]")
_ENVELOPE_FIELDS = ("alg", "cose_hex")
# Every field of a record, in the order of Publication, with its JSON type.
_TYPES: dict[str, tuple[type, str]] = {
    "pointer": (str, "a string"), "format": (str, "a string"), "text": (str, "a string"),
    "published": (str, "a string"), "content_hash": (str, "a string"), "crosscheck_tag": (str, "a string"),
    "public_key": (str, "a string"), "envelopes": (list, "a list"), "watermark_runs": (int, "an integer"),
    "watermark_note": (str, "a string"), "metadata": (dict, "an object"), "created": (str, "a string"),
}
_OPTIONAL = frozenset({"manifest", "withdrawal"})  # absent from exports made before they existed
WATERMARK_BYTES = formats.RUNS * 4 * 3
"""What the runs of a watermark add to a document: 48 runs of four three-byte characters."""


def record(publication: Publication) -> dict[str, Any]:
    """The JSON record of a publication, as export writes it: its manifest store in base64."""
    fields = dataclasses.asdict(publication)
    store = publication.manifest
    fields["manifest"] = None if store is None else base64.b64encode(store).decode("ascii")
    return fields


def trusted_key(text: str) -> str:
    """A public key the user names to trust, in the form records carry it."""
    key = text.strip().lower()
    if not _HEX64.fullmatch(key):
        raise InputError("a public key to trust must be 64 hex characters")
    return key


class RecordChecker:
    """Checks the records of an export against the keys of the registry importing them."""

    def __init__(self, keys: Keys, trusted: Iterable[str], max_bytes: int) -> None:
        self._keys = keys
        self._trusted = {keys.public_hex, *trusted}
        self._max_bytes = max_bytes
        # The longest line a record can take: text and document within the byte limit, each
        # character at worst six in JSON, and room for the envelopes and metadata.
        self.max_line = 12 * (max_bytes + WATERMARK_BYTES) + (1 << 20)

    def check(self, line: str, number: int) -> Publication:
        """The publication a line holds, or an InputError naming the line and the first field at fault."""
        try:
            return self._check(_fields(line))
        except _Refused as refused:
            field = f", field {refused.field}" if refused.field else ""
            raise InputError(f"import line {number}{field}: {refused}") from None

    def _check(self, fields: dict[str, Any]) -> Publication:
        publication = _publication(fields)
        _check_form(publication)
        if publication.public_key not in self._trusted:
            raise _Refused("public_key", f"{publication.public_key} is not this registry's key; if you trust the "
                                         "publisher, import again naming it with --trust-key")
        try:
            check_input(publication.text, self._max_bytes)
        except InputError as error:
            raise _Refused("text", str(error)) from None
        if not excerpts.word_hashes(publication.text):
            raise _Refused("text", "has no words to fingerprint")
        if quelvane.content_hash(publication.text) != publication.content_hash:
            raise _Refused("content_hash", "does not match the record's text (text or hash altered)")
        self._check_signed(publication)
        shown = self._check_published(publication)
        if publication.public_key == self._keys.public_hex:
            self._check_keyed(publication, shown)
        if publication.manifest is not None:
            _check_manifest(publication, publication.manifest)
        return publication

    def _check_signed(self, publication: Publication) -> None:
        expected = assertions(publication.text, publication.pointer)
        for i, (envelope, assertion) in enumerate(zip(publication.envelopes, expected)):
            try:
                payload = quelvane.verify(envelope.cose_hex, publication.public_key)
            except ValueError as error:
                # The module words a bad signature as a tag that did not verify; say it plainly.
                detail = "the signature does not match" if "did not verify" in str(error) else str(error)
                raise _Refused(f"envelopes[{i}].cose_hex",
                               f"does not verify under the record's public key ({detail})") from None
            if payload != assertion:
                what = ("does not carry the record's pointer" if envelope.alg == ASSERTION_ALGS[3] else
                        "signs another assertion than the record's text gives")
                raise _Refused(f"envelopes[{i}].cose_hex", f"{what} (text, pointer or envelope altered)")

    def _check_published(self, publication: Publication) -> str:
        """What a reader sees of the published document, once it reads as the record's text."""
        if len(publication.published.encode("utf-8")) > self._max_bytes + WATERMARK_BYTES:
            raise _Refused("published", f"is over the limit of {self._max_bytes} bytes; raise it with --max-bytes")
        # The watermark's runs aside, the published document must read as the text that was
        # fingerprinted, or `show` would hand out words nothing signed.
        shown = formats.visible_text(publication.published, _format(publication))
        if _ZERO_WIDTH.sub("", shown) != _ZERO_WIDTH.sub("", publication.text):
            raise _Refused("published", f"does not read as the record's text in format {publication.format} "
                                        "(document, text or format altered)")
        if publication.watermark_runs == 0 and formats.has_watermark_runs(publication.published):
            raise _Refused("watermark_runs", "is 0 but the published document carries watermark runs")
        return shown

    def _check_keyed(self, publication: Publication, shown: str) -> None:
        if not hmac.compare_digest(crosscheck_tag(self._keys, publication.content_hash), publication.crosscheck_tag):
            raise _Refused("crosscheck_tag", "is not this registry's tag for the record's text")
        if publication.watermark_runs:
            try:
                pointer, verified, _ = quelvane.extract_watermark(shown, self._keys.binding_hex)
            except ValueError:
                pointer, verified = "", False
            if not verified or pointer != publication.pointer:
                raise _Refused("published", "does not carry the watermark of the record's pointer")


def _check_manifest(publication: Publication, store: bytes) -> None:
    if not manifests.available():
        raise _Refused("manifest", f"cannot be checked here: {manifests.unavailable_reason()}")
    try:
        found = manifests.validate(store, publication.published)
    except (ManifestError, InputError) as error:
        raise _Refused("manifest", str(error)) from None
    if found.state not in ("Valid", "Trusted") or not found.hard_binding_holds:
        raise _Refused("manifest", f"does not validate for the record's published document ({found.state}: "
                                   f"{', '.join(found.failures[:5])}; manifest or document altered)")
    if found.manifest_id != manifests.manifest_id_for(publication.pointer):
        raise _Refused("manifest", f"is the manifest {found.manifest_id[:60]!r}, not that of the record's pointer")
    for alg, signed in zip(ASSERTION_ALGS, assertions(publication.text, publication.pointer)):
        stored = found.soft_bindings.get(alg)
        if stored is None or not manifests.same_soft_binding(stored, signed):
            raise _Refused("manifest", f"does not hold the record's signed {alg} assertion as its soft binding")


def _publication(fields: dict[str, Any]) -> Publication:
    """The publication of a record's fields, once each field is there with its JSON type."""
    missing = [name for name in _TYPES if name not in fields]
    extra = sorted(set(fields) - set(_TYPES) - _OPTIONAL)
    if missing:
        raise _Refused(missing[0], "is missing")
    if extra:
        raise _Refused(extra[0], "is not a field of a record")
    for name, (kind, described) in _TYPES.items():
        value = fields[name]
        if not isinstance(value, kind) or isinstance(value, bool):
            raise _Refused(name, f"must be {described}")
    envelopes = []
    for i, envelope in enumerate(fields["envelopes"]):
        if not isinstance(envelope, dict) or sorted(envelope) != sorted(_ENVELOPE_FIELDS):
            raise _Refused(f"envelopes[{i}]", 'must be an object with "alg" and "cose_hex" only')
        for name in _ENVELOPE_FIELDS:
            if not isinstance(envelope[name], str):
                raise _Refused(f"envelopes[{i}].{name}", "must be a string")
        envelopes.append(Envelope(envelope["alg"], envelope["cose_hex"]))
    return Publication(**{**fields, "envelopes": tuple(envelopes),
                          "withdrawal": _withdrawal(fields.get("withdrawal")),
                          "manifest": _store(fields.get("manifest"))})


def _withdrawal(value: Any) -> Withdrawal | None:
    """A record's withdrawal (absent from exports made before publications could be withdrawn). No
    signature covers it; it can only stop a publication from counting as a match, never make one."""
    if value is None:
        return None
    if not isinstance(value, dict) or sorted(value) != ["at", "reason"]:
        raise _Refused("withdrawal", 'must be null or an object with "reason" and "at" only')
    if not isinstance(value["reason"], str) or not value["reason"].strip():
        raise _Refused("withdrawal.reason", "must be a string that is not empty")
    if not isinstance(value["at"], str) or not _is_time(value["at"]):
        raise _Refused("withdrawal.at", "must be a date and time (ISO 8601)")
    return Withdrawal(value["reason"], value["at"])


def _store(value: Any) -> bytes | None:
    if value is None:
        return None
    try:
        if not isinstance(value, str):
            raise ValueError
        return base64.b64decode(value, validate=True)
    except ValueError:  # binascii.Error included
        raise _Refused("manifest", "must be a C2PA manifest store in base64, or null") from None


def _check_form(publication: Publication) -> None:
    hex64 = "must be 64 lower-case hex characters"
    checks: tuple[tuple[str, bool, str], ...] = (
        ("pointer", bool(_POINTER.fullmatch(publication.pointer)), "must be 32 lower-case hex characters"),
        ("format", publication.format in formats.FORMATS, f"must be one of {', '.join(formats.FORMATS)}"),
        ("content_hash", bool(_HEX64.fullmatch(publication.content_hash)), hex64),
        ("crosscheck_tag", bool(_HEX64.fullmatch(publication.crosscheck_tag)), hex64),
        ("public_key", bool(_HEX64.fullmatch(publication.public_key)), hex64),
        ("watermark_runs", 0 <= publication.watermark_runs <= formats.RUNS, f"must be 0 to {formats.RUNS}"),
        ("created", _is_time(publication.created), "must be a date and time (ISO 8601)"),
    )
    for name, ok, problem in checks:
        if not ok:
            raise _Refused(name, problem)
    labels = tuple(e.alg for e in publication.envelopes)
    for i, (label, expected) in enumerate(zip(labels, ASSERTION_ALGS)):
        if label != expected:
            raise _Refused(f"envelopes[{i}].alg", f"is {label[:80]!r} where {expected} belongs: the four assertions "
                                                  "come once each, in order")
    if len(labels) != len(ASSERTION_ALGS):
        raise _Refused("envelopes", f"holds {len(labels)} envelopes, not {len(ASSERTION_ALGS)}, one per assertion")
    for i, envelope in enumerate(publication.envelopes):
        if not _HEX.fullmatch(envelope.cose_hex):
            raise _Refused(f"envelopes[{i}].cose_hex", "must be lower-case hex")


def _format(publication: Publication) -> Format:
    return cast(Format, publication.format)


def _is_time(text: str) -> bool:
    try:
        datetime.fromisoformat(text)
    except ValueError:
        return False
    return True


def _fields(line: str) -> dict[str, Any]:
    try:
        fields = json.loads(line, parse_constant=_no_constant, object_pairs_hook=_no_repeats)
    except ValueError as error:
        raise _Refused("", f"is not JSON ({error})") from None
    except RecursionError:
        raise _Refused("", "nests too deeply to be a record") from None
    if not isinstance(fields, dict):
        raise _Refused("", "is not a JSON object")
    try:
        # Strings of JSON may spell lone surrogates, which no database stores as text.
        json.dumps(fields, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError:
        raise _Refused("", "holds a lone surrogate: it is not valid Unicode") from None
    return fields


def _no_constant(name: str) -> None:
    # Python reads NaN and Infinity, JSON has neither, and a registry holding one cannot be listed.
    raise _Refused("", f"holds {name}, which JSON does not allow")


def _no_repeats(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # With a name given twice, JSON readers disagree on which value counts.
    fields: dict[str, Any] = {}
    for name, value in pairs:
        if name in fields:
            raise _Refused(name, "appears twice in one object")
        fields[name] = value
    return fields


class _Refused(Exception):
    """Why a record is refused, and the field at fault (empty for the record as a whole)."""

    def __init__(self, field: str, problem: str) -> None:
        super().__init__(problem)
        self.field = field


@contextmanager
def checked(lines: Iterable[str], checker: RecordChecker) -> Iterator[Iterator[Publication]]:
    """Every record of an export, once all of them have been checked: a bad line anywhere refuses
    the whole file before any is written. Checked records wait in a temporary file, not in memory,
    so an export of any size can be imported."""
    with tempfile.TemporaryFile("w+", encoding="utf-8") as spool:
        seen: dict[str, int] = {}
        for number, line in enumerate(_bounded(lines, checker.max_line), 1):
            if not line.strip():
                continue
            if len(line) > checker.max_line:
                raise InputError(f"import line {number} is over {checker.max_line} characters, longer than any "
                                 "record; if the export holds larger texts, raise --max-bytes")
            publication = checker.check(line, number)
            first = seen.setdefault(publication.pointer, number)
            if first != number:
                raise InputError(f"import line {number}, field pointer: repeats the pointer of line {first}")
            spool.write(json.dumps(record(publication), ensure_ascii=False) + "\n")
        spool.seek(0)
        yield (_publication(json.loads(line)) for line in spool)


def _bounded(lines: Iterable[str], limit: int) -> Iterable[str]:
    """The lines of an export; from a file, read at most one character past `limit` at a time,
    so a file with no line breaks cannot fill memory."""
    if not isinstance(lines, io.TextIOBase):
        return lines
    return iter(lambda: lines.readline(limit + 1), "")
