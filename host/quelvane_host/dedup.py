"""Near-duplicate clusters within one corpus, in-process or on a Dask cluster.

The pipeline of the MinHash deduplication jobs that run over web-scale corpora:

1. per partition, each document's 128 MinHash values and 32 band keys;
2. a join on band keys (a shuffle of (key, document) rows) gives the candidate pairs;
3. each candidate is confirmed when at least `threshold` of the 128 signature positions agree;
4. the confirmed pairs are cut into connected components on the client;
5. per partition, one row per document: the document, its cluster (named by the cluster's first
   document in corpus order) and the cluster's size. A document without a near duplicate is a
   cluster of one, so keeping the rows whose document is its own cluster deduplicates the corpus.

Every module call holds the interpreter lock, so a worker gains nothing from threads: run the Dask
workers as processes with one thread each (see `engine.local_cluster`).

What step 1 computes waits on disk, in a work folder inside the output that the run removes at the
end, rather than in the workers' memory: signatures and ids per partition, and the band rows
already split by join task, as shuffle files. A worker then holds one partition (or one join
task's rows) at a time, however large the corpus, and a task run again after its worker died
rewrites the same files.
"""
from __future__ import annotations

import json
import os
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Sequence, Tuple

import numpy as np
import numpy.typing as npt
import quelvane

from .corpus import Corpus, Document, DocumentError, Partition, read_partition
from .engine import PARTITIONS_PER_WORKER, Engine, engine_for, worker_count
from .output import OUTPUT_FORMATS, clear_parts, part_path, write_rows

SIGNATURE_LENGTH = 128
BAND_COUNT = 32
DEFAULT_THRESHOLD = 0.7
# A band bucket larger than this pairs each document only with the next BUCKET_WINDOW in it, so
# that n copies of one text (which share every bucket) cost about 64n candidate pairs, not n²/2;
# the copies still form one chain of confirmed pairs and so one cluster.
BUCKET_WINDOW = 64
# Every partition sends a piece to every join task, so the graph grows with the product: one join
# task per PARTITIONS_PER_JOIN partitions (a few MB of rows each), at most MAX_JOIN_TASKS.
PARTITIONS_PER_JOIN = 4
MAX_JOIN_TASKS = 32
_ROW_BITS = 32
_ROW_MASK = (1 << _ROW_BITS) - 1
_CLUSTER_COLUMNS = {"document": "string", "cluster": "string", "cluster_size": "int64"}
_ERROR_COLUMNS = {"document": "string", "reason": "string"}

Indices = npt.NDArray[np.int64]
Rows = Tuple[npt.NDArray[np.uint64], Indices]


@dataclass(frozen=True)
class Fingerprints:
    """Where one partition's fingerprints wait: the ids, errors and signatures (rows of 128
    values) of its documents, and its band rows split into `parts` pieces by join task."""

    partition: int
    work: str
    parts: int

    def file(self, kind: str, part: int | None = None) -> Path:
        return _work_file(self.work, kind, self.partition, part)

    def signatures(self) -> npt.NDArray[np.uint64]:
        # Mapped, not read: a confirmation reads only the rows of its candidate pairs.
        signatures: npt.NDArray[np.uint64] = np.load(self.file("signatures"), mmap_mode="r")
        return signatures

    def records(self) -> tuple[list[str], list[DocumentError]]:
        with open(self.file("records"), encoding="utf-8") as stream:
            stored = json.load(stream)
        return stored["ids"], [DocumentError(doc_id, reason) for doc_id, reason in stored["errors"]]


@dataclass(frozen=True)
class DedupSummary:
    documents: int
    errors: int
    clusters: int  # of two documents or more
    duplicates: int  # documents that a deduplicated corpus drops
    candidate_pairs: int
    confirmed_pairs: int


