"""The SQLite registry: one file, WAL journal, foreign keys, a versioned schema.

All SQL of the SQLite backend lives here. 64-bit look-up keys are stored as signed integers,
the only 64-bit integers SQLite has."""
from __future__ import annotations

import json
import os
import sqlite3
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Iterable, Iterator

from ..errors import NoRegistryError, RegistryError
from ..indexing import resegmented, segmentation
from ..inputs import refuse_constant
from ..manifests import manifest_id_for
from . import Envelope, IndexEntries, Identity, Publication, ListEntry, Withdrawal, damaged, signed

BUSY_TIMEOUT_MS = 60_000
CACHE_KIB = 32 * 1024
"""Page cache per connection."""
# SQLite's extended result codes; the sqlite3 module names them only from Python 3.11 on.
_READONLY, _READONLY_DIRECTORY = 8, 1544
_SHM_FAILURES = (4618, 4874, 5386)  # SQLITE_IOERR_SHMOPEN, _SHMSIZE, _SHMMAP

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

_WITHDRAW_AND_DELETE = """
ALTER TABLE publications ADD COLUMN withdrawn_at TEXT;
ALTER TABLE publications ADD COLUMN withdrawn_reason TEXT;
CREATE TABLE deleted_publications (
    pointer TEXT PRIMARY KEY,
    deleted_at TEXT NOT NULL
)
"""
_COLUMNS = ("id, pointer, format, text, published, content_hash, crosscheck_tag, public_key, watermark_runs,"
            " watermark_note, metadata, created, withdrawn_at, withdrawn_reason")


def _run_script(script: str) -> Callable[[sqlite3.Connection], None]:
    # Statement by statement: executescript would commit the open transaction first.
    def migrate(db: sqlite3.Connection) -> None:
        for statement in script.split(";"):
            if statement.strip():
                db.execute(statement)

    return migrate


def _insert_excerpt_keys(db: sqlite3.Connection, row_id: object, entries: Iterable[tuple[int, int]]) -> None:
    db.executemany("INSERT OR IGNORE INTO excerpt_keys (key, publication, position) VALUES (?, ?, ?)",
                   [(signed(k), row_id, pos) for k, pos in entries])


def _resegment(db: sqlite3.Connection) -> None:
    # Texts in scripts written without spaces were indexed one Han or kana character to a word,
    # which unrelated texts share by chance: their excerpt keys are derived again from ICU's words.
    last = 0
    while rows := db.execute("SELECT id, text FROM publications WHERE id > ? ORDER BY id LIMIT 100",
                             (last,)).fetchall():
        for row_id, text in rows:
            entries = resegmented(str(text))
            if entries is not None:
                db.execute("DELETE FROM excerpt_keys WHERE publication = ?", (row_id,))
                _insert_excerpt_keys(db, row_id, entries)
        last = rows[-1][0]
    if (used := segmentation()) is not None:
        db.execute("INSERT OR REPLACE INTO quelvane_meta (name, value) VALUES ('segmentation', ?)", (used,))


# Index i brings a registry from schema version i to i + 1.
_MIGRATIONS: tuple[Callable[[sqlite3.Connection], None], ...] = (
    _run_script(_SCHEMA_V1),
    # Publishing asks whether a text is already published.
    _run_script("CREATE INDEX publications_by_content_hash ON publications (content_hash)"),
    # Withdrawn publications stay; deleted ones leave their pointer behind, never to be used again.
    _run_script(_WITHDRAW_AND_DELETE),
    # C2PA manifest stores, one per publication, found by their manifest id.
    _run_script("CREATE TABLE manifests (publication INTEGER PRIMARY KEY REFERENCES publications(id) ON DELETE"
                " CASCADE, manifest_id TEXT NOT NULL UNIQUE, store BLOB NOT NULL)"),
    # Deleting a publication removes its index entries: found by publication, not by key.
    _run_script("CREATE INDEX IF NOT EXISTS band_keys_by_publication ON band_keys (publication);"
                "CREATE INDEX IF NOT EXISTS excerpt_keys_by_publication ON excerpt_keys (publication)"),
    _resegment,
)
SCHEMA_VERSION = len(_MIGRATIONS)


@contextmanager
def _errors(path: Path) -> Iterator[None]:
    # SQLite's own messages are safe to show; they never hold our keys.
    try:
        yield
    except sqlite3.OperationalError as error:
        code = getattr(error, "sqlite_errorcode", 0)  # 0 before Python 3.11: SQLite's message alone
        if code == _READONLY_DIRECTORY:
            raise RegistryError(
                f"registry {path} cannot be read here: SQLite needs to make {path.name}-wal and {path.name}-shm "
                "beside it, and its folder is not writable by you; give write access to the folder, or copy "
                "the registry to one that is") from None
        if code in _SHM_FAILURES:
            raise RegistryError(
                f"registry {path} cannot be read: SQLite could not make {path.name}-shm beside it ({error}); "
                "is the disk full? Free some space, or read it while another program has it open") from None
        if code & 0xFF == _READONLY:
            raise _read_only(path) from None
        raise RegistryError(f"registry {path}: {error}") from None
    except sqlite3.DatabaseError as error:
        raise RegistryError(
            f"registry {path} is damaged or not a quelvane registry ({error}); restore it from a backup "
            "or an export"
        ) from None


