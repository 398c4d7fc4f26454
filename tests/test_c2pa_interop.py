"""Our soft-binding assertions inside a real C2PA manifest: the C2PA SDK (c2pa-python) signs a
manifest carrying one as a `c2pa.soft-binding` assertion with a test certificate chain, embeds it
in a small PNG, reads it back, and the fields come back as we wrote them.

One representational difference is the SDK's, not ours: a manifest definition is JSON, which has
no byte strings, so the empty byte string `pad` goes in, is stored and comes back as the empty
array. Our reader accepts an array of byte values for `pad`, so the stored assertion still
classifies with `verify_tier`."""
import datetime
import io
import json
import struct
import zlib

import pytest

import quelvane
from conftest import PROSE

c2pa = pytest.importorskip("c2pa", reason="the C2PA SDK (c2pa-python) is not installed")
cbor2 = pytest.importorskip("cbor2")
x509 = pytest.importorskip("cryptography.x509")
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ed25519  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID  # noqa: E402

LABEL = "c2pa.soft-binding"
LONG = " ".join([PROSE] * 3)  # past one 512-character window: blocks with text selectors
BUILDERS = {
    "fingerprint": quelvane.soft_binding_fingerprint,
    "structure": quelvane.soft_binding_structure,
    "minhash": quelvane.soft_binding_minhash,
    "watermark": lambda text: quelvane.soft_binding_watermark("00112233445566778899aabbccddeeff"),
}


def name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name),
                      x509.NameAttribute(NameOID.ORGANIZATION_NAME, "quelvane tests")])


def key_usage(sign, certify):
    return x509.KeyUsage(digital_signature=sign, content_commitment=False, key_encipherment=False,
                         data_encipherment=False, key_agreement=False, key_cert_sign=certify,
                         crl_sign=certify, encipher_only=False, decipher_only=False)


def certificate(subject, issuer, public, issuer_key, ca):
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(public)
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(days=1))
               .not_valid_after(now + datetime.timedelta(days=7))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=0 if ca else None), critical=True)
               .add_extension(key_usage(sign=not ca, certify=ca), critical=True)
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False))
    if not ca:
        # A C2PA signer is an end entity with an allowed extended key usage, chained to its issuer.
        builder = (builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()),
                                  critical=False))
    return builder.sign(issuer_key, None)


@pytest.fixture(scope="module")
def credentials():
    """(certificate chain PEM, signer key PEM, trust anchor PEM text): an Ed25519 root and signer."""
    root_key, signer_key = ed25519.Ed25519PrivateKey.generate(), ed25519.Ed25519PrivateKey.generate()
    root = certificate(name("Test Root"), name("Test Root"), root_key.public_key(), root_key, ca=True)
    signer = certificate(name("Test Signer"), root.subject, signer_key.public_key(), root_key, ca=False)
    pem = serialization.Encoding.PEM
    chain = signer.public_bytes(pem) + root.public_bytes(pem)
    key = signer_key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    return chain, key, root.public_bytes(pem).decode()


def png():
    """A 4x4 RGB PNG, made here so the test needs no image files."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\x00" + b"\x80\x40\x20" * 4 for _ in range(4))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def as_json(value):
    """The JSON form of a decoded CBOR value: byte strings become arrays of byte values."""
    return json.loads(json.dumps(value, default=list))


def boxes(data):
    """(type, payload) of each ISO BMFF-style box in a JUMBF byte string."""
    position = 0
    while position + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[position:position + 8])
        header = 8
        if size == 1:
            size, header = struct.unpack(">Q", data[position + 8:position + 16])[0], 16
        elif size == 0:
            size = len(data) - position
        yield kind, data[position + header:position + size]
        position += size


def stored_assertion(store, label):
    """The CBOR content of the assertion box with this label, found in a JUMBF manifest store."""
    for kind, payload in boxes(store):
        if kind != b"jumb":
            continue
        children = list(boxes(payload))
        description = children[0][1]  # jumd: 16-byte content type, toggles, then the label
        has_label = description[16] & 0x02
        if has_label and description[17:].split(b"\0")[0].decode() == label and children[1][0] == b"cbor":
            return children[1][1]
        found = stored_assertion(payload, label)
        if found is not None:
            return found
    return None


def sign_and_read(assertion, credentials):
    """Signs a manifest carrying `assertion` into a PNG; returns (manifest store, reader)."""
    chain, key, anchor = credentials
    settings = c2pa.Settings.from_dict({"trust": {"trust_anchors": anchor},
                                        "builder": {"thumbnail": {"enabled": False}}})
    context = c2pa.Context(settings)
    manifest = {"claim_generator_info": [{"name": "quelvane-tests", "version": "0.1"}],
                "title": "sample.png",
                "assertions": [{"label": LABEL, "data": as_json(assertion)}]}
    builder = c2pa.Builder(manifest, context)
    builder.set_intent(c2pa.C2paBuilderIntent.CREATE, c2pa.C2paDigitalSourceType.DIGITAL_CREATION)
    signer = c2pa.Signer.from_info(c2pa.C2paSignerInfo(c2pa.C2paSigningAlg.ED25519, chain, key, None))
    signed = io.BytesIO()
    store = builder.sign(signer, "image/png", io.BytesIO(png()), signed)
    signed.seek(0)
    return store, c2pa.Reader("image/png", signed, None, context)


@pytest.mark.parametrize("text", [PROSE[:200], LONG], ids=["one-block", "windows"])
@pytest.mark.parametrize("builder", list(BUILDERS))
def test_sdk_carries_our_assertion(builder, text, credentials):
    ours_hex = BUILDERS[builder](text)
    ours = cbor2.loads(bytes.fromhex(ours_hex))
    store, reader = sign_and_read(ours, credentials)

    assert reader.get_validation_state() == "Trusted", reader.json()
    manifest = reader.get_active_manifest()
    read = [a["data"] for a in manifest["assertions"] if a["label"] == LABEL]
    assert read == [as_json(ours)]
    passed = reader.get_validation_results()["activeManifest"]["success"]
    assert any(s["code"] == "assertion.hashedURI.match" and s["url"].endswith(LABEL) for s in passed)

    raw = stored_assertion(store, LABEL)
    assert raw is not None
    assert as_json(cbor2.loads(raw)) == as_json(ours)  # pad may come back as an array
    # What the SDK stored classifies exactly as what we wrote.
    for flags in [(False, False), (False, True), (True, False), (True, True)]:
        assert quelvane.verify_tier(text, raw.hex(), *flags) == quelvane.verify_tier(text, ours_hex, *flags)
    if builder == "fingerprint":
        assert quelvane.verify_tier(text, raw.hex(), False, True) == "BOUND"