def fingerprint(partition: Partition, work: str, parts: int) -> Fingerprints:
    ids: list[str] = []
    # Arrays per document, not lists of Python integers, which take five times the memory.
    signatures: list[npt.NDArray[np.uint64]] = []
    bands: list[npt.NDArray[np.uint64]] = []
    errors: list[DocumentError] = []
    for record in read_partition(partition):
        if isinstance(record, Document):
            ids.append(record.id)
            signatures.append(np.array(quelvane.minhash_signature(record.text), dtype=np.uint64))
            bands.append(np.array(quelvane.minhash_bands(record.text), dtype=np.uint64))
        else:
            errors.append(record)
    done = Fingerprints(partition.number, work, parts)
    _write(done.file("signatures"), lambda path: np.save(path, _rows(signatures, SIGNATURE_LENGTH)))
    records = {"ids": ids, "errors": [[error.id, error.reason] for error in errors]}
    _write(done.file("records"), lambda path: path.write_text(json.dumps(records), encoding="utf-8"))
    rows = band_rows(partition.number, _rows(bands, BAND_COUNT))
    for part, (keys, docs) in enumerate(split_by_key(rows, parts)):
        _write(done.file("bands", part), lambda path: np.save(path, np.stack([keys, docs.view(np.uint64)])))
    return done


def _rows(arrays: list[npt.NDArray[np.uint64]], width: int) -> npt.NDArray[np.uint64]:
    return np.stack(arrays) if arrays else np.empty((0, width), dtype=np.uint64)


def _work_file(work: str, kind: str, partition: int, part: int | None = None) -> Path:
    suffix = "json" if kind == "records" else "npy"
    return Path(work) / (f"{kind}-{partition:05d}.{suffix}" if part is None else
                         f"{kind}-{partition:05d}-{part:03d}.{suffix}")


def _write(path: Path, save: Callable[[Path], object]) -> None:
    """Writes through a temporary file, so that a task run twice never leaves half a file."""
    temporary = path.with_name(f".{path.stem}.{os.getpid()}.tmp{path.suffix}")
    save(temporary)
    os.replace(temporary, path)


def global_index(partition: int, rows: Indices) -> Indices:
    """A document's place in the whole corpus: its partition in the high bits, its row below."""
    return (np.int64(partition) << _ROW_BITS) | rows


def band_rows(partition: int, bands: npt.NDArray[np.uint64]) -> Rows:
    """(band key, document) rows, each key once per document (the 32 keys of a short text repeat)."""
    docs = np.repeat(global_index(partition, np.arange(len(bands), dtype=np.int64)), BAND_COUNT)
    keys = bands.reshape(-1)
    order = np.lexsort((keys, docs))
    keys, docs = keys[order], docs[order]
    fresh = np.ones(len(keys), dtype=bool)
    fresh[1:] = (keys[1:] != keys[:-1]) | (docs[1:] != docs[:-1])
    return keys[fresh], docs[fresh]


def bucket_pairs(keys: npt.NDArray[np.uint64], docs: Indices) -> Indices:
    """Candidate pairs (a < b) of documents that share a band key, as unique rows of an (n, 2) array.

    A key matches any key of the other document, not only the one at the same band index, as
    `shares_band` of the module does.
    """
    order = np.lexsort((docs, keys))
    keys, docs = keys[order], docs[order]
    firsts: list[Indices] = []
    seconds: list[Indices] = []
    for offset in range(1, BUCKET_WINDOW + 1):
        same = keys[:-offset] == keys[offset:]
        if not same.any():
            break
        firsts.append(docs[:-offset][same])
        seconds.append(docs[offset:][same])
    return _unique_pairs([np.stack([_concat(firsts), _concat(seconds)], axis=1)])


def _unique_pairs(parts: Sequence[Indices]) -> Indices:
    pairs = np.concatenate(parts) if parts else np.empty((0, 2), dtype=np.int64)
    return np.unique(pairs, axis=0) if len(pairs) else pairs.reshape(0, 2)


def _concat(parts: list[Indices]) -> Indices:
    return np.concatenate(parts) if parts else np.empty(0, dtype=np.int64)


def confirm(first: Fingerprints, second: Fingerprints, rows_a: Indices, rows_b: Indices,
            threshold: float) -> npt.NDArray[np.bool_]:
    """Which pairs (first's row, second's row) agree in at least `threshold` of the positions."""
    agreeing = np.count_nonzero(first.signatures()[rows_a] == second.signatures()[rows_b], axis=1)
    verdict: npt.NDArray[np.bool_] = agreeing >= threshold * SIGNATURE_LENGTH
    return verdict


