"""Real prose for the benches, taken from Debian's documentation packages (`make corpus` installs
them): the Python documentation's HTML for English, the translated manual pages for German,
Russian, Chinese and Japanese. Markup is stripped (HTML tags, groff requests and escapes) and only
prose is kept: the paragraphs of running text, not headings, option tags, tables or code, and for
the manual pages only paragraphs written mostly in the page's language (translations leave some
English behind).

Every text is built the same way from the same packages: the pages in a fixed shuffled order,
their paragraphs in reading order, joined by blank lines and cut to the size at a character
boundary. The 1 MB text is the start of the 10 MB one; "mixed" interleaves the paragraphs of the
five languages. Texts are cached in build/corpus and rebuilt when a package version changes.

Use: `text("english", 1)`, `documents()`, `pages("german")`; run as a script to build the cache and print its sizes.
"""
import gzip
import hashlib
import html.parser
import itertools
import json
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unicodedata

ROOT = pathlib.Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "corpus"
UNPACKED = CACHE / "packages"
# The packages each language's prose comes from; "package:dir" takes only the files under a
# directory of that name (the package holds many languages). They are unpacked under
# build/corpus, not installed, so that no dependency of theirs comes along.
SOURCES = {
    "english": ("python3-doc", "manpages", "manpages-dev", "debian-handbook:en-US", "installation-guide-amd64:en"),
    "german": ("manpages-de", "manpages-de-dev", "libreoffice-help-de", "debian-reference-de", "maint-guide-de",
               "debian-faq-de", "developers-reference-de", "debian-handbook:de-DE", "installation-guide-amd64:de"),
    "russian": ("manpages-ru", "manpages-ru-dev", "libreoffice-help-ru", "maint-guide-ru", "debian-faq-ru",
                "developers-reference-ru", "aptitude-doc-ru", "debian-handbook:ru-RU", "installation-guide-amd64:ru"),
    "chinese": ("manpages-zh", "libreoffice-help-zh-cn", "libreoffice-help-zh-tw", "debian-reference-zh-cn",
                "debian-reference-zh-tw", "maint-guide-zh-cn", "maint-guide-zh-tw", "debian-faq-zh-cn",
                "debian-handbook:zh-CN", "debian-handbook:zh-TW", "installation-guide-amd64:zh_CN"),
    "japanese": ("manpages-ja", "manpages-ja-dev", "libreoffice-help-ja", "debian-reference-ja", "maint-guide-ja",
                 "debian-faq-ja", "developers-reference-ja", "aptitude-doc-ja", "debian-handbook:ja-JP",
                 "installation-guide-amd64:ja"),
}
LANGUAGES = (*SOURCES, "mixed")
SIZES_MB = (1, 10)
# Bump when the extraction changes, so that cached texts are rebuilt.
FORMAT = 1
SEED = 20261210
MIN_PARAGRAPH_CHARS = 40
DOCUMENT_WORDS = (300, 5000)


# --- packages -------------------------------------------------------------------------------

def _real_package(name):
    """python3-doc is a metapackage: the documentation is in the python3.N-doc it depends on."""
    if name != "python3-doc":
        return name
    depends = subprocess.run(["apt-cache", "depends", name], capture_output=True, text=True, check=True).stdout
    return re.search(r"Depends: (python3\.\d+-doc)", depends)[1]


def _is_prose_file(path, directories):
    """HTML pages and manual pages, under one of `directories` if the sources name any."""
    if directories and not directories & set(path.parts):
        return False
    return path.suffix == ".html" or (path.suffix == ".gz" and "man" in path.parts)


def _unpack(package):
    """The directory a package is unpacked in (its HTML and manual pages only), downloading it
    first if need be."""
    target = UNPACKED / package
    if (target / ".deb").exists():
        return target
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    with tempfile.TemporaryDirectory() as download:
        result = subprocess.run(["apt-get", "download", _real_package(package)], cwd=download,
                                capture_output=True, text=True)
        debs = list(pathlib.Path(download).glob("*.deb"))
        if result.returncode != 0 or len(debs) != 1:
            sys.exit(f"apt-get download {package} failed (run `apt-get update`?):\n{result.stderr}")
        subprocess.run(["dpkg-deb", "-x", str(debs[0]), str(target)], check=True)
    directories = {source.partition(":")[2] for sources in SOURCES.values() for source in sources
                   if source.partition(":")[0] == package} - {""}
    for path in sorted(target.rglob("*"), reverse=True):
        if path.is_symlink() or (path.is_file() and not _is_prose_file(path, directories)):
            path.unlink()
        elif path.is_dir() and not any(path.iterdir()):
            path.rmdir()
    (target / ".deb").write_text(debs[0].name)
    return target


