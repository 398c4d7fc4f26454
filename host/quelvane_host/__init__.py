"""Publish texts with signed provenance and find them again: the registry and command line
built on the `quelvane` module."""

from .errors import InputError, KeyFileError, NotFoundError, OutputError, QuelvaneHostError, RegistryError
from .identify import Evidence, Match, Passage
from .keys import Keys
from .publish import Publisher, PublishResult
from .registry import Registry

__all__ = [
    "Evidence",
    "InputError",
    "KeyFileError",
    "Keys",
    "Match",
    "NotFoundError",
    "OutputError",
    "Passage",
    "PublishResult",
    "Publisher",
    "QuelvaneHostError",
    "Registry",
    "RegistryError",
]
