"""The one storage interface of the registry, the records it holds, and the factory that
opens a backend from a path or URL."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, Iterator, Protocol, Sequence, Union

from ..errors import RegistryError
from ..extras import missing_extra


@dataclass(frozen=True)
class Envelope:
    """One signed assertion: its algorithm identifier and the COSE_Sign1 envelope as hex."""

    alg: str
    cose_hex: str


@dataclass(frozen=True)
class Publication:
    """Everything the registry keeps about one published text."""

    pointer: str
    format: str
    text: str
    """The text a reader sees, which was fingerprinted and indexed."""
    published: str
    """The document handed back for publishing (watermarked when possible)."""
    content_hash: str
    crosscheck_tag: str
    public_key: str
    envelopes: tuple[Envelope, ...]
    watermark_runs: int
    """Watermark runs placed in the published document; 0 when none could be."""
    watermark_note: str
    metadata: dict[str, Any]
    created: str


@dataclass(frozen=True)
class IndexEntries:
    """The look-up keys of one publication."""

    band_keys: Sequence[int]
    """The 32 whole-text MinHash band keys."""
    excerpt_keys: Sequence[tuple[int, int]] = field(default_factory=tuple)
    """(key, word position) pairs of the excerpt index."""


@dataclass(frozen=True)
class Summary:
    """One line of a listing."""

    pointer: str
    format: str
    created: str
    characters: int
    title: str | None


def signed(key: int) -> int:
    """A 64-bit look-up key as the signed integer both databases store: neither has unsigned 64-bit
    integers."""
    return key - (1 << 64) if key >= 1 << 63 else key


class Storage(Protocol):
    """What a registry backend provides. Every write is one transaction."""

    location: str

    def schema_version(self) -> int: ...

    def put(self, publication: Publication, index: IndexEntries) -> None:
        """Stores a publication and its index entries atomically; RegistryError if the pointer exists."""

    def get(self, pointer: str) -> Publication | None: ...

    def band_matches(self, keys: Iterable[int]) -> dict[str, int]:
        """Pointers sharing any of the band keys, with the number of keys shared."""

    def excerpt_matches(self, keys: Iterable[int], per_key_limit: int) -> list[tuple[int, str, int]]:
        """(key, pointer, word position) for each stored excerpt entry of the keys. A key with more
        than `per_key_limit` entries is too common to tell texts apart and yields none."""

    def find_by_content_hash(self, content_hash: str) -> list[str]:
        """Pointers of the publications of this content hash, oldest first."""

    def summaries(self, limit: int | None = None, offset: int = 0) -> list[Summary]: ...

    def count(self) -> int: ...

    def publications(self) -> Iterator[Publication]:
        """Every publication, oldest first, for export."""

    def index_bytes(self) -> int:
        """Bytes the look-up index occupies on disk, for measuring its cost."""

    def close(self) -> None: ...


StorageLocation = Union[str, "os.PathLike[str]"]


def open_storage(location: StorageLocation, *, create: bool = False) -> Storage:
    """Opens the backend a path or URL names: a file path or sqlite:///path for SQLite, a
    postgresql:// (or postgres://) URL for a PostgreSQL server."""
    text = os.fspath(location)
    if text.startswith(("postgres://", "postgresql://")):
        return _open_postgres(text, create)
    if "://" in text and not text.startswith("sqlite://"):
        scheme = text.partition("://")[0]
        raise RegistryError(f"unknown registry URL scheme {scheme!r}; use a file path, sqlite:///path or "
                            "postgresql://...")
    from .sqlite import SQLiteStorage

    path = Path(text[len("sqlite://"):]) if text.startswith("sqlite://") else Path(text)
    return SQLiteStorage(path, create=create)


def _open_postgres(url: str, create: bool) -> Storage:
    # psycopg is an optional extra: only those who name a server need it installed.
    try:
        from .postgres import PostgresStorage
    except ImportError as error:
        if error.name is None or not error.name.startswith("psycopg"):
            raise
        raise RegistryError(missing_extra("a PostgreSQL registry", "postgres")) from None
    return PostgresStorage(url, create=create)
