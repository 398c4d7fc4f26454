"""Resolving a soft binding, or a found text, to the C2PA manifests of the publications it names,
each with a similarity score from 0 to 100: the look-ups behind the C2PA Soft Binding Resolution
API. The rules of what evidence is worth are identify's; this module only turns that evidence
into a score, on one scale for every kind of query.

The scale (`similarityScore`):
- 100: the binding names exactly this publication: its watermark pointer, a MinHash signature
  equal in all 128 values to the signed one, or a found text whose words are the publication's;
- 80 to 99: a match by identify's rules (MATCH_FLOOR is 80): a whole-text MinHash with at least
  MINHASH_AGREEMENT of 128 values equal (80, rising with the agreement), or a found text
  identify calls a match (95 BOUND, 90 LIKELY, 80 when only shared passages confirm it);
- 50 and below (WEAK_CEILING): weak evidence, never a match: a surface fingerprint within 32 bits
  (50 at distance 0 down to 34), a structural fingerprint within 24 bits (40 down to 16), a
  MinHash sharing a band with fewer than MINHASH_AGREEMENT equal values (twice the agreement),
  or a found text identify calls weak and shows unasked (40; `identify.SHOWN_WEAK_KINDS`). Unrelated
  texts of one genre come this close.
Withdrawn and deleted publications, and publications without a manifest, are never returned:
a resolution answers with manifests to fetch, and those have none to stand behind.

Cost. A watermark pointer is one indexed read; a MinHash signature is looked up by its 32 band
keys in the index, then compared with at most MAX_CANDIDATES signed signatures. A surface or
structural fingerprint has no index: every publication's signed value is compared with it. The
values are read from the verified envelopes once per publication and kept (SCAN_CACHE_VALUES at
most), so a scan costs one listing of the registry and a 256-bit comparison per value, linear in
the number of publications; it stops after SCAN_SECONDS, and the answer then says it is not
complete. Measured on texts of about 1.3 KB: some 10 microseconds a publication once its values
are kept (the cache holds some 40,000 such publications), some 400 the first time (read and
verify), so a first scan covers about 5,000 publications before the bound cuts it."""
from __future__ import annotations

import base64
import binascii
import collections
import struct
import time
from dataclasses import dataclass
from typing import Iterator

import quelvane

from .algorithms import ASSERTION_ALGS, MINHASH_ALG, STRUCTURE_ALG, SURFACE_ALG, WATERMARK_ALG
from .errors import InputError, NotFoundError
from .identify import MAX_CANDIDATES, MINHASH_AGREEMENT, STRUCTURE_CLOSE_BITS, SURFACE_CLOSE_BITS, Match, Matches
from .manifests import manifest_id_for, parse_manifest_id
from .storage import Storage

MATCH_FLOOR = 80
"""The lowest score of a match; weak evidence never scores above WEAK_CEILING."""
WEAK_CEILING = 50
DEFAULT_RESULTS = 10
MAX_RESULTS = 100
VALUE_BYTES = {WATERMARK_ALG: 16, SURFACE_ALG: 32, STRUCTURE_ALG: 32, MINHASH_ALG: 1024}
"""The binding value each algorithm is queried with: the watermark's routing pointer, a 256-bit
SimHash, or the 128 MinHash values as big-endian unsigned 64-bit integers."""
MAX_ENCODED_CHARACTERS = 2048
"""The longest base64 value taken in a URL: the largest value (a MinHash signature, 1,368
characters) fits, and URLs of a few kilobytes pass every proxy."""
SCAN_SECONDS = 2.0
SCAN_PAGE = 1000
SCAN_CACHE_VALUES = 1 << 18
"""256-bit values kept from the signed assertions (some 16 MB): the surface fingerprints of the
whole text and each of its windows, and the structural one."""
_CONTENT_SCORES = {"BOUND": 95, "LIKELY": 90}
_MINHASH_VALUES = 128


@dataclass(frozen=True)
class Resolved:
    """One manifest a query resolves to, with how strongly (0 to 100)."""

    manifest_id: str
    score: int
    pointer: str


@dataclass(frozen=True)
class Resolution:
    """The manifests a query resolves to, strongest first; `complete` is false when a bound
    (time, candidates) cut the search, and `note` then says which."""

    matches: tuple[Resolved, ...]
    complete: bool = True
    note: str = ""


