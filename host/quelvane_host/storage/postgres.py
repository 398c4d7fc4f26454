"""The registry on a PostgreSQL server that many workers share.

Chosen by a ``postgresql://`` URL. The schema carries its version in ``schema_version``; opening
the registry brings an older schema up to date in one transaction, under an advisory lock, so
that workers opening it at the same moment migrate it once. Every change is a transaction.
"""
from __future__ import annotations

from contextlib import contextmanager
from typing import Any, Iterator

import psycopg
from psycopg.conninfo import conninfo_to_dict

# Each entry brings the schema from its index to the next version; never edit a released one.
MIGRATIONS: tuple[str, ...] = (
    """
    CREATE TABLE publications (
        id BIGSERIAL PRIMARY KEY,
        pointer BYTEA NOT NULL UNIQUE,
        content_hash BYTEA NOT NULL,
        crosscheck_tag BYTEA NOT NULL,
        public_key BYTEA NOT NULL,
        text TEXT NOT NULL,
        metadata JSONB NOT NULL DEFAULT '{}',
        published_at TIMESTAMPTZ NOT NULL DEFAULT now()
    );
    CREATE TABLE envelopes (
        publication BIGINT NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
        algorithm TEXT NOT NULL,
        cose BYTEA NOT NULL,
        PRIMARY KEY (publication, algorithm)
    );
    CREATE TABLE band_keys (
        key BIGINT NOT NULL,
        publication BIGINT NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
        PRIMARY KEY (key, publication)
    );
    CREATE TABLE excerpt_keys (
        key BIGINT NOT NULL,
        publication BIGINT NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
        chunk INTEGER NOT NULL
    );
    CREATE INDEX excerpt_keys_by_key ON excerpt_keys (key);
    """,
)
SCHEMA_VERSION = len(MIGRATIONS)
# Any constant shared by every process that migrates this schema serialises them.
_MIGRATION_LOCK = 0x71756C76


class PostgresRegistryError(Exception):
    """The server cannot be reached, or holds a registry this version cannot use."""


def describe(url: str) -> str:
    """The server and database of `url`, without its password, for messages."""
    parts = conninfo_to_dict(url)
    return f"database {parts.get('dbname', '?')!r} on {parts.get('host', 'localhost')}"


class PostgresStorage:
    def __init__(self, connection: psycopg.Connection[Any]) -> None:
        self._connection = connection

    @classmethod
    def open(cls, url: str) -> PostgresStorage:
        try:
            connection = psycopg.connect(url, autocommit=True)
        except psycopg.Error as error:
            raise PostgresRegistryError(
                f"cannot connect to the registry ({describe(url)}): {_first_line(error)}") from None
        storage = cls(connection)
        try:
            storage.migrate()
        except BaseException:
            connection.close()
            raise
        return storage

    def close(self) -> None:
        self._connection.close()

    def __enter__(self) -> PostgresStorage:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @contextmanager
    def transaction(self) -> Iterator[psycopg.Cursor[Any]]:
        """A cursor whose changes are committed together when the block ends, and rolled back
        whole when it raises."""
        with self._connection.transaction(), self._connection.cursor() as cursor:
            yield cursor

    def schema_version(self) -> int:
        with self.transaction() as cursor:
            return _version(cursor)

    def migrate(self) -> None:
        with self.transaction() as cursor:
            cursor.execute("SELECT pg_advisory_xact_lock(%s)", (_MIGRATION_LOCK,))
            cursor.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
            current = _version(cursor)
            if current > SCHEMA_VERSION:
                raise PostgresRegistryError(
                    f"the registry has schema version {current}, newer than this quelvane knows "
                    f"({SCHEMA_VERSION}): upgrade quelvane")
            if current == SCHEMA_VERSION:
                return
            for migration in MIGRATIONS[current:]:
                cursor.execute(migration)
            cursor.execute("DELETE FROM schema_version")
            cursor.execute("INSERT INTO schema_version (version) VALUES (%s)", (SCHEMA_VERSION,))


def _version(cursor: psycopg.Cursor[Any]) -> int:
    cursor.execute("SELECT version FROM schema_version")
    row = cursor.fetchone()
    return int(row[0]) if row else 0


def _first_line(error: Exception) -> str:
    return str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
