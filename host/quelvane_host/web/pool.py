"""Registry connections shared by the threads that serve requests.

One SQLite connection cannot run two transactions at once, so each request borrows a registry
of its own from the pool and gives it back; SQLite's locking then orders the writers."""
from __future__ import annotations

import queue
from contextlib import contextmanager
from typing import Iterator

from ..keys import Keys
from ..registry import Registry
from ..storage import StorageLocation


class RegistryPool:
    def __init__(self, location: StorageLocation, keys: Keys, size: int, max_bytes: int) -> None:
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
        registry = self._idle.get()
        try:
            yield registry
        finally:
            self._idle.put(registry)

    def close(self) -> None:
        for registry in self._all:
            registry.close()
        self._all.clear()
