"""COSE_Sign1 / EdDSA envelopes: public_key, sign, verify.

Peers: pycose (a COSE client), cryptography (Ed25519), cbor2, and a plain-Python Ed25519 after
RFC 8032 §6 that is checked against the §7.1 vectors before it is trusted.
"""

import hashlib

import cbor2
import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from hypothesis import given, settings
from hypothesis import strategies as st
from pycose.algorithms import EdDSA
from pycose.headers import KID, Algorithm
from pycose.keys import OKPKey
from pycose.keys.curves import Ed25519
from pycose.messages import CoseMessage, Sign1Message

import quelvane

MISMATCH = "watermark content-binding tag did not verify (transferred or modified content)"
BAD_KEY = "invalid input: invalid public key: signature::Error {}"
DECODE_FAILED = "invalid input: COSE decode failed: "
MALFORMED_SIGNATURE = "invalid input: malformed signature: signature::Error {}"
NO_PAYLOAD = "invalid input: COSE envelope has no payload"

SECRET = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
OTHER_SECRET = bytes.fromhex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb")
PROTECTED = bytes.fromhex("a10127")  # {1 (alg): -8 (EdDSA)}

# ---------------------------------------------------------------------------------------------
# Plain-Python Ed25519 (RFC 8032 §6), slow and independent of libcrypto.

P = 2**255 - 19
Q = 2**252 + 27742317777372353535851937790883648493
D = -121665 * pow(121666, P - 2, P) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)


def _add(a, b):
    x1, y1, z1, t1 = a
    x2, y2, z2, t2 = b
    aa, bb = (y1 - x1) * (y2 - x2) % P, (y1 + x1) * (y2 + x2) % P
    cc, dd = 2 * t1 * t2 * D % P, 2 * z1 * z2 % P
    e, f, g, h = bb - aa, dd - cc, dd + cc, bb + aa
    return (e * f % P, g * h % P, f * g % P, e * h % P)


def _mul(s, point):
    result = (0, 1, 1, 0)
    while s:
        if s & 1:
            result = _add(result, point)
        point = _add(point, point)
        s >>= 1
    return result


