"""Reading CBOR: verify_tier's record decoder and verify's envelope decoder, against cbor2.

Each row times the module reading one input (hex in, as the module takes it) and, as the floor
measured in the same rounds, cbor2's C decoder reading the same bytes (bytes.fromhex +
cbor2.loads); the ratio is the module's time over the floor. The inputs:

- own record: the id 41 assertion of 1 MB of English prose (about 4000 window blocks), its alg
  renamed so that verify_tier decodes it and computes no fingerprint;
- foreign record: the same record as another writer may lay it out: self-described (tag
  55799), every map and array of indefinite length, an explicit null name;
- own envelope: sign() of 1 MB of prose (the time is mostly Ed25519's hashing);
- header envelope: a small payload under an unprotected header of 20000 entries whose values
  are null, booleans, floats, tagged text and short arrays, the heads a reader meets least.

Run: .venv/bin/python bench/bench_cbor.py [--rounds N]
"""
import argparse

import cbor2
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

import quelvane
from common import interleaved_medians, prose, report

SECRET = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
UNKNOWN_ALG = "com.lanternquill.zwc-watermark.2"  # decoded in full, no fingerprint recomputed
SELF_DESCRIBED = 55799


def indefinite(value):
    """CBOR with every map and array of indefinite length (cbor2 writes definite ones only)."""
    if isinstance(value, dict):
        return b"\xbf" + b"".join(indefinite(k) + indefinite(v) for k, v in value.items()) + b"\xff"
    if isinstance(value, list):
        return b"\x9f" + b"".join(indefinite(v) for v in value) + b"\xff"
    return cbor2.dumps(value)


def records(text):
    record = cbor2.loads(bytes.fromhex(quelvane.soft_binding_fingerprint(text)))
    record["alg"] = UNKNOWN_ALG
    own = cbor2.dumps(record)
    record["name"] = None
    foreign = cbor2.dumps(cbor2.CBORTag(SELF_DESCRIBED, None))[:-1] + indefinite(record)
    return own.hex(), foreign.hex()


def envelope(payload, unprotected):
    protected = bytes.fromhex("a10127")
    signed = cbor2.dumps(["Signature1", protected, b"", payload])
    signature = Ed25519PrivateKey.from_private_bytes(SECRET).sign(signed)
    return cbor2.dumps(cbor2.CBORTag(18, [protected, unprotected, payload, signature])).hex()


def header_envelope(entries=20_000):
    values = [None, True, False, 1.5, cbor2.CBORTag(32, "https://example.org/k"), [1, -2]]
    return envelope(b"the payload", {i + 8: values[i % len(values)] for i in range(entries)})


def cbor2_floor(cbor_hex):
    return cbor2.loads(bytes.fromhex(cbor_hex))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=21)
    rounds = parser.parse_args().rounds
    text = prose("english", 1 << 20)
    own, foreign = records(text)
    public = quelvane.public_key(SECRET.hex())
    cases = [
        ("verify_tier, own record", own, lambda h: quelvane.verify_tier("x", h, False, True)),
        ("verify_tier, foreign record", foreign, lambda h: quelvane.verify_tier("x", h, False, True)),
        ("verify, own envelope 1 MB", quelvane.sign(text, SECRET.hex()), lambda h: quelvane.verify(h, public)),
        ("verify, 20000-entry header", header_envelope(), lambda h: quelvane.verify(h, public)),
    ]
    rows = []
    for label, cbor_hex, read in cases:
        read(cbor_hex)  # reads without failing
        floor, seconds = interleaved_medians([(cbor2_floor, cbor_hex), (read, cbor_hex)], rounds=rounds)
        size = f"{len(cbor_hex) // 2 >> 10} KB"
        rows.append((f"cbor2.loads  {label} ({size}, floor)", floor, floor))
        rows.append((f"quelvane     {label} ({size})", seconds, floor))
    report(rows)


if __name__ == "__main__":
    main()
