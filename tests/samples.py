"""Sample calls of every module function: arguments with which each succeeds, and arguments for
each way it can fail (binding, types, hex, operation errors), with the exception expected.

The leak, thread and size tests run these for whatever functions the module has; a function in
`quelvane.__all__` without samples here fails test_samples_cover_every_function."""
import dataclasses
import inspect
import pathlib
from typing import Optional

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

import quelvane
from conftest import PROSE, SECRET_HEX

HERE = pathlib.Path(__file__).resolve().parent
TOO_SHORT = "text content too short for this soft-binding algorithm"
UNRECOVERABLE = "watermark could not be recovered from remaining positions"
CANNOT_CARRY = ("invalid input: text cannot carry a readable watermark: a word chosen to carry it is already "
                "followed by U+200B, U+200C, U+200D or U+2060")
MISMATCH = "watermark content-binding tag did not verify (transferred or modified content)"
KEY_SIZE = "expected a 32-byte (64 hex char) key"
CBOR_DECODE = "invalid input: soft-binding CBOR decode: "
COSE_DECODE = "invalid input: COSE decode failed: "

KEY_HEX = "6b6579"
POINTER_HEX = "00112233445566778899aabbccddeeff"
OTHER_SECRET_HEX = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"
# Not the encoding of a curve point: y = 2 has no x on edwards25519.
NOT_A_POINT_HEX = "02" + "00" * 31
MIXED = "Ελληνικά ΣΟΦΟΣ, İstanbul, 한국어, e\u0301, ½ — \u200bco\u200cop \U0001f600."
FLAGS = {"watermark_verified", "crosscheck_ok"}


@dataclasses.dataclass(frozen=True)
class Call:
    name: str
    label: str
    kwargs: dict
    error: Optional[type] = None  # the exception type expected, or None for success
    message: str = ""  # the exact message (when given)
    prefix: bool = False  # the message is only the start: a description follows
    args: tuple = ()

    @property
    def function(self):
        return getattr(quelvane, self.name)

    def __call__(self):
        return self.function(*self.args, **self.kwargs)

    def __str__(self):
        return f"{self.name}:{self.label}"