def ids_at(fingerprints: Fingerprints, rows: Indices) -> list[str]:
    ids, _ = fingerprints.records()
    return [ids[row] for row in rows]


def write_partition(fingerprints: Fingerprints, clustered_rows: Indices, cluster_ids: list[str],
                    sizes: Indices, output: str, fmt: str) -> tuple[int, int]:
    """The partition's cluster rows and error rows; `clustered_rows` are its documents that have
    near duplicates, with their cluster's name and size alongside. Returns the number of each."""
    ids, errors = fingerprints.records()
    named = dict(zip(clustered_rows.tolist(), zip(cluster_ids, sizes.tolist())))
    rows = [{"document": doc_id, "cluster": named.get(row, (doc_id, 1))[0],
             "cluster_size": named.get(row, (doc_id, 1))[1]}
            for row, doc_id in enumerate(ids)]
    write_rows(part_path(Path(output) / "clusters", fingerprints.partition, fmt), _CLUSTER_COLUMNS, rows, fmt)
    error_rows = [{"document": error.id, "reason": error.reason} for error in errors]
    write_rows(part_path(Path(output) / "errors", fingerprints.partition, fmt), _ERROR_COLUMNS, error_rows, fmt)
    return len(rows), len(error_rows)


def split_by_key(rows: Rows, parts: int) -> list[Rows]:
    """`rows` in `parts` pieces by key, so that piece k of every partition holds all the rows of
    the keys that join task k handles."""
    keys, docs = rows
    target = (keys % np.uint64(parts)).astype(np.int64)
    return [(keys[target == part], docs[target == part]) for part in range(parts)]


def join_part(part: int, *prints: Fingerprints) -> Indices:
    """Candidate pairs among the band rows of join task `part`, read from every partition's piece."""
    pieces = [np.load(fingerprints.file("bands", part)) for fingerprints in prints]
    keys = np.concatenate([piece[0] for piece in pieces]) if pieces else np.empty(0, dtype=np.uint64)
    docs = np.concatenate([piece[1] for piece in pieces]) if pieces else np.empty(0, dtype=np.uint64)
    return bucket_pairs(keys, docs.view(np.int64))


