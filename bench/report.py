"""The performance table, on real prose, in one run: every figure is the median time of one
function over the median time of a floor or a peer measured in the same run on the same text,
the calls of a row taking turns in every round so that a busy machine slows them alike.

The texts are bench/corpus.py's (Debian's documentation: the Python documentation and English
manual pages, translated manual pages, LibreOffice help and Debian's handbooks): 1 MB of
English, German, Russian, Chinese, Japanese, and mixed (their paragraphs interleaved), and
10 MB of English and mixed for growth (both all distinct prose).

- content_hash against hashlib.sha256(text.encode()).hexdigest(), the least any hash of the
  text does; the fingerprints against content_hash, since each reads the same canonical stream.
- minhash_signature against datasketch and rensa over the same 5-word shingles, and against
  the arithmetic alone (minhash_floor.cc: 128 products mod 2^61 - 1 and a minimum per
  distinct shingle), built here with the flags of a Release build.
- text_fingerprint against PyPI simhash (its default 4-character grams of the text).

Run: .venv/bin/python bench/report.py [--readme] (make bench); --readme also rewrites the
Performance section of README.md with the table.
"""
import argparse
import hashlib
import os
import pathlib
import subprocess
import sys
import unicodedata

import regex

import corpus
import quelvane
from common import interleaved_medians, median_seconds

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
LANGUAGES = ("english", "german", "russian", "chinese", "japanese", "mixed")
GROWTH_LANGUAGES = ("english", "mixed")
ROUNDS = 15
KEY = "5eed" * 16
POINTER = "0123456789abcdef0123456789abcdef"
SECRET = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"
# Characters a watermark reads as its own; no text may carry them before it is marked.
ZERO_WIDTH = dict.fromkeys([0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, *range(0xFE00, 0xFE10)])
WORD = regex.compile(r"[\p{Alphabetic}\p{Nd}\p{Nl}\p{No}]+")


def sha256_floor(text):
    return hashlib.sha256(text.encode()).hexdigest()


def shingles(text):
    """The 5-word shingles of the canonical words, computed the plain way (outside the timing)."""
    words = WORD.findall(unicodedata.normalize("NFC", text).translate(ZERO_WIDTH).lower())
    if len(words) < 5:
        return [" ".join(words)] if words else []
    return [" ".join(words[k : k + 5]) for k in range(len(words) - 4)]


def text_functions():
    """name -> (function, argument maker) for every function of the module that reads a text:
    the argument maker turns the text into the call's arguments (outside the timing)."""
    table = {
        name: (getattr(quelvane, name), lambda t: (t,))
        for name in ("content_hash", "text_fingerprint", "text_structure", "minhash_signature", "minhash_bands",
                     "soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash")
    }
    table["embed_watermark"] = (quelvane.embed_watermark, lambda t: (t.translate(ZERO_WIDTH), POINTER, KEY))
    table["extract_watermark"] = (
        quelvane.extract_watermark, lambda t: (quelvane.embed_watermark(t.translate(ZERO_WIDTH), POINTER, KEY), KEY))
    table["sign"] = (quelvane.sign, lambda t: (t, SECRET))
    table["cross_check"] = (quelvane.cross_check, lambda t: (KEY, t, ""))
    for builder in ("soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash"):
        table[f"verify_tier ({builder[13:]})"] = (
            quelvane.verify_tier, lambda t, b=builder: (t, getattr(quelvane, b)(t), False, True))
    return table


def build_floor():
    """Compiles minhash_floor.cc as the module's Release build compiles it; returns its path."""
    BUILD.mkdir(parents=True, exist_ok=True)
    binary = BUILD / "minhash_floor"
    subprocess.run([os.environ.get("CXX", "c++"), "-O3", "-DNDEBUG", "-std=c++20",
                    str(ROOT / "bench" / "minhash_floor.cc"), "-o", str(binary)], check=True)
    return binary


