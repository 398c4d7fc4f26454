"""verify_tier: the evidence each algorithm gives, its thresholds, the tier table, and reading
candidate assertions written by cbor2 (any key order, extra keys, indefinite lengths, tags) or
by an attacker."""
import itertools
import random

import cbor2
import pytest
from hypothesis import given, settings, strategies as st

import quelvane
from conftest import PROSE
from test_normalize import canonical
from test_soft_binding import FINGERPRINT, LONG, MINHASH, STRUCTURE, WATERMARK, minhash_value, record, window

FLAGS = list(itertools.product([False, True], repeat=2))  # (watermark_verified, crosscheck_ok)
PREFIX = "invalid input: soft-binding CBOR decode: "


def tier(text, structure, watermark_verified=False, crosscheck_ok=True):
    return quelvane.verify_tier(text, cbor2.dumps(structure).hex(), watermark_verified, crosscheck_ok)


def flip(hex_value, bits):
    """The 256-bit value with its first `bits` bits inverted."""
    return f"{int(hex_value, 16) ^ (((1 << bits) - 1) << (256 - bits)):064x}"


def expected_tier(strong, structural, watermark_verified, crosscheck_ok):
    if strong:
        return "BOUND" if crosscheck_ok else "LIKELY"
    return "LIKELY" if structural or watermark_verified else "REVIEW"


# ---------------------------------------------------------------------------------------------
# The tier table, for each kind of evidence.

FINGERPRINT_FAR = record(FINGERPRINT, flip(quelvane.text_fingerprint(PROSE), 256))
STRUCTURE_FAR = record(STRUCTURE, flip(quelvane.text_structure(PROSE), 256))
UNRELATED = "an unrelated text about other things entirely"
MINHASH_FAR = record(MINHASH, minhash_value(quelvane.minhash_signature(UNRELATED)))

# (assertion for PROSE, strong match, structural closeness)
EVIDENCE = {
    "fingerprint-self": (lambda: quelvane.soft_binding_fingerprint(PROSE), True, False),
    "minhash-self": (lambda: quelvane.soft_binding_minhash(PROSE), True, False),
    "structure-self": (lambda: quelvane.soft_binding_structure(PROSE), False, True),
    "watermark": (lambda: quelvane.soft_binding_watermark("00ff" * 8), False, False),
    "fingerprint-far": (lambda: cbor2.dumps(FINGERPRINT_FAR).hex(), False, False),
    "minhash-far": (lambda: cbor2.dumps(MINHASH_FAR).hex(), False, False),
    "structure-far": (lambda: cbor2.dumps(STRUCTURE_FAR).hex(), False, False),
    "unknown-alg": (lambda: cbor2.dumps(record("x.y", quelvane.text_fingerprint(PROSE))).hex(), False, False),
}


@pytest.mark.parametrize("name", EVIDENCE)
@pytest.mark.parametrize("watermark_verified,crosscheck_ok", FLAGS)
def test_tier_table(name, watermark_verified, crosscheck_ok):
    build, strong, structural = EVIDENCE[name]
    got = quelvane.verify_tier(PROSE, build(), watermark_verified, crosscheck_ok)
    assert got == expected_tier(strong, structural, watermark_verified, crosscheck_ok)


@settings(max_examples=30, deadline=None)
@given(st.text(max_size=300))
def test_every_text_matches_its_own_assertions(text):
    assert quelvane.verify_tier(text, quelvane.soft_binding_fingerprint(text), False, True) == "BOUND"
    assert quelvane.verify_tier(text, quelvane.soft_binding_minhash(text), False, True) == "BOUND"
    assert quelvane.verify_tier(text, quelvane.soft_binding_structure(text), False, True) == "LIKELY"


def test_copies_of_a_published_text():
    rng = random.Random(7)
    words = LONG.replace(".", "").split()
    published_text = " ".join(rng.choice(words) for _ in range(700))
    published = quelvane.soft_binding_fingerprint(published_text)
    rewrapped = published_text.replace(" the ", "\nThe ").upper()
    excerpt = canonical(published_text)[1024:1536]  # exactly the fifth window
    # Far from the whole text: only its own window block matches it.
    assert quelvane.hamming_hex(quelvane.text_fingerprint(excerpt), quelvane.text_fingerprint(published_text)) > 32
    unrelated = "Quantum chromodynamics describes the strong interaction between quarks and gluons. " * 8
    assert quelvane.verify_tier(published_text, published, False, True) == "BOUND"
    assert quelvane.verify_tier(rewrapped, published, False, True) == "BOUND"
    assert quelvane.verify_tier(excerpt, published, False, True) == "BOUND"
    assert quelvane.verify_tier(" ".join(excerpt.split()[3:-3]), published, False, True) == "BOUND"
    assert quelvane.verify_tier(unrelated, published, False, True) == "REVIEW"
    assert quelvane.verify_tier(unrelated, published, True, True) == "LIKELY"


