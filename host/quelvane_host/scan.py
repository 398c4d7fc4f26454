"""Scanning a corpus for copies of a registry's publications, in-process or on a Dask cluster.

Each partition of the corpus is one task. The task opens the registry's storage in the worker,
only reads from it, and identifies every document with the same code and rules as `quelvane
identify`: the watermark attempt with the publisher's binding key (a pointer counts only when its
tag verified), the whole-text band keys and the excerpt-index keys looked up in the storage, and
every candidate publication confirmed by its signed assertions, `verify_tier` and the passages
shared. Looking the keys up where the documents are keeps each worker's memory independent of
the registry's size and lets many workers read one SQLite file (or one PostgreSQL server) at once.

A large JSON Lines or Parquet file is cut into several partitions, and partitions are made
smaller when that gives every worker a few of them (see `Corpus.partitions`).

A task writes its part of the output under a temporary name and renames it into place, so a task
run again after its worker died replaces its own part: every match is in the output exactly once.
Only the binding key and repository id travel to the workers, never the signing key.
"""
from __future__ import annotations

import collections
import json
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator

from .corpus import Corpus, Document, Partition, read_partition
from .engine import PARTITIONS_PER_WORKER, engine_for, worker_count
from .extras import require
from .identify import Identifier, Match
from .output import OUTPUT_FORMATS, clear_parts, part_path, write_rows
from .storage import StorageLocation, open_storage

MATCH_COLUMNS = {"document": "string", "pointer": "string", "verdict": "string", "tier": "string",
                 "found_by": "string", "band_keys": "int64", "crosscheck_ok": "int64", "regions": "string",
                 "explanation": "string"}
ERROR_COLUMNS = {"document": "string", "reason": "string"}


@dataclass(frozen=True)
class BindingKey:
    """The part of a publisher's keys a scan needs; shown without its secret."""

    binding_hex: str
    repository_id: str

    def __repr__(self) -> str:
        return f"BindingKey(repository_id={self.repository_id!r})"


@dataclass(frozen=True)
class PartitionCounts:
    read: int
    """Bytes of the corpus's files this partition covers."""
    documents: int
    bytes: int
    matches: int
    other_rows: int
    weak_hidden: int
    errors: int


@dataclass(frozen=True)
class ScanProgress:
    """Where a scan stands, as partitions finish."""

    partitions_done: int
    partitions: int
    documents: int
    bytes_read: int
    """Of the corpus's files (as stored: JSON escapes, Parquet compression), against `bytes_total`."""
    bytes_total: int


@dataclass(frozen=True)
class ScanSummary:
    partitions: int
    """Tasks the corpus made: fewer than the workers leaves some of them idle."""
    documents: int
    megabytes: float
    matches: int
    """Rows whose verdict is a match."""
    other_rows: int
    """Rows written as weak or unverified evidence, or for withdrawn publications: on text of one
    genre they can far outnumber the matches, so they are counted apart and never pass for matches."""
    weak_hidden: int
    """Weak similarities of a kind unrelated texts often share, counted but not written: a scan
    writes them only when asked for (`weak`)."""
    errors: int
    seconds: float


def match_row(document: str, match: Match) -> dict[str, Any]:
    """One output row; `regions` holds the matched passages as [found start, found end, published
    start, published end] character ranges (end exclusive), as JSON."""
    evidence = match.evidence
    regions = [[p.found.start, p.found.end, p.publication.start, p.publication.end] for p in evidence.passages]
    return {"document": document, "pointer": match.pointer, "verdict": match.verdict, "tier": match.tier,
            "found_by": ",".join(evidence.found_by), "band_keys": evidence.band_keys,
            "crosscheck_ok": int(evidence.crosscheck_ok), "regions": json.dumps(regions),
            "explanation": match.explanation}


