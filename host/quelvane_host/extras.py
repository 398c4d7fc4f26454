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
EXTRAS = ("server", "dask", "postgres", "c2pa", "icu")


def install_line(extra: str | None = None) -> str:
    """The command that installs quelvane, with `extra` (one of EXTRAS) when given."""
    requirement = "quelvane" if extra is None else f"'quelvane[{extra}]'"
    return f"pip install --find-links {WHEEL_FOLDER} {requirement}"


def missing_extra(purpose: str, extra: str, missing: tuple[str, ...] = (), instead: str = "") -> str:
    """The message for a missing optional dependency: what needs it, what is missing, the line
    that installs it and `instead`, what would do without it."""
    names = f" (missing: {', '.join(missing)})" if missing else ""
    return (f"{purpose} needs quelvane[{extra}]{names}: {install_line(extra)}, {WHEEL_FOLDER} being the "
            f"folder that holds the quelvane wheel" + (f"; or {instead}" if instead else ""))


def require(modules: tuple[str, ...], purpose: str, extra: str, instead: str = "") -> None:
    """Refuses before any work starts when one of `modules` is not installed."""
    missing = tuple(name for name in modules if importlib.util.find_spec(name) is None)
    if missing:
        raise QuelvaneHostError(missing_extra(purpose, extra, missing, instead))