# ---------------------------------------------------------------------------------------------
# Thresholds.


@pytest.mark.parametrize("bits,expected", [(0, "BOUND"), (32, "BOUND"), (33, "REVIEW"), (256, "REVIEW")])
def test_fingerprint_threshold(bits, expected):
    value = flip(quelvane.text_fingerprint(PROSE), bits)
    assert tier(PROSE, record(FINGERPRINT, value)) == expected
    # A window block qualifies as the whole-text block does.
    windowed = record(FINGERPRINT, "f" * 64)
    windowed["blocks"].append(window(256, 768, value))
    assert tier(PROSE, windowed) == expected


@pytest.mark.parametrize("bits,expected", [(0, "LIKELY"), (24, "LIKELY"), (25, "REVIEW")])
def test_structure_threshold(bits, expected):
    value = flip(quelvane.text_structure(PROSE), bits)
    for crosscheck_ok in (False, True):
        assert tier(PROSE, record(STRUCTURE, value), False, crosscheck_ok) == expected


def altered(values, positions):
    """The signature with the values at `positions` replaced by ones it does not hold."""
    rng = random.Random(len(positions))
    out = list(values)
    for p in positions:
        out[p] = rng.getrandbits(64)
    assert not set(out[p] for p in positions) & set(values)
    return out


# Positions 0, 4, ..., 124 break every band of four values; `extra` adds more differing ones.
EVERY_BAND = list(range(0, 128, 4))


@pytest.mark.parametrize(
    "positions,expected",
    [
        (EVERY_BAND + [1, 5, 9, 13, 17, 21], "BOUND"),  # 90 equal, no band left
        (EVERY_BAND + [1, 5, 9, 13, 17, 21, 25], "REVIEW"),  # 89 equal, no band left
        (EVERY_BAND[:31] + [1, 5, 9, 13, 17, 21, 25, 29], "BOUND"),  # 89 equal, band 31 alone intact
        (range(128), "REVIEW"),
    ],
    ids=["90-equal", "89-equal-no-band", "89-equal-shared-band", "none-equal"],
)
def test_minhash_threshold(positions, expected):
    signature = quelvane.minhash_signature(PROSE)
    candidate = altered(signature, list(positions))
    assert 128 - len(list(positions)) == sum(a == b for a, b in zip(candidate, signature))
    assert tier(PROSE, record(MINHASH, minhash_value(candidate))) == expected


def test_minhash_band_shared_at_another_position():
    signature = quelvane.minhash_signature(PROSE)
    candidate = altered(signature, range(128))
    candidate[20:24] = signature[0:4]  # the text's band 0 is the candidate's band 5
    assert not any(a == b for a, b in zip(candidate, signature))
    assert tier(PROSE, record(MINHASH, minhash_value(candidate))) == "BOUND"


# ---------------------------------------------------------------------------------------------
# Block values and records that give no evidence.


def own_values():
    return {
        FINGERPRINT: quelvane.text_fingerprint(PROSE),
        STRUCTURE: quelvane.text_structure(PROSE),
        MINHASH: minhash_value(quelvane.minhash_signature(PROSE)),
    }


@pytest.mark.parametrize("alg", [FINGERPRINT, STRUCTURE, MINHASH])
def test_upper_case_values_count_padded_ones_do_not(alg):
    value = own_values()[alg]
    strong = alg != STRUCTURE
    assert tier(PROSE, record(alg, value.upper())) == expected_tier(strong, not strong, False, True)
    for bad in (" " + value, value + "\n", value[:-1], value + "0", value[:-2], value + "00", "", "zz" + value[2:]):
        assert tier(PROSE, record(alg, bad)) == "REVIEW", repr(bad[:8])


