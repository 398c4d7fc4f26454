"""A deterministic corpus of watermarking cases, to show that watermarks other implementations
read stay byte for byte what they were.

Each case is a text, a key and a pointer. `plain_cases` draws texts that hold no zero-width
character: many scripts, emoji without joiners or variation selectors, every White_Space
character as a separator, control characters, ASCII words that straddle eight-byte blocks.
`zero_width_cases` draws texts that do hold some (a byte-order mark at the start or on its own
line, variation selectors after words, zero-width characters inside, before and after words,
emoji sequences), for comparing what embedding does with them.

`record(case)` is everything a reader sees of a case: the marked text (or the error), what
extraction reads from it, and what it reads after some damage a copy suffers (runs lost,
text rewrapped, stray symbols after words). `corpus_digest` hashes the records of many cases.

Run as a script, it writes one line per case (`record` as JSON) to a file, or compares the
records of the installed module with such a file:
    python tests/watermark_corpus.py write FILE [COUNT]
    python tests/watermark_corpus.py compare FILE [COUNT]
"""
import hashlib
import json
import random
import re
import sys

import quelvane

WHITE_SPACE = ["\t", "\n", "\x0b", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680", *map(chr, range(0x2000, 0x200B)),
               "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
_ASCII = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
_ASCII_ODD = ".,;:'\"!?-()[]{}/\\@#$%&*+=<>|~`^_\x00\x01\x08\x0e\x1b\x1c\x1f\x7f"
_SCRIPTS = [
    "αβγδεζηθικλμνξοπρστυφχψωάέήίόύώΣΩ",
    "абвгдежзийклмнопрстуфхцчшщъыьэюяЖЯ",
    "àáâãäåçèéêëìíîïñòóôõöùúûüýÿœßÆØ",
    "港の町はゆっくりと目を覚ました漁船が岸壁に揺れていた市場한국어글",
    "العربيةكتابمدرسة",
    "עבריתספרבית",
    "हिन्दीभाषाकिताब",
    "\u1100\u1161\u11a8\u1102\u1165",  # conjoining jamo, composed by NFC
]
_COMBINING = "\u0300\u0301\u0308\u0327\u0345\u20dd"
_EMOJI = ["\U0001f600", "\U0001f44d\U0001f3fd", "\U0001f469\U0001f3ff", "\U0001f1eb\U0001f1f7", "1\u20e3",
          "\U0001f3f4\U000e0067\U000e0062\U000e0065\U000e006e\U000e0067\U000e007f", "\u2764", "\u263a",
          "\U0001f468\U0001f469\U0001f467"]
_OTHER = ["\u00ad", "\U000e0100", "\u180e", "\u200e", "\u200f", "\u202e", "\ufffd", "\U0001d160", "\u00bd",
          "\uff21", "\u0130", "\u03a3"]

# The zero-width set, and where a text may hold one of its characters.
ALPHABET = "\u200b\u200c\u200d\u2060"
_SELECTORS = [chr(c) for c in range(0xFE00, 0xFE10)]
ZERO_WIDTH = ALPHABET + "\ufeff" + "".join(_SELECTORS)
_ZWJ_EMOJI = ["\U0001f468\u200d\U0001f469\u200d\U0001f467", "\U0001f3f3\ufe0f\u200d\U0001f308",
              "\U0001f469\u200d\U0001f4bb", "\U0001f469\U0001f3fd\u200d\U0001f4bb",
              "\U0001f441\ufe0f\u200d\U0001f5e8\ufe0f", "\u2764\ufe0f\u200d\U0001f525"]
_SELECTOR_EMOJI = ["\u2764\ufe0f", "\u263a\ufe0f", "\u263a\ufe0e", "1\ufe0f\u20e3", "#\ufe0f\u20e3",
                   "\u2601\ufe0f", "\u8fbb\ufe00"]


def _word(rng):
    kind = rng.randrange(10)
    length = rng.randint(1, 14)
    if kind < 4:
        return "".join(rng.choice(_ASCII) for _ in range(length))
    if kind == 4:
        return "".join(rng.choice(_ASCII + _ASCII_ODD) for _ in range(length))
    if kind == 5:
        return "".join(rng.choice(_SCRIPTS[rng.randrange(len(_SCRIPTS))]) for _ in range(length))
    if kind == 6:
        return rng.choice(_ASCII) + rng.choice(_COMBINING) + rng.choice(_ASCII)
    if kind == 7:
        return rng.choice(_EMOJI) + (rng.choice(_EMOJI) if rng.random() < 0.3 else "")
    if kind == 8:
        return rng.choice(_ASCII) + rng.choice(_OTHER) + rng.choice(_ASCII)
    return "".join(rng.choice(_ASCII) for _ in range(rng.randint(6, 40)))  # across ASCII blocks


def _separator(rng):
    if rng.random() < 0.7:
        return " "
    return "".join(rng.choice(WHITE_SPACE) for _ in range(rng.randint(1, 3)))


def _plain_text(rng):
    count = rng.choice([rng.randint(40, 60), rng.randint(48, 200), rng.randint(200, 600)])
    pieces = [rng.choice(["", "", " ", "\n", "\r\n\t"])]
    for _ in range(count):
        pieces += [_word(rng), _separator(rng)]
    if rng.random() < 0.5:
        pieces.pop()  # end in a word
    return "".join(pieces)


def _case(rng, text):
    key = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 8, 32, 64, 65, 80])))
    pointer = bytes(rng.randrange(256) for _ in range(rng.choice([0, 5, 16, 16, 20])))
    return text, key.hex(), pointer.hex()


