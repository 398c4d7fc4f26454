"""Chinese and Japanese, where words are not separated by spaces: what the excerpt index finds and
what it confuses, with the words of those scripts taken one character at a time (the host as it
was at BEFORE) and from ICU's dictionary (the host of this tree), on real prose (bench/corpus.py).

Documents: the 1 MB text of each language cut at paragraph breaks into documents of 300 to 2,000
words (words as ICU segments them), every paragraph that repeats a run of RUN_CHARS characters
of an earlier one dropped, so that no two documents share a sentence. The first PUBLISHED are
published into a fresh registry; the others are held out: the unrelated text that passages are
pasted into, and unrelated documents to identify.

For every published document: the whole copy as published, the whole text without its watermark,
a 20% excerpt and passages of 50, 30 and 20 words, each pasted as a paragraph into held-out text
PASTE_FACTOR times its length. A copy counts as found when identify calls its publication a match;
"only weak" when it reports it only as weak. Unrelated pairs: every identify of a copy stands for
the pairs of that copy with every other publication, every held-out document for its pairs with
all of them; a match or a weak row (asked for with weak=True) naming another publication is
counted against those pairs.

Shingles: the share of the distinct five-word shingles of one document found in another, over
all ordered pairs of SHARE_DOCUMENTS documents, beside English documents of the same corpus.

Scan: `quelvane scan` of the held-out documents and the whole copies (as a JSON Lines file, in
one process, weak rows asked for), per document, against computing the document's keys alone
(excerpt keys and MinHash band keys), both in the same run.

Both hosts run in subprocesses of this script on the same documents and copies. The words that
cut the passages are ICU's, so both see the same passages.

Usage: python bench/bench_scripts.py [--quick]"""
from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
BEFORE = "e7ecf03"
"""The last commit whose host took each Han or kana character as a word."""
SEED = 20261211
RUN_CHARS = 16
DOCUMENT_WORDS = (300, 2000)
PUBLISHED = 300
HELD_OUT = 120
MIN_HELD_OUT = 20
PASTE_FACTOR = 5
SHARE_DOCUMENTS = 150
LANGUAGES = ("chinese", "japanese")
KINDS = ("whole copy as published", "whole text, no watermark", "20% excerpt pasted 5x", "50 words pasted 5x",
         "30 words pasted 5x", "20 words pasted 5x")


# --- documents and copies (made once, with ICU's words) ---------------------------------------

def documents(language: str) -> list[list[str]]:
    """The language's documents, each as its paragraphs."""
    from quelvane_host import excerpts

    seen: set[int] = set()
    out: list[list[str]] = []
    pending: list[str] = []
    words = 0
    for paragraph in corpus.text(language, 1).split("\n\n"):
        runs = {hash(paragraph[i:i + RUN_CHARS]) for i in range(max(1, len(paragraph) - RUN_CHARS + 1))}
        if runs & seen:
            continue
        seen |= runs
        count = len(excerpts.split_words(paragraph))
        if words + count > DOCUMENT_WORDS[1]:
            pending, words = [], 0
        pending.append(paragraph)
        words += count
        if words >= DOCUMENT_WORDS[0]:
            out.append(pending)
            pending, words = [], 0
    return out


def passage(text: str, words: int, rng: random.Random) -> str:
    """`words` consecutive words of `text`, cut from it as it stands."""
    from quelvane_host import excerpts

    split = excerpts.split_words(text)
    words = min(words, len(split))
    first = rng.randrange(len(split) - words + 1)
    return text[split.starts[first]:split.ends[first + words - 1]]


def paste(piece: str, held_out: list[list[str]], rng: random.Random) -> str:
    """`piece` as a paragraph of held-out prose PASTE_FACTOR times its length in words."""
    from quelvane_host import excerpts

    needed = PASTE_FACTOR * len(excerpts.split_words(piece))
    document = rng.randrange(len(held_out))
    paragraph = rng.randrange(len(held_out[document]))
    around: list[str] = []
    count = 0
    while count < needed:
        text = held_out[document][paragraph]
        split = excerpts.split_words(text)
        if count + len(split) > needed:
            text = text[:split.ends[needed - count - 1]]
        around.append(text)
        count += min(len(split), needed - count)
        paragraph += 1
        if paragraph == len(held_out[document]):
            document, paragraph = (document + 1) % len(held_out), 0
    at = rng.randrange(len(around) + 1)
    return "\n\n".join(around[:at] + [piece] + around[at:])


