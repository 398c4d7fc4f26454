"""The surface fingerprint and hamming_hex, against a plain reference built on hashlib.blake2b."""
import hashlib
import random
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quelvane
from test_normalize import ALPHABET, canonical

ZEROS = "0" * 64


def blake2_256(data):
    return hashlib.blake2b(data, digest_size=64).digest()[:32]


def vote(items):
    """The SimHash vote over (bytes, weight) items: counter i gains the weight where bit i of
    the item's hash (from the most significant bit of byte 0) is 1 and loses it where it is 0."""
    counters = np.zeros(256, dtype=np.int64)
    items = list(items)
    for first in range(0, len(items), 4096):
        chunk = items[first : first + 4096]
        hashes = np.frombuffer(b"".join(blake2_256(data) for data, _ in chunk), dtype=np.uint8)
        bits = np.unpackbits(hashes.reshape(len(chunk), 32), axis=1).astype(np.int64)
        counters += np.array([weight for _, weight in chunk], dtype=np.int64) @ (2 * bits - 1)
    return np.packbits(counters > 0).tobytes().hex()


def many_grams_text():
    """Ideographs drawn from 3,000, twice over: some 100,000 distinct 4-grams, each occurring
    twice, far more than a fingerprint keeps in its table of distinct grams."""
    rng = random.Random(5)
    half = "".join(chr(0x4E00 + rng.randrange(3000)) for _ in range(50_000))
    return half + "\u3002" + half


def simhash_4grams(chars):
    if not chars:
        return ZEROS
    k = min(len(chars), 4)
    grams = Counter(chars[p : p + k] for p in range(len(chars) - k + 1))
    return vote((gram.encode(), count) for gram, count in grams.items())


@pytest.mark.parametrize(
    "text,expected",
    [
        ("A", "333fcb4ee1aa7c115355ec66ceac917c8bfd815bf7587d325aec1864edd24e34"),
        ("Hello, World!", "2b005c60c729ca85b554583c63ab2ee43ab07680cda8e013b3041b9004a25030"),
        ("", ZEROS),
        (" ,.;!? \n\t", ZEROS),
        ("\u200b\ufeff\u2060", ZEROS),
    ],
)
def test_known_fingerprints(text, expected):
    assert quelvane.text_fingerprint(text) == expected


def test_hello_world_is_its_eight_grams():
    grams = ["hell", "ello", "llo ", "lo w", "o wo", " wor", "worl", "orld"]
    assert quelvane.text_fingerprint("Hello, World!") == vote((g.encode(), 1) for g in grams)


def test_blake2_256_is_a_truncated_512_bit_digest():
    # A single-character stream is one gram voting alone: its fingerprint is its hash.
    assert quelvane.text_fingerprint("a") == blake2_256(b"a").hex()
    assert blake2_256(b"a").hex() != hashlib.blake2b(b"a", digest_size=32).hexdigest()


@settings(max_examples=150, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=60))
def test_matches_reference(text):
    assert quelvane.text_fingerprint(text) == simhash_4grams(canonical(text))


@settings(max_examples=10, deadline=None)
@given(st.lists(st.sampled_from(["the", "harbour", "ΟΔΟΣ", "港の町", "Ame\u0301lie", "1½"]), min_size=100, max_size=400))
def test_long_texts_match_reference(words):
    # Long enough for windows, which text_fingerprint does not compute: only the whole counts.
    text = " ".join(words)
    assert quelvane.text_fingerprint(text) == simhash_4grams(canonical(text))


def test_grams_beyond_the_table_vote_once_per_occurrence():
    text = many_grams_text()
    assert quelvane.text_fingerprint(text) == simhash_4grams(canonical(text))


WORDS = st.lists(
    st.text(alphabet="abcdefghijklmnopqrstuvwxyz0123456789\u00e9\u00e8\u00e7\u03b1\u03b2", min_size=1, max_size=8),
    min_size=1,
    max_size=30,
)


def decompose(text):
    return text.replace("\u00e9", "e\u0301").replace("\u00e8", "e\u0300").replace("\u00e7", "c\u0327")


@settings(max_examples=60, deadline=None)
@given(WORDS, st.randoms(use_true_random=False))
def test_invariant_under_case_punctuation_spacing_composition_and_zero_width(words, rnd):
    plain = " ".join(words)
    seps = [" ", "  ", ", ", " - ", "\n\n", "\t", "... ", "; ", " (", ") "]
    varied = "".join(
        (w.upper() if rnd.random() < 0.5 else w) + rnd.choice(seps) + ("\u200b" if rnd.random() < 0.3 else "")
        for w in words
    )
    varied = decompose("\ufeff" + varied + "!")
    assert quelvane.text_fingerprint(varied) == quelvane.text_fingerprint(plain)


def test_composition_forms_are_one_fingerprint():
    assert quelvane.text_fingerprint("Ame\u0301lie et Noe\u0308l") == quelvane.text_fingerprint("Amélie et Noël")


def hamming(a, b):
    return bin(int(a, 16) ^ int(b, 16)).count("1")


def test_hamming_of_fingerprints():
    rng = random.Random(1)
    texts = ["Hello, World!", "Hello, world", "Hello there, World!", "An unrelated sentence entirely."]
    prints = [quelvane.text_fingerprint(t) for t in texts]
    for a in prints:
        for b in prints:
            assert quelvane.hamming_hex(a, b) == hamming(a, b)
    for _ in range(20):
        a, b = (f"{rng.getrandbits(256):064x}" for _ in range(2))
        assert quelvane.hamming_hex(a, b) == hamming(a, b)


@pytest.mark.parametrize(
    "a,b,distance",
    [
        (ZEROS, ZEROS, 0),
        (ZEROS, "f" * 64, 256),
        ("F" * 64, "f" * 64, 0),
        (" \n" + "8" + "0" * 63 + "\t\u3000", ZEROS, 1),
        ("\u2028" + "0" * 63 + "1", "0" * 64 + "\u00a0", 1),
    ],
)
def test_hamming_hex_accepts_case_and_white_space(a, b, distance):
    assert quelvane.hamming_hex(a, b) == distance


BAD = ["0" * 62, "0" * 66, "0" * 63, "0x" + "0" * 62, "g" + "0" * 63, "", "0" * 31 + " " + "0" * 32, "é" * 32]


@pytest.mark.parametrize("bad", BAD)
def test_hamming_hex_reports_a_before_b(bad):
    with pytest.raises(ValueError, match="^bad hex a$"):
        quelvane.hamming_hex(bad, "zz")
    with pytest.raises(ValueError, match="^bad hex b$"):
        quelvane.hamming_hex(ZEROS, bad)
