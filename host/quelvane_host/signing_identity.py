"""The publisher's C2PA signing identity: an X.509 certificate chain and its private key, and the
trust anchors used when validating manifests.

A C2PA signer is an end-entity certificate with the digitalSignature key usage and an extended key
usage that C2PA allows, chained to a root. A real identity is imported from a certificate
authority's chain; without one, `make_test_identity` makes a local test root and signs an
end-entity certificate with it. Manifests signed so validate, but no verifier trusts them unless
it is given that root as an anchor.

The files live in one folder, beside the key file, readable by their owner only. The private key
is held in one `SigningIdentity` object whose repr shows only the certificate's names, never
the key."""
from __future__ import annotations

import datetime
import os
import secrets
from pathlib import Path
from typing import TypeVar, Union

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID, ObjectIdentifier

from .errors import IdentityError
from .keys import C2PA_FILES, read_private, write_private

CHAIN_FILE, KEY_FILE, TEST_ROOT_FILE, TRUST_FILE = C2PA_FILES
TEST_ORGANIZATION = "quelvane local test identity"
ALGORITHMS = ("ed25519", "es256", "es384")
_PEM_LIMIT = 1024 * 1024  # far above any real chain; bounds what a wrong path can make us read
# Extended key usages C2PA accepts for a claim signer: email protection, document signing, and
# the C2PA claim-signing purpose.
_SIGNER_USAGES = frozenset({ExtendedKeyUsageOID.EMAIL_PROTECTION, ObjectIdentifier("1.3.6.1.5.5.7.3.36"),
                            ObjectIdentifier("1.3.6.1.4.1.62558.2.1")})
PrivateKey = Union[ed25519.Ed25519PrivateKey, ec.EllipticCurvePrivateKey]
PathLike = Union[str, "os.PathLike[str]"]
_Extension = TypeVar("_Extension", bound=x509.ExtensionType)


class SigningIdentity:
    """A checked certificate chain (end entity first) and its private key. Never printed: repr
    shows the algorithm and the certificate's names."""

    __slots__ = ("_key_pem", "chain_pem", "algorithm", "subject", "issuer", "not_after", "is_test")

    def __init__(self, chain_pem: bytes, key_pem: bytes) -> None:
        chain = _certificates(chain_pem, "certificate chain")
        key = _private_key(key_pem)
        self.algorithm = _check_signer(chain[0], key)
        self._key_pem = key_pem
        self.chain_pem = chain_pem
        self.subject = chain[0].subject.rfc4514_string()
        self.issuer = chain[0].issuer.rfc4514_string()
        self.not_after = chain[0].not_valid_after_utc
        self.is_test = _organization(chain[0].issuer) == TEST_ORGANIZATION
        """Signed by a local test root: untrusted anywhere that root is not an anchor."""

    @property
    def key_pem(self) -> bytes:
        """The PKCS#8 PEM private key, for the C2PA SDK's signer."""
        return self._key_pem

    def __repr__(self) -> str:
        return (f"SigningIdentity(algorithm={self.algorithm!r}, subject={self.subject!r}, "
                f"issuer={self.issuer!r}, is_test={self.is_test!r})")

    __str__ = __repr__

    def save(self, directory: PathLike) -> None:
        """Writes the chain and key into `directory`, readable by their owner only, both or
        neither; refuses to overwrite either."""
        folder = Path(directory)
        write_private(folder / CHAIN_FILE, self.chain_pem, "C2PA certificate chain", IdentityError)
        try:
            write_private(folder / KEY_FILE, self._key_pem, "C2PA signing key", IdentityError)
        except IdentityError:
            (folder / CHAIN_FILE).unlink()  # ours, just made: a chain without its key is no identity
            raise

    @classmethod
    def load(cls, directory: PathLike) -> SigningIdentity:
        """Reads the identity saved in `directory`, checking it as on import."""
        folder = Path(directory)
        if not (folder / KEY_FILE).exists():
            raise IdentityError(f"no C2PA signing identity in {folder}; set one up with: quelvane init")
        chain = read_private(folder / CHAIN_FILE, "C2PA certificate chain", _PEM_LIMIT, IdentityError)
        key = read_private(folder / KEY_FILE, "C2PA signing key", _PEM_LIMIT, IdentityError)
        return cls(chain, key)


