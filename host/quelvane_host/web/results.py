"""Turns what the registry answers into the service's JSON: each match with its passages, the
publication's public record and its signed assertions decoded.

This adds to `Registry.identify` only what a remote reader needs and cannot compute alone: the
visible text the offsets point into, the publication's side of each passage, and the assertions
behind the signature checks."""
from __future__ import annotations

from typing import Any, Dict, Optional

import cbor2
import quelvane

from .. import formats
from ..formats import Format
from ..identify import AssertionCheck, Match
from ..publish import PublishResult
from ..registry import Registry
from ..storage import Publication
from . import schemas

TIER_MEANINGS: Dict[str, str] = {
    "BOUND": "A signed fingerprint matches and the cross-check tag confirms the publication's words; punctuation "
             "and symbols are not compared, so see whether the copy is identical.",
    "LIKELY": "A signed fingerprint, the watermark or the text's structure matches, but the words differ from "
              "the publication (edited, cut or set among other text).",
    "REVIEW": "No signed fingerprint matches the text as a whole; compare the passages shown before relying on it.",
}


def identify(registry: Registry, text: str, format: Format) -> schemas.IdentifyResponse:
    matches = registry.identify(text, format=format)
    found_text = formats.visible_text(text, format)
    return schemas.IdentifyResponse(format=format, found_text=found_text,
                                    matches=[_match(m, registry.show(m.pointer)) for m in matches],
                                    complete=matches.complete, note=matches.note)


def public_record(publication: Publication) -> schemas.PublicRecord:
    return schemas.PublicRecord(
        **_summary(publication).model_dump(),
        envelopes=[schemas.Envelope(alg=e.alg, cose_hex=e.cose_hex) for e in publication.envelopes],
        watermark_runs=publication.watermark_runs, watermark_note=publication.watermark_note,
    )


def published(result: PublishResult, publication: Publication) -> schemas.PublishResponse:
    return schemas.PublishResponse(pointer=result.pointer, published=result.published,
                                   watermarked=result.watermarked, watermark_note=result.watermark_note,
                                   record=public_record(publication))


def _summary(publication: Publication) -> schemas.PublicationSummary:
    return schemas.PublicationSummary(
        pointer=publication.pointer, format=publication.format, created=publication.created,  # type: ignore[arg-type]
        metadata=publication.metadata, content_hash=publication.content_hash, public_key=publication.public_key,
        characters=len(publication.text),
    )


def _match(match: Match, publication: Publication) -> schemas.MatchResult:
    evidence = match.evidence
    passages = [
        schemas.Passage(
            found=schemas.Region(start=p.found_start, end=p.found_end),
            publication=schemas.Region(start=p.published_start, end=p.published_end),
            publication_text=publication.text[p.published_start:p.published_end],
            shared_shingles=p.shared_shingles,
        )
        for p in evidence.passages
    ]
    # The checks were made envelope by envelope, in the order the publication stores them.
    assertions = [_assertion(check, envelope.cose_hex, publication.public_key)
                  for check, envelope in zip(evidence.assertions, publication.envelopes)]
    return schemas.MatchResult(
        pointer=match.pointer, verdict=match.verdict, tier=match.tier, tier_meaning=TIER_MEANINGS[match.tier],
        explanation=match.explanation, found_by=list(evidence.found_by), watermark=evidence.watermark,
        shards_recovered=evidence.shards_recovered, band_keys=evidence.band_keys,
        minhash_agreement=evidence.minhash_agreement, identical=evidence.identical,
        differences=list(evidence.differences),
        crosscheck_ok=evidence.crosscheck_ok, passages=passages, assertions=assertions,
        publication=_summary(publication),
    )


def _assertion(check: AssertionCheck, cose_hex: str, public_key: str) -> schemas.AssertionResult:
    decoded = _decoded(cose_hex, public_key) if check.signature_ok else None
    return schemas.AssertionResult(alg=check.alg, signature_ok=check.signature_ok,
                                   signature_error=check.signature_error, tier=check.tier, assertion=decoded)


def _decoded(cose_hex: str, public_key: str) -> Optional[Dict[str, Any]]:
    try:
        value = cbor2.loads(bytes.fromhex(quelvane.verify(cose_hex, public_key)))
    except (ValueError, cbor2.CBORDecodeError):
        return None
    decoded = _jsonable(value)
    return decoded if isinstance(decoded, dict) else None


def _jsonable(value: object) -> Any:
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return repr(value)