def _recover_x(y, sign):
    if y >= P:
        return None
    x2 = (y * y - 1) * pow(D * y * y + 1, P - 2, P) % P
    if x2 == 0:
        return None if sign else 0
    x = pow(x2, (P + 3) // 8, P)
    if (x * x - x2) % P:
        x = x * SQRT_M1 % P
    if (x * x - x2) % P:
        return None
    return P - x if (x & 1) != sign else x


def ref_decodes(encoding):
    """Whether 32 bytes decode to a point, RFC 8032 §5.1.3 (non-canonical forms refused)."""
    y = int.from_bytes(encoding, "little")
    return _recover_x(y & ((1 << 255) - 1), y >> 255) is not None


_GY = 4 * pow(5, P - 2, P) % P
_GX = _recover_x(_GY, 0)
BASE = (_GX, _GY, 1, _GX * _GY % P)


def _compress(point):
    zinv = pow(point[2], P - 2, P)
    x, y = point[0] * zinv % P, point[1] * zinv % P
    return (y | (x & 1) << 255).to_bytes(32, "little")


def _expand(secret):
    h = hashlib.sha512(secret).digest()
    a = int.from_bytes(h[:32], "little") & ((1 << 254) - 8) | (1 << 254)
    return a, h[32:]


def _hash_mod_q(data):
    return int.from_bytes(hashlib.sha512(data).digest(), "little") % Q


def ref_public_key(secret):
    return _compress(_mul(_expand(secret)[0], BASE))


def ref_sign(secret, message):
    a, prefix = _expand(secret)
    public = _compress(_mul(a, BASE))
    r = _hash_mod_q(prefix + message)
    big_r = _compress(_mul(r, BASE))
    s = (r + _hash_mod_q(big_r + public + message) * a) % Q
    return big_r + s.to_bytes(32, "little")


# RFC 8032 §7.1, Ed25519 TEST 1, 2, 3 and 1024 (secret, public, message, signature); the
# message of TEST 1024 is long and only its keys are used.
RFC8032 = [
    (
        "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
        "",
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
    ),
    (
        "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
        "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
        "72",
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00",
    ),
    (
        "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
        "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025",
        "af82",
        "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a",
    ),
    (
        "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
        "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
        None,
        None,
    ),
]


# ---------------------------------------------------------------------------------------------
# Helpers.


def public_hex(secret=SECRET):
    return quelvane.public_key(secret.hex())


def sig_structure(protected, payload):
    return cbor2.dumps(["Signature1", protected, b"", payload])


def seal(payload, protected=PROTECTED, unprotected=None, secret=SECRET, tagged=True, signed_payload=None):
    """An envelope built and signed outside the module (cbor2 + cryptography)."""
    if signed_payload is None:
        signed_payload = b"" if payload is None else payload
    signature = Ed25519PrivateKey.from_private_bytes(secret).sign(sig_structure(protected, signed_payload))
    items = [protected, unprotected or {}, payload, signature]
    return cbor2.dumps(cbor2.CBORTag(18, items) if tagged else items).hex()


def with_signature(signature, payload=b"hello"):
    return cbor2.dumps(cbor2.CBORTag(18, [PROTECTED, {}, payload, signature])).hex()


def verify_error(cose_hex, key_hex=None):
    with pytest.raises(ValueError) as raised:
        quelvane.verify(cose_hex, key_hex or public_hex())
    return str(raised.value)


# ---------------------------------------------------------------------------------------------
# Keys.


@pytest.mark.parametrize("secret, public, message, signature", RFC8032)
def test_public_key_matches_rfc8032(secret, public, message, signature):
    assert quelvane.public_key(secret) == public
    assert ref_public_key(bytes.fromhex(secret)).hex() == public
    if message is not None:
        # The reference signer is trusted below only because it reproduces the RFC here.
        assert ref_sign(bytes.fromhex(secret), bytes.fromhex(message)).hex() == signature


def test_public_key_accepts_case_and_surrounding_white_space():
    secret = RFC8032[1][0]
    assert quelvane.public_key(" \n" + secret.upper() + "\t\u3000") == RFC8032[1][1]


@pytest.mark.parametrize(
    "secret_hex, message",
    [
        ("0" * 63, "invalid hex: Odd number of digits"),
        ("0" * 62, "expected a 32-byte (64 hex char) key"),
        ("0" * 66, "expected a 32-byte (64 hex char) key"),
        ("", "expected a 32-byte (64 hex char) key"),
        ("zz" + "0" * 62, "invalid hex: Invalid character 'z' at position 0"),
    ],
)
def test_secret_key_rule(secret_hex, message):
    for call in [lambda: quelvane.public_key(secret_hex), lambda: quelvane.sign("payload", secret_hex)]:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message


# ---------------------------------------------------------------------------------------------
# Signing: envelope bytes and signature bytes.


def test_empty_payload_envelope():
    envelope = quelvane.sign("", SECRET.hex())
    assert len(envelope) == 148
    assert envelope.startswith("d28443a10127a0405840")
    assert envelope == quelvane.sign("", SECRET.hex())


@pytest.mark.parametrize(
    "length, head",
    [
        (0, "40"),
        (1, "41"),
        (23, "57"),
        (24, "5818"),
        (255, "58ff"),
        (256, "590100"),
        (65535, "59ffff"),
        (65536, "5a00010000"),
    ],
)
def test_payload_head_is_shortest(length, head):
    payload = "p" * length
    envelope = quelvane.sign(payload, SECRET.hex())
    assert envelope == "d28443a10127a0" + head + payload.encode().hex() + "5840" + envelope[-128:]
    assert cbor2.loads(bytes.fromhex(envelope)) == cbor2.CBORTag(
        18, [PROTECTED, {}, payload.encode(), bytes.fromhex(envelope[-128:])]
    )


PAYLOADS = ["", "a", "x" * 24, "héllo wörld ✓ 𝄞", "A" * 2048, "a1686e616d65" * 100]


@pytest.mark.parametrize("payload", PAYLOADS)
def test_signature_equals_cryptography_of_sig_structure(payload):
    envelope = bytes.fromhex(quelvane.sign(payload, SECRET.hex()))
    expected = Ed25519PrivateKey.from_private_bytes(SECRET).sign(sig_structure(PROTECTED, payload.encode()))
    assert envelope[-64:] == expected


# From 4 MB of payload on, the envelope's hex is written in place from the payload str, a slice
# of characters at a time: characters of every UTF-8 length fall on the slice boundaries here.
@pytest.mark.parametrize(
    "payload", ["x" * ((4 << 20) - 1), "x" * (4 << 20), ("a\u00e9\u4e2d\U0001d11eb" * 382_001)[:1_910_003]]
)
def test_large_envelope_equals_peers(payload):
    assert quelvane.sign(payload, SECRET.hex()) == seal(payload.encode())


@pytest.mark.parametrize("payload", ["", "héllo"])
@pytest.mark.parametrize("secret", [row[0] for row in RFC8032])
def test_signature_equals_reference_signer(payload, secret):
    envelope = bytes.fromhex(quelvane.sign(payload, secret))
    assert envelope[-64:] == ref_sign(bytes.fromhex(secret), sig_structure(PROTECTED, payload.encode()))


@settings(max_examples=60, deadline=None)
@given(st.text())
def test_round_trip(payload):
    assert quelvane.verify(quelvane.sign(payload, SECRET.hex()), public_hex()) == payload


def test_payload_is_signed_as_given_not_trimmed_or_hex_decoded():
    envelope = cbor2.loads(bytes.fromhex(quelvane.sign(" 00ff ", SECRET.hex())))
    assert envelope.value[2] == b" 00ff "


# ---------------------------------------------------------------------------------------------
# Interoperability with pycose.


def okp_key(secret=SECRET, private=True):
    public = bytes.fromhex(public_hex(secret))
    return OKPKey(crv=Ed25519, d=secret, x=public) if private else OKPKey(crv=Ed25519, x=public)


@pytest.mark.parametrize("payload", ["", "hello", "a1" * 2048, "ünïcödé"])
def test_pycose_verifies_our_envelopes(payload):
    message = CoseMessage.decode(bytes.fromhex(quelvane.sign(payload, SECRET.hex())))
    assert isinstance(message, Sign1Message)
    message.key = okp_key(private=False)
    assert message.verify_signature()
    assert message.payload == payload.encode()
    assert message.phdr == {Algorithm: EdDSA}
    assert message.uhdr == {}


@pytest.mark.parametrize(
    "phdr, uhdr, tagged",
    [
        ({Algorithm: EdDSA}, {}, True),
        ({Algorithm: EdDSA}, {}, False),
        ({Algorithm: EdDSA}, {KID: b"publisher-key-1"}, True),
        ({Algorithm: EdDSA}, {KID: b"publisher-key-1"}, False),
        ({}, {Algorithm: EdDSA, KID: b"k"}, True),  # empty protected header: a zero-length bstr
    ],
)
def test_pycose_envelopes_verify(phdr, uhdr, tagged):
    message = Sign1Message(phdr=phdr, uhdr=uhdr, payload="made by pycose ✓".encode())
    message.key = okp_key()
    encoded = message.encode(tag=tagged)
    assert quelvane.verify(encoded.hex(), public_hex()) == "made by pycose ✓"
    assert verify_error(encoded.hex(), public_hex(OTHER_SECRET)) == MISMATCH


# ---------------------------------------------------------------------------------------------
# Forms that verify accepts.


def test_verify_accepts_untagged_upper_case_and_padded_hex():
    envelope = quelvane.sign("payload", SECRET.hex())
    for form in [envelope[2:], envelope.upper(), "  \n" + envelope + "\r\n\t", envelope[2:].upper()]:
        assert quelvane.verify(form, " " + public_hex().upper() + "\n") == "payload"


def test_verify_accepts_long_heads_and_indefinite_lengths():
    # The same envelope as sign("hello") writes, re-encoded with wider heads than needed and
    # with indefinite-length items; the signature covers the contents, not their heads.
    signature = bytes.fromhex(quelvane.sign("hello", SECRET.hex()))[-64:].hex()
    forms = [
        "d8129804" + "5803a10127" + "b90000" + "5805" + "68656c6c6f" + "5a00000040" + signature,
        "d29f" + "43a10127" + "bfff" + "5f4268654041" + "6c" + "426c6fff" + "5840" + signature + "ff",
        "9f" + "5f41a142" + "0127ff" + "a0" + "45" + "68656c6c6f" + "5f5820" + signature[:64] + "5820" + signature[64:] + "ffff",
    ]
    for form in forms:
        assert quelvane.verify(form, public_hex()) == "hello"


@pytest.mark.parametrize(
    "protected",
    [
        b"",  # empty protected header
        bytes.fromhex("a0"),  # an encoded empty map
        bytes.fromhex("a10126"),  # names ES256: headers are not examined beyond decoding
        bytes.fromhex("a1180127"),  # a wide label head: signed as received, not re-encoded
        bytes.fromhex("a20127044b6b65792d6964656e746974"),
    ],
)
def test_protected_header_is_signed_as_received(protected):
    assert quelvane.verify(seal(b"doc", protected=protected), public_hex()) == "doc"


@pytest.mark.parametrize(
    "unprotected",
    [
        {4: b"kid"},
        {"text-label": [1, 2.5, None, True, {"nested": [b"x"]}], -70000: cbor2.CBORTag(1, 0)},
        {33: [b"\x30\x82" * 10, b"\x30\x82"]},  # x5chain
    ],
)
def test_unprotected_header_entries_are_accepted(unprotected):
    assert quelvane.verify(seal(b"doc", unprotected=unprotected), public_hex()) == "doc"


# ---------------------------------------------------------------------------------------------
# The failure table.


def test_key_is_checked_before_the_envelope_hex():
    assert verify_error("zz", "0" * 62) == "expected a 32-byte (64 hex char) key"
    assert verify_error("zz", "zz" + "0" * 62) == "invalid hex: Invalid character 'z' at position 0"
    assert verify_error("zz") == "invalid cose: Invalid character 'z' at position 0"
    assert verify_error("abc") == "invalid cose: Odd number of digits"


NOT_A_POINT = "02" + "00" * 31  # y = 2 has no x on the curve


def test_key_that_is_not_a_point_is_refused_before_the_envelope():
    assert verify_error(quelvane.sign("x", SECRET.hex()), NOT_A_POINT) == BAD_KEY
    assert verify_error("", NOT_A_POINT) == BAD_KEY
    assert verify_error("ff", NOT_A_POINT) == BAD_KEY


# y = p - 1 (the point (0, -1)), y = p, y = p + 1 (= 1 mod p), and the identity's y = 1.
Y_MINUS_1 = "ec" + "ff" * 30 + "7f"
Y_P = "ed" + "ff" * 30 + "7f"
Y_P_PLUS_1 = "ee" + "ff" * 30 + "7f"
Y_1 = "01" + "00" * 31


@pytest.mark.parametrize(
    "key, is_point",
    [
        (Y_1, True),
        (Y_MINUS_1, True),
        ("00" * 32, True),  # y = 0, order 4
        ("00" * 31 + "80", True),
        # Non-canonical encodings are refused, as RFC 8032 §5.1.3 says decoding fails:
        (Y_1[:-2] + "80", False),  # x = 0 with the sign bit
        (Y_MINUS_1[:-2] + "ff", False),  # x = 0 with the sign bit
        (Y_P, False),  # y = p
        (Y_P_PLUS_1, False),  # y = p + 1
        ("ff" * 32, False),  # y = 2^255 - 1
        (NOT_A_POINT, False),
    ],
)
def test_point_decoding_edges(key, is_point):
    assert ref_decodes(bytes.fromhex(key)) == is_point
    assert verify_error(quelvane.sign("x", SECRET.hex()), key) == (MISMATCH if is_point else BAD_KEY)


@settings(max_examples=300, deadline=None)
@given(st.binary(min_size=32, max_size=32))
def test_point_decoding_agrees_with_reference(key):
    envelope = quelvane.sign("x", SECRET.hex())
    assert verify_error(envelope, key.hex()) == (MISMATCH if ref_decodes(key) else BAD_KEY)


def test_small_order_key_verifies_as_ordinary_ed25519():
    # Under the identity key, R = identity and S = 0 satisfy [S]B = R + [k]A for every message:
    # the ordinary verification accepts it (the stricter variant would not).
    forged = bytes.fromhex(Y_1) + bytes(32)
    for payload in [b"", b"anything at all", "ü".encode()]:
        envelope = cbor2.dumps(cbor2.CBORTag(18, [PROTECTED, {}, payload, forged])).hex()
        assert quelvane.verify(envelope, Y_1) == payload.decode()


def test_wrong_key_and_tampering_give_tag_mismatch():
    envelope = bytes.fromhex(quelvane.sign("hello world", SECRET.hex()))
    assert verify_error(envelope.hex(), public_hex(OTHER_SECRET)) == MISMATCH
    payload_at = envelope.index(b"hello world")
    for position in [5, payload_at, payload_at + 10, len(envelope) - 64, len(envelope) - 1]:
        tampered = bytearray(envelope)
        tampered[position] ^= 0x01  # alg -8 becomes -7 at 5; a payload bit; a signature bit
        assert verify_error(tampered.hex()) == MISMATCH, position


@pytest.mark.parametrize("length", [0, 32, 63, 65, 128])
def test_signature_of_other_length(length):
    assert verify_error(with_signature(bytes(length))) == MALFORMED_SIGNATURE


def test_nil_payload():
    assert verify_error(seal(None)) == NO_PAYLOAD
    assert verify_error(seal(None, signed_payload=b"something")) == MISMATCH
    assert verify_error(seal(None, tagged=False)) == NO_PAYLOAD
    nil_short_signature = cbor2.dumps(cbor2.CBORTag(18, [PROTECTED, {}, None, bytes(63)])).hex()
    assert verify_error(nil_short_signature) == MALFORMED_SIGNATURE


SIG = "5840" + "00" * 64
BODY = "43a10127" + "a0" + "4568656c6c6f" + SIG  # protected, unprotected, "hello", signature
UNPROTECTED = "84" + "43a10127"  # an untagged envelope up to its unprotected header
ARRAY_OF_4 = "expected an array of 4 items at offset 0"


# Untagged unless the tag is the point, so that the description (that of the untagged
# reading, the second attempt) names the fault.
@pytest.mark.parametrize(
    "cose_hex, description",
    [
        pytest.param("", "unexpected end of input at offset 0", id="empty"),
        pytest.param("84" + BODY + "00", "bytes after the COSE_Sign1 at offset 78", id="byte appended"),
        pytest.param("d284" + BODY + "00", ARRAY_OF_4, id="byte appended to the tagged form"),
        pytest.param("d184" + BODY, ARRAY_OF_4, id="other tag"),
        pytest.param("d2d284" + BODY, ARRAY_OF_4, id="tag twice"),
        pytest.param("83" + BODY[: -len(SIG)], ARRAY_OF_4, id="three items"),
        pytest.param("85" + BODY + "00", ARRAY_OF_4, id="five items"),
        pytest.param("9bffffffffffffffff" + BODY, ARRAY_OF_4, id="array of 2^64-1 items"),
        pytest.param("a0", ARRAY_OF_4, id="map instead of array"),
        pytest.param("9f" + BODY + "00ff", "more than 4 items in the COSE_Sign1 array at offset 78", id="five indefinite"),
        pytest.param(
            "84" + "a10127" + BODY[8:], "expected a byte string (protected header) at offset 1", id="protected a map"
        ),
        pytest.param("84" + "4101" + BODY[8:], "protected header: expected a header map at offset 0", id="protected int"),
        pytest.param(
            "84" + "44a1012700" + BODY[8:],
            "protected header: bytes after the header map at offset 3",
            id="bytes after the protected map",
        ),
        pytest.param(
            "84" + "42a101" + BODY[8:], "protected header: unexpected end of input at offset 2", id="protected cut short"
        ),
        pytest.param(
            "84" + "45a201270127" + BODY[8:],
            "protected header: repeated header label at offset 3",
            id="repeated protected label",
        ),
        pytest.param(
            UNPROTECTED + "80" + BODY[10:], "expected a map (unprotected header) at offset 5", id="unprotected an array"
        ),
        pytest.param(UNPROTECTED + "a2040104" + "02" + BODY[10:], "repeated header label at offset 8", id="repeated"),
        pytest.param(UNPROTECTED + "a20401180402" + BODY[10:], "repeated header label at offset 8", id="wider head"),
        pytest.param(UNPROTECTED + "a2616b01616b02" + BODY[10:], "repeated header label at offset 9", id="text label"),
        pytest.param(UNPROTECTED + "a2387f01387f02" + BODY[10:], "repeated header label at offset 9", id="negative"),
        # Of several repeated labels, the smallest (negative integers first) is reported, at
        # its second occurrence, not the repeat met first.
        pytest.param(
            UNPROTECTED + "a4" + "0100" + "2000" + "0100" + "2000" + BODY[10:],
            "repeated header label at offset 12",
            id="two repeated",
        ),
        pytest.param(
            UNPROTECTED + "a1f93c0001" + BODY[10:],
            "header label is not an integer or a text string at offset 6",
            id="float label",
        ),
        pytest.param(
            UNPROTECTED + "a1416b01" + BODY[10:],
            "header label is not an integer or a text string at offset 6",
            id="bstr label",
        ),
        pytest.param(
            UNPROTECTED + "a18001" + BODY[10:],
            "header label is not an integer or a text string at offset 6",
            id="array label",
        ),
        pytest.param(
            UNPROTECTED + "a1" + "01" + BODY[10:], "unexpected end of input at offset 79", id="entry swallows payload"
        ),
        pytest.param(
            UNPROTECTED + "bbffffffffffffffff0101" + BODY[10:],
            "header label is not an integer or a text string at offset 16",
            id="map of 2^64-1 entries",
        ),
        pytest.param(
            UNPROTECTED + "a0" + "01" + SIG, "expected a byte string or nil (payload) at offset 6", id="payload int"
        ),
        pytest.param(
            UNPROTECTED + "a0" + "6568656c6c6f" + SIG,
            "expected a byte string or nil (payload) at offset 6",
            id="payload text",
        ),
        pytest.param(
            UNPROTECTED + "a0" + "f7" + SIG, "expected a byte string or nil (payload) at offset 6", id="undefined"
        ),
        pytest.param(
            UNPROTECTED + "a0" + "ff" + SIG, "expected a byte string or nil (payload) at offset 6", id="break"
        ),
        pytest.param(
            UNPROTECTED + "a0" + "5bffffffffffffffff" + SIG, "unexpected end of input at offset 6", id="bstr of 2^64-1"
        ),
        pytest.param(
            UNPROTECTED + "a0" + "5f6161ff" + SIG, "invalid chunk in indefinite-length string at offset 7", id="text chunk in bstr"
        ),
        pytest.param(
            UNPROTECTED + "a0" + "5f5f4100ffff" + SIG, "invalid chunk in indefinite-length string at offset 7", id="nested chunk"
        ),
        pytest.param(
            "84" + BODY[: -len(SIG)] + "7840" + "00" * 64,
            "expected a byte string (signature) at offset 12",
            id="signature text",
        ),
        pytest.param(
            "84" + BODY[: -len(SIG)] + "f6", "expected a byte string (signature) at offset 12", id="signature nil"
        ),
        pytest.param("84" + BODY[:-2], "unexpected end of input at offset 12", id="signature cut short"),
        pytest.param(
            UNPROTECTED + "a1" + "01" + "81" * 31 + "00" + BODY[10:],
            "recursion limit exceeded at offset 37",
            id="arrays 31 deep",
        ),
        pytest.param(
            UNPROTECTED + "a1" + "61ff" + "01" + BODY[10:], "invalid UTF-8 in text string at offset 6", id="label not UTF-8"
        ),
        pytest.param("1c", "malformed item at offset 0", id="reserved additional information"),
    ],
)
def test_not_a_cose_sign1(cose_hex, description):
    assert verify_error(cose_hex) == DECODE_FAILED + description


# Tags open no container, so any number of them nest.
@pytest.mark.parametrize("value", ["81" * 30 + "00", "c1" * 40 + "00", "d8ff" * 40 + "f93e00"])
def test_moderate_nesting_in_a_header_value_is_fine(value):
    envelope = UNPROTECTED + "a1" + "01" + value + BODY[10:]
    assert verify_error(envelope) == MISMATCH  # decoded; the all-zero signature fails


@pytest.mark.parametrize("depth", [10_000, 1_000_000])
def test_hostile_nesting_is_refused_quickly(depth):
    for opener in ["81", "9f", "a101"]:
        envelope = UNPROTECTED + "a1" + "01" + opener * depth + BODY[10:]
        assert verify_error(envelope).startswith(DECODE_FAILED + "recursion limit exceeded")
    # A million tags are walked without recursion.
    assert verify_error(UNPROTECTED + "a1" + "01" + "c1" * depth + "00" + BODY[10:]) == MISMATCH


def test_large_header_map():
    entries = 100_000
    labels = {i: i for i in range(entries)}
    assert quelvane.verify(seal(b"doc", unprotected=labels), public_hex()) == "doc"
    items = cbor2.dumps(labels)
    repeated = UNPROTECTED + "ba" + (entries + 1).to_bytes(4, "big").hex() + items[5:].hex() + "0000" + BODY[10:]
    assert verify_error(repeated).startswith(DECODE_FAILED + "repeated header label")


def test_every_truncation_fails_to_decode():
    envelope = quelvane.sign("a payload", SECRET.hex())
    for cut in range(0, len(envelope), 2):
        assert verify_error(envelope[:cut]).startswith(DECODE_FAILED), cut


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=200))
def test_random_bytes_raise_value_error_only(data):
    try:
        quelvane.verify(data.hex(), public_hex())
    except ValueError:
        pass


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_mutated_envelopes_raise_value_error_or_give_the_payload(data):
    envelope = bytearray.fromhex(quelvane.sign("the payload", SECRET.hex()))
    for _ in range(data.draw(st.integers(1, 4))):
        envelope[data.draw(st.integers(0, len(envelope) - 1))] = data.draw(st.integers(0, 255))
    cut = data.draw(st.integers(0, len(envelope)))
    try:
        assert quelvane.verify(envelope[:cut].hex(), public_hex()) == "the payload"
    except ValueError:
        pass


