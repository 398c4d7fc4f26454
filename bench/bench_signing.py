"""sign and verify on a 2 KB payload, against references measured in the same run.

- floor: cryptography's Ed25519 on the same Sig_structure bytes. Like `sign` and `verify`, it
  builds the key from its 32 bytes on every call (for a secret key that includes deriving the
  public point); the same with a key built once is shown for information. cryptography ships
  its own OpenSSL, so the same EVP calls on the system's libcrypto, which this module links,
  are timed too (through ctypes, which adds a few microseconds).
- pycose: the whole job (key object, COSE_Sign1 encoding or decoding, hex in and out).

The cases take turns within every round, so that a busy machine slows them alike.
Goals: within 1.3x of the floor, at least 5x faster than pycose.
Run: python bench/bench_signing.py [--repeat N] [--number N]
"""

import argparse
import ctypes
import ctypes.util
import statistics
import time

import cbor2
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from pycose.algorithms import EdDSA
from pycose.headers import Algorithm
from pycose.keys import OKPKey
from pycose.keys.curves import Ed25519
from pycose.messages import CoseMessage, Sign1Message

import quelvane
from common import prose

SECRET = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
PAYLOAD = prose("english", 2048)


def system_libcrypto():
    """The EVP calls of the system's libcrypto, as sign and verify make them."""
    lib = ctypes.CDLL(ctypes.util.find_library("crypto"))
    nid_ed25519 = 1087
    p, size = ctypes.c_void_p, ctypes.c_size_t
    for name, restype, argtypes in [
        ("EVP_PKEY_new_raw_private_key", p, [ctypes.c_int, p, ctypes.c_char_p, size]),
        ("EVP_PKEY_new_raw_public_key", p, [ctypes.c_int, p, ctypes.c_char_p, size]),
        ("EVP_PKEY_free", None, [p]),
        ("EVP_MD_CTX_new", p, []),
        ("EVP_MD_CTX_free", None, [p]),
        ("EVP_DigestSignInit", ctypes.c_int, [p, p, p, p, p]),
        ("EVP_DigestSign", ctypes.c_int, [p, ctypes.c_char_p, ctypes.POINTER(size), ctypes.c_char_p, size]),
        ("EVP_DigestVerifyInit", ctypes.c_int, [p, p, p, p, p]),
        ("EVP_DigestVerify", ctypes.c_int, [p, ctypes.c_char_p, size, ctypes.c_char_p, size]),
    ]:
        getattr(lib, name).restype = restype
        getattr(lib, name).argtypes = argtypes

    def sign(seed, message):
        key = lib.EVP_PKEY_new_raw_private_key(nid_ed25519, None, seed, 32)
        context = lib.EVP_MD_CTX_new()
        signature, length = ctypes.create_string_buffer(64), size(64)
        ok = lib.EVP_DigestSignInit(context, None, None, None, key) == 1 and lib.EVP_DigestSign(
            context, signature, ctypes.byref(length), message, len(message)
        )
        lib.EVP_MD_CTX_free(context)
        lib.EVP_PKEY_free(key)
        assert ok == 1
        return signature.raw

    def verify(public, signature, message):
        key = lib.EVP_PKEY_new_raw_public_key(nid_ed25519, None, public, 32)
        context = lib.EVP_MD_CTX_new()
        ok = lib.EVP_DigestVerifyInit(context, None, None, None, key) == 1 and lib.EVP_DigestVerify(
            context, signature, 64, message, len(message)
        )
        lib.EVP_MD_CTX_free(context)
        lib.EVP_PKEY_free(key)
        assert ok == 1

    return sign, verify


def per_call_us(functions, repeat, number):
    """Median over `repeat` rounds of the time of one call of each function, in microseconds."""
    samples = {name: [] for name in functions}
    for _ in range(repeat):
        for name, function in functions.items():
            start = time.perf_counter_ns()
            for _ in range(number):
                function()
            samples[name].append((time.perf_counter_ns() - start) / number / 1000)
    return {name: statistics.median(times) for name, times in samples.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=200)
    args = parser.parse_args()

    secret_hex = SECRET.hex()
    public = bytes.fromhex(quelvane.public_key(secret_hex))
    public_hex = public.hex()
    payload_bytes = PAYLOAD.encode()
    envelope_hex = quelvane.sign(PAYLOAD, secret_hex)
    signature = bytes.fromhex(envelope_hex)[-64:]
    tbs = cbor2.dumps(["Signature1", bytes.fromhex("a10127"), b"", payload_bytes])
    prebuilt_private = Ed25519PrivateKey.from_private_bytes(SECRET)
    prebuilt_public = Ed25519PublicKey.from_public_bytes(public)
    assert prebuilt_private.sign(tbs) == signature
    system_sign, system_verify = system_libcrypto()
    assert system_sign(SECRET, tbs) == signature

    def pycose_sign():
        message = Sign1Message(phdr={Algorithm: EdDSA}, payload=PAYLOAD.encode())
        message.key = OKPKey(crv=Ed25519, d=bytes.fromhex(secret_hex), x=public)
        return message.encode().hex()

    def pycose_verify():
        message = CoseMessage.decode(bytes.fromhex(envelope_hex))
        message.key = OKPKey(crv=Ed25519, x=bytes.fromhex(public_hex))
        if not message.verify_signature():
            raise ValueError("bad signature")
        return message.payload.decode()

    assert pycose_sign() == envelope_hex
    assert pycose_verify() == PAYLOAD == quelvane.verify(envelope_hex, public_hex)

    cases = {
        "sign": {
            "quelvane.sign": lambda: quelvane.sign(PAYLOAD, secret_hex),
            "floor (key from bytes + sign)": lambda: Ed25519PrivateKey.from_private_bytes(SECRET).sign(tbs),
            "  (sign with a prebuilt key)": lambda: prebuilt_private.sign(tbs),
            "system libcrypto, key + sign": lambda: system_sign(SECRET, tbs),
            "pycose": pycose_sign,
        },
        "verify": {
            "quelvane.verify": lambda: quelvane.verify(envelope_hex, public_hex),
            "floor (key from bytes + verify)": lambda: Ed25519PublicKey.from_public_bytes(public).verify(
                signature, tbs
            ),
            "  (verify with a prebuilt key)": lambda: prebuilt_public.verify(signature, tbs),
            "system libcrypto, key + verify": lambda: system_verify(public, signature, tbs),
            "pycose": pycose_verify,
        },
    }
    print(f"payload {len(payload_bytes)} bytes; median of {args.repeat} x {args.number} calls")
    for operation, functions in cases.items():
        times = per_call_us(functions, args.repeat, args.number)
        ours = times[f"quelvane.{operation}"]
        floor = next(t for name, t in times.items() if name.startswith("floor"))
        system = next(t for name, t in times.items() if name.startswith("system"))
        print(f"\n{operation}")
        for name, t in times.items():
            print(f"  {name:34} {t:9.1f} us")
        print(f"  ratio to floor                 {ours / floor:5.2f}x   (goal <= 1.3x)")
        print(f"  ratio to system libcrypto      {ours / system:5.2f}x")
        print(f"  faster than pycose             {times['pycose'] / ours:5.2f}x   (goal >= 5x)")

if __name__ == "__main__":
    main()
