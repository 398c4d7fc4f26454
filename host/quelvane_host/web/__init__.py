"""`quelvane serve`: the registry over HTTP, a JSON API and a page where anyone can check a text.

Needs the optional dependencies of quelvane[server] (see `extras.install_line`)."""
from __future__ import annotations

from typing import Any

from ..extras import missing_extra
from .config import ServiceConfig, ServiceConfigError, Token, read_token

__all__ = ["ServiceConfig", "ServiceConfigError", "Token", "create_app", "read_token", "serve"]
MISSING_EXTRA = missing_extra("the server", "server")


def create_app(config: ServiceConfig) -> Any:
    """The ASGI application serving the registry of `config`."""
    try:
        from .app import create_app as create
    except ImportError as error:
        raise ServiceConfigError(f"{MISSING_EXTRA} ({error.name} is missing)") from None
    return create(config)


def serve(config: ServiceConfig, host: str, port: int, *, forwarded_allow_ips: str = "127.0.0.1") -> None:
    """Runs the service until interrupted. Forwarded headers (client address, scheme) are believed
    only from the proxies listed in `forwarded_allow_ips`."""
    app = create_app(config)
    from .server import run

    run(app, config, host, port, forwarded_allow_ips)