def _files(sources, suffix):
    """The files with a suffix of each "package" or "package:dir" in turn, in sorted order."""
    for source in sources:
        package, _, directory = source.partition(":")
        for path in sorted(_unpack(package).rglob("*" + suffix)):
            if not directory or directory in path.parts:
                yield path


# --- HTML -----------------------------------------------------------------------------------

_SKIPPED_CONTAINERS = {"header", "nav", "aside", "footer", "script", "style"}
_SKIPPED_CLASSES = {"sphinxsidebar", "related", "footer", "navheader", "navfooter", "toc"}


class _HTMLProse(html.parser.HTMLParser):
    """The paragraphs (<p> or <div class="para">) of a page outside its navigation, grouped by second-level <section>
    (the text before the first one is a group of its own)."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.groups = [[]]
        self._open = []  # (tag, skipped) of the open containers
        self._section_depth = 0
        self._paragraph = None
        self._paragraph_depth = None  # for a <div class="para">, the depth of its <div>

    def _skipping(self):
        return any(skipped for _, skipped in self._open)

    def handle_starttag(self, tag, attrs):
        if tag in _SKIPPED_CONTAINERS or tag in ("div", "section"):
            classes = set((dict(attrs).get("class") or "").split())
            self._open.append((tag, tag in _SKIPPED_CONTAINERS or bool(classes & _SKIPPED_CLASSES)))
            if tag == "section":
                self._section_depth += 1
                if self._section_depth == 2:
                    self.groups.append([])
            if "para" in classes and self._paragraph is None and not self._skipping():
                self._paragraph, self._paragraph_depth = [], len(self._open)
        elif tag == "p" and self._paragraph is None and not self._skipping():
            self._paragraph, self._paragraph_depth = [], None

    def handle_endtag(self, tag):
        if tag in _SKIPPED_CONTAINERS or tag in ("div", "section"):
            while self._open:
                if self._open.pop()[0] == tag:
                    break
            if tag == "section":
                self._section_depth -= 1
            if self._paragraph_depth is not None and len(self._open) < self._paragraph_depth:
                self._close_paragraph()
        elif tag == "p" and self._paragraph is not None and self._paragraph_depth is None:
            self._close_paragraph()

    def _close_paragraph(self):
        paragraph = " ".join("".join(self._paragraph).split())
        if len(paragraph) >= MIN_PARAGRAPH_CHARS:
            self.groups[-1].append(paragraph)
        self._paragraph = self._paragraph_depth = None

    def handle_data(self, data):
        if self._paragraph is not None:
            self._paragraph.append(data)


def _html_groups(path):
    parser = _HTMLProse()
    parser.feed(path.read_text(encoding="utf-8", errors="replace"))
    return [group for group in parser.groups if group]


def _python_pages():
    """Each page of the Python documentation as its list of section groups of paragraphs."""
    pages = []
    for path in _files(["python3-doc"], ".html"):
        if "_sources" in path.parts or path.name in ("genindex.html", "py-modindex.html", "search.html"):
            continue
        groups = _html_groups(path)
        if groups:
            pages.append(groups)
    return pages


# --- groff ----------------------------------------------------------------------------------

_TEXT_MACROS = {"B", "I", "SM", "SB"}
_ALTERNATING_MACROS = {"BR", "BI", "IB", "IR", "RB", "RI"}
_SKIP_BLOCKS = {"nf": "fi", "EX": "EE", "TS": "TE", "de": "..", "ig": "..", "EQ": "EN", "PS": "PE"}
_SPECIAL = {"em": "—", "en": "–", "hy": "-", "lq": "“", "rq": "”", "oq": "‘", "cq": "’", "aq": "'",
            "dq": '"', "bu": "•", "co": "©", "rg": "®", "tm": "™", "Fo": "«", "Fc": "»", "fo": "‹",
            "fc": "›", "Bq": "„", "bq": "‚", "ga": "`", "ha": "^", "ti": "~", "mu": "×", "de": "°",
            "ra": "→", "la": "←", "ua": "↑", "da": "↓", "<=": "≤", ">=": "≥", "!=": "≠", "+-": "±",
            "ss": "ß", "Do": "$", "rs": "\\", "sl": "/", "ba": "|", "at": "@", "sh": "#", "Eu": "€"}
_ESCAPE = re.compile(
    r"\\(?:"
    r"\((?P<two>..)|\[(?P<long>[^\]]*)\]"  # special characters
    r"|\*(?:\((?P<str2>..)|\[(?P<strl>[^\]]*)\]|(?P<str1>.))"  # strings
    r"|f(?:\(..|\[[^\]]*\]|.)|s[-+]?(?:\d|\(\d\d|\[\d*\])|n(?:\(..|\[[^\]]*\]|.)"  # fonts, sizes, registers
    r"|[hvwoXlLDNbZCk]'[^']*'|[hvwoXlLDNbZCk]\[[^\]]*\]"  # drawing and positioning
    r"|(?P<plain>.)"
    r")"
)


def _unescape(line):
    def replace(match):
        special = match["two"] or match["long"]
        if special is not None:
            return _SPECIAL.get(special, "")
        string = match["str2"] or match["strl"] or match["str1"]
        if string is not None:
            return {"lq": "“", "rq": "”", "R": "®", "Tm": "™"}.get(string, "")
        plain = match["plain"]
        if plain is None:
            return ""
        return {"-": "-", "e": "\\", "\\": "\\", " ": " ", "~": " ", "0": " ", "'": "´", "`": "`",
                ".": "."}.get(plain, "")

    return _ESCAPE.sub(replace, line.split('\\"', 1)[0] if '\\"' in line else line)


def _macro_arguments(rest):
    return [argument.strip('"') for argument in re.findall(r'"[^"]*"|\S+', rest)]


def _is_cjk(char):
    return unicodedata.east_asian_width(char) in "WF"


def _join(lines):
    """Fill lines into one paragraph: a space between them, none between two CJK characters."""
    out = ""
    for line in lines:
        line = line.strip()
        if not line:
            continue
        if out and not (_is_cjk(out[-1]) and _is_cjk(line[0])):
            out += " "
        out += line
    return " ".join(out.split(" ")) if out else out


def _man_paragraphs(source):
    """The running-text paragraphs of one manual page's groff source."""
    paragraphs, current = [], []
    skip_until, skip_next = None, False

    def close():
        if current:
            paragraphs.append(_join(current))
            current.clear()

    for line in source.splitlines():
        if skip_until is not None:
            if line.startswith(("." + skip_until, "'" + skip_until)) or (skip_until == ".." and line.strip() == ".."):
                skip_until = None
            continue
        if line.startswith((".", "'")):
            name, _, rest = line[1:].strip().partition(" ")
            name = name.strip()
            if name.startswith('\\"') or not name:
                continue
            if name in _SKIP_BLOCKS:
                close()
                skip_until = _SKIP_BLOCKS[name]
            elif name in _TEXT_MACROS:
                current.append(_unescape(" ".join(_macro_arguments(rest))))
            elif name in _ALTERNATING_MACROS:
                current.append(_unescape("".join(_macro_arguments(rest))))
            else:  # a break of some kind, a heading, or a request with no text of ours
                close()
                skip_next = name == "TP" or (name in ("SH", "SS") and not rest.strip())
            continue
        if skip_next:  # the tag of a .TP item, or the text of a heading
            skip_next = False
            continue
        if not line.strip():
            close()
            continue
        current.append(_unescape(line))
    close()
    return [" ".join(p.split()) for p in paragraphs if len(p) >= MIN_PARAGRAPH_CHARS]


