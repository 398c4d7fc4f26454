"""Result rows written as Parquet or JSON Lines, one file per partition of the work.

Each file is written under a temporary name and renamed into place, so a task that a worker
repeats (after another worker died) replaces its own file whole and a reader never sees half of
one.
"""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any, Mapping, Sequence

OUTPUT_FORMATS = ("parquet", "jsonl")
_PART = "part-{:05d}.{}"


def part_path(folder: str | Path, number: int, fmt: str) -> Path:
    return Path(folder) / _PART.format(number, fmt)


def clear_parts(folder: str | Path) -> None:
    """Create `folder`, removing the part files an earlier run left there (and nothing else)."""
    Path(folder).mkdir(parents=True, exist_ok=True)
    for fmt in OUTPUT_FORMATS:
        for stale in Path(folder).glob(f"part-*.{fmt}"):
            stale.unlink()


def write_rows(path: Path, columns: Mapping[str, str], rows: Sequence[Mapping[str, Any]], fmt: str) -> None:
    """`columns` maps each column to "string" or "int64", so that an empty part has a schema;
    `fmt` is one of OUTPUT_FORMATS."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    if fmt == "jsonl":
        with open(temporary, "w", encoding="utf-8") as stream:
            stream.writelines(json.dumps(dict(row), ensure_ascii=False) + "\n" for row in rows)
    else:
        import pyarrow as pa  # type: ignore[import-untyped]
        import pyarrow.parquet as pq  # type: ignore[import-untyped]

        schema = pa.schema([(name, getattr(pa, kind)()) for name, kind in columns.items()])
        pq.write_table(pa.Table.from_pylist(list(rows), schema=schema), temporary)
    os.replace(temporary, path)


def read_rows(folder: str | Path) -> list[dict[str, Any]]:
    """Every row of every part file in `folder`, in part order."""
    rows: list[dict[str, Any]] = []
    for path in sorted(Path(folder).glob("part-*.*")):
        if path.suffix == ".jsonl":
            with open(path, encoding="utf-8") as stream:
                rows.extend(json.loads(line) for line in stream)
        elif path.suffix == ".parquet":
            import pyarrow.parquet as pq

            rows.extend(pq.read_table(path).to_pylist())
    return rows
