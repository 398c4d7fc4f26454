"""The structural fingerprint: the given examples through their feature lists, and a plain
reference implementation of the whole computation on generated texts."""
import unicodedata
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

import quelvane
from test_normalize import ALNUM, ZERO_WIDTH
from test_simhash import vote

WHITE_SPACE = set(
    map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
)

FUNCTION_WORDS = set(
    """the a an and or but nor so yet for of to in on at by as is are was were be been being am do does did
    have has had will would shall should can could may might must with from into onto upon over under above
    below between through during before after about against among around because if then than that this
    these those it its he she they them his her their our your my we you i me us who whom whose which what
    when where why how not no yes all any some each every both few many more most other such only own same
    too very just also here there up down out off again once while until""".split()
)

PUNCTUATION = {
    **{c: c for c in "!,:;?.-\"("},
    "\u2026": ".",
    "\u2013": "-",
    "\u2014": "-",
    **{c: '"' for c in "'\u2018\u2019\u201c\u201d"},
    **{c: "(" for c in ")[]{}"},
}


def trim(s):
    return s.strip("".join(WHITE_SPACE))


def features_of(text):
    """(feature text, weight) pairs, computed the plain way."""
    s = "".join(c for c in unicodedata.normalize("NFC", text) if ord(c) not in ZERO_WIDTH)
    lines = s.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    paragraphs, buffer = [], ""
    for line in lines:
        line = line[:-1] if line.endswith("\r") else line
        if trim(line) == "":
            if trim(buffer):
                paragraphs.append(buffer)
            buffer = ""
        else:
            buffer += line + " "
    if trim(buffer):
        paragraphs.append(buffer)
    if not paragraphs:
        paragraphs = [s]
    lengths, sizes, entries = [], [], []
    for paragraph in paragraphs:
        sentences, buffer = [], ""
        for c in paragraph:
            buffer += c
            if c in ".!?" and len(trim(buffer).encode()) >= 2:
                sentences.append(buffer)
                buffer = ""
        if trim(buffer):
            sentences.append(buffer)
        sizes.append(len(sentences))
        for sentence in sentences:
            tokens = word_tokens(sentence)
            lengths.append(len(tokens))
            entries += [t if t in FUNCTION_WORDS else "_" for t in tokens]
    features = [(f"SL1:{n}", 3) for n in lengths]
    features += [(f"SL2:{a},{b}", 3) for a, b in zip(lengths, lengths[1:])]
    features += [(f"PL:{k}", 2) for k in sizes]
    counts = Counter(PUNCTUATION[c] for c in s if c in PUNCTUATION)
    features += [(f"PUNCT:{c}", counts[c]) for c in sorted(counts)]
    if len(entries) >= 3:
        features += [("FW:" + " ".join(entries[i : i + 3]), 2) for i in range(len(entries) - 2)]
    elif entries:
        features.append(("FW:" + " ".join(entries), 2))
    return features


def word_tokens(sentence):
    pieces, piece = [], ""
    for c in sentence:
        if ALNUM.match(c):
            piece += c
        elif piece:
            pieces.append(piece)
            piece = ""
    if piece:
        pieces.append(piece)
    return [p.lower() for p in pieces]  # str.lower maps a final sigma to U+03C2


def fingerprint(features):
    return vote((text.encode(), weight) for text, weight in features)


TWO_PARAGRAPHS = "The cat sat on the mat. It was warm!\n\nThen it left, quietly\u2026"


@pytest.mark.parametrize(
    "text,features,expected",
    [
        ("", [("PL:0", 2)], "275f181eb4abbca724e20faf00f167f87a05846b4b9e4dc61aaf6e441d8f0ec4"),
        (" \t\r\n\n \u3000", [("PL:0", 2)], "275f181eb4abbca724e20faf00f167f87a05846b4b9e4dc61aaf6e441d8f0ec4"),
        ("\u200b\ufeff", [("PL:0", 2)], "275f181eb4abbca724e20faf00f167f87a05846b4b9e4dc61aaf6e441d8f0ec4"),
        (
            "Hi.",
            [("SL1:1", 3), ("PL:1", 2), ("PUNCT:.", 1), ("FW:_", 2)],
            "903a545e18d359e4523ff2c01fc38cfa1e3dc283fe6041556001a3af8b32335f",
        ),
        (
            "Wait... what?",
            [("SL1:1", 3), ("SL1:0", 3), ("SL1:1", 3), ("SL2:1,0", 3), ("SL2:0,1", 3), ("PL:3", 2),
             ("PUNCT:.", 3), ("PUNCT:?", 1), ("FW:_ what", 2)],
            None,
        ),
        (
            TWO_PARAGRAPHS,
            [("SL1:6", 3), ("SL1:3", 3), ("SL1:4", 3), ("SL2:6,3", 3), ("SL2:3,4", 3), ("PL:2", 2), ("PL:1", 2),
             ("PUNCT:!", 1), ("PUNCT:,", 1), ("PUNCT:.", 2)]
            + [("FW:" + " ".join(t), 2) for t in zip(*[
                "the _ _ on the _ it was _ then it _ _".split()[i:] for i in range(3)])],
            "365b5ee853cee835e43453700daef05b273403a75f822c33880b5cee6dee0344",
        ),
    ],
)
def test_examples(text, features, expected):
    assert sorted(features_of(text)) == sorted(features)
    assert quelvane.text_structure(text) == fingerprint(features)
    if expected is not None:
        assert quelvane.text_structure(text) == expected


