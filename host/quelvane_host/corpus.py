"""A corpus as many files, read in partitions that a pool of workers can share.

Plain text files (one document each), JSON Lines (one document per line, its text in a named
field) and Parquet (one document per row, its text in a named column). Every document gets an id
that stays the same from run to run: the path for a text file, ``path:line`` (from 1) for JSON
Lines, ``path:row`` (from 0) for Parquet, or, when an id field is named, the value of that JSON
Lines field or Parquet column. A document that cannot be read as text becomes a `DocumentError`
with the reason, and reading goes on with the next one.

A JSON Lines or Parquet file larger than a partition is cut into pieces (runs of whole lines, or
of whole row groups), so that one large file keeps every worker busy.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, Iterable, Iterator, Union

from .errors import QuelvaneHostError
from .extras import missing_extra
from .inputs import why_not_text

DEFAULT_MAX_BYTES = 50 * 1024 * 1024
DEFAULT_FIELD = "text"
DEFAULT_PARTITION_BYTES = 16 * 1024 * 1024
# Partitions are made smaller to give every worker several, but not below this: each one costs a
# task and an opening of the registry.
MIN_PARTITION_BYTES = 256 * 1024
JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")
PARQUET_SUFFIXES = (".parquet", ".pq")
_BOM = "\ufeff"
_PARQUET_BATCH_ROWS = 64
_SKIP_CHUNK = 1024 * 1024
_PLAN_CHUNK = 1024 * 1024


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
class Piece:
    """A whole file, or part of a large one: the lines of a JSON Lines file from byte `start`
    (where a line begins) to `stop`, or the row groups `start` to `stop` of a Parquet file.
    `first` is the number of lines (rows) before the piece, so that ids stay those of the whole
    file; `size` its bytes, for progress."""

    path: str
    size: int
    start: int = 0
    stop: int | None = None
    first: int = 0


@dataclass(frozen=True)
class Partition:
    """A run of pieces, with what a worker needs to read them."""

    number: int
    pieces: tuple[Piece, ...]
    field: str = DEFAULT_FIELD
    max_bytes: int = DEFAULT_MAX_BYTES
    id_field: str | None = None

    @property
    def size(self) -> int:
        return sum(piece.size for piece in self.pieces)


@dataclass(frozen=True)
class Corpus:
    """Files and folders (walked recursively, hidden entries skipped), in a fixed order.

    `field` names the JSON Lines field or Parquet column that holds the text, `id_field` the one
    that holds each document's id (by default the documents are named by place); `max_bytes` is
    the largest document read (UTF-8 bytes); a partition gathers pieces up to `partition_bytes`.
    """

    paths: tuple[str, ...]
    field: str = DEFAULT_FIELD
    max_bytes: int = DEFAULT_MAX_BYTES
    partition_bytes: int = DEFAULT_PARTITION_BYTES
    id_field: str | None = None

    @classmethod
    def of(cls, paths: Iterable[Union[str, Path]], **options: Any) -> Corpus:
        return cls(tuple(str(path) for path in paths), **options)

    def files(self) -> list[str]:
        found: list[str] = []
        for path in self.paths:
            found.extend(_walk(path) if os.path.isdir(path) else [path])
        return found

    def partitions(self, least: int = 1) -> list[Partition]:
        """The corpus in partitions of about `partition_bytes`, or smaller ones when that makes
        fewer than `least` (the workers that should all have work), down to MIN_PARTITION_BYTES."""
        sized = [(path, _size_or_zero(path)) for path in self.files()]
        total = sum(size for _, size in sized)
        target = min(self.partition_bytes, max(-(-total // least), MIN_PARTITION_BYTES))
        groups: list[list[Piece]] = [[]]
        size = 0
        for path, file_size in sized:
            for piece in _pieces(path, file_size, target):
                if groups[-1] and size >= target:
                    groups.append([])
                    size = 0
                groups[-1].append(piece)
                size += piece.size
        return [Partition(number, tuple(pieces), self.field, self.max_bytes, self.id_field)
                for number, pieces in enumerate(groups) if pieces]


def _pieces(path: str, size: int, target: int) -> list[Piece]:
    lowered = path.lower()
    if size > target and lowered.endswith(JSON_LINES_SUFFIXES):
        return _json_lines_pieces(path, size, target)
    if lowered.endswith(PARQUET_SUFFIXES):
        _pyarrow()  # refuses here, before any work, when this process cannot read Parquet
        if size > target:
            return _parquet_pieces(path, size, target)
    return [Piece(path, size)]


def _json_lines_pieces(path: str, size: int, target: int) -> list[Piece]:
    """Cuts after the first line end past every `target` bytes, counting the lines before each cut."""
    cuts = [(0, 0)]
    lines = position = 0
    boundary = target
    try:
        with open(path, "rb") as stream:
            while chunk := stream.read(_PLAN_CHUNK):
                at = 0
                while position + len(chunk) > boundary:
                    newline = chunk.find(b"\n", max(boundary - position, at))
                    if newline < 0:
                        break  # the line goes on into the next chunk
                    lines += chunk.count(b"\n", at, newline + 1)
                    at = newline + 1
                    cuts.append((position + at, lines))
                    boundary = position + at + target
                lines += chunk.count(b"\n", at)
                position += len(chunk)
    except OSError:
        return [Piece(path, size)]  # reported when the piece is read
    if len(cuts) > 1 and cuts[-1][0] >= position:
        cuts.pop()  # the file ends at a cut: nothing after it
    ends = [start for start, _ in cuts[1:]] + [position]
    return [Piece(path, end - start, start, end if end < position else None, first)
            for (start, first), end in zip(cuts, ends)]


def _parquet_pieces(path: str, size: int, target: int) -> list[Piece]:
    """Runs of whole row groups of about `target` bytes (a file of one row group stays whole)."""
    pa, pq = _pyarrow()
    try:
        metadata = pq.ParquetFile(path).metadata
    except (pa.ArrowException, ValueError, OSError):
        return [Piece(path, size)]  # reported when the piece is read
    pieces: list[Piece] = []
    start = first = rows = stored = 0
    for group in range(metadata.num_row_groups):
        chunk = metadata.row_group(group)
        rows += chunk.num_rows
        stored += sum(chunk.column(column).total_compressed_size for column in range(chunk.num_columns))
        if stored >= target or group == metadata.num_row_groups - 1:
            pieces.append(Piece(path, stored, start, group + 1, first))
            start, first, stored = group + 1, rows, 0
    return pieces or [Piece(path, size)]


def _pyarrow() -> tuple[Any, Any]:
    try:
        import pyarrow as pa  # type: ignore[import-untyped]
        import pyarrow.parquet as pq  # type: ignore[import-untyped]
    except ImportError:
        raise QuelvaneHostError(missing_extra("reading Parquet", "dask")) from None
    return pa, pq


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
    for piece in partition.pieces:
        yield from read_piece(piece, partition.field, partition.max_bytes, partition.id_field)


def read_file(path: str, field: str = DEFAULT_FIELD, max_bytes: int = DEFAULT_MAX_BYTES,
              id_field: str | None = None) -> Iterator[Record]:
    return read_piece(Piece(path, 0), field, max_bytes, id_field)


def read_piece(piece: Piece, field: str = DEFAULT_FIELD, max_bytes: int = DEFAULT_MAX_BYTES,
               id_field: str | None = None) -> Iterator[Record]:
    path = piece.path
    lowered = path.lower()
    try:
        if lowered.endswith(JSON_LINES_SUFFIXES):
            yield from _json_lines(piece, field, max_bytes, id_field)
        elif lowered.endswith(PARQUET_SUFFIXES):
            yield from _parquet(piece, field, max_bytes, id_field)
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
    reason = why_not_text(raw, max_bytes)
    if reason:
        return DocumentError(doc_id, reason)
    # A byte order mark is an artefact of the file, not text: left in, it would count as a word.
    return Document(doc_id, raw.decode("utf-8").removeprefix(_BOM))


def _json_lines(piece: Piece, field: str, max_bytes: int, id_field: str | None) -> Iterator[Record]:
    with open(piece.path, "rb") as stream:
        stream.seek(piece.start)
        for number, raw in enumerate(_bounded_lines(stream, max_bytes), start=piece.first + 1):
            doc_id = f"{piece.path}:{number}"
            if raw is None:
                yield DocumentError(doc_id, f"larger than the limit of {max_bytes} bytes")
            elif raw.strip():
                yield _json_document(doc_id, raw.removeprefix(b"\xef\xbb\xbf") if number == 1 else raw,
                                     field, max_bytes, id_field)
            if piece.stop is not None and stream.tell() >= piece.stop:
                return


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


def _json_document(doc_id: str, raw: bytes, field: str, max_bytes: int, id_field: str | None) -> Record:
    try:
        value = json.loads(raw)
    except UnicodeDecodeError as error:
        return DocumentError(doc_id, f"not valid UTF-8 (byte {error.start})")
    except ValueError:
        return DocumentError(doc_id, "not valid JSON")
    if not isinstance(value, dict):
        return DocumentError(doc_id, f"no field {field!r}")
    if id_field is not None:
        own_id = _own_id(value.get(id_field))
        if own_id is None:
            return DocumentError(doc_id, f"no id: field {id_field!r} is missing or neither text nor a whole number")
        doc_id = own_id
    if field not in value:
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


def _own_id(value: object) -> str | None:
    """A document's id as the corpus gives it: a non-empty string, or a whole number as text."""
    if isinstance(value, str) and value:
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    return None