def _script_share(paragraph, belongs):
    letters = [c for c in paragraph if c.isalpha()]
    return sum(map(belongs, letters)) / len(letters) if letters else 0.0


def _cyrillic(c):
    return "\u0400" <= c <= "\u04ff"


def _han(c):
    return "\u4e00" <= c <= "\u9fff" or "\u3400" <= c <= "\u4dbf"


def _kana(c):
    return "\u3040" <= c <= "\u30ff"


_GERMAN = frozenset("der die das und ist nicht ein eine einen dem den des mit von zu für auf wird werden "
                    "sich oder wenn als auch bei nach aus kann diese dieser im zum zur".split())
_ENGLISH = frozenset("the and is not a an of to for on with from by this that be are or if as can "
                     "it which when will".split())


def _german(paragraph):
    words = re.findall(r"\w+", paragraph.lower())
    return sum(w in _GERMAN for w in words) > 2 * sum(w in _ENGLISH for w in words) + 1


_KEEP = {
    "english": lambda p: True,
    "german": _german,
    "russian": lambda p: _script_share(p, _cyrillic) >= 0.6,
    "chinese": lambda p: _script_share(p, _han) >= 0.6,
    "japanese": lambda p: any(map(_kana, p)) and _script_share(p, lambda c: _han(c) or _kana(c)) >= 0.6,
}


