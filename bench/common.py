"""Shared by the bench scripts: fixed inputs and a median timer."""
import statistics
import time

_WORDS = (
    "the harbour town woke slowly that winter while fishing boats rocked against the quay and the "
    "baker opened her shutters as the first gulls argued over yesterday's bread; by nine the market "
    "square was full of crates, apples, second-hand books and a man selling knives"
).split()
_MIXED = (
    "Καλημέρα κόσμε, το λιμάνι ξύπνησε αργά. Доброе утро, гавань просыпалась медленно. "
    "港の町はゆっくりと目を覚ました。漁船が岸壁に揺れていた。 "
    "Ame\u0301lie, Zoe\u0308 et Noe\u0308l — ½ + ⅓ ≈ 0.83! co\u200bop\u2060 \ufeff"
)


def english(size):
    """Deterministic English-like prose of about `size` bytes, in paragraphs."""
    out, i, n = [], 0, 0
    while n < size:
        word = _WORDS[(i * 7 + i // 13) % len(_WORDS)]
        if i % 17 == 16:
            word = word.capitalize() + "."
        out.append(word)
        n += len(word) + 1
        i += 1
        if i % 120 == 0:
            out.append("\n\n")
    return " ".join(out)[:size]


def mixed(size):
    """Mixed-script text (Greek, Cyrillic, CJK, combining marks, zero-width) of about `size` bytes."""
    unit = _MIXED + " "
    text = unit * (size // len(unit.encode()) + 1)
    return text.encode()[:size].decode(errors="ignore")


def interleaved_medians(calls, rounds):
    """Median seconds of each (function, *args) in `calls`, timed in turn in every round, so
    that a busy machine slows them alike."""
    times = [[] for _ in calls]
    for _ in range(rounds):
        for samples, (function, *args) in zip(times, calls):
            start = time.perf_counter()
            function(*args)
            samples.append(time.perf_counter() - start)
    return [statistics.median(samples) for samples in times]


def median_seconds(function, *args, repeat=7, number=1):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            function(*args)
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def report(rows):
    """rows: (label, seconds, floor_seconds). Prints each with its ratio to its floor."""
    width = max(len(label) for label, _, _ in rows)
    for label, seconds, floor in rows:
        print(f"{label:<{width}}  {seconds * 1e3:9.3f} ms   {seconds / floor:6.2f}x")
