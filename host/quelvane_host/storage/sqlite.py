"""The SQLite registry: one file, WAL journal, foreign keys, a versioned schema.

All SQL of the SQLite backend lives here. 64-bit look-up keys are stored as signed integers,
the only 64-bit integers SQLite has."""
from __future__ import annotations

import json
import sqlite3
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Iterable, Iterator

from ..errors import RegistryError
from . import Envelope, IndexEntries, Publication, Summary, signed

BUSY_TIMEOUT_MS = 60_000

_SCHEMA_V1 = """
CREATE TABLE publications (
    id INTEGER PRIMARY KEY,
    pointer TEXT NOT NULL UNIQUE,
    format TEXT NOT NULL,
    text TEXT NOT NULL,
    published TEXT NOT NULL,
    content_hash TEXT NOT NULL,
    crosscheck_tag TEXT NOT NULL,
    public_key TEXT NOT NULL,
    watermark_runs INTEGER NOT NULL,
    watermark_note TEXT NOT NULL,
    metadata TEXT NOT NULL,
    created TEXT NOT NULL
);
CREATE TABLE envelopes (
    publication INTEGER NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
    position INTEGER NOT NULL,
    alg TEXT NOT NULL,
    cose_hex TEXT NOT NULL,
    PRIMARY KEY (publication, position)
) WITHOUT ROWID;
CREATE TABLE band_keys (
    key INTEGER NOT NULL,
    publication INTEGER NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
    PRIMARY KEY (key, publication)
) WITHOUT ROWID;
CREATE TABLE excerpt_keys (
    key INTEGER NOT NULL,
    publication INTEGER NOT NULL REFERENCES publications(id) ON DELETE CASCADE,
    position INTEGER NOT NULL,
    PRIMARY KEY (key, publication, position)
) WITHOUT ROWID;
"""



def _run_script(script: str) -> Callable[[sqlite3.Connection], None]:
    # Statement by statement: executescript would commit the open transaction first.
    def migrate(db: sqlite3.Connection) -> None:
        for statement in script.split(";"):
            if statement.strip():
                db.execute(statement)

    return migrate


# Index i brings a registry from schema version i to i + 1.
_MIGRATIONS: tuple[Callable[[sqlite3.Connection], None], ...] = (
    _run_script(_SCHEMA_V1),
    # Publishing asks whether a text is already published.
    _run_script("CREATE INDEX publications_by_content_hash ON publications (content_hash)"),
)
SCHEMA_VERSION = len(_MIGRATIONS)


@contextmanager
def _errors(path: Path) -> Iterator[None]:
    # SQLite's own messages are safe to show; they never hold our keys.
    try:
        yield
    except sqlite3.OperationalError as error:
        raise RegistryError(f"registry {path}: {error}") from None
    except sqlite3.DatabaseError as error:
        raise RegistryError(
            f"registry {path} is damaged or not a quelvane registry ({error}); restore it from a backup "
            "or an export"
        ) from None


