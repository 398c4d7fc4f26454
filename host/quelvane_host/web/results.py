"""Turns what the registry answers into the service's JSON. An identify result is drawn as
identify returned it (`Matches.as_json`, the same as the command line's --json); the public
record of a publication is its stored fields without the texts."""
from __future__ import annotations

from ..formats import Format
from ..identify import Matches
from ..manifests import manifest_id_for
from ..publish import PublishResult
from ..registry import Registry
from ..storage import Publication
from . import schemas


def identify(registry: Registry, text: str, format: Format, weak: bool) -> Matches:
    return registry.identify(text, format=format, weak=weak)


def public_record(publication: Publication) -> schemas.PublicRecord:
    withdrawal = publication.withdrawal
    return schemas.PublicRecord(
        pointer=publication.pointer, format=publication.format, created=publication.created,  # type: ignore[arg-type]
        metadata=publication.metadata, content_hash=publication.content_hash, public_key=publication.public_key,
        characters=len(publication.text),
        envelopes=[schemas.Envelope(alg=e.alg, cose_hex=e.cose_hex) for e in publication.envelopes],
        watermark_runs=publication.watermark_runs, watermark_note=publication.watermark_note,
        withdrawal=None if withdrawal is None else schemas.WithdrawalRecord(reason=withdrawal.reason, at=withdrawal.at),
    )


def published(result: PublishResult, publication: Publication) -> schemas.PublishResponse:
    return schemas.PublishResponse(pointer=result.pointer, published=result.published,
                                   watermarked=result.watermarked, watermark_note=result.watermark_note,
                                   manifest_id=None if result.manifest is None else manifest_id_for(result.pointer),
                                   record=public_record(publication))
