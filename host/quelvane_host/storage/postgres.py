"""The registry on a PostgreSQL server that many workers share.

Chosen by a ``postgresql://`` URL. The tables are those of the SQLite registry with PostgreSQL's
types; the schema carries its version in ``quelvane_meta``, and opening the registry brings an
older schema up to date in one transaction under an advisory lock, so that workers opening it at
the same moment migrate it once. Every write is one transaction. Each storage object holds one
connection of its own, so every worker process reads on its own connection.
"""
from __future__ import annotations

import json
import os
from contextlib import contextmanager
from typing import Any, Callable, Iterable, Iterator, Sequence
from urllib.parse import unquote

import psycopg
from psycopg import errors as pg_errors
from psycopg.conninfo import conninfo_to_dict, make_conninfo

from ..errors import NoRegistryError, RegistryError
from ..indexing import resegmented, segmentation
from ..manifests import manifest_id_for
from . import MASK, Envelope, IndexEntries, Identity, Publication, ListEntry, Withdrawal, damaged, masked, signed


def _insert_excerpt_keys(cursor: psycopg.Cursor[Any], row_id: object, entries: Sequence[tuple[int, int]]) -> None:
    cursor.execute(
        "INSERT INTO excerpt_keys (key, publication, position)"
        " SELECT DISTINCT k, %s, pos FROM unnest(%s::bigint[], %s::integer[]) AS e(k, pos)"
        " ON CONFLICT DO NOTHING",
        (row_id, [signed(k) for k, _ in entries], [pos for _, pos in entries]))


def _resegment(cursor: psycopg.Cursor[Any]) -> None:
    # Texts in scripts written without spaces were indexed one Han or kana character to a word,
    # which unrelated texts share by chance: their excerpt keys are derived again from ICU's words.
    last = 0
    while rows := cursor.execute("SELECT id, text FROM publications WHERE id > %s ORDER BY id LIMIT 100",
                                 (last,)).fetchall():
        for row_id, text in rows:
            entries = resegmented(text)
            if entries is not None:
                cursor.execute("DELETE FROM excerpt_keys WHERE publication = %s", (row_id,))
                _insert_excerpt_keys(cursor, row_id, entries)
        last = rows[-1][0]
    if (used := segmentation()) is not None:
        cursor.execute("INSERT INTO quelvane_meta (name, value) VALUES ('segmentation', %s)"
                       " ON CONFLICT (name) DO UPDATE SET value = excluded.value", (used,))


# Each entry brings the schema from its index to the next version; never edit a released one.
# Most are SQL; a step that derives keys again is a function of the migrating transaction's cursor.
MIGRATIONS: tuple[str | Callable[[psycopg.Cursor[Any]], None], ...] = (
    """
    CREATE TABLE publications (
        id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        pointer TEXT NOT NULL UNIQUE,
        format TEXT NOT NULL,
        text TEXT NOT NULL,
        published TEXT NOT NULL,
        content_hash TEXT NOT NULL,
        crosscheck_tag TEXT NOT NULL,
        public_key TEXT NOT NULL,
        watermark_runs INTEGER NOT NULL,
        watermark_note TEXT NOT NULL,
        metadata JSON NOT NULL,
        created TEXT NOT NULL
    );
    CREATE TABLE envelopes (
        publication BIGINT NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
        position INTEGER NOT NULL,
        alg TEXT NOT NULL,
        cose_hex TEXT NOT NULL,
        PRIMARY KEY (publication, position)
    );
    CREATE TABLE band_keys (
        key BIGINT NOT NULL,
        publication BIGINT NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
        PRIMARY KEY (key, publication)
    );
    CREATE TABLE excerpt_keys (
        key BIGINT NOT NULL,
        publication BIGINT NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
        position INTEGER NOT NULL,
        PRIMARY KEY (key, publication, position)
    );
    CREATE INDEX band_keys_by_publication ON band_keys (publication);
    CREATE INDEX excerpt_keys_by_publication ON excerpt_keys (publication);
    """,
    # Publishing asks whether a text is already published.
    "CREATE INDEX publications_by_content_hash ON publications (content_hash)",
    # Withdrawn publications stay; deleted ones leave their pointer behind, never to be used again.
    """
    ALTER TABLE publications ADD COLUMN withdrawn_at TEXT;
    ALTER TABLE publications ADD COLUMN withdrawn_reason TEXT;
    CREATE TABLE deleted_publications (
        pointer TEXT PRIMARY KEY,
        deleted_at TEXT NOT NULL
    );
    """,
    # C2PA manifest stores, one per publication, found by their manifest id.
    """
    CREATE TABLE manifests (
        publication BIGINT PRIMARY KEY REFERENCES publications(id) ON DELETE CASCADE,
        manifest_id TEXT NOT NULL UNIQUE,
        store BYTEA NOT NULL
    )
    """,
    # Deleting a publication removes its index entries: found by publication, not by key. A
    # PostgreSQL registry has had these since its first version; the step keeps both backends'
    # versions in step.
    """
    CREATE INDEX IF NOT EXISTS band_keys_by_publication ON band_keys (publication);
    CREATE INDEX IF NOT EXISTS excerpt_keys_by_publication ON excerpt_keys (publication)
    """,
    _resegment,
)
SCHEMA_VERSION = len(MIGRATIONS)
CONNECT_TIMEOUT_S = 15
# Any constant shared by every process that migrates this schema serialises them.
_MIGRATION_LOCK = 0x71756C76
_COLUMNS = ("id, pointer, format, text, published, content_hash, crosscheck_tag, public_key, watermark_runs,"
            " watermark_note, metadata, created, withdrawn_at, withdrawn_reason")
