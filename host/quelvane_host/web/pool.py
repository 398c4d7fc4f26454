"""Registry connections shared by the threads that serve requests.

One SQLite connection cannot run two transactions at once, so each request borrows a registry
of its own from the pool and gives it back; SQLite's locking then orders the writers. Requests
take turns before they borrow (limits.Turns), so a borrow rarely waits; when one does for
longer than `wait_seconds`, the request is answered busy rather than left hanging."""
from __future__ import annotations

import queue
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, Optional, Union

from ..keys import Keys
from ..registry import Registry
from ..storage import StorageLocation
from .limits import Busy


class RegistryPool:
    def __init__(self, location: StorageLocation, keys: Union[Keys, Path], size: int, max_bytes: int,
                 wait_seconds: float) -> None:
        self._wait_seconds = wait_seconds
        self._idle: queue.SimpleQueue[Registry] = queue.SimpleQueue()
        self._all: list[Registry] = []
        try:
            for _ in range(size):
                registry = Registry.open(location, keys, max_bytes=max_bytes)
                self._all.append(registry)
                self._idle.put(registry)
        except BaseException:
            self.close()
            raise

    @contextmanager
    def borrow(self) -> Iterator[Registry]:
        try:
            registry = self._idle.get(timeout=self._wait_seconds)
        except queue.Empty:
            raise Busy() from None
        try:
            yield registry
        finally:
            self._idle.put(registry)

    @contextmanager
    def borrow_idle(self) -> Iterator[Optional[Registry]]:
        """An idle registry, or None at once when every one is lent: for look-ups so quick that
        waiting for a registry would cost more than taking the usual way."""
        try:
            registry = self._idle.get_nowait()
        except queue.Empty:
            yield None
            return
        try:
            yield registry
        finally:
            self._idle.put(registry)

    def close(self) -> None:
        for registry in self._all:
            registry.close()
        self._all.clear()
