"""Near-duplicate discovery over a folder of texts.

Each text's 32 MinHash band keys (`minhash_bands`) go into an SQLite index; two texts that share
any band key are a candidate pair, and each pair is reported with its signature agreement: the
fraction of the 128 `minhash_signature` values that are equal, an estimate of the Jaccard
similarity of their 5-word shingles. Every quelvane call holds the interpreter lock, so the texts
are fingerprinted in a pool of processes, one per core.

Run: python examples/near_duplicates.py FOLDER [--db index.sqlite] [--min-agreement 0.3]
     python examples/near_duplicates.py --demo      (a small generated corpus in a temp folder)
"""
from __future__ import annotations

import argparse
import os
import random
import sqlite3
import struct
import tempfile
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import quelvane

SIGNATURE = struct.Struct(">128Q")
SCHEMA = """
CREATE TABLE IF NOT EXISTS documents (id INTEGER PRIMARY KEY, path TEXT UNIQUE NOT NULL, signature BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS bands (key INTEGER NOT NULL, document INTEGER NOT NULL REFERENCES documents(id));
CREATE INDEX IF NOT EXISTS bands_by_key ON bands(key);
"""


def fingerprint(path: str) -> tuple[str, list[int], bytes]:
    """(path, band keys, packed signature) of one file; runs in a worker process."""
    text = Path(path).read_text(encoding="utf-8", errors="replace")
    return path, quelvane.minhash_bands(text), SIGNATURE.pack(*quelvane.minhash_signature(text))


def as_sqlite_integer(key: int) -> int:
    """A band key (unsigned 64-bit) as the signed 64-bit integer SQLite stores."""
    return key - (1 << 64) if key >= 1 << 63 else key


def index(db: sqlite3.Connection, paths: list[str], workers: int) -> None:
    with ProcessPoolExecutor(max_workers=workers) as pool, db:
        for path, bands, signature in pool.map(fingerprint, paths, chunksize=8):
            row = db.execute("SELECT id FROM documents WHERE path = ?", (path,)).fetchone()
            if row is not None:
                db.execute("DELETE FROM bands WHERE document = ?", row)
                db.execute("DELETE FROM documents WHERE id = ?", row)
            document = db.execute("INSERT INTO documents (path, signature) VALUES (?, ?)", (path, signature)).lastrowid
            db.executemany("INSERT INTO bands (key, document) VALUES (?, ?)",
                           [(as_sqlite_integer(key), document) for key in set(bands)])


def agreement(a: bytes, b: bytes) -> float:
    x: tuple[int, ...] = SIGNATURE.unpack(a)
    y: tuple[int, ...] = SIGNATURE.unpack(b)
    return sum(p == q for p, q in zip(x, y)) / len(x)


def candidate_pairs(db: sqlite3.Connection, min_agreement: float) -> list[tuple[float, str, str]]:
    """Pairs of documents sharing a band key, with their signature agreement, best first."""
    rows = db.execute("""
        SELECT d1.path, d1.signature, d2.path, d2.signature
        FROM (SELECT DISTINCT a.document AS first, b.document AS second
              FROM bands a JOIN bands b ON a.key = b.key AND a.document < b.document)
        JOIN documents d1 ON d1.id = first JOIN documents d2 ON d2.id = second
    """)
    pairs = [(agreement(sa, sb), pa, pb) for pa, sa, pb, sb in rows]
    return sorted((p for p in pairs if p[0] >= min_agreement), reverse=True)


def make_demo_corpus(folder: Path, seed: int = 7) -> None:
    """Twelve generated texts and edited copies of some of them: a light edit, a heavy edit,
    a reflowed copy and an excerpt, so that the expected pairs are known."""
    rng = random.Random(seed)
    words = ("harbour tide boat quay market apple stall book knife coin child bell winter gull "
             "bread baker shutter square crate evening town river bridge lamp street garden "
             "letter window morning rain road hill mill school clock door table song").split()

    def text(sentences: int) -> str:
        return " ".join(" ".join(rng.choice(words) for _ in range(rng.randint(8, 16))).capitalize() + "."
                        for _ in range(sentences))

    def edit(original: str, fraction: float) -> str:
        tokens = original.split(" ")
        for i in rng.sample(range(len(tokens)), int(len(tokens) * fraction)):
            tokens[i] = rng.choice(words)
        return " ".join(tokens)

    folder.mkdir(parents=True, exist_ok=True)
    for n in range(12):
        original = text(30)
        (folder / f"text{n:02}.txt").write_text(original, encoding="utf-8")
        if n % 3 == 0:
            (folder / f"text{n:02}-light-edit.txt").write_text(edit(original, 0.02), encoding="utf-8")
        if n % 4 == 0:
            (folder / f"text{n:02}-heavy-edit.txt").write_text(edit(original, 0.08), encoding="utf-8")
        if n % 5 == 0:
            (folder / f"text{n:02}-reflowed.txt").write_text(original.replace(". ", ".\n\n").upper(), encoding="utf-8")
            (folder / f"text{n:02}-excerpt.txt").write_text(original[: len(original) // 2], encoding="utf-8")


def run(folder: Path, db_path: str, workers: int, min_agreement: float) -> list[tuple[float, str, str]]:
    paths = sorted(str(p) for p in folder.rglob("*") if p.is_file() and p.suffix in {".txt", ".md"})
    db = sqlite3.connect(db_path)
    try:
        db.executescript(SCHEMA)
        index(db, paths, workers)
        pairs = candidate_pairs(db, min_agreement)
    finally:
        db.close()
    print(f"{len(paths)} texts indexed with {workers} worker processes; {len(pairs)} candidate pairs")
    for score, a, b in pairs:
        print(f"  {score:4.2f}  {os.path.relpath(a, folder)}  {os.path.relpath(b, folder)}")
    return pairs


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("folder", nargs="?", type=Path, help="folder of .txt/.md files, searched recursively")
    parser.add_argument("--demo", action="store_true", help="run on a small generated corpus")
    parser.add_argument("--db", default=":memory:", help="SQLite file to keep the index in (default: in memory)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes (default: all cores)")
    parser.add_argument("--min-agreement", type=float, default=0.0, help="hide pairs below this agreement")
    args = parser.parse_args(argv)
    if args.demo:
        with tempfile.TemporaryDirectory(prefix="quelvane-demo-") as scratch:
            make_demo_corpus(Path(scratch))
            run(Path(scratch), args.db, args.workers, args.min_agreement)
    elif args.folder is not None:
        run(args.folder, args.db, args.workers, args.min_agreement)
    else:
        parser.error("give a folder, or --demo")


if __name__ == "__main__":
    main()
