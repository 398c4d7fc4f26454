"""LanternQuill C2PA text soft-binding family (native bindings)."""

from typing import Literal

__all__ = [
    "__doc__",
    "text_fingerprint",
    "text_structure",
    "minhash_signature",
    "minhash_bands",
    "hamming_hex",
    "content_hash",
    "embed_watermark",
    "extract_watermark",
    "public_key",
    "sign",
    "verify",
    "cross_check",
    "soft_binding_fingerprint",
    "soft_binding_structure",
    "soft_binding_minhash",
    "soft_binding_watermark",
    "verify_tier",
]

def text_fingerprint(text: str) -> str:
    """`com.lanternquill.text-fingerprint.1` — 256-bit surface SimHash, hex."""

def text_structure(text: str) -> str:
    """`com.lanternquill.text-structure.1` — 256-bit structural SimHash, hex."""

def minhash_signature(text: str) -> list[int]:
    """`com.lanternquill.text-minhash.1` — the 128 signature values."""

def minhash_bands(text: str) -> list[int]:
    """The 32 LSH band hashes — index keys for discovery."""

def hamming_hex(a: str, b: str) -> int:
    """Hamming distance in bits between two 256-bit hex fingerprints."""

def content_hash(text: str) -> str:
    """SHA-256 of the canonical stream (the blind-recoverable content hash), hex."""

def embed_watermark(text: str, pointer_hex: str, key_hex: str) -> str:
    """Embed a `zwc-watermark.2` carrying `pointer_hex`, bound to the content by
    `key_hex`. Returns the watermarked text."""

def extract_watermark(text: str, key_hex: str) -> tuple[str, bool, int]:
    """Blind-extract and verify a `zwc-watermark.2`.
    Returns `(pointer_hex, tag_verified, shards_recovered)`."""

def public_key(secret_hex: str) -> str:
    """Derive the Ed25519 public key (hex) from a 32-byte secret key (hex)."""

def sign(payload: str, secret_hex: str) -> str:
    """Sign a payload as tagged COSE_Sign1 / EdDSA. Returns the envelope as hex."""

def verify(cose_hex: str, public_hex: str) -> str:
    """Verify a hex COSE_Sign1 envelope against a hex public key; returns the
    payload string on success, raises on failure."""

def cross_check(key_hex: str, repo_id: str, content_hash_hex: str) -> str:
    """Anti-transfer cross-check tag (hex): `HMAC(key, repo_id ‖ content_hash)`."""

def soft_binding_fingerprint(text: str) -> str:
    """Build the `c2pa.soft-binding` assertion (id 41, surface fingerprint) as CBOR,
    hex-encoded. Sign the result with [`sign`]; includes per-window blocks."""

def soft_binding_structure(text: str) -> str:
    """Build the `c2pa.soft-binding` assertion (id 43, structural) as CBOR hex."""

def soft_binding_minhash(text: str) -> str:
    """Build the `c2pa.soft-binding` assertion (id 44, MinHash) as CBOR hex."""

def soft_binding_watermark(pointer_hex: str) -> str:
    """Build the `c2pa.soft-binding` assertion (id 42, ZWC watermark) for a routing
    `pointer_hex`, as CBOR hex."""

def verify_tier(
    text: str, assertion_cbor_hex: str, watermark_verified: bool, crosscheck_ok: bool
) -> Literal["BOUND", "LIKELY", "REVIEW"]:
    """Recompute the fingerprint from `text`, compare against a candidate
    `c2pa.soft-binding` assertion (hex CBOR), and classify. Returns
    `"BOUND"`, `"LIKELY"`, or `"REVIEW"`."""