class SQLiteStorage:
    """The registry in one SQLite file."""

    def __init__(self, path: Path, *, create: bool = False) -> None:
        self.location = str(path)
        self._path = path
        if not create and not path.exists():
            raise RegistryError(f"no registry at {path}; create one with: quelvane init")
        if create and path.exists() and path.stat().st_size > 0:
            raise RegistryError(f"{path} already exists; open it instead, or choose another path")
        with _errors(path):
            self._db = sqlite3.connect(path, isolation_level=None, timeout=BUSY_TIMEOUT_MS / 1000,
                                       check_same_thread=False)
            try:
                self._prepare()
            except BaseException:
                self._db.close()
                raise

    def _prepare(self) -> None:
        db = self._db
        db.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
        db.execute("PRAGMA foreign_keys = ON")
        if db.execute("PRAGMA journal_mode = WAL").fetchone()[0].lower() != "wal":
            raise RegistryError(f"registry {self._path}: the file system does not support SQLite's WAL mode")
        db.execute("PRAGMA synchronous = NORMAL")
        with self._transaction():
            version = self._read_version()
            if version > SCHEMA_VERSION:
                raise RegistryError(
                    f"registry {self._path} has schema version {version}, newer than this quelvane reads "
                    f"({SCHEMA_VERSION}); upgrade quelvane"
                )
            for step in range(version, SCHEMA_VERSION):
                _MIGRATIONS[step](db)
            db.execute("INSERT OR REPLACE INTO quelvane_meta (name, value) VALUES ('schema_version', ?)",
                       (str(SCHEMA_VERSION),))

    def _read_version(self) -> int:
        tables = {row[0] for row in self._db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if "quelvane_meta" not in tables:
            if tables:
                raise RegistryError(f"{self._path} is an SQLite database but not a quelvane registry")
            self._db.execute("CREATE TABLE quelvane_meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)")
            return 0
        row = self._db.execute("SELECT value FROM quelvane_meta WHERE name = 'schema_version'").fetchone()
        if row is None or not str(row[0]).isdigit():
            raise RegistryError(f"registry {self._path} has no readable schema version")
        return int(row[0])

    @contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        # IMMEDIATE takes the write lock at the start, so two writers queue instead of failing
        # at commit time; an exception or a killed process leaves nothing half-written.
        self._db.execute("BEGIN IMMEDIATE")
        try:
            yield self._db
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")

    def schema_version(self) -> int:
        with _errors(self._path):
            return self._read_version()

    def put(self, publication: Publication, index: IndexEntries) -> None:
        p = publication
        with _errors(self._path), self._transaction() as db:
            try:
                cursor = db.execute(
                    "INSERT INTO publications (pointer, format, text, published, content_hash, crosscheck_tag,"
                    " public_key, watermark_runs, watermark_note, metadata, created)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (p.pointer, p.format, p.text, p.published, p.content_hash, p.crosscheck_tag, p.public_key,
                     p.watermark_runs, p.watermark_note, json.dumps(p.metadata, ensure_ascii=False), p.created),
                )
            except sqlite3.IntegrityError:
                raise RegistryError(f"a publication with pointer {p.pointer} is already stored") from None
            row_id = cursor.lastrowid
            db.executemany("INSERT INTO envelopes (publication, position, alg, cose_hex) VALUES (?, ?, ?, ?)",
                           [(row_id, i, e.alg, e.cose_hex) for i, e in enumerate(p.envelopes)])
            db.executemany("INSERT OR IGNORE INTO band_keys (key, publication) VALUES (?, ?)",
                           [(signed(k), row_id) for k in index.band_keys])
            db.executemany("INSERT OR IGNORE INTO excerpt_keys (key, publication, position) VALUES (?, ?, ?)",
                           [(signed(k), row_id, pos) for k, pos in index.excerpt_keys])

    def get(self, pointer: str) -> Publication | None:
        with _errors(self._path):
            row = self._db.execute(
                "SELECT id, pointer, format, text, published, content_hash, crosscheck_tag, public_key,"
                " watermark_runs, watermark_note, metadata, created FROM publications WHERE pointer = ?",
                (pointer,),
            ).fetchone()
            return None if row is None else self._publication(row)

    def _publication(self, row: tuple[object, ...]) -> Publication:
        envelopes = tuple(
            Envelope(alg, cose)
            for alg, cose in self._db.execute(
                "SELECT alg, cose_hex FROM envelopes WHERE publication = ? ORDER BY position", (row[0],)
            )
        )
        return Publication(
            pointer=str(row[1]), format=str(row[2]), text=str(row[3]), published=str(row[4]),
            content_hash=str(row[5]), crosscheck_tag=str(row[6]), public_key=str(row[7]),
            envelopes=envelopes, watermark_runs=int(str(row[8])), watermark_note=str(row[9]),
            metadata=json.loads(str(row[10])), created=str(row[11]),
        )

    def band_matches(self, keys: Iterable[int]) -> dict[str, int]:
        wanted = json.dumps(sorted({signed(k) for k in keys}))
        with _errors(self._path):
            rows = self._db.execute(
                "SELECT p.pointer, count(*) FROM band_keys b JOIN publications p ON p.id = b.publication"
                " WHERE b.key IN (SELECT value FROM json_each(?)) GROUP BY p.pointer", (wanted,)
            ).fetchall()
        return {pointer: count for pointer, count in rows}

    def excerpt_matches(self, keys: Iterable[int], per_key_limit: int) -> list[tuple[int, str, int]]:
        wanted = json.dumps(sorted({signed(k) for k in keys}))
        with _errors(self._path):
            # Counting first keeps a stock phrase's long list of entries from being read at all.
            rows = self._db.execute(
                "WITH wanted(key) AS (SELECT value FROM json_each(?)),"
                " usable(key) AS (SELECT w.key FROM wanted w WHERE"
                "   (SELECT count(*) FROM (SELECT 1 FROM excerpt_keys e WHERE e.key = w.key LIMIT ?)) <= ?)"
                " SELECT e.key, p.pointer, e.position FROM usable u JOIN excerpt_keys e ON e.key = u.key"
                " JOIN publications p ON p.id = e.publication",
                (wanted, per_key_limit + 1, per_key_limit),
            ).fetchall()
        return [(key % (1 << 64), pointer, position) for key, pointer, position in rows]

    def find_by_content_hash(self, content_hash: str) -> list[str]:
        with _errors(self._path):
            rows = self._db.execute("SELECT pointer FROM publications WHERE content_hash = ? ORDER BY id",
                                    (content_hash,)).fetchall()
        return [str(row[0]) for row in rows]

    def summaries(self, limit: int | None = None, offset: int = 0) -> list[Summary]:
        with _errors(self._path):
            rows = self._db.execute(
                "SELECT pointer, format, created, length(text), json_extract(metadata, '$.title')"
                " FROM publications ORDER BY id LIMIT ? OFFSET ?",
                (-1 if limit is None else limit, offset),
            ).fetchall()
        return [Summary(r[0], r[1], r[2], r[3], None if r[4] is None else str(r[4])) for r in rows]

    def count(self) -> int:
        with _errors(self._path):
            return int(self._db.execute("SELECT count(*) FROM publications").fetchone()[0])

    def publications(self) -> Iterator[Publication]:
        last = 0
        while True:
            with _errors(self._path):
                rows = self._db.execute(
                    "SELECT id, pointer, format, text, published, content_hash, crosscheck_tag, public_key,"
                    " watermark_runs, watermark_note, metadata, created FROM publications WHERE id > ?"
                    " ORDER BY id LIMIT 100", (last,)
                ).fetchall()
                batch = [self._publication(row) for row in rows]
            if not batch:
                return
            yield from batch
            last = int(rows[-1][0])

    def index_bytes(self) -> int:
        with _errors(self._path):
            row = self._db.execute(
                "SELECT sum(pgsize) FROM dbstat WHERE name IN ('band_keys', 'excerpt_keys')"
            ).fetchone()
        return int(row[0] or 0)

    def close(self) -> None:
        self._db.close()
