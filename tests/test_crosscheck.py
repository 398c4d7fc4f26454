"""The anti-transfer cross-check tag, against the standard library's HMAC-SHA-256."""

import hashlib
import hmac

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quelvane

CONTENT_HASH = hashlib.sha256(b"some canonical text").hexdigest()


def reference(key: bytes, repo_id: str, content_hash: bytes) -> str:
    return hmac.new(key, repo_id.encode() + content_hash, hashlib.sha256).hexdigest()


@pytest.mark.parametrize(
    "key",
    [
        b"",
        b"k",
        bytes(range(32)),
        bytes(range(64)),  # exactly one block
        bytes(range(65)),  # longer than a block: hashed first
        b"\xa5" * 200,
    ],
    ids=["empty", "1", "32", "64", "65", "200"],
)
@pytest.mark.parametrize("repo_id", ["", "repo-1", "répertoire ✓ 𝄞", "x" * 1000])
def test_matches_hmac_sha256(key, repo_id):
    content_hash = bytes.fromhex(CONTENT_HASH)
    assert quelvane.cross_check(key.hex(), repo_id, CONTENT_HASH) == reference(key, repo_id, content_hash)


@settings(max_examples=100, deadline=None)
@given(st.binary(max_size=150), st.text(max_size=50), st.binary(max_size=80))
def test_matches_hmac_sha256_on_any_input(key, repo_id, content_hash):
    tag = quelvane.cross_check(key.hex(), repo_id, content_hash.hex())
    assert tag == reference(key, repo_id, content_hash)
    assert tag == quelvane.cross_check(key.hex(), repo_id, content_hash.hex())


def test_empty_parts():
    key = b"key"
    assert quelvane.cross_check(key.hex(), "", CONTENT_HASH) == hmac.new(
        key, bytes.fromhex(CONTENT_HASH), hashlib.sha256
    ).hexdigest()
    assert quelvane.cross_check(key.hex(), "repo", "") == hmac.new(key, b"repo", hashlib.sha256).hexdigest()
    assert quelvane.cross_check("", "", "") == hmac.new(b"", b"", hashlib.sha256).hexdigest()


def test_plain_concatenation_gives_the_same_tag_for_any_split():
    # "ab" + 63 64 and "abc" + 64 are the same bytes.
    assert quelvane.cross_check("00", "ab", "6364") == quelvane.cross_check("00", "abc", "64")
    assert quelvane.cross_check("00", "abcd", "") == quelvane.cross_check("00", "", "61626364")


def test_hex_is_trimmed_and_read_in_either_case_but_repo_id_is_not_trimmed():
    key = "0aB1"
    tag = quelvane.cross_check(key.lower(), "repo", CONTENT_HASH)
    assert quelvane.cross_check(" \n" + key + "\t", "repo", "\r\n" + CONTENT_HASH.upper() + "  ") == tag
    assert quelvane.cross_check(key, "repo ", CONTENT_HASH) != tag
    assert tag == tag.lower() and len(tag) == 64


def test_with_the_content_hash_of_a_text():
    text = "A short paragraph about the harbour.\n\nAnother one."
    content_hash = quelvane.content_hash(text)
    assert quelvane.cross_check("6b6579", "repo", content_hash) == reference(b"key", "repo", bytes.fromhex(content_hash))


@pytest.mark.parametrize(
    "key_hex, content_hash_hex, message",
    [
        ("é", "00", "invalid key: Invalid character 'Ã' at position 0"),
        ("abc", "00", "invalid key: Odd number of digits"),
        ("abc", "zz", "invalid key: Odd number of digits"),  # the key is decoded first
        ("00", "abc", "invalid content hash: Odd number of digits"),
        ("00", "0g", "invalid content hash: Invalid character 'g' at position 1"),
        ("00", " 0 00 ", "invalid content hash: Invalid character ' ' at position 1"),
    ],
)
def test_bad_hex(key_hex, content_hash_hex, message):
    with pytest.raises(ValueError) as raised:
        quelvane.cross_check(key_hex, "r", content_hash_hex)
    assert str(raised.value) == message


def test_docstring():
    assert quelvane.cross_check.__text_signature__ == "(key_hex, repo_id, content_hash_hex)"
    assert quelvane.cross_check.__doc__ == "Anti-transfer cross-check tag (hex): `HMAC(key, repo_id ‖ content_hash)`."