def scan_partition(partition: Partition, registry: str, binding: BindingKey, output: str, fmt: str,
                   weak: bool = False) -> PartitionCounts:
    """Identify every document of one partition; write its match rows and its error rows."""
    rows: list[dict[str, Any]] = []
    errors: list[dict[str, Any]] = []
    documents = size = hidden = 0
    storage = open_storage(registry)
    try:
        identifier = Identifier(storage, binding)
        documents_read: collections.deque[Document] = collections.deque()

        def texts() -> Iterator[str]:
            # The partition is read as it is identified; records that are not documents are
            # errors at once, and documents wait in order for their results.
            for record in read_partition(partition):
                if isinstance(record, Document):
                    documents_read.append(record)
                    yield record.text
                else:
                    errors.append({"document": record.id, "reason": record.reason})

        for matches in identifier.identify_each(texts(), weak=weak):
            record = documents_read.popleft()
            if isinstance(matches, ValueError):
                # The module's refusal of one text is that document's error, not the scan's.
                errors.append({"document": record.id, "reason": f"cannot be identified: {matches}"})
                continue
            documents += 1
            size += len(record.text.encode("utf-8"))
            hidden += matches.weak_hidden
            rows.extend(match_row(record.id, match) for match in matches)
    finally:
        storage.close()
    write_rows(part_path(Path(output) / "matches", partition.number, fmt), MATCH_COLUMNS, rows, fmt)
    write_rows(part_path(Path(output) / "errors", partition.number, fmt), ERROR_COLUMNS, errors, fmt)
    matched = sum(row["verdict"] == "match" for row in rows)
    return PartitionCounts(partition.size, documents, size, matched, len(rows) - matched, hidden, len(errors))


def scan(corpus: Corpus, registry: StorageLocation, keys: BindingKey, output: str | Path, *,
         fmt: str = "parquet", client: Any = None, progress: Callable[[ScanProgress], None] | None = None,
         weak: bool = False) -> ScanSummary:
    """Write `output`/matches/part-*.{fmt} and `output`/errors/part-*.{fmt}; with `client` (a
    `distributed.Client`) on its cluster, otherwise in this process. `progress` is called as
    partitions finish. Weak rows of a kind unrelated texts often share are written only with `weak`."""
    if fmt not in OUTPUT_FORMATS:
        raise ValueError(f"unknown output format {fmt!r}: choose one of {', '.join(OUTPUT_FORMATS)}")
    if fmt == "parquet":
        require(("pyarrow",), "writing Parquet", "dask", instead="write JSON Lines (--format jsonl)")
    started = time.monotonic()
    # Opening it here refuses a missing or unreadable registry before any work is sent out.
    open_storage(registry).close()
    for folder in ("matches", "errors"):
        clear_parts(Path(output) / folder)
    partitions = corpus.partitions(least=PARTITIONS_PER_WORKER * worker_count(client))
    # Workers may start elsewhere: they get absolute paths.
    location = os.fspath(registry)
    if "://" not in location:
        location = os.path.abspath(location)
    results = engine_for(client).each(scan_partition, partitions, registry=location, binding=keys,
                                      output=os.path.abspath(output), fmt=fmt, weak=weak)
    counts = _collect(results, partitions, progress)
    return ScanSummary(len(partitions), sum(c.documents for c in counts), round(sum(c.bytes for c in counts) / 1e6, 3),
                   sum(c.matches for c in counts), sum(c.other_rows for c in counts),
                   sum(c.weak_hidden for c in counts), sum(c.errors for c in counts),
                   round(time.monotonic() - started, 3))


def _collect(results: Iterable[PartitionCounts], partitions: list[Partition],
             progress: Callable[[ScanProgress], None] | None) -> list[PartitionCounts]:
    total = sum(partition.size for partition in partitions)
    counts: list[PartitionCounts] = []
    for done in results:
        counts.append(done)
        if progress is not None:
            progress(ScanProgress(len(counts), len(partitions), sum(c.documents for c in counts),
                                  sum(c.read for c in counts), total))
    return counts
