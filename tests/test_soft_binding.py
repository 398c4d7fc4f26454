"""The four soft-binding builders: the records they write, checked with cbor2 as an independent
decoder and encoder, and window blocks against a plain reference of the surface fingerprint."""
import cbor2
import pytest
from hypothesis import given, settings, strategies as st

import quelvane
from conftest import PROSE
from test_normalize import canonical
from test_simhash import many_grams_text, simhash_4grams

FINGERPRINT = "com.lanternquill.text-fingerprint.1"
WATERMARK = "com.lanternquill.zwc-watermark.2"
STRUCTURE = "com.lanternquill.text-structure.1"
MINHASH = "com.lanternquill.text-minhash.1"

# Long enough for several windows; the mixed one has multi-byte characters, so that offsets
# counted in characters differ from offsets in bytes.
LONG = " ".join([PROSE] * 3)
MIXED = " ".join(["Καλημέρα κόσμε, το λιμάνι ξύπνησε.", "港の町はゆっくりと目を覚ました。", "Amélie, Zoë — ½!"] * 30)


def decode(assertion_hex):
    return cbor2.loads(bytes.fromhex(assertion_hex))


def record(alg, *values):
    """A record with one whole-text block per value, as cbor2 reads it."""
    return {"alg": alg, "blocks": [{"scope": {}, "value": v} for v in values], "pad": b""}


def window(start, end, value):
    selector = {"fragment": "", "start": start, "end": end}
    scope = {"region": {"region": [{"type": "textual", "text": {"selectors": [{"selector": selector}]}}]}}
    return {"scope": scope, "value": value}


def reference_windows(stream):
    """(start, end) of every window: 512 characters every 256, the last one ending at the end."""
    if len(stream) <= 512:
        return []
    starts = range(0, len(stream), 256)
    return [(s, min(s + 512, len(stream))) for s in starts if s + 256 < len(stream)]


def reference_fingerprint_record(text):
    stream = canonical(text)
    out = record(FINGERPRINT, simhash_4grams(stream))
    out["blocks"] += [window(s, e, simhash_4grams(stream[s:e])) for s, e in reference_windows(stream)]
    return out


def minhash_value(values):
    """The id 44 block value: each value as 8 bytes, most significant first, in hex."""
    return b"".join(v.to_bytes(8, "big") for v in values).hex()


def stream_of_length(n):
    """A text that is its own canonical stream, of exactly n characters."""
    chars = list(canonical(LONG)[:n])
    if chars[-1] == " ":
        chars[-1] = "z"
    text = "".join(chars)
    assert canonical(text) == text and len(text) == n
    return text


# The bytes must be exactly what cbor2 writes for the expected structure: definite lengths,
# shortest heads and keys in the record's field order (which cbor2 keeps, as dicts do).
@pytest.mark.parametrize(
    "build,expected",
    [
        (lambda: quelvane.soft_binding_structure(PROSE), lambda: record(STRUCTURE, quelvane.text_structure(PROSE))),
        (
            lambda: quelvane.soft_binding_minhash(PROSE),
            lambda: record(MINHASH, minhash_value(quelvane.minhash_signature(PROSE))),
        ),
        (lambda: quelvane.soft_binding_watermark("00ff" * 8), lambda: record(WATERMARK, "00ff" * 8)),
        (lambda: quelvane.soft_binding_fingerprint(LONG), lambda: reference_fingerprint_record(LONG)),
        (lambda: quelvane.soft_binding_fingerprint(MIXED), lambda: reference_fingerprint_record(MIXED)),
        (lambda: quelvane.soft_binding_fingerprint(""), lambda: record(FINGERPRINT, "0" * 64)),
    ],
    ids=["structure", "minhash", "watermark", "fingerprint", "fingerprint-mixed-script", "fingerprint-empty"],
)
def test_records_as_cbor2_reads_and_writes_them(build, expected):
    assertion = build()
    assert assertion == assertion.lower()
    assert decode(assertion) == expected()
    assert cbor2.dumps(expected()).hex() == assertion
    assert cbor2.dumps(decode(assertion)).hex() == assertion
    assert build() == assertion


@pytest.mark.parametrize(
    "assertion,size",
    [
        (lambda: quelvane.soft_binding_structure(PROSE), 133),
        (lambda: quelvane.soft_binding_structure(""), 133),
        (lambda: quelvane.soft_binding_minhash(PROSE), 2116),
        (lambda: quelvane.soft_binding_fingerprint(stream_of_length(512)), 135),
        (lambda: quelvane.soft_binding_fingerprint("short"), 135),
        (lambda: quelvane.soft_binding_fingerprint(stream_of_length(513)), 461),
        (lambda: quelvane.soft_binding_watermark("ab" * 16), 100),
        (lambda: quelvane.soft_binding_watermark(""), 67),
    ],
    ids=["structure", "structure-empty", "minhash", "fingerprint-512", "fingerprint-short", "fingerprint-513",
         "watermark-16", "watermark-empty"],
)
def test_encoded_sizes(assertion, size):
    assert len(assertion()) == 2 * size