def import_identity(chain_pem: bytes, key_pem: bytes) -> SigningIdentity:
    """A real certificate chain (end entity first) and its private key (Ed25519, or ECDSA P-256 or
    P-384, unencrypted PEM), checked: the key must belong to the end-entity certificate, which
    must be able to sign C2PA claims and be within its validity period."""
    return SigningIdentity(chain_pem, key_pem)


def make_test_identity(directory: PathLike, *, algorithm: str = "ed25519",
                       name: str = "quelvane publisher") -> SigningIdentity:
    """Makes a local test root and an end-entity certificate for `name` signed by it, saves the
    chain and key into `directory`, and the root as TEST_ROOT_FILE (the anchor a verifier needs
    to trust these manifests). The root's private key is discarded: nothing else can be issued
    under it."""
    if algorithm not in ALGORITHMS:
        raise IdentityError(f"unknown signing algorithm {algorithm!r}; use one of {', '.join(ALGORITHMS)}")
    root_key, signer_key = _new_key(algorithm), _new_key(algorithm)
    root_name = _name(f"{TEST_ORGANIZATION} root {secrets.token_hex(4)}")
    root = _certificate(root_name, root_name, root_key.public_key(), root_key, days=3650, authority=True)
    signer = _certificate(_name(name), root_name, signer_key.public_key(), root_key, days=730, authority=False)
    pem = serialization.Encoding.PEM
    identity = SigningIdentity(
        signer.public_bytes(pem) + root.public_bytes(pem),
        signer_key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    root_file = Path(directory) / TEST_ROOT_FILE
    write_private(root_file, root.public_bytes(pem), "C2PA test root", IdentityError)
    try:
        identity.save(directory)
    except IdentityError:
        root_file.unlink()  # ours, just made: leave the folder as it was
        raise
    return identity


def trust_anchors(directory: PathLike) -> str:
    """The PEM roots a manifest's signer must chain to for a validation to report `Trusted`; empty
    when none are set."""
    path = Path(directory) / TRUST_FILE
    if not path.exists():
        return ""
    return read_private(path, "trust anchor list", _PEM_LIMIT, IdentityError).decode("ascii", "replace")


def add_trust_anchor(directory: PathLike, root_pem: bytes) -> int:
    """Adds the CA certificates of `root_pem` to the trust anchors (ones already there are kept
    once); returns how many anchors there are now."""
    added = _certificates(root_pem, "trust anchor")
    for certificate in added:
        if not _is_authority(certificate):
            raise IdentityError(f"{certificate.subject.rfc4514_string()} is not a CA certificate; "
                                f"a trust anchor is the root a signer's chain ends in")
    current = trust_anchors(directory)
    kept = _certificates(current.encode("ascii"), "trust anchor list") if current else []
    known = {c.fingerprint(hashes.SHA256()) for c in kept}
    for certificate in added:
        if certificate.fingerprint(hashes.SHA256()) not in known:
            kept.append(certificate)
            known.add(certificate.fingerprint(hashes.SHA256()))
    _replace_private(Path(directory) / TRUST_FILE,
                     b"".join(c.public_bytes(serialization.Encoding.PEM) for c in kept))
    return len(kept)


def _replace_private(path: Path, data: bytes) -> None:
    # Written whole under a new name, then renamed: a reader sees the old list or the new one.
    staging = path.with_name(f".{path.name}.{secrets.token_hex(4)}")
    write_private(staging, data, "trust anchor list", IdentityError)
    os.replace(staging, path)


def _certificates(pem: bytes, what: str) -> list[x509.Certificate]:
    try:
        return x509.load_pem_x509_certificates(pem)
    except ValueError:
        raise IdentityError(f"the {what} is not PEM certificates; give certificates in PEM form, a chain "
                            f"with its end-entity certificate first") from None


def _private_key(key_pem: bytes) -> PrivateKey:
    # The parser's own message is dropped: nothing about the key's bytes may reach a message.
    try:
        key = serialization.load_pem_private_key(key_pem, password=None)
    except TypeError:
        raise IdentityError("the private key is encrypted; give it unencrypted (it is stored readable "
                            "by its owner only)") from None
    except (ValueError, UnsupportedAlgorithm):
        raise IdentityError("the private key is not a PEM private key") from None
    if not isinstance(key, (ed25519.Ed25519PrivateKey, ec.EllipticCurvePrivateKey)):
        raise IdentityError("the private key is neither Ed25519 nor ECDSA; C2PA signing here takes "
                            "Ed25519, ES256 (P-256) or ES384 (P-384)")
    return key


def _algorithm(key: PrivateKey) -> str:
    if isinstance(key, ed25519.Ed25519PrivateKey):
        return "ed25519"
    by_curve = {"secp256r1": "es256", "secp384r1": "es384"}
    if key.curve.name not in by_curve:
        raise IdentityError(f"the ECDSA key is on curve {key.curve.name}; use P-256 (ES256) or P-384 (ES384)")
    return by_curve[key.curve.name]


def _check_signer(certificate: x509.Certificate, key: PrivateKey) -> str:
    """The signing algorithm, once the key is known to belong to the certificate and the
    certificate to be one C2PA accepts for signing claims."""
    algorithm = _algorithm(key)
    raw = serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo
    if certificate.public_key().public_bytes(*raw) != key.public_key().public_bytes(*raw):
        raise IdentityError("the private key does not belong to the first certificate of the chain; "
                            "give the end-entity certificate first and its own key")
    if _is_authority(certificate):
        raise IdentityError("the first certificate of the chain is a CA certificate; C2PA signs with an "
                            "end-entity certificate")
    usage = _extension(certificate, x509.KeyUsage)
    if usage is None or not usage.digital_signature:
        raise IdentityError("the certificate lacks the digitalSignature key usage C2PA signing needs")
    extended = _extension(certificate, x509.ExtendedKeyUsage)
    if extended is None or not _SIGNER_USAGES.intersection(extended):
        raise IdentityError("the certificate lacks an extended key usage C2PA accepts for signing "
                            "(emailProtection, documentSigning or c2pa claimSigning)")
    if certificate.not_valid_after_utc <= datetime.datetime.now(datetime.timezone.utc):
        raise IdentityError(f"the certificate expired on {certificate.not_valid_after_utc:%Y-%m-%d}; "
                            f"renew it")
    return algorithm


def _extension(certificate: x509.Certificate, kind: type[_Extension]) -> _Extension | None:
    try:
        return certificate.extensions.get_extension_for_class(kind).value
    except x509.ExtensionNotFound:
        return None


def _is_authority(certificate: x509.Certificate) -> bool:
    constraints = _extension(certificate, x509.BasicConstraints)
    return constraints is not None and constraints.ca


def _organization(name: x509.Name) -> str:
    values = name.get_attributes_for_oid(NameOID.ORGANIZATION_NAME)
    return str(values[0].value) if values else ""


def _name(common_name: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name),
                      x509.NameAttribute(NameOID.ORGANIZATION_NAME, TEST_ORGANIZATION)])


