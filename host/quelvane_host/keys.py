"""The publisher's key file: the Ed25519 signing key, the binding key for watermarks and
cross-check tags, and the repository id.

The file is JSON, readable by its owner only. The secrets live in one `Keys` object whose
repr and str show only the public key and the repository id."""
from __future__ import annotations

import json
import os
import re
import secrets
import stat
import uuid
from pathlib import Path
from typing import Union

import quelvane

from .errors import KeyFileError

FORMAT_NAME = "quelvane-keys"
FORMAT_VERSION = 1
_HEX64 = re.compile(r"[0-9a-f]{64}")
PathLike = Union[str, "os.PathLike[str]"]


class Keys:
    """The secrets of one publisher. Never printed: repr shows the public key and repository id."""

    __slots__ = ("_signing_hex", "_binding_hex", "repository_id", "public_hex")

    def __init__(self, signing_hex: str, binding_hex: str, repository_id: str) -> None:
        if not _HEX64.fullmatch(signing_hex) or not _HEX64.fullmatch(binding_hex):
            raise KeyFileError("keys must be 64 lower-case hex characters each")
        if not repository_id:
            raise KeyFileError("the repository id must not be empty")
        self._signing_hex = signing_hex
        self._binding_hex = binding_hex
        self.repository_id = repository_id
        self.public_hex = quelvane.public_key(signing_hex)

    @classmethod
    def generate(cls, repository_id: str | None = None) -> Keys:
        """Fresh random keys; a random repository id unless one is given."""
        return cls(secrets.token_hex(32), secrets.token_hex(32), repository_id or f"urn:uuid:{uuid.uuid4()}")

    @property
    def signing_hex(self) -> str:
        """The Ed25519 secret key, for `quelvane.sign`."""
        return self._signing_hex

    @property
    def binding_hex(self) -> str:
        """The key binding watermarks and cross-check tags to this publisher."""
        return self._binding_hex

    def __repr__(self) -> str:
        return f"Keys(public_hex={self.public_hex!r}, repository_id={self.repository_id!r})"

    __str__ = __repr__

    def save(self, path: PathLike) -> Path:
        """Writes a new key file readable by its owner only; refuses to overwrite one."""
        target = Path(path)
        document = {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "repository_id": self.repository_id,
            "signing_key": self._signing_hex,
            "binding_key": self._binding_hex,
        }
        write_private(target, (json.dumps(document, indent=2) + "\n").encode("utf-8"), "key file", KeyFileError)
        return target

    @classmethod
    def load(cls, path: PathLike) -> Keys:
        """Reads a key file, refusing one that group or others can read or that is malformed."""
        source = Path(path)
        if not source.exists():
            raise KeyFileError(f"no key file at {source}; create one with: quelvane init")
        raw = read_private(source, "key file", 65536, KeyFileError)
        return cls._parse(raw, source)

    @classmethod
    def _parse(cls, raw: bytes, source: Path) -> Keys:
        # Messages name the field that is wrong, never its value.
        try:
            document = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise KeyFileError(f"key file {source} is not a quelvane key file (not JSON)") from None
        if not isinstance(document, dict) or document.get("format") != FORMAT_NAME:
            raise KeyFileError(f"key file {source} is not a quelvane key file")
        if document.get("version") != FORMAT_VERSION:
            raise KeyFileError(
                f"key file {source} has version {document.get('version')!r}; this quelvane reads version "
                f"{FORMAT_VERSION}"
            )
        for name in ("signing_key", "binding_key"):
            value = document.get(name)
            if not isinstance(value, str) or not _HEX64.fullmatch(value):
                raise KeyFileError(f"key file {source}: {name} must be 64 lower-case hex characters")
        repository_id = document.get("repository_id")
        if not isinstance(repository_id, str) or not repository_id:
            raise KeyFileError(f"key file {source}: repository_id must be a non-empty string")
        return cls(document["signing_key"], document["binding_key"], repository_id)


def looks_like_key_file(text: str) -> bool:
    """Whether a text reads as a key file (ours, or any JSON holding fields named like our secrets),
    so that it is never published by mistake."""
    if not text.lstrip().startswith("{"):
        return False
    try:
        document = json.loads(text)
    except ValueError:
        return False
    return isinstance(document, dict) and (
        document.get("format") == FORMAT_NAME or "signing_key" in document or "binding_key" in document)


def read_private(path: Path, what: str, limit: int, error: type[Exception]) -> bytes:
    """Reads at most `limit` bytes of a file that holds a secret, raising `error` if it cannot be
    opened, is not a regular file, or can be read by group or others (a leaked secret)."""
    try:
        # Non-blocking: a FIFO planted at the path would otherwise wait forever for a writer.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as failure:
        raise error(f"cannot open {what} {path}: {failure.strerror}") from None
    with os.fdopen(fd, "rb") as handle:
        mode = os.fstat(handle.fileno()).st_mode
        if not stat.S_ISREG(mode):
            raise error(f"{what} {path} is not a regular file")
        if mode & 0o077:
            raise error(
                f"{what} {path} can be read by other users (mode {stat.S_IMODE(mode):04o}); "
                f"restrict it with: chmod 600 {path}"
            )
        return handle.read(limit)


def write_private(path: Path, data: bytes, what: str, error: type[Exception]) -> None:
    """Creates a new file readable by its owner only and writes `data` (a secret) into it, raising
    `error` if the file exists (a secret is never overwritten) or cannot be created."""
    try:
        # O_EXCL: never follow a planted link or replace an existing secret; 0600 from the start,
        # so there is no moment at which others could read it.
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise error(f"{path} already exists; keep it, or move it away to make a new {what}") from None
    except OSError as failure:
        raise error(f"cannot create {what} {path}: {failure.strerror}") from None
    with os.fdopen(fd, "wb") as handle:
        handle.write(data)


# The C2PA signing identity's files (chain, key, test root) and trust anchors, kept beside the key
# file: named here, where no C2PA library is needed, so that every command keeps them unpublished.
C2PA_FILES = ("c2pa-chain.pem", "c2pa-key.pem", "c2pa-test-root.pem", "quelvane.trust.pem")