def _read_only(path: Path) -> RegistryError:
    return RegistryError(f"registry {path} is read-only: it was opened for reading, or you cannot write to it; "
                         "ask its owner to publish, or for write access to it and its folder")


def _check_exists(path: Path) -> None:
    # Only `init` makes a registry: an absent or empty file is never silently made one. A registry
    # not yet checkpointed can live in its -wal file beside an empty main file.
    if not path.exists():
        raise NoRegistryError(f"no registry at {path}; create one with: quelvane init")
    wal = path.with_name(path.name + "-wal")
    if path.stat().st_size == 0 and not (wal.exists() and wal.stat().st_size > 0):
        raise NoRegistryError(
            f"registry {path} is an empty file (0 bytes), not a registry: if it held publications, restore it "
            "from a backup or an export; to start a new registry there, run: quelvane init")


def _uri(path: Path, mode: str) -> str:
    uri = f"{path.absolute().as_uri()}?mode={mode}"
    # On a read-only mount nobody can write, and with no -wal file everything is in the file
    # itself: SQLite may then read it as it is, without the -wal and -shm files it cannot make.
    if mode == "ro" and _on_read_only_mount(path) and not path.with_name(path.name + "-wal").exists():
        uri += "&immutable=1"
    return uri


def _on_read_only_mount(path: Path) -> bool:
    return hasattr(os, "statvfs") and bool(os.statvfs(path).f_flag & os.ST_RDONLY)