def cases(published: list[str], held_out: list[list[str]]) -> list[list[tuple[str, str]]]:
    """(kind, text) of each published document's copies but the one made of its published form."""
    from quelvane_host import excerpts

    out = []
    for index, text in enumerate(published):
        rng = random.Random(f"{SEED}-{index}")
        fifth = max(1, round(0.2 * len(excerpts.split_words(text))))
        out.append([("whole text, no watermark", text),
                    ("20% excerpt pasted 5x", paste(passage(text, fifth, rng), held_out, rng)),
                    *((f"{words} words pasted 5x", paste(passage(text, words, rng), held_out, rng))
                      for words in (50, 30, 20))])
    return out


# --- one host, in a subprocess ------------------------------------------------------------------

def measure(job: dict) -> dict:
    """Publishes, identifies and scans with the host on sys.path; returns the counts and times."""
    from quelvane_host import Keys, Registry, excerpts, indexing
    from quelvane_host.cli import main as cli

    result: dict = {"found": {k: 0 for k in KINDS}, "only weak": {k: 0 for k in KINDS}, "copies": 0,
                    "false matches": 0, "weak rows": 0, "weak rows shown": 0, "pairs": 0}
    published, held_out = job["published"], job["held_out"]
    folder = Path(job["folder"])
    keys = Keys.generate("bench-scripts")
    keys.save(folder / "quelvane.key")
    with Registry.create(folder / "quelvane.db", keys) as registry:
        pointers, copies = [], []
        for text in published:
            publication = registry.publish(text)
            pointers.append(publication.pointer)
            copies.append(publication.published)
        for index, pointer in enumerate(pointers):
            for kind, copy in [("whole copy as published", copies[index]), *job["cases"][index]]:
                rows = registry.identify(copy, weak=True)
                own = [m for m in rows if m.pointer == pointer]
                result["found"][kind] += bool(own) and own[0].verdict == "match"
                result["only weak"][kind] += bool(own) and own[0].verdict == "weak"
                _count_unrelated(result, rows, pointer, len(pointers) - 1)
        for text in held_out:
            _count_unrelated(result, registry.identify(text, weak=True), None, len(pointers))
    result["copies"] = len(pointers)
    result["shingle share"] = shingle_share(["\n\n".join(p) for p in job["share"]], excerpts)
    documents = held_out + copies
    with open(folder / "scan.jsonl", "w", encoding="utf-8") as out:
        for number, text in enumerate(documents):
            out.write(json.dumps({"id": str(number), "text": text}, ensure_ascii=False) + "\n")
    start = time.perf_counter()
    for text in documents:
        indexing.index_of(text)
    result["keys ms"] = (time.perf_counter() - start) / len(documents) * 1e3
    os.chdir(folder)
    start = time.perf_counter()
    try:
        cli(["scan", "scan.jsonl", "--id-field", "id", "--output", "found", "--format", "jsonl", "--weak", "--json"],
            standalone_mode=False)
    finally:
        result["scan ms"] = (time.perf_counter() - start) / len(documents) * 1e3
    result["scan rows"] = sum(1 for path in (folder / "found" / "matches").glob("*") for _ in open(path))
    return result


def _count_unrelated(result: dict, rows: list, own: str | None, pairs: int) -> None:
    from quelvane_host.identify import shown

    result["pairs"] += pairs
    for match in rows:
        if match.pointer != own:
            result["false matches"] += match.verdict == "match"
            result["weak rows"] += match.verdict == "weak"
            result["weak rows shown"] += match.verdict == "weak" and shown(match, weak=False)


def shingle_share(texts: list[str], excerpts) -> float:
    """Of the distinct shingles of one text, the share found in another, over all ordered pairs."""
    sets = [set(excerpts.split_words(text).shingles) for text in texts]
    shared = total = 0
    for i, one in enumerate(sets):
        for j, other in enumerate(sets):
            if i != j:
                shared += len(one & other)
                total += len(one)
    return shared / max(total, 1)


def run_host(host: Path, job: dict) -> dict:
    with tempfile.TemporaryDirectory(prefix="bench-scripts-") as folder:
        job = dict(job, folder=folder)
        (Path(folder) / "job.json").write_text(json.dumps(job, ensure_ascii=False), encoding="utf-8")
        paths = [str(host), os.environ.get("PYTHONPATH", "")]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
        done = subprocess.run([sys.executable, __file__, "--job", str(Path(folder) / "job.json")], env=env,
                              capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"the host in {host} failed:\n{done.stderr[-3000:]}")
        return json.loads(done.stdout.strip().splitlines()[-1])