def test_structure_record_is_alg_one_block_and_empty_pad():
    value = quelvane.text_structure(PROSE)
    expected = (
        "a3" + "63" + b"alg".hex() + "7821" + STRUCTURE.encode().hex() + "66" + b"blocks".hex() + "81" + "a2"
        + "65" + b"scope".hex() + "a0" + "65" + b"value".hex() + "7840" + value.encode().hex()
        + "63" + b"pad".hex() + "40"
    )
    assert quelvane.soft_binding_structure(PROSE) == expected


def test_window_blocks_at_512_and_513_characters():
    at_512 = stream_of_length(512)
    assert decode(quelvane.soft_binding_fingerprint(at_512)) == record(FINGERPRINT, quelvane.text_fingerprint(at_512))
    at_513 = stream_of_length(513)
    blocks = decode(quelvane.soft_binding_fingerprint(at_513))["blocks"]
    assert blocks == [
        {"scope": {}, "value": quelvane.text_fingerprint(at_513)},
        window(0, 512, simhash_4grams(at_513[:512])),
        window(256, 513, simhash_4grams(at_513[256:])),
    ]


def test_window_offsets_count_canonical_characters():
    # Upper case, punctuation, runs of spaces and zero-width characters are not counted.
    text = "  Ἀθῆναι, ΑΘΗΝΑ!!\u200b " * 60
    stream = canonical(text)
    blocks = decode(quelvane.soft_binding_fingerprint(text))["blocks"]
    selectors = [b["scope"]["region"]["region"][0]["text"]["selectors"][0]["selector"] for b in blocks[1:]]
    assert [(s["start"], s["end"]) for s in selectors] == reference_windows(stream)
    assert selectors[-1]["end"] == len(stream) < len(text.encode())


@settings(max_examples=40, deadline=None)
@given(st.text(max_size=40))
def test_first_block_is_text_fingerprint(text):
    first = decode(quelvane.soft_binding_fingerprint(text))["blocks"][0]
    assert first == {"scope": {}, "value": quelvane.text_fingerprint(text)}


def test_windows_of_a_text_with_more_grams_than_the_table_keeps():
    text = many_grams_text()
    assert decode(quelvane.soft_binding_fingerprint(text)) == reference_fingerprint_record(text)


def test_first_block_is_text_fingerprint_for_long_texts():
    for text in (LONG, MIXED):
        assert decode(quelvane.soft_binding_fingerprint(text))["blocks"][0]["value"] == quelvane.text_fingerprint(text)


def test_minhash_value_is_the_signature_big_endian():
    value = decode(quelvane.soft_binding_minhash(PROSE))["blocks"][0]["value"]
    first = quelvane.minhash_signature(PROSE)[0]
    assert len(value) == 2048
    assert value[:16] == f"{first:016x}"
    assert [int(value[i : i + 16], 16) for i in range(0, 2048, 16)] == quelvane.minhash_signature(PROSE)


def test_text_builders_accept_any_text():
    builders = (quelvane.soft_binding_fingerprint, quelvane.soft_binding_structure, quelvane.soft_binding_minhash)
    for text in ("", " ", "\u200b", "one"):
        for build in builders:
            assert len(decode(build(text))["blocks"]) == 1


@pytest.mark.parametrize(
    "pointer,value",
    [(" 0A0b ", "0a0b"), ("\n\u3000ABCDEF0123456789\t", "abcdef0123456789"), ("", ""), (" \u2028 ", "")],
)
def test_watermark_pointer_is_normalised(pointer, value):
    assertion = quelvane.soft_binding_watermark(pointer)
    assert decode(assertion) == record(WATERMARK, value)
    assert assertion == quelvane.soft_binding_watermark(value)


def test_empty_pointer_is_an_empty_value():
    assert quelvane.soft_binding_watermark("").endswith("65" + b"value".hex() + "60" + "63" + b"pad".hex() + "40")


@settings(max_examples=50, deadline=None)
@given(st.binary(max_size=300))
def test_watermark_carries_any_pointer(pointer):
    assert decode(quelvane.soft_binding_watermark(pointer.hex().upper())) == record(WATERMARK, pointer.hex())


@pytest.mark.parametrize(
    "pointer,message",
    [("abc", "invalid pointer: Odd number of digits"), ("0g", "invalid pointer: Invalid character 'g' at position 1")],
)
def test_watermark_pointer_must_be_hex(pointer, message):
    with pytest.raises(ValueError) as e:
        quelvane.soft_binding_watermark(pointer)
    assert str(e.value) == message
