"""How the time of every text function grows with the size of the text: 5, 10 and 50 MB.

Linear growth gives ratios of 2x (10 MB against 5 MB) and 10x (50 MB against 5 MB), less what
the memory system adds: 5 MB of text and its copies stay in the processor's caches, 50 MB do
not. Two floors show that share in the same run: encoding the text to UTF-8 and encoding it to
hex, linear by construction. The documentation packages hold about 10 MB of prose per language,
not 50 (bench/report.py times 10 MB against 1 MB of real prose), so the texts here are made: the
varied prose of tests/large_texts.py (distinct words, shingles and sentences keep growing with
the size) and, for the normaliser, runs of combining marks out of canonical order. Each time is
the median of three calls.

Run: .venv/bin/python bench/bench_scaling.py [function ...]
"""
import pathlib
import sys

from common import median_seconds

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import large_texts  # noqa: E402
import quelvane  # noqa: E402
from report import text_functions  # noqa: E402

SIZES_MB = (5, 10, 50)


def timed(function, arguments, text):
    return median_seconds(function, *arguments(text), repeat=3)


def marks_out_of_order(size):
    return "a" + "\u0301\u0323" * (size // 4)


def main(selected):
    texts = {mb: large_texts.varied_text(mb << 20) for mb in SIZES_MB}
    rows = [(name, *call, texts) for name, call in text_functions().items() if not selected or name in selected]
    if not selected or "floors" in selected:
        rows.insert(0, ("floor: UTF-8 encode", str.encode, lambda t: (t,), texts))
        rows.insert(1, ("floor: UTF-8 encode to hex", lambda t: t.encode().hex(), lambda t: (t,), texts))
    if not selected or "marks" in selected:
        marks = {mb: marks_out_of_order(mb << 20) for mb in SIZES_MB}
        rows.append(("content_hash (marks out of order)", quelvane.content_hash, lambda t: (t,), marks))
    width = max(len(name) for name, *_ in rows)
    print(f"{'function':<{width}}  " + "  ".join(f"{mb:>5} MB" for mb in SIZES_MB) + "   10/5   50/5")
    for name, function, arguments, inputs in rows:
        seconds = [timed(function, arguments, inputs[mb]) for mb in SIZES_MB]
        cells = "  ".join(f"{s:7.3f}s" for s in seconds)
        print(f"{name:<{width}}  {cells}  {seconds[1] / seconds[0]:5.2f}x {seconds[2] / seconds[0]:5.2f}x", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
