"""Every check on what a caller hands the host: the bytes of a file or upload, the text to publish
or identify, its format and its metadata. Publishing, identify, import, the corpus reader, the
command line and the service all refuse bad input here, in the same words."""
from __future__ import annotations

import json
import os
from typing import Any, BinaryIO, Mapping

from .errors import InputError
from .formats import FORMATS, Format

DEFAULT_MAX_BYTES = 10 * 1024 * 1024
_BOM = "\ufeff"


def why_not_text(data: bytes, max_bytes: int) -> str | None:
    """Why these bytes are no text to work on, in a few words; None when they are one."""
    if len(data) > max_bytes:
        return f"larger than the limit of {max_bytes} bytes"
    if b"\x00" in data:
        return "binary (contains NUL bytes)"
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        return f"not valid UTF-8 (byte {error.start})"
    return None if text.removeprefix(_BOM).strip() else "empty"


def decode(data: bytes, max_bytes: int) -> str:
    """The UTF-8 text of a file's bytes, or an InputError saying why there is none and what to do."""
    reason = why_not_text(data, max_bytes)
    if reason is not None and reason != "empty":  # an empty text is check_input's to name
        fix = {"l": "raise the limit or split it", "b": "it is not a text",
               "n": "convert it to UTF-8 first"}[reason[0]]
        raise InputError(f"file is {reason}; {fix}")
    return data.decode("utf-8").removeprefix(_BOM)


def read_limited(handle: BinaryIO, max_bytes: int) -> str:
    """The UTF-8 text of an open file or standard input, reading no more than one byte past the
    limit; a refusal gives the file's real size when it has one."""
    data = handle.read(max_bytes + 1)
    if len(data) > max_bytes:
        try:
            size = os.fstat(handle.fileno()).st_size
        except (OSError, ValueError):
            size = 0  # a stream that is no file: its size is not known
        shown = f"{size} bytes" if size > max_bytes else f"more than {max_bytes} bytes"
        raise InputError(f"file is {shown}, over the limit of {max_bytes}; raise --max-bytes or split it")
    text = decode(data, max_bytes)
    check_input(text, max_bytes)
    return text


def check_input(text: str, max_bytes: int) -> None:
    """Refuses what cannot be a text to publish or identify, saying why."""
    try:
        size = len(text.encode("utf-8"))
    except UnicodeEncodeError as error:
        raise InputError(f"text holds a lone surrogate at character {error.start}: it is not valid Unicode") from None
    if size > max_bytes:
        raise InputError(f"text is {size} bytes, over the limit of {max_bytes}; raise the limit or split it")
    if not text.strip():
        raise InputError("text is empty")
    if "\x00" in text:
        raise InputError("text contains NUL characters: it looks like a binary file, not text")


def check_format(format: str) -> Format:
    """The format named, refused unless it is one the host reads."""
    if format not in FORMATS:
        raise InputError(f"unknown format {format!r}; use one of {', '.join(FORMATS)}")
    return format


def refuse_constant(name: str) -> Any:
    """For json.loads: NaN and Infinity are not JSON; neither database reads them back as such."""
    raise ValueError(f"{name} is not a JSON number; write it as a string")


def json_metadata(metadata: Mapping[str, Any] | None) -> dict[str, Any]:
    """Metadata to store with a publication: a JSON object of finite numbers, strings, lists and
    objects, copied so that later changes by the caller do not reach it."""
    try:
        return dict(json.loads(json.dumps(dict(metadata or {}), allow_nan=False)))
    except (TypeError, ValueError) as error:
        raise InputError(f"metadata must be JSON (strings, finite numbers, lists, objects): {error}") from None
