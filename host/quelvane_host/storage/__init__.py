"""The one storage interface of the registry, the records it holds, and the factory that
opens a backend from a path or URL."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, Iterator, Protocol, Sequence, Union
from urllib.parse import unquote

from ..errors import RegistryError
from ..extras import missing_extra

MASK = "***"


@dataclass(frozen=True)
class Envelope:
    """One signed assertion: its algorithm identifier and the COSE_Sign1 envelope as hex."""

    alg: str
    cose_hex: str


@dataclass(frozen=True)
class Withdrawal:
    """Why and when a publication was withdrawn: it stays known, and is never reported as a match."""

    reason: str
    at: str


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
    withdrawal: Withdrawal | None = None
    manifest: bytes | None = None
    """The signed C2PA manifest store; None for a publication made before manifests, or with no
    signing identity, until `quelvane manifests --backfill` gives it one."""


@dataclass(frozen=True)
class IndexEntries:
    """The look-up keys of one publication."""

    band_keys: Sequence[int]
    """The 32 whole-text MinHash band keys."""
    excerpt_keys: Sequence[tuple[int, int]] = field(default_factory=tuple)
    """(key, word position) pairs of the excerpt index."""


@dataclass(frozen=True)
class ListEntry:
    """One line of a listing."""

    pointer: str
    format: str
    created: str
    characters: int
    title: str | None


@dataclass(frozen=True)
class Identity:
    """Whose registry it is: the public key that signs its publications and the repository id in
    their cross-check tags, both recorded when it is created."""

    public_key: str
    repository_id: str


def signed(key: int) -> int:
    """A 64-bit look-up key as the signed integer both databases store: neither has unsigned 64-bit
    integers."""
    return key - (1 << 64) if key >= 1 << 63 else key


class Storage(Protocol):
    """What a registry backend provides. Every write is one transaction."""

    location: str
    """Where the registry is, fit to print: a URL's password masked."""
    read_only: bool
    """Opened for reading only (asked for, or an SQLite file this user cannot write): writes are refused."""

    def schema_version(self) -> int: ...

    def identity(self) -> Identity | None:
        """The identity recorded in the registry; None for one made before identities were recorded."""

    def record_identity(self, identity: Identity) -> Identity:
        """Records `identity` unless one is recorded already, and returns the one recorded. A
        registry this connection cannot write is left as it is and `identity` returned."""

    def other_public_key(self, public_key: str) -> str | None:
        """The public key of some publication not signed by `public_key`, or None if there is none."""

    def put(self, publication: Publication, index: IndexEntries) -> None:
        """Stores a publication, its manifest store if it has one, and its index entries
        atomically; RegistryError if the pointer exists or was deleted."""

    def get(self, pointer: str) -> Publication | None: ...

    def withdraw(self, pointer: str, withdrawal: Withdrawal) -> bool:
        """Marks a publication withdrawn; False if there is none under `pointer` or it is withdrawn already."""

    def delete(self, pointer: str, at: str) -> bool:
        """Removes a publication, its envelopes and its index entries, and keeps its pointer as deleted
        at `at`, all in one transaction; False if there is no publication under `pointer`."""

    def standing(self, pointer: str) -> tuple[bool, Withdrawal | None]:
        """Whether a publication is stored under `pointer`, and its withdrawal: read afresh, since
        both change after a publication was first read."""

    def deleted_at(self, pointer: str) -> str | None:
        """When the publication under `pointer` was deleted; None if it never was."""

    def manifest(self, manifest_id: str) -> tuple[str, bytes] | None:
        """(pointer, store) of the manifest of this id, or None if none is stored."""

    def add_manifest(self, pointer: str, manifest_id: str, store: bytes) -> bool:
        """Stores the manifest of a publication that has none; False if it has one already (or
        there is no such publication)."""

    def band_pointers(self, keys: Iterable[int]) -> list[tuple[int, str]]:
        """(key, pointer) for each publication stored under any of the band keys: the keys of many
        texts are looked up at once, and each text counts its own."""

    def excerpt_matches(self, keys: Iterable[int], per_key_limit: int) -> list[tuple[int, str, int]]:
        """(key, pointer, word position) for each stored excerpt entry of the keys. A key with more
        than `per_key_limit` entries is too common to tell texts apart and yields none."""

    def find_by_content_hash(self, content_hash: str) -> list[str]:
        """Pointers of the publications of this content hash, oldest first."""

    def summaries(self, limit: int | None = None, offset: int = 0) -> list[ListEntry]: ...

    def count(self) -> int: ...

    def publications(self) -> Iterator[Publication]:
        """Every publication, oldest first, for export."""

    def index_bytes(self) -> int:
        """Bytes the look-up index occupies on disk, for measuring its cost."""

    def close(self) -> None: ...


StorageLocation = Union[str, "os.PathLike[str]"]


def open_storage(location: StorageLocation, *, create: Identity | None = None, read_only: bool = False
                 ) -> Storage:
    """Opens the backend a path or URL names: a file path or sqlite:///path for SQLite, a
    postgresql:// (or postgres://) URL for a PostgreSQL server. With `create`, makes a new empty
    registry of that identity instead, refusing one that exists. Opening writes nothing unless the
    schema is older than this program's; `read_only` refuses every write."""
    text = os.fspath(location)
    if text.startswith(("postgres://", "postgresql://")):
        return _open_postgres(text, create, read_only)
    if "://" in text and not text.startswith("sqlite://"):
        scheme = text.partition("://")[0]
        raise RegistryError(f"unknown registry URL scheme {scheme!r}; use a file path, sqlite:///path or "
                            "postgresql://...")
    from .sqlite import SQLiteStorage

    path = Path(text[len("sqlite://"):]) if text.startswith("sqlite://") else Path(text)
    return SQLiteStorage(path, create=create, read_only=read_only)


def masked(location: str) -> str:
    """`location` fit to print: in a URL, the password (everything after the user name up to the
    last @, as a password may hold / # ? or @) and any password= parameter become ***."""
    scheme, separator, rest = location.partition("://")
    if not separator:
        return location
    userinfo, at, place = rest.rpartition("@")
    if at and ":" in userinfo:
        rest = f"{userinfo.partition(':')[0]}:{MASK}@{place}"
    address, question, query = rest.partition("?")
    pairs = [f"password={MASK}" if unquote(pair.partition("=")[0]) == "password" else pair
             for pair in query.split("&")]
    return f"{scheme}://{address}{question}{'&'.join(pairs)}"


def damaged(location: str, pointer: object, row: object, detail: str) -> RegistryError:
    """The error for one stored publication that cannot be read, naming it so it can be found."""
    return RegistryError(f"registry {location}: publication {pointer} (row {row}) is damaged: {detail}; restore "
                         "the registry from a backup or an export")


def _open_postgres(url: str, create: Identity | None, read_only: bool) -> Storage:
    # psycopg is an optional extra: only those who name a server need it installed.
    try:
        from .postgres import PostgresStorage
    except ImportError as error:
        if error.name is None or not error.name.startswith("psycopg"):
            raise
        raise RegistryError(missing_extra("a PostgreSQL registry", "postgres")) from None
    return PostgresStorage(url, create=create, read_only=read_only)
