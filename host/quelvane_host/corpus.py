"""A corpus as many files, read in partitions that a pool of workers can share.

Plain text files (one document each), JSON Lines (one document per line, its text in a named
field) and Parquet (one document per row, its text in a named column). Every document gets an id
that stays the same from run to run: the path for a text file, ``path:line`` (from 1) for JSON
Lines, ``path:row`` (from 0) for Parquet. A document that cannot be read as text becomes a
`DocumentError` with the reason, and reading goes on with the next one.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Iterable, Iterator, Union

DEFAULT_MAX_BYTES = 50 * 1024 * 1024
DEFAULT_FIELD = "text"
DEFAULT_PARTITION_BYTES = 16 * 1024 * 1024
JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")
PARQUET_SUFFIXES = (".parquet", ".pq")
_BOM = "\ufeff"
_PARQUET_BATCH_ROWS = 64
_SKIP_CHUNK = 1024 * 1024


@dataclass(frozen=True)
class Document:
    id: str
    text: str


@dataclass(frozen=True)
class DocumentError:
    id: str
    reason: str


Record = Union[Document, DocumentError]


@dataclass(frozen=True)
class Partition:
    """A run of whole files, with what a worker needs to read them."""

    number: int
    files: tuple[str, ...]
    field: str = DEFAULT_FIELD
    max_bytes: int = DEFAULT_MAX_BYTES


@dataclass(frozen=True)
class Corpus:
    """Files and folders (walked recursively, hidden entries skipped), in a fixed order.

    `field` names the JSON Lines field or Parquet column that holds the text; `max_bytes` is the
    largest document read (UTF-8 bytes); a partition gathers files up to `partition_bytes`.
    """

    paths: tuple[str, ...]
    field: str = DEFAULT_FIELD
    max_bytes: int = DEFAULT_MAX_BYTES
    partition_bytes: int = DEFAULT_PARTITION_BYTES

    @classmethod
    def of(cls, paths: Iterable[Union[str, Path]], **options: int | str) -> Corpus:
        return cls(tuple(str(path) for path in paths), **options)  # type: ignore[arg-type]

    def files(self) -> list[str]:
        found: list[str] = []
        for path in self.paths:
            found.extend(_walk(path) if os.path.isdir(path) else [path])
        return found

    def partitions(self) -> list[Partition]:
        groups: list[list[str]] = [[]]
        size = 0
        for path in self.files():
            if groups[-1] and size >= self.partition_bytes:
                groups.append([])
                size = 0
            groups[-1].append(path)
            size += _size_or_zero(path)
        return [Partition(number, tuple(files), self.field, self.max_bytes)
                for number, files in enumerate(groups) if files]


def _walk(folder: str) -> list[str]:
    found: list[str] = []
    for root, folders, names in os.walk(folder):
        folders[:] = sorted(name for name in folders if not name.startswith("."))
        found.extend(os.path.join(root, name) for name in sorted(names) if not name.startswith("."))
    return found


def _size_or_zero(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # reported when the partition is read


def read_partition(partition: Partition) -> Iterator[Record]:
    for path in partition.files:
        yield from read_file(path, partition.field, partition.max_bytes)


def read_file(path: str, field: str = DEFAULT_FIELD, max_bytes: int = DEFAULT_MAX_BYTES) -> Iterator[Record]:
    lowered = path.lower()
    try:
        if lowered.endswith(JSON_LINES_SUFFIXES):
            yield from _json_lines(path, field, max_bytes)
        elif lowered.endswith(PARQUET_SUFFIXES):
            yield from _parquet(path, field, max_bytes)
        else:
            yield _text_file(path, max_bytes)
    except OSError as error:
        yield DocumentError(path, f"cannot read: {error.strerror or error}")


def _text_file(path: str, max_bytes: int) -> Record:
    with open(path, "rb") as stream:
        # Read one byte past the limit rather than trusting the size: the file may be growing.
        raw = stream.read(max_bytes + 1)
    return _document(path, raw, max_bytes)


def _document(doc_id: str, raw: bytes, max_bytes: int) -> Record:
    reason = _reject(raw, max_bytes)
    if reason:
        return DocumentError(doc_id, reason)
    # A byte order mark is an artefact of the file, not text: left in, it would count as a word.
    return Document(doc_id, raw.decode("utf-8").removeprefix(_BOM))


def _reject(raw: bytes, max_bytes: int) -> str:
    """Why `raw` is no document, or "" when it is one."""
    if len(raw) > max_bytes:
        return f"larger than the limit of {max_bytes} bytes"
    if b"\x00" in raw:
        return "binary (contains NUL bytes)"
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        return f"not valid UTF-8 (byte {error.start})"
    if not text.removeprefix(_BOM).strip():
        return "empty"
    return ""


def _json_lines(path: str, field: str, max_bytes: int) -> Iterator[Record]:
    with open(path, "rb") as stream:
        for number, raw in enumerate(_bounded_lines(stream, max_bytes), start=1):
            doc_id = f"{path}:{number}"
            if raw is None:
                yield DocumentError(doc_id, f"larger than the limit of {max_bytes} bytes")
            elif raw.strip():
                yield _json_document(doc_id, raw.removeprefix(b"\xef\xbb\xbf") if number == 1 else raw,
                                     field, max_bytes)


def _bounded_lines(stream: BinaryIO, max_bytes: int) -> Iterator[bytes | None]:
    """The lines of `stream`; None for a line longer than `max_bytes`, which is skipped without
    being held in memory."""
    while True:
        line = stream.readline(max_bytes + 1)
        if not line:
            return
        if len(line) <= max_bytes or line.endswith(b"\n"):
            yield line
            continue
        while line and not line.endswith(b"\n"):
            line = stream.readline(_SKIP_CHUNK)
        yield None


def _json_document(doc_id: str, raw: bytes, field: str, max_bytes: int) -> Record:
    try:
        value = json.loads(raw)
    except UnicodeDecodeError as error:
        return DocumentError(doc_id, f"not valid UTF-8 (byte {error.start})")
    except ValueError:
        return DocumentError(doc_id, "not valid JSON")
    if not isinstance(value, dict) or field not in value:
        return DocumentError(doc_id, f"no field {field!r}")
    text = value[field]
    if not isinstance(text, str):
        return DocumentError(doc_id, f"field {field!r} is not a string")
    try:
        # JSON escapes can spell lone surrogates, which no UTF-8 text holds.
        encoded = text.encode("utf-8")
    except UnicodeEncodeError as error:
        return DocumentError(doc_id, f"not valid Unicode (character {error.start})")
    return _document(doc_id, encoded, max_bytes)


def _parquet(path: str, column: str, max_bytes: int) -> Iterator[Record]:
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    try:
        table = pq.ParquetFile(path)
    except (pa.ArrowException, ValueError) as error:
        yield DocumentError(path, f"not a readable Parquet file: {error}")
        return
    if column not in table.schema_arrow.names:
        yield DocumentError(path, f"no column {column!r}")
        return
    if not _is_text_type(table.schema_arrow.field(column).type, pa):
        yield DocumentError(path, f"column {column!r} holds neither text nor bytes")
        return
    row = 0
    try:
        for batch in table.iter_batches(batch_size=_PARQUET_BATCH_ROWS, columns=[column]):
            for value in _as_bytes(batch.column(0), pa):
                yield _parquet_document(f"{path}:{row}", value, max_bytes)
                row += 1
    except pa.ArrowException as error:
        yield DocumentError(f"{path}:{row}", f"not a readable Parquet file: {error}")


def _is_text_type(kind: object, pa: object) -> bool:
    types = pa.types  # type: ignore[attr-defined]
    return any(check(kind) for check in (types.is_string, types.is_large_string, types.is_binary,
                                         types.is_large_binary))


def _as_bytes(array: object, pa: object) -> list[bytes | None]:
    """The column's values as raw bytes, so that a text column is checked like a text file (Arrow
    does not promise that a string column holds valid UTF-8)."""
    values: list[bytes | None] = array.cast(pa.large_binary()).to_pylist()  # type: ignore[attr-defined]
    return values


def _parquet_document(doc_id: str, value: bytes | None, max_bytes: int) -> Record:
    if value is None:
        return DocumentError(doc_id, "empty")
    return _document(doc_id, value, max_bytes)