# ---------------------------------------------------------------------------------------------
# The payload must be UTF-8.


def utf8_reason(data):
    """The reason verify gives, from Python's own strict decoder."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {error.start}"
        return f"invalid utf-8 sequence of {error.end - error.start} bytes from index {error.start}"
    return None


@pytest.mark.parametrize(
    "payload, reason",
    [
        (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"abc\x80", "invalid utf-8 sequence of 1 bytes from index 3"),
        (b"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        (b"a\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"),  # overlong
        (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # above U+10FFFF
        (b"\xe2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"xy\xf0\x9f\x98(", "invalid utf-8 sequence of 3 bytes from index 2"),
        (b"ab\xc3", "incomplete utf-8 byte sequence from index 2"),
        (b"\xe2\x82", "incomplete utf-8 byte sequence from index 0"),
        ("é".encode() * 20 + b"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 40"),
    ],
)
def test_payload_not_utf8(payload, reason):
    assert utf8_reason(payload) == reason
    assert verify_error(seal(payload)) == "payload not utf-8: " + reason


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=40), st.sampled_from([b"", b"plain ascii text ", "ünï ".encode()]))
def test_payload_utf8_check_agrees_with_python(tail, head):
    payload = head + tail
    reason = utf8_reason(payload)
    if reason is None:
        assert quelvane.verify(seal(payload), public_hex()) == payload.decode()
    else:
        assert verify_error(seal(payload)) == "payload not utf-8: " + reason


# ---------------------------------------------------------------------------------------------
# Docstrings.


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("public_key", "(secret_hex)", "Derive the Ed25519 public key (hex) from a 32-byte secret key (hex)."),
        ("sign", "(payload, secret_hex)", "Sign a payload as tagged COSE_Sign1 / EdDSA. Returns the envelope as hex."),
        (
            "verify",
            "(cose_hex, public_hex)",
            "Verify a hex COSE_Sign1 envelope against a hex public key; returns the\n"
            "payload string on success, raises on failure.",
        ),
    ],
)
def test_docstrings(name, signature, doc):
    function = getattr(quelvane, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