def floor_seconds(binary, distinct, rounds):
    out = subprocess.run([str(binary), str(distinct), str(rounds)], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


def peer(module):
    try:
        return __import__(module)
    except ImportError:
        print(f"(peer {module} not installed: skipped)", file=sys.stderr)
        return None


def simhash_peer():
    """simhash.Simhash, with its bit arrays widened: under NumPy 2 the package's uint8 arrays
    refuse weights above 255 (any 4-gram seen more than 255 times), and the text fails."""
    simhash = peer("simhash")
    if simhash is None:
        return None
    import numpy

    class Simhash(simhash.Simhash):
        @staticmethod
        def _bitarray_from_bytes(b):
            return numpy.unpackbits(numpy.frombuffer(b, dtype=">B")).astype(numpy.int64)

    return Simhash


class Table:
    def __init__(self):
        self.lines = []

    def header(self, *cells):
        self.row(*cells)
        self.row(*(["---"] * len(cells)))

    def row(self, *cells):
        line = "| " + " | ".join(cells) + " |"
        self.lines.append(line)
        print(line, flush=True)

    def gap(self):
        self.lines.append("")
        print(flush=True)


def ratio(value):
    return f"{value:.2f}x"


def per_language(table):
    """content_hash and the fingerprints against their floors, 1 MB of each language."""
    functions = (quelvane.content_hash, quelvane.text_fingerprint, quelvane.text_structure,
                 quelvane.minhash_signature, quelvane.soft_binding_fingerprint)
    times = {}
    for language in LANGUAGES:
        text = corpus.text(language, 1)
        times[language] = interleaved_medians([(sha256_floor, text), *((f, text) for f in functions)], ROUNDS)
    table.header("1 MB of real prose", *LANGUAGES, "goal")
    goals = {"content_hash": "≤ 2.0x English, ≤ 3.0x Chinese", "text_fingerprint": "≤ 2.5x",
             "soft_binding_fingerprint": "≤ 4x"}
    for index, function in enumerate(functions, start=1):
        floor = "`sha256(text.encode())`" if index == 1 else "`content_hash`"
        cells = [ratio(times[lang][index] / times[lang][0 if index == 1 else 1]) for lang in LANGUAGES]
        table.row(f"`{function.__name__}` / {floor}", *cells, goals.get(function.__name__, ""))
    table.row("`content_hash` time", *(f"{times[lang][1] * 1e3:.2f} ms" for lang in LANGUAGES), "")
    return times


def peers(table, times):
    """minhash_signature and text_fingerprint against their peers and floor, English 1 MB."""
    text = corpus.text("english", 1)
    ours_minhash = times["english"][3]
    data = shingles(text)
    encoded = [s.encode() for s in data]
    table.header("English, 1 MB", "ours", "compared with", "ratio", "goal")
    datasketch = peer("datasketch")
    if datasketch:
        seconds = median_seconds(lambda: datasketch.MinHash(num_perm=128).update_batch(encoded), repeat=5)
        table.row("`minhash_signature`", f"{ours_minhash * 1e3:.1f} ms",
                  f"datasketch, same {len(data)} shingles: {seconds * 1e3:.0f} ms", f"{seconds / ours_minhash:.1f}x faster",
                  "≥ 12x faster")
    rensa = peer("rensa")
    if rensa:
        seconds = median_seconds(lambda: rensa.RMinHash(num_perm=128, seed=0).update(data), repeat=ROUNDS)
        table.row("`minhash_signature`", f"{ours_minhash * 1e3:.1f} ms", f"rensa, same shingles: {seconds * 1e3:.1f} ms",
                  f"{ours_minhash / seconds:.1f}x slower" if ours_minhash > seconds else
                  f"{seconds / ours_minhash:.1f}x faster", "")
    distinct = len(set(data))
    floor = floor_seconds(build_floor(), distinct, ROUNDS)
    table.row("`minhash_signature`", f"{ours_minhash * 1e3:.1f} ms",
              f"arithmetic floor, {distinct} distinct shingles: {floor * 1e3:.1f} ms", ratio(ours_minhash / floor),
              "≤ 1.5x")
    simhash = simhash_peer()
    if simhash:
        seconds = median_seconds(simhash, text, repeat=3)
        ours = times["english"][2]
        table.row("`text_fingerprint`", f"{ours * 1e3:.1f} ms", f"PyPI simhash: {seconds * 1e3:.0f} ms",
                  f"{seconds / ours:.0f}x faster", "")


def growth(table):
    """Every function that reads a text: time on 10 MB over time on 1 MB."""
    table.header("10 MB / 1 MB", *GROWTH_LANGUAGES, "goal")
    texts = {lang: (corpus.text(lang, 1), corpus.text(lang, 10)) for lang in GROWTH_LANGUAGES}
    # The floor's own growth shows what merely turning the argument into UTF-8 costs at each size.
    rows = {"sha256(text.encode())": (sha256_floor, lambda t: (t,)), **text_functions()}
    for name, (function, arguments) in rows.items():
        cells = []
        for language in GROWTH_LANGUAGES:
            small, large = (arguments(t) for t in texts[language])
            one, ten = interleaved_medians([(function, *small), (function, *large)], 3)
            cells.append(ratio(ten / one))
        table.row(f"`{name}`", *cells, "floor" if function is sha256_floor else "≤ 10.5x")


def write_readme(lines):
    readme = ROOT / "README.md"
    text = readme.read_text(encoding="utf-8")
    start = text.index("## Performance\n")
    end = text.find("\n## ", start + 1)
    end = len(text) if end < 0 else end + 1
    section = "\n".join([
        "## Performance",
        "",
        "Figures from `make bench` (`bench/report.py`), one run on a shared 2-core machine: medians of",
        "the processor time of each call, each as a ratio to a floor or a peer timed in turn with it on",
        "the same text. The texts are real",
        "prose taken from Debian's documentation packages by `bench/corpus.py`: the Python",
        "documentation and the English manual pages; the German, Russian, Chinese and Japanese manual",
        "pages, LibreOffice help and Debian handbooks; \"mixed\" interleaves their paragraphs. Growth",
        "is timed on 10 MB of English and of mixed prose, distinct all the way.",
        "",
        *lines,
        "",
        "`rensa` hashes with cheap 32-bit arithmetic; the assertion format fixes 128 exact products",
        "modulo 2^61 − 1 per shingle, which the arithmetic floor times alone.",
        "",
        "Every call first turns its Python string into UTF-8, and at 10 MB that conversion grows",
        "faster than the text (a fresh buffer whose pages fault in on every call; the English text",
        "holds a few characters beyond U+FFFF, so Python keeps it at four bytes a character): the",
        "floor's own growth row shows it, and the calls that do little else (`content_hash`,",
        "`cross_check`, `embed_watermark`) follow it. `sign` writes a result of 4 MB or more into",
        "its string a character at a time, which keeps its memory near two bytes per input byte at",
        "about twice the time.",
        "",
    ])
    readme.write_text(text[:start] + section + text[end:], encoding="utf-8")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readme", action="store_true", help="rewrite README.md's Performance section")
    args = parser.parse_args()
    table = Table()
    times = per_language(table)
    table.gap()
    peers(table, times)
    table.gap()
    growth(table)
    if args.readme:
        write_readme(table.lines)


if __name__ == "__main__":
    main()