def _new_key(algorithm: str) -> PrivateKey:
    if algorithm == "ed25519":
        return ed25519.Ed25519PrivateKey.generate()
    return ec.generate_private_key(ec.SECP256R1() if algorithm == "es256" else ec.SECP384R1())


def _certificate(subject: x509.Name, issuer: x509.Name, public: ed25519.Ed25519PublicKey | ec.EllipticCurvePublicKey,
                 issuer_key: PrivateKey, *, days: int, authority: bool) -> x509.Certificate:
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(public)
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(days=1))
               .not_valid_after(now + datetime.timedelta(days=days))
               .add_extension(x509.BasicConstraints(ca=authority, path_length=0 if authority else None), critical=True)
               .add_extension(x509.KeyUsage(digital_signature=not authority, content_commitment=False,
                                            key_encipherment=False, data_encipherment=False, key_agreement=False,
                                            key_cert_sign=authority, crl_sign=authority, encipher_only=False,
                                            decipher_only=False), critical=True)
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False))
    if not authority:
        builder = (builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()),
                                  critical=False))
    # Ed25519 signs without a separate digest; ECDSA certificates use SHA-256 (SHA-384 on P-384).
    digest = None if isinstance(issuer_key, ed25519.Ed25519PrivateKey) else (
        hashes.SHA384() if issuer_key.curve.name == "secp384r1" else hashes.SHA256())
    return builder.sign(issuer_key, digest)
