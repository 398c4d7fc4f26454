"""Where the steps of a scan or a deduplication run: in this process, or as tasks on Dask.

Dask is optional: nothing here imports it until a cluster is asked for.
"""
from __future__ import annotations

from typing import Any, Callable, Iterable, Iterator, Protocol

# A few partitions per worker, so that one slow partition does not leave the others idle at the end.
PARTITIONS_PER_WORKER = 4


class Engine(Protocol):
    """Each call returns a handle (a value, or a Dask future)."""

    def map(self, function: Callable[..., Any], *iterables: Iterable[Any], **kwargs: Any) -> list[Any]: ...

    def submit(self, function: Callable[..., Any], *args: Any) -> Any: ...

    def gather(self, handles: list[Any]) -> list[Any]: ...

    def each(self, function: Callable[..., Any], items: Iterable[Any], **kwargs: Any) -> Iterator[Any]:
        """`function(item, **kwargs)` for every item, each result as soon as it is done, in any order."""
        ...


class InProcess:
    def map(self, function: Callable[..., Any], *iterables: Iterable[Any], **kwargs: Any) -> list[Any]:
        return [function(*args, **kwargs) for args in zip(*iterables)]

    def submit(self, function: Callable[..., Any], *args: Any) -> Any:
        return function(*args)

    def gather(self, handles: list[Any]) -> list[Any]:
        return handles

    def each(self, function: Callable[..., Any], items: Iterable[Any], **kwargs: Any) -> Iterator[Any]:
        return (function(item, **kwargs) for item in items)


class OnDask:
    """Steps as tasks of a `distributed.Client`. Tasks are pure (named by their inputs), so a task
    lost with a worker is run again elsewhere and its result is the same."""

    def __init__(self, client: Any) -> None:
        self.client = client

    def map(self, function: Callable[..., Any], *iterables: Iterable[Any], **kwargs: Any) -> list[Any]:
        futures: list[Any] = self.client.map(function, *iterables, pure=True, **kwargs)
        return futures

    def submit(self, function: Callable[..., Any], *args: Any) -> Any:
        return self.client.submit(function, *args, pure=True)

    def gather(self, handles: list[Any]) -> list[Any]:
        gathered: list[Any] = self.client.gather(handles)
        return gathered

    def each(self, function: Callable[..., Any], items: Iterable[Any], **kwargs: Any) -> Iterator[Any]:
        from distributed import as_completed

        futures = self.map(function, list(items), **kwargs)
        for _, result in as_completed(futures, with_results=True):  # type: ignore[no-untyped-call]
            yield result


def engine_for(client: Any) -> Engine:
    """Dask's when given a `distributed.Client`, otherwise this process."""
    return InProcess() if client is None else OnDask(client)


def local_cluster(workers: int = 2, **options: Any) -> Any:
    """A `distributed.LocalCluster` of worker processes with one thread each (the module holds the
    interpreter lock for every call, so threads in one worker would run one at a time)."""
    from distributed import LocalCluster

    settings: dict[str, Any] = {"dashboard_address": None, **options}
    return LocalCluster(n_workers=workers, processes=True, threads_per_worker=1, **settings)  # type: ignore[no-untyped-call]


def worker_count(client: Any) -> int:
    """How many worker threads the cluster behind `client` has now (1 in this process)."""
    if client is None:
        return 1
    threads: dict[str, int] = client.nthreads()
    return sum(threads.values())
