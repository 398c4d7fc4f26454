"""Identifying a found text: every publication it comes from, strongest first, with the
evidence for each.

Trust rules. A watermark pointer is used only when its content-binding tag verified. Each
stored envelope is verified under the publication's public key before its assertion counts.
What the evidence is worth:
- a verified watermark: the copy carries this registry's pointer and its words are those
  published (the tag binds them) — a match;
- the whole-text MinHash (id 44, found through its band keys): the copy shares word sequences
  with the whole publication — a match;
- the excerpt index: a passage of at least a couple of dozen words is shared, confirmed
  shingle by shingle — a match, with the passages shown;
- the surface (id 41) or structural (id 43) fingerprint alone: unrelated texts of one genre
  come close in both, so on its own this is reported as weak evidence, never as a match."""
from __future__ import annotations

import hmac
from dataclasses import dataclass, field
from typing import Literal, Protocol

import quelvane

from . import excerpts
from .publish import ASSERTION_ALGS
from .storage import Envelope, Publication, Storage

Tier = Literal["BOUND", "LIKELY", "REVIEW"]
Verdict = Literal["match", "weak", "unverified"]
TIERS: tuple[Tier, ...] = ("BOUND", "LIKELY", "REVIEW")
VERDICTS: tuple[Verdict, ...] = ("match", "weak", "unverified")
SURFACE_ALG, STRUCTURE_ALG, MINHASH_ALG, WATERMARK_ALG = ASSERTION_ALGS
Passage = excerpts.Passage
VERIFIED_CACHE_SIZE = 4096
PUBLICATION_CACHE_CHARACTERS = 1 << 19
"""Characters of publications (with their words, some 40 bytes a character once all are found)
an identifier keeps: a corpus meets the same few often."""


@dataclass(frozen=True)
class AssertionCheck:
    """One stored envelope: whether its signature verified, and the tier its assertion gives."""

    alg: str
    signature_ok: bool
    signature_error: str | None
    tier: Tier | None


@dataclass(frozen=True)
class Evidence:
    """How a publication was found and what each check said."""

    watermark: bool
    """A watermark with a verified tag carried this publication's pointer."""
    shards_recovered: int | None
    band_keys: int
    """Whole-text MinHash band keys shared with the found text."""
    passages: tuple[Passage, ...]
    crosscheck_ok: bool
    assertions: tuple[AssertionCheck, ...]
    found_by: tuple[str, ...] = field(default=())


@dataclass(frozen=True)
class Match:
    """One publication the found text comes from."""

    pointer: str
    verdict: Verdict
    tier: Tier
    evidence: Evidence
    explanation: str
    metadata: dict[str, object]
    published_at: str


@dataclass(frozen=True)
class _Watermark:
    pointer: str | None
    shards: int | None
    note: str


def read_watermark(visible: str, binding_hex: str) -> _Watermark:
    """The pointer of a verified watermark, or None and why not."""
    try:
        pointer, tag_verified, shards = quelvane.extract_watermark(visible, binding_hex)
    except ValueError as error:
        return _Watermark(None, None, str(error))
    if not tag_verified:
        return _Watermark(None, shards, "a watermark was read but its tag did not verify (copy edited or not ours)")
    return _Watermark(pointer, shards, "")


class BindingKeys(Protocol):
    """What identifying needs of a publisher's keys: never the signing key."""

    @property
    def binding_hex(self) -> str: ...

    @property
    def repository_id(self) -> str: ...