@pytest.mark.parametrize(
    "text,same_as",
    [
        ("One two.\nThree four.", "One two. Three four."),  # a single line break joins lines
        ("A b.\n\n\n\n C d.", "A b.\n\nC d."),  # any number of blank lines is one
        ("A b.\r\n\r\nC d.", "A b.\n\nC d."),
        ("A b.\n\u2028\u0085 \r\nC d.", "A b.\n\nC d."),  # a line of such characters is blank
        ("Wait\u200b... what?", "Wait... what?"),
        ("Amélie dit oui.", "Ame\u0301lie dit oui."),
        ("She said \u201cno\u201d.", 'She said "no".'),
        ("It's \u2018so\u2019.", "It\"s 'so'."),
    ],
)
def test_equivalent_texts(text, same_as):
    assert quelvane.text_structure(text) == quelvane.text_structure(same_as)


@pytest.mark.parametrize(
    "text,different",
    [
        ("A b.\u2028C d.", "A b.\n\nC d."),  # only U+000A separates lines
        ("A b.\rC d.", "A b.\n\nC d."),
        ("Mr. Smith", "Mr Smith"),  # no list of abbreviations
        ("...", "\u2026"),
        ("THE END", "THEN END"),
    ],
)
def test_different_texts(text, different):
    assert quelvane.text_structure(text) != quelvane.text_structure(different)


@pytest.mark.parametrize(
    "text,features",
    [
        ("Mr. Smith", [("SL1:1", 3), ("SL1:1", 3), ("SL2:1,1", 3), ("PL:2", 2), ("PUNCT:.", 1), ("FW:_ _", 2)]),
        ("don't stop", [("SL1:3", 3), ("PL:1", 2), ('PUNCT:"', 1), ("FW:_ _ _", 2)]),
        ("THE end", [("SL1:2", 3), ("PL:1", 2), ("FW:the _", 2)]),
        # ".." ends a sentence; the last full stop is left alone and becomes one too.
        ("...", [("SL1:0", 3), ("SL1:0", 3), ("SL2:0,0", 3), ("PL:2", 2), ("PUNCT:.", 3)]),
        ("\u2026", [("SL1:0", 3), ("PL:1", 2), ("PUNCT:.", 1)]),
        ("a\u2028b\n\nc", [("SL1:2", 3), ("SL1:1", 3), ("SL2:2,1", 3), ("PL:1", 2), ("PL:1", 2), ("FW:a _ _", 2)]),
    ],
)
def test_edge_case_features(text, features):
    assert sorted(features_of(text)) == sorted(features)
    assert quelvane.text_structure(text) == fingerprint(features)


PIECES = st.sampled_from(
    ["The", "the", "THE", "of", "between", "cat", "ΟΔΟΣ", "σας", "İ", "K\u212a", "don't", "3.14", "e-mail",
     "港", "½", "Mr.", "...", "\u2026", "!", "?", ".", ",", ";", ":", "\u2014", "(", "]", "\u201c", "'", "\"",
     " ", "  ", "\t", "\n", "\n\n", "\r\n", "\r", "\u2028", "\u0085", "\u200b", "e\u0301", "\u3000"]
)


@settings(max_examples=150, deadline=None)
@given(st.lists(PIECES, max_size=40))
def test_matches_reference(pieces):
    text = "".join(pieces)
    assert quelvane.text_structure(text) == fingerprint(features_of(text))


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",))))
def test_any_text_has_fingerprints(text):
    for function in (quelvane.text_structure, quelvane.text_fingerprint):
        value = function(text)
        assert len(value) == 64 and int(value, 16) >= 0
    assert len(quelvane.minhash_signature(text)) == 128