def plain_cases(count, seed=0):
    rng = random.Random(seed)
    return [_case(rng, _plain_text(rng)) for _ in range(count)]


def _with_zero_width(rng, text):
    """`text` with one to four zero-width characters or emoji sequences put in at random
    places: at a word's start, inside it, at its end, or as a token of their own."""
    tokens = re.split(r"(\s+)", text)
    words = [i for i, t in enumerate(tokens) if t and not t.isspace()]
    for _ in range(rng.randint(1, 4)):
        i = rng.choice(words)
        word = tokens[i]
        kind = rng.randrange(8)
        if kind == 0:
            tokens[0] = "\ufeff" + tokens[0]  # a byte-order mark at the very start
        elif kind == 1:
            tokens[i] = word + rng.choice(_SELECTORS)  # a variation selector ending a word
        elif kind == 2:
            tokens[i] = rng.choice(_SELECTOR_EMOJI + _ZWJ_EMOJI)
        elif kind == 3:
            cut = rng.randint(1, max(1, len(word) - 1))
            tokens[i] = word[:cut] + rng.choice(ZERO_WIDTH) + word[cut:]
        elif kind == 4:
            tokens[i] = rng.choice(ZERO_WIDTH) + word
        elif kind == 5:
            tokens[i] = word + rng.choice(ZERO_WIDTH)
        elif kind == 6:
            tokens[i] = word + " " + rng.choice(ZERO_WIDTH + "\ufeff\ufeff")
        else:
            tokens[0] = rng.choice(["\ufeff\n", "\ufeff\r\n", "\u200b ", "\ufe0f\n"]) + tokens[0]
    return "".join(tokens)


def zero_width_cases(count, seed=1):
    rng = random.Random(seed)
    return [_case(rng, _with_zero_width(rng, _plain_text(rng))) for _ in range(count)]


def outcome(function, *args):
    try:
        return list(function(*args)) if function is quelvane.extract_watermark else function(*args)
    except ValueError as error:
        return ["ValueError", str(error)]


_RUN = re.compile("[\u200b\u200c\u200d\u2060]{4}")
_SPACE = re.compile("[" + "".join(WHITE_SPACE) + "]+")
_WORD_END = re.compile("[^" + "".join(WHITE_SPACE) + "](?=[" + "".join(WHITE_SPACE) + "])")


def damaged(marked, rng):
    """Copies of a marked text as a reader may find them."""
    runs = len(_RUN.findall(marked))
    lost = set(rng.sample(range(runs), rng.randint(1, runs))) if runs else set()
    index = iter(range(runs))
    without_runs = _RUN.sub(lambda m: "" if next(index) in lost else m.group(0), marked)
    tokens = _SPACE.split(marked)
    rewrapped = "\r\n".join(" ".join(tokens[i:i + 9]) for i in range(0, len(tokens), 9))
    stray = _WORD_END.sub(lambda m: m.group(0) + rng.choice(ALPHABET) * (rng.random() < 0.05), marked)
    return [without_runs, rewrapped, stray]


def record(case):
    text, key_hex, pointer_hex = case
    marked = outcome(quelvane.embed_watermark, text, pointer_hex, key_hex)
    if not isinstance(marked, str):
        return {"marked": marked}
    rng = random.Random(hashlib.sha256(marked.encode()).digest())
    return {
        "marked": hashlib.sha256(marked.encode()).hexdigest(),
        "read": outcome(quelvane.extract_watermark, marked, key_hex),
        "damaged": [outcome(quelvane.extract_watermark, copy, key_hex) for copy in damaged(marked, rng)],
    }


def corpus_digest(cases):
    digest = hashlib.sha256()
    for case in cases:
        digest.update(json.dumps(record(case), sort_keys=True).encode() + b"\n")
    return digest.hexdigest()


def _all_cases(count):
    return plain_cases(count) + zero_width_cases(count)


def main(command, path, count="5000"):
    cases = _all_cases(int(count))
    if command == "write":
        with open(path, "w", encoding="utf-8") as out:
            for case in cases:
                out.write(json.dumps(record(case), sort_keys=True) + "\n")
        return 0
    with open(path, encoding="utf-8") as stored:
        before = [json.loads(line) for line in stored]
    changed = [i for i, (case, old) in enumerate(zip(cases, before)) if record(case) != old]
    print(f"{len(changed)} of {len(cases)} cases changed: {changed}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
