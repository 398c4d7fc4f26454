"""How to install quelvane and its optional parts, worded once for the README and every message.

The wheel is not on a package index: `make wheel` writes it into `wheelhouse/`. `--find-links`
lets pip take quelvane from that folder and everything it depends on from the index, which is
the one form that works both for a fresh install and for adding an extra later (a bare
`pip install 'quelvane[server]'` looks for quelvane on the index and finds nothing).
"""
from __future__ import annotations

import importlib.util

from .errors import QuelvaneHostError

WHEEL_FOLDER = "wheelhouse"
EXTRAS = ("server", "dask", "postgres")


def install_line(extra: str | None = None) -> str:
    """The command that installs quelvane, with `extra` (one of EXTRAS) when given."""
    requirement = "quelvane" if extra is None else f"'quelvane[{extra}]'"
    return f"pip install --find-links {WHEEL_FOLDER} {requirement}"


def missing_extra(purpose: str, extra: str) -> str:
    """The message for a missing optional dependency: what needs it and the line that installs it."""
    return (f"{purpose} needs quelvane[{extra}]: {install_line(extra)}, "
            f"{WHEEL_FOLDER} being the folder that holds the quelvane wheel")


def require(modules: tuple[str, ...], purpose: str, extra: str) -> None:
    """Refuses before any work starts when one of `modules` is not installed."""
    missing = [name for name in modules if importlib.util.find_spec(name) is None]
    if missing:
        raise QuelvaneHostError(f"{missing_extra(purpose, extra)} ({', '.join(missing)} is missing)")