@pytest.mark.parametrize("alg", [FINGERPRINT, STRUCTURE, MINHASH])
def test_malformed_first_block(alg):
    # Only a surface fingerprint looks past the first block.
    value = own_values()[alg]
    expected = {FINGERPRINT: "BOUND", STRUCTURE: "REVIEW", MINHASH: "REVIEW"}[alg]
    assert tier(PROSE, record(alg, "not hex", value)) == expected


@pytest.mark.parametrize("alg", [FINGERPRINT, STRUCTURE, MINHASH])
def test_alg_is_matched_exactly(alg):
    value = own_values()[alg]
    for other in (alg.upper(), alg.capitalize(), alg + " ", alg[:-1]):
        for watermark_verified in (False, True):
            got = tier(PROSE, record(other, value), watermark_verified)
            assert got == ("LIKELY" if watermark_verified else "REVIEW")


@pytest.mark.parametrize("alg", [FINGERPRINT, STRUCTURE, MINHASH, WATERMARK])
@pytest.mark.parametrize("watermark_verified,crosscheck_ok", FLAGS)
def test_empty_blocks(alg, watermark_verified, crosscheck_ok):
    got = tier(PROSE, record(alg), watermark_verified, crosscheck_ok)
    assert got == ("LIKELY" if watermark_verified else "REVIEW")


# ---------------------------------------------------------------------------------------------
# The assertion argument.


def test_assertion_hex_is_trimmed_and_read_in_either_case():
    assertion = quelvane.soft_binding_fingerprint(PROSE)
    assert quelvane.verify_tier(PROSE, "\n\u3000 " + assertion.upper() + "\t\u2029", False, True) == "BOUND"


@pytest.mark.parametrize(
    "assertion,message",
    [
        ("abc", "invalid assertion: Odd number of digits"),
        ("a3 630", "invalid assertion: Invalid character ' ' at position 2"),
        ("00", PREFIX),
        ("", PREFIX),
        ("80", PREFIX + "invalid type: sequence, expected map"),
        ("6a", PREFIX + "invalid type: string, expected map"),
    ],
)
def test_assertion_failures(assertion, message):
    with pytest.raises(ValueError) as e:
        quelvane.verify_tier(PROSE, assertion, False, True)
    assert str(e.value).startswith(message)
    if not message.startswith(PREFIX):
        assert str(e.value) == message


# ---------------------------------------------------------------------------------------------
# Assertions written by cbor2. Each variant carries the text's fingerprint only in a window
# block after a useless first block, so a reader that loses or misreads anything gives REVIEW
# or raises instead of BOUND.


def matching_record(bits_away=0):
    out = record(FINGERPRINT, "0" * 63)
    out["blocks"].append(window(0, 512, flip(quelvane.text_fingerprint(PROSE), bits_away)))
    return out


def transform(value, on_map=None, on_list=None, on_str=None):
    """Rebuilds a structure bottom-up, passing each map, list and string value through a hook."""
    if isinstance(value, dict):
        inner = {k: transform(v, on_map, on_list, on_str) for k, v in value.items()}
        return on_map(inner) if on_map else inner
    if isinstance(value, list):
        inner = [transform(v, on_map, on_list, on_str) for v in value]
        return on_list(inner) if on_list else inner
    if isinstance(value, str) and on_str:
        return on_str(value)
    return value


class Indefinite:
    """Written by cbor2 as an indefinite-length map, array or text string (in chunks)."""

    def __init__(self, value):
        self.value = value


def write_indefinite(encoder, wrapper):
    value = wrapper.value
    if isinstance(value, dict):
        encoder.write(b"\xbf")
        for k, v in value.items():
            encoder.encode(k)
            encoder.encode(v)
    elif isinstance(value, list):
        encoder.write(b"\x9f")
        for v in value:
            encoder.encode(v)
    else:
        encoder.write(b"\x7f")
        for i in range(0, max(len(value), 1), 5):
            encoder.encode(value[i : i + 5])
    encoder.write(b"\xff")


UNKNOWN_VALUES = {
    "int": -(2**63),
    "bignum": 2**100,
    "float": 1.5,
    "nan": float("nan"),
    "bytes": b"\x00\xff",
    "null": None,
    "undefined": cbor2.undefined,
    "bool": True,
    "simple": cbor2.CBORSimpleValue(99),
    "tagged": cbor2.CBORTag(1234, [1, {"a": [None]}]),
    "nested": {"alg": "shadow", "blocks": [], "deeper": [[[{"x": {}}]]]},
}


