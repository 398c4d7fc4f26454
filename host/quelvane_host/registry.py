"""The registry: one object to publish texts, identify found copies, list, show, export and
import publications, over any storage backend."""
from __future__ import annotations

import dataclasses
import json
import re
from pathlib import Path
from types import TracebackType
from typing import Any, Iterable, Mapping, TextIO, Union

import quelvane

from . import excerpts, formats
from .errors import InputError, NotFoundError
from .formats import Format
from .identify import Identifier, Matches
from .keys import Keys, PathLike
from .publish import DEFAULT_MAX_BYTES, Publisher, PublishResult, check_input, decode
from .storage import Envelope, IndexEntries, Publication, Storage, StorageLocation, Summary, open_storage

_POINTER = re.compile(r"[0-9a-f]{32}")


@dataclasses.dataclass(frozen=True)
class ImportResult:
    added: int
    skipped: int
    """Publications already present under the same pointer."""


class Registry:
    """Publications of one publisher, with the keys that sign and watermark them."""

    def __init__(self, storage: Storage, keys: Keys, *, max_bytes: int = DEFAULT_MAX_BYTES) -> None:
        self.storage = storage
        self.keys = keys
        self.max_bytes = max_bytes
        self._publisher = Publisher(storage, keys, max_bytes=max_bytes)
        self._identifier = Identifier(storage, keys)

    @classmethod
    def open(cls, location: StorageLocation, keys: Union[Keys, PathLike], *,
             max_bytes: int = DEFAULT_MAX_BYTES) -> Registry:
        """Opens an existing registry with keys or a key file's path."""
        loaded = keys if isinstance(keys, Keys) else Keys.load(keys)
        return cls(open_storage(location), loaded, max_bytes=max_bytes)

    @classmethod
    def create(cls, location: StorageLocation, keys: Keys, *, max_bytes: int = DEFAULT_MAX_BYTES) -> Registry:
        """Creates an empty registry."""
        return cls(open_storage(location, create=True), keys, max_bytes=max_bytes)

    def __enter__(self) -> Registry:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        self.storage.close()

    def publish(self, text: str, *, format: Format = "text", metadata: Mapping[str, Any] | None = None
                ) -> PublishResult:
        """Signs, indexes, watermarks and stores a text; returns the document to publish."""
        return self._publisher.publish(text, format=format, metadata=metadata)

    def identify(self, found_text: str, *, format: Format = "text") -> Matches:
        """Every publication the found text comes from, strongest first, within the bounds of one
        request (`Matches.complete` is false when they cut it)."""
        if format not in formats.FORMATS:
            raise InputError(f"unknown format {format!r}; use one of {', '.join(formats.FORMATS)}")
        check_input(found_text, self.max_bytes)
        return self._identifier.identify(formats.visible_text(found_text, format))

    def list(self, limit: int | None = None, offset: int = 0) -> list[Summary]:
        return self.storage.summaries(limit, offset)

    def show(self, pointer: str) -> Publication:
        publication = self.storage.get(pointer.strip().lower())
        if publication is None:
            raise NotFoundError(f"no publication with pointer {pointer.strip()}; list them with: quelvane list")
        return publication

    def export_jsonl(self, stream: TextIO) -> int:
        """Writes every publication as one JSON line; returns how many."""
        count = 0
        for publication in self.storage.publications():
            stream.write(json.dumps(dataclasses.asdict(publication), ensure_ascii=False) + "\n")
            count += 1
        return count

    def import_jsonl(self, lines: Iterable[str]) -> ImportResult:
        """Adds the publications of an export, each checked and re-indexed, each in its own transaction."""
        added = skipped = 0
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            publication = _parse_line(line, number)
            if self.storage.get(publication.pointer) is not None:
                skipped += 1
                continue
            index = IndexEntries(quelvane.minhash_bands(publication.text), excerpts.index_entries(publication.text))
            self.storage.put(publication, index)
            added += 1
        return ImportResult(added, skipped)


def _parse_line(line: str, number: int) -> Publication:
    where = f"import line {number}"
    try:
        fields = json.loads(line)
        envelopes = tuple(Envelope(str(e["alg"]), str(e["cose_hex"])) for e in fields.pop("envelopes"))
        publication = Publication(envelopes=envelopes, **fields)
    except (ValueError, TypeError, KeyError, AttributeError) as error:
        raise InputError(f"{where} is not a quelvane export record ({error.__class__.__name__}: {error})") from None
    if not _POINTER.fullmatch(publication.pointer) or publication.format not in formats.FORMATS:
        raise InputError(f"{where}: malformed pointer or format")
    if not isinstance(publication.metadata, dict) or not isinstance(publication.text, str):
        raise InputError(f"{where}: malformed text or metadata")
    for envelope in publication.envelopes:
        try:
            quelvane.verify(envelope.cose_hex, publication.public_key)
        except ValueError as error:
            raise InputError(f"{where}: an envelope does not verify under its public key ({error})") from None
    return publication


def read_text(path: Path, max_bytes: int) -> str:
    """The UTF-8 text of a file, with a per-file error saying why it cannot be used."""
    try:
        with path.open("rb") as handle:
            data = handle.read(max_bytes + 1)
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror}") from None
    text = decode(data, max_bytes)
    check_input(text, max_bytes)
    return text