def _passwords(url: str) -> list[str]:
    """Every password the URL holds, as written and decoded, longest first: all of them are
    masked wherever psycopg's message repeats them."""
    userinfo, at, place = url.partition("://")[2].rpartition("@")
    found = [userinfo.partition(":")[2]] if at else []
    found += [pair.partition("=")[2] for pair in place.partition("?")[2].split("&")
              if unquote(pair.partition("=")[0]) == "password"]
    return sorted({p for secret in found for p in (secret, unquote(secret)) if p}, key=len, reverse=True)


def _check_userinfo(url: str) -> None:
    # libpq ends the user name and password at the first / or @: the rest would be read as the
    # host, port or database and could be printed in its messages.
    userinfo, at, _ = url.partition("://")[2].rpartition("@")
    if at and ":" in userinfo and any(c in userinfo for c in "/@"):
        raise RegistryError(f"the registry URL {masked(url)} has a / or @ in its user name or password; write "
                            "them percent-encoded (%2F, %40)")


class PostgresStorage:
    """The registry in one PostgreSQL database."""

    def __init__(self, url: str, *, create: Identity | None = None, read_only: bool = False) -> None:
        self.location = masked(url)
        self.read_only = read_only
        self._secrets = _passwords(url)
        _check_userinfo(url)
        with self._errors():
            # An unreachable server is an error within seconds, not a worker stuck on it for minutes.
            waits = "connect_timeout" in conninfo_to_dict(url) or "PGCONNECT_TIMEOUT" in os.environ
            conninfo = url if waits else make_conninfo(url, connect_timeout=CONNECT_TIMEOUT_S)
            self._db = psycopg.connect(conninfo, autocommit=True)
        try:
            with self._errors():
                if read_only:
                    self._db.execute("SET default_transaction_read_only = on")
                self._prepare(create)
        except BaseException:
            self._db.close()
            raise

    @contextmanager
    def _errors(self) -> Iterator[None]:
        # The server's first line says what failed; a password never reaches the message.
        try:
            yield
        except psycopg.Error as error:
            text = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
            for secret in self._secrets:
                text = text.replace(secret, MASK)
            if isinstance(error, pg_errors.ReadOnlySqlTransaction):
                raise RegistryError(f"registry {self.location} is read-only ({text})") from None
            raise RegistryError(f"registry {self.location}: {text}") from None

    @contextmanager
    def _transaction(self) -> Iterator[psycopg.Cursor[Any]]:
        # Committed together when the block ends, rolled back whole when it raises or the
        # process dies: a publication is stored complete or not at all.
        with self._db.transaction(), self._db.cursor() as cursor:
            yield cursor

    def _prepare(self, create: Identity | None) -> None:
        # Opening an up-to-date registry only reads, so read-only roles can open it and nobody
        # waits for the migration lock.
        if create is None:
            with self._transaction() as cursor:
                version = self._read_version(cursor, create)
            self._check_version(version)
            if version == SCHEMA_VERSION:
                return
        with self._transaction() as cursor:
            cursor.execute("SELECT pg_advisory_xact_lock(%s)", (_MIGRATION_LOCK,))
            version = self._read_version(cursor, create)
            self._check_version(version)
            for migration in MIGRATIONS[version:]:
                if callable(migration):
                    migration(cursor)
                else:
                    cursor.execute(migration)
            cursor.execute("INSERT INTO quelvane_meta (name, value) VALUES ('schema_version', %s)"
                           " ON CONFLICT (name) DO UPDATE SET value = excluded.value", (str(SCHEMA_VERSION),))
            if create is not None:
                self._insert_identity(cursor, create)

    def _check_version(self, version: int) -> None:
        if version > SCHEMA_VERSION:
            raise RegistryError(
                f"registry {self.location} has schema version {version}, newer than this quelvane reads "
                f"({SCHEMA_VERSION}); upgrade quelvane")

    def _read_version(self, cursor: psycopg.Cursor[Any], create: Identity | None) -> int:
        cursor.execute("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema()")
        tables = {str(row[0]) for row in cursor.fetchall()}
        if "quelvane_meta" not in tables:
            if tables:
                raise RegistryError(f"{self.location} is a PostgreSQL database but not a quelvane registry")
            if create is None:
                raise NoRegistryError(f"no registry in {self.location}; create one with: quelvane init")
            cursor.execute("CREATE TABLE quelvane_meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)")
            return 0
        if create is not None:
            raise RegistryError(f"{self.location} already holds a registry; open it instead, or choose another "
                                "database")
        row = cursor.execute("SELECT value FROM quelvane_meta WHERE name = 'schema_version'").fetchone()
        if row is None or not str(row[0]).isdigit():
            raise RegistryError(f"registry {self.location} has no readable schema version")
        return int(row[0])

    def identity(self) -> Identity | None:
        with self._errors():
            found: dict[str, str] = dict(self._db.execute(
                "SELECT name, value FROM quelvane_meta WHERE name IN ('public_key', 'repository_id')").fetchall())
        return Identity(found["public_key"], found["repository_id"]) if len(found) == 2 else None

    def record_identity(self, identity: Identity) -> Identity:
        if self.read_only:
            return identity
        try:
            with self._errors(), self._transaction() as cursor:
                self._insert_identity(cursor, identity)
        except pg_errors.InsufficientPrivilege:
            return identity  # a role that may only read checks the keys without recording them
        return self.identity() or identity

    @staticmethod
    def _insert_identity(cursor: psycopg.Cursor[Any], identity: Identity) -> None:
        cursor.executemany("INSERT INTO quelvane_meta (name, value) VALUES (%s, %s) ON CONFLICT (name) DO NOTHING",
                           [("public_key", identity.public_key), ("repository_id", identity.repository_id)])

    def other_public_key(self, public_key: str) -> str | None:
        with self._errors():
            row = self._db.execute("SELECT public_key FROM publications WHERE public_key <> %s LIMIT 1",
                                   (public_key,)).fetchone()
        return None if row is None else str(row[0])

    def schema_version(self) -> int:
        with self._errors():
            row = self._db.execute("SELECT value FROM quelvane_meta WHERE name = 'schema_version'").fetchone()
        return int(row[0]) if row else 0

    def put(self, publication: Publication, index: IndexEntries) -> None:
        p = publication
        withdrawn = (None, None) if p.withdrawal is None else (p.withdrawal.at, p.withdrawal.reason)
        with self._errors(), self._transaction() as cursor:
            if cursor.execute("SELECT 1 FROM deleted_publications WHERE pointer = %s", (p.pointer,)).fetchone():
                raise RegistryError(f"a publication with pointer {p.pointer} was deleted; its pointer is not used "
                                    "again")
            try:
                row = cursor.execute(
                    "INSERT INTO publications (pointer, format, text, published, content_hash, crosscheck_tag,"
                    " public_key, watermark_runs, watermark_note, metadata, created, withdrawn_at, withdrawn_reason)"
                    " VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s) RETURNING id",
                    (p.pointer, p.format, p.text, p.published, p.content_hash, p.crosscheck_tag, p.public_key,
                     p.watermark_runs, p.watermark_note, json.dumps(p.metadata, ensure_ascii=False), p.created,
                     *withdrawn),
                ).fetchone()
            except pg_errors.UniqueViolation:
                raise RegistryError(f"a publication with pointer {p.pointer} is already stored") from None
            assert row is not None
            row_id = row[0]
            cursor.execute(
                "INSERT INTO envelopes (publication, position, alg, cose_hex)"
                " SELECT %s, position - 1, alg, cose_hex FROM unnest(%s::text[], %s::text[])"
                " WITH ORDINALITY AS e(alg, cose_hex, position)",
                (row_id, [e.alg for e in p.envelopes], [e.cose_hex for e in p.envelopes]))
            if p.manifest is not None:
                cursor.execute("INSERT INTO manifests (publication, manifest_id, store) VALUES (%s, %s, %s)",
                               (row_id, manifest_id_for(p.pointer), p.manifest))
            cursor.execute("INSERT INTO band_keys (key, publication) SELECT DISTINCT unnest(%s::bigint[]), %s"
                           " ON CONFLICT DO NOTHING", ([signed(k) for k in index.band_keys], row_id))
            _insert_excerpt_keys(cursor, row_id, index.excerpt_keys)

    def get(self, pointer: str) -> Publication | None:
        with self._errors(), self._transaction() as cursor:
            row = cursor.execute(f"SELECT {_COLUMNS} FROM publications WHERE pointer = %s", (pointer,)).fetchone()
            return None if row is None else self._publication(cursor, row)

    def withdraw(self, pointer: str, withdrawal: Withdrawal) -> bool:
        with self._errors(), self._transaction() as cursor:
            cursor.execute("UPDATE publications SET withdrawn_at = %s, withdrawn_reason = %s"
                           " WHERE pointer = %s AND withdrawn_at IS NULL", (withdrawal.at, withdrawal.reason, pointer))
            return cursor.rowcount == 1

    def delete(self, pointer: str, at: str) -> bool:
        # The envelopes and index entries go with the row (ON DELETE CASCADE).
        with self._errors(), self._transaction() as cursor:
            if cursor.execute("DELETE FROM publications WHERE pointer = %s", (pointer,)).rowcount != 1:
                return False
            cursor.execute("INSERT INTO deleted_publications (pointer, deleted_at) VALUES (%s, %s)", (pointer, at))
            return True

    def standing(self, pointer: str) -> tuple[bool, Withdrawal | None]:
        with self._errors():
            row = self._db.execute("SELECT withdrawn_at, withdrawn_reason FROM publications WHERE pointer = %s",
                                   (pointer,)).fetchone()
        if row is None:
            return False, None
        return True, None if row[0] is None else Withdrawal(str(row[1]), str(row[0]))

    def deleted_at(self, pointer: str) -> str | None:
        with self._errors():
            row = self._db.execute("SELECT deleted_at FROM deleted_publications WHERE pointer = %s",
                                   (pointer,)).fetchone()
        return None if row is None else str(row[0])

    def manifest(self, manifest_id: str) -> tuple[str, bytes] | None:
        with self._errors():
            row = self._db.execute("SELECT p.pointer, m.store FROM manifests m JOIN publications p"
                                   " ON p.id = m.publication WHERE m.manifest_id = %s", (manifest_id,)).fetchone()
        return None if row is None else (str(row[0]), bytes(row[1]))

    def add_manifest(self, pointer: str, manifest_id: str, store: bytes) -> bool:
        with self._errors(), self._transaction() as cursor:
            cursor.execute("INSERT INTO manifests (publication, manifest_id, store) SELECT id, %s, %s"
                           " FROM publications WHERE pointer = %s ON CONFLICT DO NOTHING", (manifest_id, store, pointer))
            return cursor.rowcount == 1

    def _publication(self, cursor: psycopg.Cursor[Any], row: tuple[Any, ...]) -> Publication:
        if not isinstance(row[10], dict):
            raise damaged(self.location, row[1], row[0], "its metadata is not a JSON object")
        envelopes = tuple(Envelope(alg, cose) for alg, cose in cursor.execute(
            "SELECT alg, cose_hex FROM envelopes WHERE publication = %s ORDER BY position", (row[0],)).fetchall())
        manifest = cursor.execute("SELECT store FROM manifests WHERE publication = %s", (row[0],)).fetchone()
        return Publication(
            pointer=row[1], format=row[2], text=row[3], published=row[4], content_hash=row[5],
            crosscheck_tag=row[6], public_key=row[7], envelopes=envelopes, watermark_runs=int(row[8]),
            watermark_note=row[9], metadata=row[10], created=row[11],
            withdrawal=None if row[12] is None else Withdrawal(row[13], row[12]),
            manifest=None if manifest is None else bytes(manifest[0]),
        )

    def band_pointers(self, keys: Iterable[int]) -> list[tuple[int, str]]:
        wanted = sorted({signed(k) for k in keys})
        with self._errors():
            rows = self._db.execute(
                "SELECT b.key, p.pointer FROM band_keys b JOIN publications p ON p.id = b.publication"
                " WHERE b.key = ANY(%s::bigint[])", (wanted,)).fetchall()
        return [(int(key) % (1 << 64), str(pointer)) for key, pointer in rows]

    def excerpt_matches(self, keys: Iterable[int], per_key_limit: int) -> list[tuple[int, str, int]]:
        wanted = sorted({signed(k) for k in keys})
        with self._errors():
            # Counting first keeps a stock phrase's long list of entries from being read at all.
            rows = self._db.execute(
                "WITH usable(key) AS (SELECT w.key FROM unnest(%s::bigint[]) AS w(key) WHERE"
                "   (SELECT count(*) FROM (SELECT 1 FROM excerpt_keys e WHERE e.key = w.key LIMIT %s) s) <= %s)"
                " SELECT e.key, p.pointer, e.position FROM usable u JOIN excerpt_keys e ON e.key = u.key"
                " JOIN publications p ON p.id = e.publication",
                (wanted, per_key_limit + 1, per_key_limit)).fetchall()
        return [(key % (1 << 64), pointer, position) for key, pointer, position in rows]

    def find_by_content_hash(self, content_hash: str) -> list[str]:
        with self._errors():
            rows = self._db.execute("SELECT pointer FROM publications WHERE content_hash = %s ORDER BY id",
                                    (content_hash,)).fetchall()
        return [str(row[0]) for row in rows]

    def summaries(self, limit: int | None = None, offset: int = 0) -> list[ListEntry]:
        with self._errors():
            rows = self._db.execute(
                "SELECT pointer, format, created, length(text), metadata -> 'title'"
                " FROM publications ORDER BY id LIMIT %s OFFSET %s", (limit, offset)).fetchall()
        return [ListEntry(r[0], r[1], r[2], r[3], _title(r[4])) for r in rows]

    def count(self) -> int:
        with self._errors():
            row = self._db.execute("SELECT count(*) FROM publications").fetchone()
        return int(row[0]) if row else 0

    def publications(self) -> Iterator[Publication]:
        last = 0
        while True:
            with self._errors(), self._transaction() as cursor:
                rows = cursor.execute(f"SELECT {_COLUMNS} FROM publications WHERE id > %s ORDER BY id LIMIT 100",
                                      (last,)).fetchall()
                batch = [self._publication(cursor, row) for row in rows]
            if not batch:
                return
            yield from batch
            last = int(rows[-1][0])

    def index_bytes(self) -> int:
        with self._errors():
            row = self._db.execute(
                "SELECT pg_total_relation_size('band_keys') + pg_total_relation_size('excerpt_keys')").fetchone()
        return int(row[0]) if row else 0

    def close(self) -> None:
        self._db.close()


def _title(value: Any) -> str | None:
    # Listed like SQLite's json_extract: a string as it is, any other value as its JSON text.
    if value is None:
        return None
    return value if isinstance(value, str) else json.dumps(value, separators=(",", ":"), ensure_ascii=False)
