"""MinHash signatures and band keys against a plain-Python computation of the same formulas."""
import pytest
from hypothesis import given, settings, strategies as st

import quelvane
from test_normalize import ALPHABET, canonical

P = (1 << 61) - 1
MASK = (1 << 64) - 1
EMPTY_BAND = 901300984310592933


def splitmix64(state):
    while True:
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        yield z ^ (z >> 31)


def parameters():
    outputs = splitmix64(0x0123456789ABCDEF)
    pairs = []
    for _ in range(128):
        a = 1 + next(outputs) % (P - 1)
        b = next(outputs) % P
        pairs.append((a, b))
    return pairs


PARAMETERS = parameters()


def fnv1a(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & MASK
    return h


def shingles(words):
    if len(words) < 5:
        return [" ".join(words)] if words else []
    return [" ".join(words[k : k + 5]) for k in range(len(words) - 4)]


def signature(text):
    found = shingles(canonical(text).split(" ") if canonical(text) else [])
    if not found:
        return [0] * 128
    xs = [fnv1a(s.encode()) % P for s in found]
    return [min((a * x % P + b) % P for x in xs) for a, b in PARAMETERS]


def bands(sig):
    return [fnv1a(b"".join(v.to_bytes(8, "little") for v in sig[4 * j : 4 * j + 4])) for j in range(32)]


def test_parameters_check_values():
    (a0, b0), (a1, b1) = PARAMETERS[:2]
    assert (a0, b0, a1, b1) == (0x157A3807A48FAA9E, 0x1573529B34A1D099, 0x0F90B72E996DCCC1, 0x02D419334C4667F1)


def test_hello_world():
    assert fnv1a(b"hello world") % P == 0x179A65E7023CD2EA
    sig = quelvane.minhash_signature("Hello, World!")
    assert sig[:2] == [1948724933775172566, 1292420737957313527]
    assert sig == signature("Hello, World!")
    assert quelvane.minhash_bands("Hello, World!")[0] == 6803327177779274473


@pytest.mark.parametrize("text", ["", "  ", "?!...", "\u200b\u2060"])
def test_empty_stream(text):
    assert quelvane.minhash_signature(text) == [0] * 128
    assert quelvane.minhash_bands(text) == [EMPTY_BAND] * 32
    assert fnv1a(bytes(32)) == EMPTY_BAND


@pytest.mark.parametrize(
    "text,shingle_list",
    [
        ("one", ["one"]),
        ("One, two; three four", ["one two three four"]),
        ("a b c d e", ["a b c d e"]),
        ("a b c d e f", ["a b c d e", "b c d e f"]),
        ("a b c d e a b c d e", ["a b c d e", "b c d e a", "c d e a b", "d e a b c", "e a b c d", "a b c d e"]),
    ],
)
def test_shingle_counts(text, shingle_list):
    assert shingles(canonical(text).split(" ")) == shingle_list
    xs = [fnv1a(s.encode()) % P for s in shingle_list]
    assert quelvane.minhash_signature(text) == [min((a * x % P + b) % P for x in xs) for a, b in PARAMETERS]


@settings(max_examples=100, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=120))
def test_matches_reference(text):
    sig = quelvane.minhash_signature(text)
    assert sig == signature(text)
    assert quelvane.minhash_bands(text) == bands(sig)


@settings(max_examples=15, deadline=None)
@given(st.lists(st.sampled_from(["the", "harbour", "ΟΔΟΣ", "港の町", "Ame\u0301lie", "1½", "x"]), min_size=5, max_size=300))
def test_long_texts_match_reference(words):
    text = " ".join(words)
    sig = quelvane.minhash_signature(text)
    assert sig == signature(text)
    assert all(0 <= v < P for v in sig)
    assert quelvane.minhash_bands(text) == bands(sig)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.text(alphabet="abcdefghijklmnopqrstuvwxyz0123456789\u00e9", min_size=1, max_size=7), min_size=1, max_size=25))
def test_invariant_under_case_punctuation_spacing_and_zero_width(words):
    plain = " ".join(words)
    varied = "\u200b" + ",  ".join(w.upper() for w in words).replace("\u00c9", "E\u0301") + "?\ufeff"
    assert quelvane.minhash_signature(varied) == quelvane.minhash_signature(plain)
    assert quelvane.minhash_bands(varied) == quelvane.minhash_bands(plain)


def test_types_and_ranges(prose):
    sig = quelvane.minhash_signature(prose)
    band_keys = quelvane.minhash_bands(prose)
    assert len(sig) == 128 and len(band_keys) == 32
    assert all(type(v) is int and 0 <= v < P for v in sig)
    assert all(type(v) is int and 0 <= v <= MASK for v in band_keys)
    assert any(v >= 1 << 63 for v in band_keys)  # full 64-bit values, not reduced