class Identifier:
    """Looks found texts up in one storage with one set of keys."""

    def __init__(self, storage: Storage, keys: BindingKeys) -> None:
        self._storage = storage
        self._keys = keys
        # An envelope verifies or not once and for all under a given key; remembering the
        # outcome by the exact envelope and key spares repeated Ed25519 checks.
        self._verified: dict[tuple[str, str], str | ValueError] = {}
        # Stored publications never change: one read serves every later candidate.
        self._publications: dict[str, tuple[Publication, excerpts.Words]] = {}
        self._cached_characters = 0

    def identify(self, visible: str) -> list[Match]:
        watermark = read_watermark(visible, self._keys.binding_hex)
        bands = self._storage.band_matches(quelvane.minhash_bands(visible))
        hashes = excerpts.word_hashes(visible)
        hits = self._excerpt_hits(hashes)
        # One shared key is what stock phrases give; a passage long enough to confirm always
        # leaves at least two.
        pointers = set(bands) | {p for p, found in hits.items() if len(found) >= 2}
        if watermark.pointer is not None:
            pointers.add(watermark.pointer)
        if not pointers:
            return []
        # Most texts of a corpus meet no candidate: what only confirming needs is computed here.
        tag = quelvane.cross_check(self._keys.binding_hex, self._keys.repository_id, quelvane.content_hash(visible))
        found_words = excerpts.split_words(visible, hashes)
        matches = []
        for pointer in pointers:
            stored = self._publication(pointer)
            if stored is None:
                continue
            publication, published_words = stored
            passages: tuple[Passage, ...] = ()
            if pointer in hits:
                passages = tuple(excerpts.confirm(found_words, published_words, hits[pointer]))
            match = self._judge(visible, tag, publication, watermark, bands.get(pointer, 0), passages)
            if match is not None:
                matches.append(match)
        return sorted(matches, key=_strength)

    def _excerpt_hits(self, hashes: list[int]) -> dict[str, list[tuple[int, int]]]:
        positions: dict[int, list[int]] = {}
        for key, position in excerpts.winnowed_keys(hashes):
            positions.setdefault(key, []).append(position)
        hits: dict[str, list[tuple[int, int]]] = {}
        for key, pointer, published_at in self._storage.excerpt_matches(positions, excerpts.PER_KEY_LIMIT):
            hits.setdefault(pointer, []).extend((found_at, published_at) for found_at in positions[key])
        return hits

    def _judge(self, visible: str, tag: str, publication: Publication, watermark: _Watermark, band_keys: int,
               passages: tuple[Passage, ...]) -> Match | None:
        marked = watermark.pointer == publication.pointer
        crosscheck_ok = hmac.compare_digest(tag, publication.crosscheck_tag)
        longest = max(passages, key=lambda p: p.found_end - p.found_start, default=None)
        excerpt = None if longest is None else visible[longest.found_start:longest.found_end]
        found_by = tuple(name for name, present in
                         (("watermark", marked), ("band keys", band_keys > 0), ("excerpt index", bool(passages)))
                         if present)

        def check(envelope: Envelope) -> AssertionCheck:
            return self._check(publication.public_key, envelope.alg, envelope.cose_hex, visible, excerpt, marked,
                               crosscheck_ok)

        early: dict[Envelope, AssertionCheck] = {}
        if not found_by:
            # Proposed by a shared key or two and confirmed by nothing, as most candidates are: only
            # a close surface or structural fingerprint makes it a (weak) row, so those go first.
            early = {e: check(e) for e in publication.envelopes if e.alg in (SURFACE_ALG, STRUCTURE_ALG)}
            if not any(c.signature_ok and c.tier != "REVIEW" for c in early.values()):
                return None
        checks = tuple(early[e] if e in early else check(e) for e in publication.envelopes)
        evidence = Evidence(marked, watermark.shards if marked else None, band_keys, passages, crosscheck_ok,
                            checks, found_by)
        verdict, explanation = _verdict(evidence)
        if verdict is None:
            return None
        tiers = [c.tier for c in checks if c.tier is not None]
        tier: Tier = min(tiers, key=TIERS.index) if tiers else "REVIEW"
        return Match(publication.pointer, verdict, tier, evidence, explanation, publication.metadata,
                     publication.created)


    def _publication(self, pointer: str) -> tuple[Publication, excerpts.Words] | None:
        stored = self._publications.get(pointer)
        if stored is None:
            publication = self._storage.get(pointer)
            if publication is None:
                return None
            stored = (publication, excerpts.split_words(publication.text))
            size = len(publication.text)
            if size <= PUBLICATION_CACHE_CHARACTERS:
                while self._cached_characters + size > PUBLICATION_CACHE_CHARACTERS:
                    oldest, _ = self._publications.pop(next(iter(self._publications)))
                    self._cached_characters -= len(oldest.text)
                self._publications[pointer] = stored
                self._cached_characters += size
        return stored

    def _assertion(self, cose_hex: str, public_hex: str) -> str | ValueError:
        outcome = self._verified.get((cose_hex, public_hex))
        if outcome is None:
            try:
                outcome = quelvane.verify(cose_hex, public_hex)
            except ValueError as error:
                outcome = error
            if len(self._verified) >= VERIFIED_CACHE_SIZE:
                self._verified.pop(next(iter(self._verified)))
            self._verified[(cose_hex, public_hex)] = outcome
        return outcome

    def _check(self, public_hex: str, alg: str, cose_hex: str, visible: str, excerpt: str | None, marked: bool,
               crosscheck_ok: bool) -> AssertionCheck:
        assertion = self._assertion(cose_hex, public_hex)
        if isinstance(assertion, ValueError):
            return AssertionCheck(alg, False, str(assertion), None)
        tier: Tier = quelvane.verify_tier(visible, assertion, marked, crosscheck_ok)
        if excerpt is not None and alg == SURFACE_ALG:
            # A passage is compared on its own: the id 41 windows may hold it even when the whole
            # found text, padded with other words, is far from every window.
            tier = min(tier, quelvane.verify_tier(excerpt, assertion, marked, False), key=TIERS.index)
        return AssertionCheck(alg, True, None, tier)


def _verdict(evidence: Evidence) -> tuple[Verdict | None, str]:
    signed = {c.alg: c for c in evidence.assertions if c.signature_ok}
    if not signed:
        if evidence.found_by:
            return "unverified", "found, but no stored assertion verifies under its public key: the entry is forged"
        return None, ""
    minhash = signed.get(MINHASH_ALG)
    whole_text = evidence.band_keys > 0 and minhash is not None and minhash.tier != "REVIEW"
    reasons = []
    if evidence.watermark:
        reasons.append("a watermark with a verified tag carries its pointer")
    if whole_text:
        reasons.append("the whole-text MinHash matches")
    if evidence.passages:
        words = sum(p.shared_shingles for p in evidence.passages)
        reasons.append(f"{len(evidence.passages)} passage(s) confirmed by the excerpt index ({words} shared shingles)")
    if reasons:
        if not evidence.crosscheck_ok:
            reasons.append("the cross-check tag differs, so the text was changed or cut")
        return "match", "; ".join(reasons)
    weak = [c.alg for c in signed.values() if c.alg in (SURFACE_ALG, STRUCTURE_ALG) and c.tier != "REVIEW"]
    if weak:
        return "weak", ("only the surface or structural fingerprint is close, which unrelated texts of one genre "
                        "often are: weak evidence, not a match")
    return None, ""


def _strength(match: Match) -> tuple[int, int, int, int, int]:
    e = match.evidence
    return (VERDICTS.index(match.verdict), TIERS.index(match.tier), 0 if e.watermark else 1, -e.band_keys,
            -sum(p.shared_shingles for p in e.passages))