def join_tasks(partitions: int) -> int:
    return max(min(-(-partitions // PARTITIONS_PER_JOIN), MAX_JOIN_TASKS), 1)


def candidate_pairs(engine: Engine, prints: list[Any]) -> Indices:
    """The join on band keys as a hash exchange through the work folder: every partition wrote
    its rows split by key, join task k reads piece k of each."""
    parts = join_tasks(len(prints))
    joined = engine.gather([engine.submit(join_part, part, *prints) for part in range(parts)])
    # Two documents can share keys that went to different join tasks.
    return _unique_pairs(joined)


def dedup(corpus: Corpus, output: str | Path, *, threshold: float = DEFAULT_THRESHOLD,
          fmt: str = "parquet", client: Any = None) -> DedupSummary:
    """Write `output`/clusters/part-*.{fmt} and `output`/errors/part-*.{fmt}; with `client` (a
    `distributed.Client`) on its cluster, otherwise in this process."""
    if not 0 < threshold <= 1:
        raise ValueError(f"threshold must be above 0 and at most 1, not {threshold}")
    if fmt not in OUTPUT_FORMATS:
        raise ValueError(f"unknown output format {fmt!r}: choose one of {', '.join(OUTPUT_FORMATS)}")
    engine = engine_for(client)
    for folder in ("clusters", "errors"):
        clear_parts(Path(output) / folder)
    partitions = corpus.partitions(least=PARTITIONS_PER_WORKER * worker_count(client))
    if not partitions:
        return DedupSummary(0, 0, 0, 0, 0, 0)
    work = Path(output).absolute() / ".dedup-work"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir()
    try:
        return _dedup(engine, partitions, str(work), str(output), threshold, fmt)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _dedup(engine: Engine, partitions: list[Partition], work: str, output: str, threshold: float, fmt: str
           ) -> DedupSummary:
    prints = engine.map(fingerprint, partitions, work=work, parts=join_tasks(len(partitions)))
    candidates = candidate_pairs(engine, prints)
    edges = _confirmed(engine, prints, candidates, threshold)
    members, representatives, sizes = _components(edges)
    names = _representative_names(engine, prints, representatives)
    written = []
    for number, handle in enumerate(prints):
        mine = (members >> _ROW_BITS) == number
        written.append(engine.submit(write_partition, handle, members[mine] & _ROW_MASK,
                                     [names[int(rep)] for rep in representatives[mine]],
                                     sizes[mine], output, fmt))
    documents, errors = np.array(engine.gather(written)).reshape(-1, 2).sum(axis=0)
    return DedupSummary(int(documents), int(errors), int(np.count_nonzero(members == representatives)),
                   int(np.count_nonzero(members != representatives)), len(candidates), len(edges))


def _confirmed(engine: Engine, prints: list[Any], candidates: Indices, threshold: float) -> Indices:
    """The candidate pairs that agree, one task per pair of partitions they fall in."""
    a, b = candidates[:, 0], candidates[:, 1]
    _, group = np.unique(np.stack([a >> _ROW_BITS, b >> _ROW_BITS], axis=1), axis=0, return_inverse=True)
    order = np.argsort(group.reshape(-1), kind="stable")
    selections = np.split(order, np.flatnonzero(np.diff(group.reshape(-1)[order])) + 1) if len(order) else []
    verdicts = engine.gather([
        engine.submit(confirm, prints[int(a[chosen[0]] >> _ROW_BITS)], prints[int(b[chosen[0]] >> _ROW_BITS)],
                      a[chosen] & _ROW_MASK, b[chosen] & _ROW_MASK, threshold)
        for chosen in selections])
    keep = np.zeros(len(a), dtype=bool)
    for chosen, verdict in zip(selections, verdicts):
        keep[chosen] = verdict
    return candidates[keep]


def _components(edges: Indices) -> tuple[Indices, Indices, Indices]:
    """For every document that has a confirmed pair: its global index, its cluster's first
    document and the cluster's size."""
    from scipy.sparse import coo_matrix  # type: ignore[import-untyped]
    from scipy.sparse.csgraph import connected_components  # type: ignore[import-untyped]

    if not len(edges):
        nothing = np.empty(0, dtype=np.int64)
        return nothing, nothing, nothing
    nodes, inverse = np.unique(edges.reshape(-1), return_inverse=True)
    count = len(nodes)
    inverse = inverse.reshape(-1, 2)
    graph = coo_matrix((np.ones(len(inverse), dtype=np.int8), (inverse[:, 0], inverse[:, 1])),
                       shape=(count, count))
    _, labels = connected_components(graph, directed=False)
    # `nodes` is sorted, so the first node seen with each label is the cluster's first document.
    _, first, sizes = np.unique(labels, return_index=True, return_counts=True)
    return nodes, nodes[first][labels], sizes[labels].astype(np.int64)


def _representative_names(engine: Engine, prints: list[Any], representatives: Indices) -> dict[int, str]:
    unique = np.unique(representatives)
    partitions = unique >> _ROW_BITS
    wanted = [(int(number), unique[partitions == number]) for number in np.unique(partitions)]
    found = engine.gather([engine.submit(ids_at, prints[number], rows & _ROW_MASK) for number, rows in wanted])
    return {int(doc): name for (_, docs), names in zip(wanted, found) for doc, name in zip(docs, names)}


def cluster_rows(rows: Sequence[dict[str, Any]]) -> dict[str, frozenset[str]]:
    """Each document's cluster as the set of its members, from rows read back from the output."""
    members: dict[str, set[str]] = {}
    for row in rows:
        members.setdefault(row["cluster"], set()).add(row["document"])
    frozen = {cluster: frozenset(docs) for cluster, docs in members.items()}
    return {row["document"]: frozen[row["cluster"]] for row in rows}
