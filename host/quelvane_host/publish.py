"""Publishing: sign the four assertions of a text, index it, watermark it and store it, all
or nothing."""
from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Callable, Mapping, Sequence, cast

import quelvane

from . import excerpts, formats, manifests
from .algorithms import ASSERTION_ALGS
from .errors import InputError
from .formats import Format
from .indexing import index_of
from .inputs import DEFAULT_MAX_BYTES, check_format, check_input, json_metadata
from .keys import Keys, looks_like_key_file
from .storage import Envelope, Publication, Storage

if TYPE_CHECKING:
    from .signing_identity import SigningIdentity



@dataclass(frozen=True)
class PublishResult:
    """What publishing gave: the pointer and the document to publish in place of the original."""

    pointer: str
    published: str
    watermark_runs: int
    watermark_note: str
    """Empty when the whole watermark went in; otherwise why not (the text is still found by its
    fingerprints)."""
    content_hash: str
    manifest: bytes | None = None
    """The signed C2PA manifest store of the published document; None without a signing identity."""

    @property
    def watermarked(self) -> bool:
        return self.watermark_runs > 0


def assertions(visible: str, pointer: str) -> tuple[str, ...]:
    """What a publication signs, one assertion per label of ASSERTION_ALGS and in that order. Import
    rebuilds them from a record's text with this same code, so a record checks out only if its
    envelopes sign exactly what publishing its text would have signed."""
    return (
        quelvane.soft_binding_fingerprint(visible),
        quelvane.soft_binding_structure(visible),
        quelvane.soft_binding_minhash(visible),
        quelvane.soft_binding_watermark(pointer),
    )


def manifest_store(signing: SigningIdentity, publication: Publication, signed: Sequence[str]) -> bytes:
    """The C2PA manifest store of a publication: `signed`, its four assertions as `assertions`
    gives them, and its published document under the hard binding."""
    title = publication.metadata.get("title")
    return manifests.build_store(
        signing, publication.published, dict(zip(ASSERTION_ALGS, signed)), publication.pointer,
        title=title if isinstance(title, str) and title else publication.pointer,
        format=cast(Format, publication.format))


def crosscheck_tag(keys: Keys, content_hash: str) -> str:
    """The tag binding a content hash to this publisher's repository."""
    return quelvane.cross_check(keys.binding_hex, keys.repository_id, content_hash)


class Publisher:
    """Publishes texts into one storage under one set of keys."""

    def __init__(self, storage: Storage, keys: Keys, *, max_bytes: int = DEFAULT_MAX_BYTES,
                 signing: Callable[[], SigningIdentity | None] = lambda: None) -> None:
        self._storage = storage
        self._keys = keys
        self.max_bytes = max_bytes
        self._signing = signing

    def publish(self, text: str, *, format: Format = "text", metadata: Mapping[str, Any] | None = None,
                before_store: Callable[[PublishResult], None] | None = None) -> PublishResult:
        """Publishes a text. `before_store` gets the result before anything is stored; if it raises,
        nothing is (a caller writes the document to publish there, so that no publication is kept
        whose document could not be written)."""
        check_format(format)
        check_input(text, self.max_bytes)
        self._refuse_secrets(text)
        if formats.has_watermark_runs(text):
            raise InputError("text already carries a watermark (runs of invisible characters); publish the "
                             "original, or identify this copy instead")
        visible = formats.visible_text(text, format)
        if not excerpts.word_hashes(visible):
            raise InputError("text has no words to fingerprint")
        # A version-4 UUID: the C2PA SDK takes no other as a manifest's label, which the pointer names.
        pointer = manifests.new_pointer()
        keys = self._keys
        content_hash = quelvane.content_hash(visible)
        embedded = formats.embed(text, format, pointer, keys.binding_hex)
        signed = assertions(visible, pointer)
        publication = Publication(
            pointer=pointer, format=format, text=visible, published=embedded.document,
            content_hash=content_hash,
            crosscheck_tag=crosscheck_tag(keys, content_hash),
            public_key=keys.public_hex,
            envelopes=tuple(Envelope(alg, quelvane.sign(a, keys.signing_hex))
                            for alg, a in zip(ASSERTION_ALGS, signed)),
            watermark_runs=embedded.runs, watermark_note=embedded.note,
            metadata=json_metadata(metadata), created=datetime.now(timezone.utc).isoformat(timespec="seconds"),
        )
        signing = self._signing()
        if signing is not None:
            publication = dataclasses.replace(publication, manifest=manifest_store(signing, publication, signed))
        index = index_of(visible)
        result = PublishResult(pointer, embedded.document, embedded.runs, embedded.note, content_hash,
                               publication.manifest)
        if before_store is not None:
            before_store(result)
        self._storage.put(publication, index)
        return result

    def _refuse_secrets(self, text: str) -> None:
        # A published text is handed out and exported: a key file swept up by mistake must never be.
        if looks_like_key_file(text) or self._keys.signing_hex in text or self._keys.binding_hex in text:
            raise InputError("text is or holds a key file's secrets; it is never published")