def _parquet(piece: Piece, column: str, max_bytes: int, id_column: str | None) -> Iterator[Record]:
    pa, pq = _pyarrow()
    path = piece.path
    try:
        table = pq.ParquetFile(path)
    except (pa.ArrowException, ValueError) as error:
        yield DocumentError(path, f"not a readable Parquet file: {error}")
        return
    refusal = _refuse_columns(table.schema_arrow, column, id_column, pa)
    if refusal:
        yield DocumentError(path, refusal)
        return
    columns = [column] if id_column is None else [column, id_column]
    groups = range(piece.start, table.metadata.num_row_groups if piece.stop is None else piece.stop)
    row = piece.first
    try:
        for batch in table.iter_batches(batch_size=_PARQUET_BATCH_ROWS, columns=columns,
                                         row_groups=list(groups)):
            ids = batch.column(1).to_pylist() if id_column is not None else [None] * batch.num_rows
            for value, own_id in zip(_as_bytes(batch.column(0), pa), ids):
                yield _parquet_document(f"{path}:{row}", value, max_bytes, id_column, own_id)
                row += 1
    except pa.ArrowException as error:
        yield DocumentError(f"{path}:{row}", f"not a readable Parquet file: {error}")


def _refuse_columns(schema: Any, column: str, id_column: str | None, pa: Any) -> str:
    """Why the file's columns cannot be read, or "" when they can."""
    for name in (column, id_column):
        if name is not None and name not in schema.names:
            return f"no column {name!r}"
    if not _is_text_type(schema.field(column).type, pa):
        return f"column {column!r} holds neither text nor bytes"
    if id_column is not None:
        kind = schema.field(id_column).type
        if not (pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_integer(kind)):
            return f"id column {id_column!r} holds neither text nor whole numbers"
    return ""


def _is_text_type(kind: object, pa: object) -> bool:
    types = pa.types  # type: ignore[attr-defined]
    return any(check(kind) for check in (types.is_string, types.is_large_string, types.is_binary,
                                         types.is_large_binary))


def _as_bytes(array: object, pa: object) -> list[bytes | None]:
    """The column's values as raw bytes, so that a text column is checked like a text file (Arrow
    does not promise that a string column holds valid UTF-8)."""
    values: list[bytes | None] = array.cast(pa.large_binary()).to_pylist()  # type: ignore[attr-defined]
    return values


def _parquet_document(doc_id: str, value: bytes | None, max_bytes: int, id_column: str | None,
                      own_id: object) -> Record:
    if id_column is not None:
        named = _own_id(own_id)
        if named is None:
            return DocumentError(doc_id, f"no id: column {id_column!r} is empty")
        doc_id = named
    if value is None:
        return DocumentError(doc_id, "empty")
    return _document(doc_id, value, max_bytes)
