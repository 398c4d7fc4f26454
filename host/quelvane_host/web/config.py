"""What the service is started with: where the registry and keys are, the publishing token,
the body limit. The token is read from a file or the environment, never from the command line,
where every user of the machine could see it in the process list."""
from __future__ import annotations

import hashlib
import hmac
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Mapping, Optional, Union

from ..errors import QuelvaneHostError
from ..keys import Keys, read_private
from ..inputs import DEFAULT_MAX_BYTES
from ..storage import StorageLocation

TOKEN_ENV = "QUELVANE_TOKEN"
MIN_TOKEN_CHARS = 16
DEFAULT_POOL_SIZE = 4
DEFAULT_HEADER_SECONDS = 10.0
DEFAULT_BODY_SECONDS = 60.0
"""Long enough for the largest body allowed over a slow line; a body still arriving then is cut off."""
DEFAULT_KEEP_ALIVE_SECONDS = 5
DEFAULT_QUEUE_SECONDS = 10.0


class ServiceConfigError(QuelvaneHostError):
    """The service cannot start as configured (token, extra not installed)."""


class Token:
    """The bearer token that allows publishing. Never printed: repr hides it."""

    __slots__ = ("_digest",)

    def __init__(self, value: str) -> None:
        if len(value) < MIN_TOKEN_CHARS:
            raise ServiceConfigError(
                f"the token has {len(value)} characters; use at least {MIN_TOKEN_CHARS}, for example: "
                "python3 -c 'import secrets; print(secrets.token_urlsafe(32))'"
            )
        if not all("\x21" <= c <= "\x7e" for c in value):
            raise ServiceConfigError("the token must be printable ASCII without spaces")
        # Only a digest is kept: comparing digests of equal length takes the same time whatever
        # was sent, so neither the token's bytes nor its length can be timed.
        self._digest = hashlib.sha256(value.encode("ascii")).digest()

    def matches(self, offered: bytes) -> bool:
        return hmac.compare_digest(hashlib.sha256(offered).digest(), self._digest)

    def __repr__(self) -> str:
        return "Token(<hidden>)"

    __str__ = __repr__


def read_token(token_file: Optional[Path], environ: Mapping[str, str]) -> Optional[Token]:
    """The token from the file if one is named, else from the environment, else None (publishing off)."""
    if token_file is not None:
        return Token(_read_private(token_file).strip())
    value = environ.get(TOKEN_ENV)
    return None if value is None else Token(value.strip())


def _read_private(path: Path) -> str:
    raw = read_private(path, "token file", 4096, ServiceConfigError)
    try:
        return raw.decode("ascii")
    except UnicodeDecodeError:
        raise ServiceConfigError(f"token file {path} must hold printable ASCII") from None


@dataclass(frozen=True)
class ServiceConfig:
    registry: StorageLocation
    keys: Keys
    token: Optional[Token] = None
    """None turns publishing over HTTP off."""
    max_body_bytes: int = DEFAULT_MAX_BYTES
    pool_size: int = DEFAULT_POOL_SIZE
    """Registry connections shared by the request threads; as many requests use the registry at once."""
    client_slots: int = 2
    """Of those, how many one client address may use at once, so one client cannot take them all."""
    client_queue: int = 16
    """Requests of one client address that may wait for a turn; more are answered 503 at once."""
    queue_seconds: float = DEFAULT_QUEUE_SECONDS
    """How long a request waits for its turn before it is answered 503 with Retry-After."""
    header_seconds: float = DEFAULT_HEADER_SECONDS
    """Time for a request line and headers to arrive, from the connection or the previous answer."""
    body_seconds: float = DEFAULT_BODY_SECONDS
    """Time for a body to arrive once its headers are in."""
    keep_alive_seconds: int = DEFAULT_KEEP_ALIVE_SECONDS
    """An idle connection is closed this long after its last answer."""
    max_connections: Optional[int] = None
    """Open connections allowed; None: what the open-file limit leaves free."""
    key_file: Optional[Path] = None
    """The file `keys` were read from. With it, publishing signs a C2PA manifest with the signing
    identity kept beside it, and manifests are validated against the trust anchors kept there;
    only the path is held here, the files are read by the registry."""

    @property
    def registry_keys(self) -> Union[Keys, Path]:
        """What the registry is opened with: the key file when there is one, so that the C2PA
        signing identity and trust anchors kept beside it come along."""
        return self.keys if self.key_file is None else self.key_file

    def for_worker(self, workers: int) -> ServiceConfig:
        """What one of `workers` worker processes is run with. A client address's turns and waiting
        places are shared out over the workers (at least one each), since the kernel spreads its
        connections evenly over them: across two workers it still has two requests running at most."""
        return replace(self, client_slots=max(1, self.client_slots // workers),
                       client_queue=max(1, self.client_queue // workers))