def reversed_keys(value):
    return transform(value, on_map=lambda m: dict(reversed(list(m.items()))))


def extra_keys(value):
    return transform(value, on_map=lambda m: {**UNKNOWN_VALUES, **m, "zz-extra": UNKNOWN_VALUES})


def tagged(value):
    def tag(v):
        return cbor2.CBORTag(55799, cbor2.CBORTag(32, v))

    return transform(value, on_map=tag, on_str=tag)


def byte_string_keys(value):
    return transform(value, on_map=lambda m: {k.encode(): v for k, v in m.items()})


def with_optional_fields(value):
    value = dict(value, name="a name", pad=[1, 2, 255])
    value["blocks"][0]["scope"] = {"region": None}
    value["blocks"][1]["scope"]["region"]["region"][0]["text"]["selectors"][0]["selector"]["end"] = None
    return value


VARIANTS = {
    "as-is": lambda v: cbor2.dumps(v),
    "reversed-keys": lambda v: cbor2.dumps(reversed_keys(v)),
    "extra-keys": lambda v: cbor2.dumps(extra_keys(v), default=write_indefinite),
    "indefinite": lambda v: cbor2.dumps(
        transform(v, on_map=Indefinite, on_list=Indefinite, on_str=Indefinite), default=write_indefinite
    ),
    "tags": lambda v: cbor2.dumps(tagged(v)),
    "byte-string-keys": lambda v: cbor2.dumps(byte_string_keys(v)),
    "optional-fields": lambda v: cbor2.dumps(with_optional_fields(v)),
    "trailing-bytes": lambda v: cbor2.dumps(v) + b"\xff\x00garbage",
    "all-at-once": lambda v: cbor2.dumps(
        tagged(reversed_keys(extra_keys(with_optional_fields(v)))), default=write_indefinite
    ),
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_reads_assertions_written_by_cbor2(variant):
    data = VARIANTS[variant](matching_record())
    assert quelvane.verify_tier(PROSE, data.hex(), False, True) == "BOUND"
    # The same variant with a window value that does not match.
    unmatched = VARIANTS[variant](matching_record(bits_away=33))
    assert quelvane.verify_tier(PROSE, unmatched.hex(), False, True) == "REVIEW"


def test_indefinite_minhash_value_in_chunks():
    value = minhash_value(quelvane.minhash_signature(PROSE))
    data = cbor2.dumps(record(MINHASH, Indefinite(value)), default=write_indefinite)
    assert quelvane.verify_tier(PROSE, data.hex(), False, True) == "BOUND"


# ---------------------------------------------------------------------------------------------
# Hostile input: fails at once with the decoder's prefix, never allocating what a head declares.


def assert_rejected(data):
    with pytest.raises(ValueError) as e:
        quelvane.verify_tier(PROSE, data.hex(), True, True)
    assert str(e.value).startswith(PREFIX)
    return str(e.value)


@pytest.mark.parametrize(
    "data",
    [
        bytes.fromhex("5b0000000100000000") + b"\x00",  # byte string of 2^32 bytes
        bytes.fromhex("7b0000000100000000") + b"\x00",  # text string of 2^32 bytes
        bytes.fromhex("9b0000000100000000") + b"\x00",  # array of 2^32 items
        bytes.fromhex("bb0000000100000000") + b"\x60",  # map of 2^32 pairs
        bytes.fromhex("bbffffffffffffffff") + b"\x60",  # map of 2^64 - 1 pairs
        cbor2.dumps({"alg": FINGERPRINT})[:-1] + bytes.fromhex("66") + b"blocks" + bytes.fromhex("9b0000000100000000"),
        bytes.fromhex("a1") + bytes.fromhex("7b0000000100000000") + b"\x00",  # a key of 2^32 bytes
        cbor2.dumps({"alg": FINGERPRINT, "x": 0})[:-1] + bytes.fromhex("5bffffffffffffffff"),  # skipped value
    ],
    ids=["bytes", "text", "array", "map", "map-2^64", "blocks", "key", "unknown-value"],
)
def test_huge_declared_lengths(data):
    assert_rejected(data)


def test_nesting_limit():
    def nested(levels):
        inner = b"\x81" * levels + b"\x00"
        return bytes.fromhex("a2") + cbor2.dumps("x") + inner + cbor2.dumps("alg") + cbor2.dumps(FINGERPRINT)

    assert "missing field `blocks`" in assert_rejected(nested(255))  # the record's map makes 256
    assert "missing field" not in assert_rejected(nested(256))
    assert "missing field" not in assert_rejected(nested(1_000_000))
    deep_maps = bytes.fromhex("a1") + (cbor2.dumps("k") + bytes.fromhex("a1")) * 100_000
    assert_rejected(deep_maps)


def test_every_truncation_fails():
    data = bytes.fromhex(quelvane.soft_binding_structure(PROSE))
    for end in range(len(data)):
        assert_rejected(data[:end])
    data = VARIANTS["all-at-once"](matching_record())
    for end in range(0, len(data), 7):
        assert_rejected(data[:end])


@pytest.mark.parametrize(
    "data",
    [
        cbor2.dumps({"alg": "x"}).replace(b"\x61x", b"\x61\xff"),  # in a value
        bytes.fromhex("a1") + cbor2.dumps("alg") + bytes.fromhex("7f62c3a961e9ff"),  # in a chunk
        cbor2.dumps({"alg": "\ud7ff"}).replace("\ud7ff".encode(), b"\xed\xa0\x80"),  # a surrogate
    ],
    ids=["value", "chunk", "surrogate"],
)
def test_bad_utf8(data):
    assert "invalid UTF-8 in text string" in assert_rejected(data)


class Raw:
    """Written by cbor2 as the given bytes, as they are: a CBOR item cbor2 would not write."""

    def __init__(self, data):
        self.data = data


def write_raw(encoder, raw):
    encoder.write(raw.data)


# Keys are of definite length; a value may also be a text string in chunks.
NOT_UTF8_KEYS = [b"\x62\xff\xfe", b"\x61\x80", b"\x64alg\xc3"]
NOT_UTF8_TEXTS = NOT_UTF8_KEYS + [b"\x7f\x61\xe9\x62\xc3\xa9\xff"]

# Values of unknown keys: whatever cbor2 writes, and text strings that are not UTF-8 anywhere in them.
unknown_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats() | st.binary(max_size=8)
    | st.text(max_size=8) | st.sampled_from(NOT_UTF8_TEXTS).map(Raw),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=8,
)