def _man_page(path):
    try:
        source = gzip.decompress(path.read_bytes()).decode("utf-8")
    except UnicodeDecodeError:
        return []
    if source.lstrip().startswith(".so "):  # an alias of another page
        return []
    return _man_paragraphs(source)


def _package(path):
    return path.relative_to(UNPACKED).parts[0]


def _labelled_pages(language):
    """Each page of a language's sources (manual page or HTML page) as (package, its paragraphs)."""
    names = SOURCES[language]
    if language == "english":
        pages = [("python3-doc", list(itertools.chain.from_iterable(groups))) for groups in _python_pages()]
        names = names[1:]
    else:
        pages = [(_package(path), list(itertools.chain.from_iterable(_html_groups(path))))
                 for path in _files(names, ".html")]
    pages += [(_package(path), _man_page(path)) for path in _files(names, ".gz")]
    return pages


def _pages(language):
    """Each page of a language's sources (manual page or HTML page) as its list of paragraphs."""
    return [paragraphs for _, paragraphs in _labelled_pages(language)]


LICENCES = pathlib.Path("/usr/share/common-licenses")


def _licences():
    """The licence texts every Debian system ships, as pages of paragraphs: a genre whose texts
    share their wording with each other far more than prose on different subjects does."""
    pages = []
    for path in sorted(LICENCES.iterdir()) if LICENCES.is_dir() else []:
        if path.is_file() and not path.is_symlink():
            paragraphs = [" ".join(block.split()) for block in re.split(r"\n\s*\n", path.read_text(errors="replace"))]
            pages.append(("common-licenses", [p for p in paragraphs if len(p) >= MIN_PARAGRAPH_CHARS]))
    return pages


# Characters common in Chinese prose whose simplified form differs (們 and 们, 這 and 这, ...).
_TRADITIONAL = frozenset("們這個來為說時會過後還對與從裡應發開種關體點無麼將動進樣當經實現問題機檔資設數碼錄項選擇標")
_SIMPLIFIED = frozenset("们这个来为说时会过后还对与从里应发开种关体点无么将动进样当经实现问题机档资设数码录项选择标")


def _traditional(paragraphs):
    text = "".join(paragraphs)
    return sum(c in _TRADITIONAL for c in text) > sum(c in _SIMPLIFIED for c in text)


def pages(language):
    """Every page of one language as (source package, its paragraphs in the language), all the
    genres its packages hold (manual pages, HTML manuals and guides; for English also the
    licences), in a fixed shuffled order: the source of documents for any one language. Chinese
    pages are those in simplified characters: the packages translate many pages into both
    scripts, and a page in one script is mostly a conversion of the other, not unrelated text."""
    build()
    labelled = _labelled_pages(language) + (_licences() if language == "english" else [])
    random.Random(f"{SEED}-{language}-pages").shuffle(labelled)
    keep = _KEEP[language]
    out = []
    for package, paragraphs in labelled:
        kept = [p for p in paragraphs if keep(p)]
        if kept and not (language == "chinese" and _traditional(kept)):
            out.append((package, kept))
    return out


def _paragraphs(language):
    """A language's paragraphs, pages in a fixed shuffled order, each page's in reading order,
    each paragraph once (boilerplate shared by many pages would repeat)."""
    pages = _pages(language)
    random.Random(f"{SEED}-{language}").shuffle(pages)
    keep, seen, out = _KEEP[language], set(), []
    for paragraph in itertools.chain.from_iterable(pages):
        if paragraph not in seen and keep(paragraph):
            seen.add(paragraph)
            out.append(paragraph)
    return out