def decode_value(alg: str, encoded: str) -> bytes:
    """The binding value of a query, from base64 (standard or URL-safe alphabet, padding
    optional); InputError for an algorithm not ours or a value of the wrong form or length."""
    check_alg(alg)
    if len(encoded) > MAX_ENCODED_CHARACTERS:
        raise InputError(f"the value is {len(encoded)} characters of base64, over {MAX_ENCODED_CHARACTERS}")
    # A '+' left unescaped in a query string arrives as a space.
    cleaned = encoded.strip().replace(" ", "+").replace("-", "+").replace("_", "/")
    try:
        value = base64.b64decode(cleaned + "=" * (-len(cleaned) % 4), validate=True)
    except (binascii.Error, ValueError):
        raise InputError("the value is not base64") from None
    wanted = VALUE_BYTES[alg]
    if len(value) != wanted:
        raise InputError(f"a {alg} value is {wanted} bytes (base64 of them), not {len(value)}")
    return value


def check_alg(alg: str) -> None:
    """InputError unless `alg` is one of our four algorithms."""
    if alg not in VALUE_BYTES:
        raise InputError(f"unknown soft-binding algorithm {alg[:80]!r}; this service resolves "
                         f"{', '.join(ASSERTION_ALGS)}")


def band_keys_of(signature: tuple[int, ...]) -> list[int]:
    """The 32 band keys of a MinHash signature, as the module computes them: FNV-1a 64 over each
    four values in little-endian bytes."""
    keys = []
    for band in range(0, _MINHASH_VALUES, 4):
        key = 0xCBF29CE484222325
        for byte in struct.pack("<4Q", *signature[band:band + 4]):
            key = ((key ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
        keys.append(key)
    return keys


def content_score(match: Match) -> int | None:
    """A found text's score for one identify row; None for rows never returned (withdrawn,
    unverified)."""
    if match.verdict == "weak":
        return 40
    if match.verdict != "match":
        return None
    if match.evidence.identical:
        return 100
    return _CONTENT_SCORES.get(match.tier or "", MATCH_FLOOR)


def minhash_score(agreement: int) -> int:
    if agreement >= _MINHASH_VALUES:
        return 100
    if agreement >= MINHASH_AGREEMENT:
        return MATCH_FLOOR + (agreement - MINHASH_AGREEMENT) * 19 // (_MINHASH_VALUES - MINHASH_AGREEMENT)
    return min(2 * agreement, WEAK_CEILING)


@dataclass(frozen=True)
class _Signed:
    """What a publication's verified assertions hold, for comparing bindings with."""

    surface: tuple[int, ...]
    """The whole-text value, then one per window."""
    structure: int | None
    signature: tuple[int, ...] | None

    @property
    def size(self) -> int:
        return len(self.surface) + 1


class Resolver:
    """Resolves bindings and identify results to manifests in one storage."""

    def __init__(self, storage: Storage) -> None:
        self._storage = storage
        # Signed values never change for a pointer: read and verified once.
        self._signed: dict[str, _Signed | None] = {}
        self._cached_values = 0

    def manifest(self, manifest_id: str) -> bytes:
        """The stored manifest store of this id: InputError if it is not one of our ids,
        NotFoundError if no publication has it."""
        parse_manifest_id(manifest_id)
        found = self._storage.manifest(manifest_id)
        if found is None:
            raise NotFoundError(f"no manifest {manifest_id}")
        return found[1]

    def by_binding(self, alg: str, value: bytes, max_results: int = DEFAULT_RESULTS) -> Resolution:
        if alg == WATERMARK_ALG:
            found = self._returned({value.hex(): 100})
            return Resolution(tuple(found[:max_results]))
        if alg == MINHASH_ALG:
            return self._by_signature(struct.unpack(">128Q", value), max_results)
        return self._scan(alg, int.from_bytes(value, "big"), max_results)

    def by_content(self, found: Matches, hint: Resolution | None, max_results: int = DEFAULT_RESULTS) -> Resolution:
        """The identify rows of a found text as manifests; a hint's own resolutions are added,
        each manifest keeping its stronger score."""
        scores = {m.pointer: s for m in found if (s := content_score(m)) is not None}
        resolved = self._returned(scores)
        complete, notes = found.complete, [found.note] if found.note else []
        if hint is not None:
            resolved = _strongest(resolved + list(hint.matches))
            complete = complete and hint.complete
            notes += [hint.note] if hint.note else []
        return Resolution(tuple(resolved[:max_results]), complete, "; ".join(notes))

    def _by_signature(self, signature: tuple[int, ...], max_results: int) -> Resolution:
        bands = collections.Counter(pointer for _, pointer in self._storage.band_pointers(band_keys_of(signature)))
        ranked = sorted(bands, key=lambda p: (-bands[p], p))
        note = ""
        if len(ranked) > MAX_CANDIDATES:
            note = f"{len(ranked)} publications share a band key; the {MAX_CANDIDATES} sharing most were compared"
            ranked = ranked[:MAX_CANDIDATES]
        scores = {}
        for pointer in ranked:
            signed = self._signed_values(pointer)
            if signed is not None and signed.signature is not None:
                scores[pointer] = minhash_score(sum(a == b for a, b in zip(signature, signed.signature)))
        return Resolution(tuple(self._returned(scores)[:max_results]), not note, note)

    def _scan(self, alg: str, value: int, max_results: int) -> Resolution:
        """Every publication whose signed surface (or structural) value is close to `value`."""
        deadline = time.monotonic() + SCAN_SECONDS
        scores: dict[str, int] = {}
        scanned, note = 0, ""
        for pointer in self._pointers():
            if time.monotonic() > deadline:
                note = f"stopped after {SCAN_SECONDS:g} s, {scanned} publications compared"
                break
            scanned += 1
            signed = self._signed_values(pointer)
            if signed is None:
                continue
            if alg == SURFACE_ALG:
                distance = min((_bits(value ^ v) for v in signed.surface), default=257)
                if distance <= SURFACE_CLOSE_BITS:
                    scores[pointer] = WEAK_CEILING - distance // 2
            elif signed.structure is not None:
                distance = _bits(value ^ signed.structure)
                if distance <= STRUCTURE_CLOSE_BITS:
                    scores[pointer] = 40 - distance
        return Resolution(tuple(self._returned(scores)[:max_results]), not note, note)

    def _pointers(self) -> Iterator[str]:
        offset = 0
        while True:
            page = self._storage.summaries(SCAN_PAGE, offset)
            yield from (summary.pointer for summary in page)
            if len(page) < SCAN_PAGE:
                return
            offset += SCAN_PAGE

    def _returned(self, scores: dict[str, int]) -> list[Resolved]:
        """The publications scored, strongest first, as manifests: those withdrawn, deleted or
        without a manifest left out."""
        resolved = []
        for pointer in sorted(scores, key=lambda p: (-scores[p], p)):
            stored, withdrawal = self._storage.standing(pointer)
            if not stored or withdrawal is not None:
                continue
            manifest_id = manifest_id_for(pointer)
            found = self._storage.manifest(manifest_id)
            if found is not None and found[0] == pointer:
                resolved.append(Resolved(manifest_id, scores[pointer], pointer))
        return resolved

    def _signed_values(self, pointer: str) -> _Signed | None:
        if pointer in self._signed:
            return self._signed[pointer]
        publication = self._storage.get(pointer)
        signed = None if publication is None else _read_signed(
            {e.alg: e.cose_hex for e in publication.envelopes}, publication.public_key)
        size = 1 if signed is None else signed.size
        while self._signed and self._cached_values + size > SCAN_CACHE_VALUES:
            dropped = self._signed.pop(next(iter(self._signed)))
            self._cached_values -= 1 if dropped is None else dropped.size
        self._signed[pointer] = signed
        self._cached_values += size
        return signed


def _read_signed(envelopes: dict[str, str], public_key: str) -> _Signed | None:
    """The values of the assertions whose signature verifies; None when none does (a forged entry
    resolves to nothing)."""
    surface = _block_values(envelopes.get(SURFACE_ALG), public_key)
    structure = _block_values(envelopes.get(STRUCTURE_ALG), public_key)
    minhash = _block_values(envelopes.get(MINHASH_ALG), public_key)
    signature = None
    if minhash and len(minhash[0]) == 1024:
        signature = struct.unpack(">128Q", minhash[0])
    if not (surface or structure or signature):
        return None
    return _Signed(tuple(int.from_bytes(v, "big") for v in surface if len(v) == 32),
                   int.from_bytes(structure[0], "big") if structure and len(structure[0]) == 32 else None,
                   signature)


def _block_values(cose_hex: str | None, public_key: str) -> list[bytes]:
    """The block values of a signed assertion, in order; empty when it does not verify."""
    import cbor2  # the server's extra; only the resolution service reads assertions this way

    if cose_hex is None:
        return []
    try:
        record = cbor2.loads(bytes.fromhex(quelvane.verify(cose_hex, public_key)))
        return [bytes.fromhex(block["value"]) for block in record["blocks"]]
    except (ValueError, KeyError, TypeError):
        return []


def _strongest(resolved: list[Resolved]) -> list[Resolved]:
    best: dict[str, Resolved] = {}
    for r in resolved:
        if r.manifest_id not in best or r.score > best[r.manifest_id].score:
            best[r.manifest_id] = r
    return sorted(best.values(), key=lambda r: (-r.score, r.manifest_id))


def _bits(value: int) -> int:
    return bin(value).count("1")