def under_sanitizer():
    """Whether this process runs with AddressSanitizer (the sanitizer run preloads its runtime)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def parameters(name):
    return list(inspect.signature(getattr(quelvane, name)).parameters)


def cose_with_payload(payload: bytes) -> str:
    """A tagged COSE_Sign1 over raw payload bytes, signed with SECRET_HEX (sign() only takes str)."""
    head = bytes([0x40 + len(payload)]) if len(payload) < 24 else bytes([0x58, len(payload)])
    protected = bytes.fromhex("43a10127")
    to_sign = b"\x84\x6aSignature1" + protected + b"\x40" + head + payload
    signature = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(SECRET_HEX)).sign(to_sign)
    return (b"\xd2\x84" + protected + b"\xa0" + head + payload + b"\x58\x40" + signature).hex()


def binding_calls(name):
    """The binding and type failures every function has, for its own parameters."""
    params = parameters(name)
    good = {p: (True if p in FLAGS else "0") for p in params}
    n = len(params)
    calls = [
        Call(name, "no arguments", {}, TypeError, f"{name}() missing {n} required positional argument", prefix=True),
        Call(name, "too many arguments", {}, TypeError,
             f"{name}() takes {n} positional arguments but {n + 1} were given", args=("0",) * (n + 1)),
        Call(name, "given twice", {params[0]: "0"}, TypeError,
             f"{name}() got multiple values for argument '{params[0]}'", args=("0",)),
        Call(name, "unexpected keyword", dict(good, nope="x"), TypeError,
             f"{name}() got an unexpected keyword argument 'nope'"),
    ]
    for p in params:
        bad = 1 if p in FLAGS else b"x"
        target = "PyBool" if p in FLAGS else "PyString"
        calls.append(Call(name, f"{p} of the wrong type", dict(good, **{p: bad}), TypeError,
                          f"argument '{p}': '{type(bad).__qualname__}' object cannot be converted to '{target}'"))
        if p not in FLAGS:
            calls.append(Call(name, f"{p} with a lone surrogate", dict(good, **{p: "\ud800"}), UnicodeEncodeError))
    return calls


def operation_calls():
    """Successes and operation failures, by function."""
    calls = {}

    def add(name, label, error=None, message="", **kwargs):
        prefix = message in (CBOR_DECODE, COSE_DECODE)
        calls.setdefault(name, []).append(Call(name, label, kwargs, error, message, prefix))

    for name in ("text_fingerprint", "text_structure", "minhash_signature", "minhash_bands", "content_hash",
                 "soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash"):
        add(name, "prose", text=PROSE)
        add(name, "empty", text="")
        add(name, "mixed scripts", text=MIXED)

    fp = quelvane.text_fingerprint(PROSE)
    add("hamming_hex", "fingerprints", a=fp, b=" " + fp.upper() + "\n")
    add("hamming_hex", "bad a", ValueError, "bad hex a", a="zz", b="zz")
    add("hamming_hex", "bad b", ValueError, "bad hex b", a=fp, b=fp[:-2])

    marked = quelvane.embed_watermark(PROSE, POINTER_HEX, KEY_HEX)
    add("embed_watermark", "prose", text=PROSE, pointer_hex=POINTER_HEX, key_hex=KEY_HEX)
    add("embed_watermark", "bad key", ValueError, "invalid key: Odd number of digits",
        text=PROSE, pointer_hex="zz", key_hex="abc")
    add("embed_watermark", "bad pointer", ValueError, "invalid pointer: Invalid character 'z' at position 0",
        text=PROSE, pointer_hex="zz", key_hex=KEY_HEX)
    add("embed_watermark", "too short", ValueError, TOO_SHORT, text="a few words", pointer_hex="", key_hex="")
    add("embed_watermark", "already marked", ValueError, CANNOT_CARRY, text=marked, pointer_hex="", key_hex=KEY_HEX)
    add("extract_watermark", "marked", text=marked, key_hex=KEY_HEX)
    add("extract_watermark", "bad key", ValueError, "invalid key: Odd number of digits", text=marked, key_hex="0")
    add("extract_watermark", "too short", ValueError, TOO_SHORT, text="a few words", key_hex=KEY_HEX)
    add("extract_watermark", "unmarked", ValueError, UNRECOVERABLE, text=PROSE, key_hex=KEY_HEX)

    public = quelvane.public_key(SECRET_HEX)
    envelope = quelvane.sign(PROSE, SECRET_HEX)
    add("public_key", "rfc 8032 key", secret_hex=SECRET_HEX)
    add("public_key", "bad hex", ValueError, "invalid hex: Odd number of digits", secret_hex="0" * 63)
    add("public_key", "short key", ValueError, KEY_SIZE, secret_hex="00" * 31)
    add("sign", "prose", payload=PROSE, secret_hex=SECRET_HEX)
    add("sign", "bad hex", ValueError, "invalid hex: Invalid character 'z' at position 0", payload="p",
        secret_hex="zz" + "0" * 62)
    add("sign", "long key", ValueError, KEY_SIZE, payload="p", secret_hex="00" * 33)
    add("verify", "prose", cose_hex=envelope, public_hex=public)
    add("verify", "bad public hex", ValueError, "invalid hex: Odd number of digits", cose_hex="zz", public_hex="0")
    add("verify", "bad cose hex", ValueError, "invalid cose: Odd number of digits", cose_hex="abc", public_hex=public)
    add("verify", "not a point", ValueError, "invalid input: invalid public key: signature::Error {}",
        cose_hex=envelope, public_hex=NOT_A_POINT_HEX)
    add("verify", "not cose", ValueError, COSE_DECODE, cose_hex="00", public_hex=public)
    add("verify", "trailing byte", ValueError, COSE_DECODE, cose_hex=envelope + "00", public_hex=public)
    add("verify", "short signature", ValueError, "invalid input: malformed signature: signature::Error {}",
        cose_hex="d28443a10127a0404100", public_hex=public)
    add("verify", "other signer", ValueError, MISMATCH, cose_hex=envelope,
        public_hex=quelvane.public_key(OTHER_SECRET_HEX))
    add("verify", "nil payload", ValueError, "invalid input: COSE envelope has no payload",
        cose_hex=quelvane.sign("", SECRET_HEX).replace("a040", "a0f6", 1), public_hex=public)
    add("verify", "payload not utf-8", ValueError, "payload not utf-8: invalid utf-8 sequence of 1 bytes from index 1",
        cose_hex=cose_with_payload(b"a\xffb"), public_hex=public)

    add("cross_check", "tag", key_hex=KEY_HEX, repo_id="repo", content_hash_hex=quelvane.content_hash(PROSE))
    add("cross_check", "bad key", ValueError, "invalid key: Invalid character 'Ã' at position 0",
        key_hex="é", repo_id="r", content_hash_hex="00")
    add("cross_check", "bad content hash", ValueError, "invalid content hash: Odd number of digits",
        key_hex="", repo_id="r", content_hash_hex="0")

    add("soft_binding_watermark", "pointer", pointer_hex=POINTER_HEX)
    add("soft_binding_watermark", "bad pointer", ValueError, "invalid pointer: Odd number of digits", pointer_hex="0")

    for builder in ("soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash"):
        add("verify_tier", builder, text=PROSE, assertion_cbor_hex=getattr(quelvane, builder)(PROSE),
            watermark_verified=False, crosscheck_ok=True)
    add("verify_tier", "watermark", text=MIXED, assertion_cbor_hex=quelvane.soft_binding_watermark(POINTER_HEX),
        watermark_verified=True, crosscheck_ok=False)
    add("verify_tier", "bad hex", ValueError, "invalid assertion: Odd number of digits", text=PROSE,
        assertion_cbor_hex="a", watermark_verified=True, crosscheck_ok=True)
    add("verify_tier", "not a map", ValueError, CBOR_DECODE, text=PROSE, assertion_cbor_hex="00",
        watermark_verified=True, crosscheck_ok=True)
    add("verify_tier", "missing pad", ValueError, CBOR_DECODE, text=PROSE,
        assertion_cbor_hex="a263616c676178" + "66626c6f636b7380", watermark_verified=False, crosscheck_ok=False)
    add("verify_tier", "truncated", ValueError, CBOR_DECODE, text=PROSE,
        assertion_cbor_hex=quelvane.soft_binding_structure(PROSE)[:-10], watermark_verified=False,
        crosscheck_ok=False)
    return calls


def present_functions():
    return [name for name in quelvane.__all__ if name != "__doc__"]


def all_calls():
    """Every sample call of every function the module has, successes first."""
    by_name = operation_calls()
    calls = []
    for name in present_functions():
        calls += by_name.get(name, []) + binding_calls(name)
    return calls


def check_outcome(call, outcome):
    """Asserts that `outcome` (a result or a raised exception) is what `call` expects."""
    if call.error is None:
        assert not isinstance(outcome, BaseException), f"{call} raised {outcome!r}"
        return
    assert type(outcome) is call.error, f"{call} gave {outcome!r}"
    if call.prefix:
        assert str(outcome).startswith(call.message) and len(str(outcome)) > len(call.message), f"{call}: {outcome}"
    elif call.message:
        assert str(outcome) == call.message, f"{call}: {outcome}"


def outcome(call):
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the outcome is compared, not handled
        return error
