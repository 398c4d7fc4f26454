"""`quelvane serve`: the registry over HTTP, a JSON API and a page where anyone can check a text.

Needs the optional dependencies of quelvane[server] (see `extras.install_line`)."""
from __future__ import annotations

from typing import Any, Callable

from ..extras import missing_extra
from .config import ServiceConfig, ServiceConfigError, Token, read_token

__all__ = ["ServiceConfig", "ServiceConfigError", "Token", "create_app", "read_token", "serve"]
MISSING_EXTRA = missing_extra("the server", "server")


def create_app(config: ServiceConfig) -> Any:
    """The ASGI application serving the registry of `config`."""
    return _application()(config)


def _application() -> Callable[[ServiceConfig], Any]:
    try:
        from .app import create_app as create
        from . import server  # noqa: F401  (uvicorn and h11, of the same extra)
    except ImportError as error:
        raise ServiceConfigError(f"{MISSING_EXTRA} ({error.name} is missing)") from None
    return create


def serve(config: ServiceConfig, host: str, port: int, *, forwarded_allow_ips: str = "127.0.0.1",
          workers: int = 1) -> None:
    """Runs the service until interrupted, in `workers` processes. Forwarded headers (client
    address, scheme) are believed only from the proxies listed in `forwarded_allow_ips`."""
    from .workers import check_supported

    check_supported(workers)
    make = _application()
    # Once, before any worker starts: a registry that cannot be opened is reported as for any
    # command, and one that needs bringing up to date is brought up to date by one process.
    from ..registry import Registry

    Registry.open(config.registry, config.registry_keys, max_bytes=config.max_body_bytes).close()
    from .server import run

    run(lambda: make(config.for_worker(workers)), config, host, port, forwarded_allow_ips, workers)