def _interleaved(streams):
    for round_ in itertools.zip_longest(*streams):
        yield from (paragraph for paragraph in round_ if paragraph is not None)


def _build(paragraphs, size):
    """Whole paragraphs joined by blank lines up to `size` bytes, the last one cut to fit. A
    language with less prose than that starts its paragraphs over."""
    parts, total = [], 0
    for paragraph in itertools.cycle(paragraphs):
        parts.append(paragraph)
        total += len(paragraph.encode()) + 2
        if total >= size:
            break
    return "\n\n".join(parts).encode()[:size].decode("utf-8", errors="ignore")


def _versions():
    """The format and the package files the texts are made of: the cache's stamp."""
    packages = {source.partition(":")[0] for sources in SOURCES.values() for source in sources}
    debs = sorted((_unpack(package) / ".deb").read_text() for package in packages)
    return "\n".join([f"format {FORMAT}", *debs, ""])


def _cache_valid():
    stamp = CACHE / "SOURCES"
    return stamp.exists() and stamp.read_text() == _versions()


def build():
    """Build every text and the document list into the cache (when it is out of date)."""
    if _cache_valid():
        return
    CACHE.mkdir(parents=True, exist_ok=True)
    (CACHE / "SOURCES").unlink(missing_ok=True)
    streams = {language: _paragraphs(language) for language in LANGUAGES if language != "mixed"}
    streams["mixed"] = list(_interleaved(streams.values()))
    distinct = {language: sum(len(p.encode()) + 2 for p in paragraphs) for language, paragraphs in streams.items()}
    (CACHE / "distinct.json").write_text(json.dumps(distinct))
    for language, paragraphs in streams.items():
        for mb in SIZES_MB:
            (CACHE / f"{language}-{mb}mb.txt").write_text(_build(paragraphs, mb << 20), encoding="utf-8")
    (CACHE / "documents.json").write_text(json.dumps(_documents()), encoding="utf-8")
    (CACHE / "SOURCES").write_text(_versions())


def text(language, mb):
    """The `mb` MB (MiB of UTF-8) text of a language: one of LANGUAGES, `mb` one of SIZES_MB."""
    build()
    return (CACHE / f"{language}-{mb}mb.txt").read_text(encoding="utf-8")


def _documents():
    """Each page of the Python documentation cut at second-level sections into documents of a
    few hundred to a few thousand words: consecutive sections join until the lower bound."""
    low, high = DOCUMENT_WORDS
    out, seen = [], set()
    for groups in _python_pages():
        pending, words = [], 0
        for group in groups:
            for paragraph in group:
                pending.append(paragraph)
                words += len(paragraph.split())
                if words >= high:
                    out.append("\n\n".join(pending))
                    pending, words = [], 0
            if words >= low:
                out.append("\n\n".join(pending))
                pending, words = [], 0
    unique = [document for document in out if not (document in seen or seen.add(document))]
    return unique


def documents():
    """At least 600 distinct documents of real English prose, each a few hundred to a few
    thousand words (sections of the Python documentation), always in the same order."""
    build()
    return json.loads((CACHE / "documents.json").read_text(encoding="utf-8"))


def distinct_bytes(language):
    """How many bytes of distinct prose a language has: its 10 MB text repeats past that."""
    build()
    return json.loads((CACHE / "distinct.json").read_text())[language]


def main():
    build()
    for language in LANGUAGES:
        sample = text(language, 1)
        digest = hashlib.sha256((CACHE / f"{language}-10mb.txt").read_bytes()).hexdigest()[:16]
        print(f"{language:9} 1 MB: {len(sample):7} characters, {sample.count(chr(10) * 2) + 1:5} paragraphs;"
              f" {distinct_bytes(language) / 2**20:5.1f} MB of distinct prose; 10 MB sha256 {digest}")
    docs = documents()
    words = sorted(len(d.split()) for d in docs)
    print(f"documents: {len(docs)}, words min {words[0]} median {words[len(words) // 2]} max {words[-1]}")


if __name__ == "__main__":
    main()