class SQLiteStorage:
    """The registry in one SQLite file.

    Opening it only reads, so a registry can be listed and searched by those who cannot write
    to it, beside a writer, and on a full disk; it writes only to bring an older schema up to
    date. A file this user cannot write is opened read-only, and a write to it is refused."""

    def __init__(self, path: Path, *, create: Identity | None = None, read_only: bool = False) -> None:
        self.location = str(path)
        self._path = path
        if create is None:
            _check_exists(path)
        self.read_only = create is None and (read_only or not os.access(path, os.W_OK))
        mode = "ro" if self.read_only else "rwc" if create else "rw"
        with _errors(path):
            self._db = sqlite3.connect(_uri(path, mode), uri=True, isolation_level=None,
                                       timeout=BUSY_TIMEOUT_MS / 1000, check_same_thread=False)
            try:
                self._prepare(create)
            except BaseException:
                self._db.close()
                raise

    def _prepare(self, create: Identity | None) -> None:
        db = self._db
        db.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
        db.execute("PRAGMA foreign_keys = ON")
        db.execute("PRAGMA synchronous = NORMAL")
        # The look-up index of a large registry is read at random, a few pages per key: SQLite's
        # default 2 MB of cache keeps little beyond the tree's upper levels, and every other page
        # is read again from the operating system.
        db.execute(f"PRAGMA cache_size = -{CACHE_KIB}")
        # A deferred transaction only reads: no lock that would make this wait behind a writer.
        with self._reading():
            version = self._read_version()
        self._check_version(version, create)
        if version == SCHEMA_VERSION:
            return
        if version == 0 and create is None:
            raise NoRegistryError(f"{self._path} is an empty SQLite database, not a registry; to make one there, "
                                  "run: quelvane init")
        if self.read_only:
            raise RegistryError(
                f"registry {self._path} has schema version {version} and must be brought up to version "
                f"{SCHEMA_VERSION} once by someone who can write to it; it is read-only to you")
        if db.execute("PRAGMA journal_mode = WAL").fetchone()[0].lower() != "wal":
            raise RegistryError(f"registry {self._path}: the file system does not support SQLite's WAL mode")
        with self._transaction():
            version = self._read_version()  # another process may have made or migrated it meanwhile
            self._check_version(version, create)
            db.execute("CREATE TABLE IF NOT EXISTS quelvane_meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)")
            for step in range(version, SCHEMA_VERSION):
                _MIGRATIONS[step](db)
            db.execute("INSERT OR REPLACE INTO quelvane_meta (name, value) VALUES ('schema_version', ?)",
                       (str(SCHEMA_VERSION),))
            if create is not None:
                self._insert_identity(create)

    def _check_version(self, version: int, create: Identity | None) -> None:
        if create is not None and version > 0:
            raise RegistryError(f"{self._path} already exists; open it instead, or choose another path")
        if version > SCHEMA_VERSION:
            raise RegistryError(
                f"registry {self._path} has schema version {version}, newer than this quelvane reads "
                f"({SCHEMA_VERSION}); upgrade quelvane"
            )

    def _read_version(self) -> int:
        tables = {row[0] for row in self._db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if "quelvane_meta" not in tables:
            if tables:
                raise RegistryError(f"{self._path} is an SQLite database but not a quelvane registry")
            return 0
        row = self._db.execute("SELECT value FROM quelvane_meta WHERE name = 'schema_version'").fetchone()
        if row is None or not str(row[0]).isdigit():
            raise RegistryError(f"registry {self._path} has no readable schema version")
        return int(row[0])

    @contextmanager
    def _reading(self) -> Iterator[None]:
        self._db.execute("BEGIN")
        try:
            yield
        finally:
            self._db.execute("COMMIT")

    @contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        # IMMEDIATE takes the write lock at the start, so two writers queue instead of failing
        # at commit time; an exception or a killed process leaves nothing half-written.
        if self.read_only:
            raise _read_only(self._path)
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

    def identity(self) -> Identity | None:
        with _errors(self._path):
            found: dict[str, str] = dict(self._db.execute(
                "SELECT name, value FROM quelvane_meta WHERE name IN ('public_key', 'repository_id')").fetchall())
        return Identity(found["public_key"], found["repository_id"]) if len(found) == 2 else None

    def record_identity(self, identity: Identity) -> Identity:
        if self.read_only:
            return identity
        with _errors(self._path):
            with self._transaction():
                self._insert_identity(identity)
        return self.identity() or identity

    def _insert_identity(self, identity: Identity) -> None:
        self._db.executemany("INSERT OR IGNORE INTO quelvane_meta (name, value) VALUES (?, ?)",
                             [("public_key", identity.public_key), ("repository_id", identity.repository_id)])

    def other_public_key(self, public_key: str) -> str | None:
        with _errors(self._path):
            row = self._db.execute("SELECT public_key FROM publications WHERE public_key <> ? LIMIT 1",
                                   (public_key,)).fetchone()
        return None if row is None else str(row[0])

    def put(self, publication: Publication, index: IndexEntries) -> None:
        p = publication
        withdrawn = (None, None) if p.withdrawal is None else (p.withdrawal.at, p.withdrawal.reason)
        with _errors(self._path), self._transaction() as db:
            if db.execute("SELECT 1 FROM deleted_publications WHERE pointer = ?", (p.pointer,)).fetchone():
                raise RegistryError(f"a publication with pointer {p.pointer} was deleted; its pointer is not used "
                                    "again")
            try:
                cursor = db.execute(
                    "INSERT INTO publications (pointer, format, text, published, content_hash, crosscheck_tag,"
                    " public_key, watermark_runs, watermark_note, metadata, created, withdrawn_at, withdrawn_reason)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (p.pointer, p.format, p.text, p.published, p.content_hash, p.crosscheck_tag, p.public_key,
                     p.watermark_runs, p.watermark_note, json.dumps(p.metadata, ensure_ascii=False), p.created,
                     *withdrawn),
                )
            except sqlite3.IntegrityError:
                raise RegistryError(f"a publication with pointer {p.pointer} is already stored") from None
            row_id = cursor.lastrowid
            db.executemany("INSERT INTO envelopes (publication, position, alg, cose_hex) VALUES (?, ?, ?, ?)",
                           [(row_id, i, e.alg, e.cose_hex) for i, e in enumerate(p.envelopes)])
            if p.manifest is not None:
                db.execute("INSERT INTO manifests (publication, manifest_id, store) VALUES (?, ?, ?)",
                           (row_id, manifest_id_for(p.pointer), p.manifest))
            db.executemany("INSERT OR IGNORE INTO band_keys (key, publication) VALUES (?, ?)",
                           [(signed(k), row_id) for k in index.band_keys])
            _insert_excerpt_keys(db, row_id, index.excerpt_keys)

    def get(self, pointer: str) -> Publication | None:
        with _errors(self._path):
            row = self._db.execute(f"SELECT {_COLUMNS} FROM publications WHERE pointer = ?", (pointer,)).fetchone()
            return None if row is None else self._publication(row)

    def withdraw(self, pointer: str, withdrawal: Withdrawal) -> bool:
        with _errors(self._path), self._transaction() as db:
            cursor = db.execute("UPDATE publications SET withdrawn_at = ?, withdrawn_reason = ?"
                                " WHERE pointer = ? AND withdrawn_at IS NULL",
                                (withdrawal.at, withdrawal.reason, pointer))
            return cursor.rowcount == 1

    def delete(self, pointer: str, at: str) -> bool:
        # The envelopes and index entries go with the row (ON DELETE CASCADE).
        with _errors(self._path), self._transaction() as db:
            if db.execute("DELETE FROM publications WHERE pointer = ?", (pointer,)).rowcount != 1:
                return False
            db.execute("INSERT INTO deleted_publications (pointer, deleted_at) VALUES (?, ?)", (pointer, at))
            return True

    def standing(self, pointer: str) -> tuple[bool, Withdrawal | None]:
        with _errors(self._path):
            row = self._db.execute("SELECT withdrawn_at, withdrawn_reason FROM publications WHERE pointer = ?",
                                   (pointer,)).fetchone()
        if row is None:
            return False, None
        return True, None if row[0] is None else Withdrawal(str(row[1]), str(row[0]))

    def deleted_at(self, pointer: str) -> str | None:
        with _errors(self._path):
            row = self._db.execute("SELECT deleted_at FROM deleted_publications WHERE pointer = ?",
                                   (pointer,)).fetchone()
        return None if row is None else str(row[0])

    def manifest(self, manifest_id: str) -> tuple[str, bytes] | None:
        with _errors(self._path):
            row = self._db.execute("SELECT p.pointer, m.store FROM manifests m JOIN publications p"
                                   " ON p.id = m.publication WHERE m.manifest_id = ?", (manifest_id,)).fetchone()
        return None if row is None else (str(row[0]), bytes(row[1]))

    def add_manifest(self, pointer: str, manifest_id: str, store: bytes) -> bool:
        with _errors(self._path), self._transaction() as db:
            cursor = db.execute("INSERT OR IGNORE INTO manifests (publication, manifest_id, store)"
                                " SELECT id, ?, ? FROM publications WHERE pointer = ?", (manifest_id, store, pointer))
        return cursor.rowcount == 1

    def _publication(self, row: tuple[object, ...]) -> Publication:
        envelopes = tuple(
            Envelope(alg, cose)
            for alg, cose in self._db.execute(
                "SELECT alg, cose_hex FROM envelopes WHERE publication = ? ORDER BY position", (row[0],)
            )
        )
        manifest = self._db.execute("SELECT store FROM manifests WHERE publication = ?", (row[0],)).fetchone()
        # SQLite keeps whatever a column is given: a row changed outside quelvane is named, not a traceback.
        try:
            metadata = json.loads(str(row[10]), parse_constant=refuse_constant)
        except ValueError:
            raise damaged(self.location, row[1], row[0], "its metadata is not JSON") from None
        if not isinstance(metadata, dict):
            raise damaged(self.location, row[1], row[0], "its metadata is not a JSON object")
        if not isinstance(row[8], int):
            raise damaged(self.location, row[1], row[0], "its watermark_runs is not a whole number")
        return Publication(
            pointer=str(row[1]), format=str(row[2]), text=str(row[3]), published=str(row[4]),
            content_hash=str(row[5]), crosscheck_tag=str(row[6]), public_key=str(row[7]),
            envelopes=envelopes, watermark_runs=row[8], watermark_note=str(row[9]),
            metadata=metadata, created=str(row[11]),
            withdrawal=None if row[12] is None else Withdrawal(str(row[13]), str(row[12])),
            manifest=None if manifest is None else bytes(manifest[0]),
        )

    def band_pointers(self, keys: Iterable[int]) -> list[tuple[int, str]]:
        wanted = json.dumps(sorted({signed(k) for k in keys}))
        with _errors(self._path):
            rows = self._db.execute(
                "SELECT b.key, p.pointer FROM band_keys b JOIN publications p ON p.id = b.publication"
                " WHERE b.key IN (SELECT value FROM json_each(?))", (wanted,)
            ).fetchall()
        return [(key % (1 << 64), pointer) for key, pointer in rows]

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

    def summaries(self, limit: int | None = None, offset: int = 0) -> list[ListEntry]:
        with _errors(self._path):
            rows = self._db.execute(
                "SELECT pointer, format, created, length(text),"
                " CASE WHEN json_valid(metadata) THEN json_extract(metadata, '$.title') END, json_valid(metadata), id"
                " FROM publications ORDER BY id LIMIT ? OFFSET ?",
                (-1 if limit is None else limit, offset),
            ).fetchall()
        for r in rows:
            if not r[5]:
                raise damaged(self.location, r[0], r[6], "its metadata is not JSON")
        return [ListEntry(r[0], r[1], r[2], r[3], None if r[4] is None else str(r[4])) for r in rows]

    def count(self) -> int:
        with _errors(self._path):
            return int(self._db.execute("SELECT count(*) FROM publications").fetchone()[0])

    def publications(self) -> Iterator[Publication]:
        last = 0
        while True:
            with _errors(self._path):
                rows = self._db.execute(f"SELECT {_COLUMNS} FROM publications WHERE id > ? ORDER BY id LIMIT 100",
                                        (last,)).fetchall()
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