def with_entry(value, path, key, entry):
    """The structure with `key: entry` added to the map at `path` (a list of keys and indices)."""
    if not path:
        return {**value, key: entry}
    head, *rest = path
    copy = list(value) if isinstance(value, list) else dict(value)
    copy[head] = with_entry(value[head], rest, key, entry)
    return copy


def map_paths(value, path=()):
    """The path of every map in the structure."""
    if isinstance(value, dict):
        yield list(path)
        for k, v in value.items():
            yield from map_paths(v, path + (k,))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from map_paths(v, path + (i,))


@settings(max_examples=60, deadline=None)
@given(st.data(), st.sampled_from(NOT_UTF8_KEYS), unknown_values)
def test_keys_that_are_not_utf8_are_skipped_with_their_values(data, key, value):
    """A text key that is not UTF-8 names no field, in any map: the record reads as without it."""
    for bits_away, expected in ((0, "BOUND"), (33, "REVIEW")):
        base = matching_record(bits_away)
        path = data.draw(st.sampled_from(list(map_paths(base))), label="map")
        encoded = cbor2.dumps(with_entry(base, path, Raw(key), value), default=write_raw)
        assert quelvane.verify_tier(PROSE, encoded.hex(), False, True) == expected


NOT_MAPS = {
    "string": st.text(min_size=1),
    "byte array": st.binary(min_size=1),
    "sequence": st.lists(st.integers(), min_size=1),
}


def head_length(data):
    return 1 + {24: 1, 25: 2, 26: 4, 27: 8}.get(data[0] & 31, 0)


@settings(max_examples=40, deadline=None)
@given(st.data(), st.sampled_from(sorted(NOT_MAPS)))
def test_an_item_that_is_not_a_map_is_told_by_its_head(data, kind):
    """Cut anywhere after its head, an item of another type is reported as that type."""
    item = cbor2.dumps(data.draw(NOT_MAPS[kind], label=kind))
    for end in range(head_length(item), len(item) + 1):
        message = assert_rejected(item[:end])
        if kind == "string" and end == len(item):
            assert message.startswith(PREFIX + 'invalid type: string "') and message.endswith('", expected map')
        else:
            assert message == PREFIX + f"invalid type: {kind}, expected map"
