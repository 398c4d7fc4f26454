"""Real prose for the host benches: the paragraphs of the Python documentation's reStructuredText
sources (Debian's python3-doc package), markup stripped, each paragraph used once.

texts() groups consecutive paragraphs of one page into texts of a few hundred words. A paragraph
that repeats any eight-word run of an earlier one is left out (the documentation restates
itself across pages), so no two texts share a passage."""
from __future__ import annotations

import re
from pathlib import Path

SOURCES = Path("/usr/share/doc/python3-doc/html/_sources")
_ROLE = re.compile(r":[a-z:]+:`~?([^`<]*?)(?:\s*<[^>]*>)?`")
_LITERAL = re.compile(r"``([^`]*)``")
_LINK = re.compile(r"`([^`<]*?)\s*(?:<[^>]*>)?`_{1,2}")
_EMPHASIS = re.compile(r"\*{1,2}([^*]+)\*{1,2}")
_SKIP_START = ("..", ":", "|", "=", "-", "*", "#", ">>>", "+", "`", "[", "(", "$", "%")


def _clean(block: str) -> str:
    text = " ".join(line.strip() for line in block.splitlines())
    for pattern in (_ROLE, _LITERAL, _LINK, _EMPHASIS):
        text = pattern.sub(r"\1", text)
    return text.replace("::", ":").strip()


def _paragraphs(path: Path) -> list[str]:
    found = []
    for block in re.split(r"\n\s*\n", path.read_text(encoding="utf-8", errors="replace")):
        lines = block.splitlines()
        if not lines or any(line.startswith((" ", "\t")) for line in lines):
            continue
        if lines[0].lstrip().startswith(_SKIP_START) or len(lines) > 1 and set(lines[1].strip()) <= set("=-~^*#"):
            continue
        text = _clean(block)
        words = text.split()
        if len(words) >= 25 and sum(w.isalpha() for w in words) > 0.7 * len(words):
            found.append(text)
    return found


def texts(min_words: int = 150, max_words: int = 700) -> list[str]:
    """Distinct texts of min_words to max_words words, in a fixed order."""
    if not SOURCES.is_dir():
        raise SystemExit(f"no prose corpus at {SOURCES}: apt-get install python3-doc")
    seen: set[int] = set()
    result = []
    for path in sorted(SOURCES.rglob("*.txt")):
        current: list[str] = []
        count = 0
        for paragraph in _paragraphs(path):
            words = re.findall(r"\w+", paragraph.lower())
            runs = {hash(tuple(words[i:i + 8])) for i in range(max(1, len(words) - 7))}
            if runs & seen:
                continue
            seen |= runs
            current.append(paragraph)
            count += len(paragraph.split())
            if count >= max_words or (count >= min_words and len(current) >= 3):
                result.append("\n\n".join(current))
                current, count = [], 0
        if count >= min_words:
            result.append("\n\n".join(current))
    return result


if __name__ == "__main__":
    corpus = texts()
    sizes = sorted(len(t.split()) for t in corpus)
    print(f"{len(corpus)} texts, words per text: min {sizes[0]}, median {sizes[len(sizes) // 2]}, max {sizes[-1]}")
    print(corpus[len(corpus) // 2][:600])