def before_host(folder: Path) -> Path | None:
    """The host package as it was at BEFORE, unpacked from git; None outside a clone that has it."""
    archive = folder / "before.tar"
    if subprocess.run(["git", "-C", str(ROOT), "archive", "-o", str(archive), BEFORE, "host"],
                      capture_output=True).returncode != 0:
        print(f"no git clone holding {BEFORE} here: the host of this tree alone", file=sys.stderr)
        return None
    with tarfile.open(archive) as tar:
        tar.extractall(folder, filter="data")
    return folder / "host"


# --- the report ----------------------------------------------------------------------------------

def _share(count: int, of: int) -> str:
    return f"{count / of:.1%}" if of else "-"


def _rate(count: int, pairs: int) -> str:
    return f"{count} ({count / pairs:.1e})" if count else f"0 in {pairs:,}"


def report(results: dict, english_share: float) -> str:
    rules = list(results[LANGUAGES[0]])
    lines = ["| | " + " | ".join(f"{lang} {rule}" for lang in LANGUAGES for rule in rules) + " |",
             "|---|" + "---|" * (len(rules) * len(LANGUAGES))]
    cells = [results[lang][rule] for lang in LANGUAGES for rule in rules]
    for kind in KINDS:
        lines.append(f"| {kind}: match (only weak) | " + " | ".join(
            f"{_share(r['found'][kind], r['copies'])} ({_share(r['only weak'][kind], r['copies'])})" for r in cells)
            + " |")
    lines.append("| unrelated pairs called a match | " + " | ".join(
        _rate(r["false matches"], r["pairs"]) for r in cells) + " |")
    lines.append("| weak rows per unrelated pair | " + " | ".join(
        _rate(r["weak rows"], r["pairs"]) for r in cells) + " |")
    lines.append("| of them shown without asking for weak rows | " + " | ".join(
        _rate(r["weak rows shown"], r["pairs"]) for r in cells) + " |")
    lines.append(f"| distinct shingles shared by unrelated documents (English: {english_share:.1e}) | "
                 + " | ".join(f"{r['shingle share']:.1e}" for r in cells) + " |")
    lines.append("| scan, ms per document (x keys alone) | " + " | ".join(
        f"{r['scan ms']:.1f} ({r['scan ms'] / r['keys ms']:.1f}x)" for r in cells) + " |")
    lines.append("| scan rows written (matches and weak) | " + " | ".join(str(r["scan rows"]) for r in cells) + " |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="40 publications, 20 held out: a trial run")
    parser.add_argument("--job", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.job:
        print(json.dumps(measure(json.loads(Path(args.job).read_text(encoding="utf-8")))))
        return
    count, held = (40, 20) if args.quick else (PUBLISHED, HELD_OUT)
    results: dict = {}
    with tempfile.TemporaryDirectory(prefix="bench-scripts-host-") as folder:
        before = before_host(Path(folder))
        hosts = {"before": before} if before is not None else {}
        hosts["after"] = ROOT / "host"
        for language in LANGUAGES:
            docs = documents(language)
            if len(docs) < count + MIN_HELD_OUT:
                sys.exit(f"{language}: only {len(docs)} documents, {count + MIN_HELD_OUT} needed")
            published = ["\n\n".join(d) for d in docs[:count]]
            held_out = docs[count:count + held]
            print(f"{language}: {len(published)} published, {len(held_out)} held out", file=sys.stderr)
            job = {"published": published, "held_out": ["\n\n".join(d) for d in held_out],
                   "cases": cases(published, held_out), "share": docs[:min(SHARE_DOCUMENTS, count)]}
            results[language] = {}
            for rule, host in hosts.items():
                started = time.perf_counter()
                results[language][rule] = run_host(host, job)
                print(f"{language} {rule}: {time.perf_counter() - started:.0f} s", file=sys.stderr)
    from quelvane_host import excerpts

    english = [d for d in corpus._documents()[:min(SHARE_DOCUMENTS, count)]]
    from quelvane_host import wordbreak

    print(f"{count} publications per language, up to {held} documents held out; before: the host at {BEFORE};"
          f" after: words from {wordbreak.version()}")
    print(report(results, shingle_share(english, excerpts)))


if __name__ == "__main__":
    main()
