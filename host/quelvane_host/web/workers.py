"""Serving on every core: worker processes forked from one supervisor, each listening on the port.

Identify runs mostly in Python, so one process uses one core however many threads it has. The
supervisor reads the configuration once (keys, token), checks the registry opens, then forks the
workers: they inherit it in memory, so the token never goes through argv, the environment or a
pipe. uvicorn's own workers were the other way; they are started by `spawn` and take the
application as an import string, so everything would have to be passed to them and read again,
and the guarded protocol (a class made from the configuration) could not go with it.

Each worker opens the registry itself after the fork (an SQLite or PostgreSQL connection must
never be shared between processes) and binds its own socket to the port with SO_REUSEPORT: the
kernel spreads new connections evenly over the workers. On one inherited socket the worker woken
first takes every connection waiting, so kept-alive clients of a lightly loaded server would all
end up in one process. Only processes of the same user can join the port.

A worker that dies is replaced; workers that keep dying stop the service with a message, and so
does a SIGINT or SIGTERM to the supervisor, after the workers have finished what they answer. A
worker exits when the supervisor dies, however it dies."""
from __future__ import annotations

import ctypes
import logging
import os
import signal
import socket
import sys
import time
from typing import Callable, Dict, List

from ..errors import QuelvaneHostError

log = logging.getLogger("uvicorn.error")
WATCHED = {signal.SIGINT, signal.SIGTERM, signal.SIGCHLD}
STOP_SECONDS = 30.0
"""How long the workers get to finish the requests they are answering once told to stop."""
DEATHS_ALLOWED = 5
DEATH_WINDOW_SECONDS = 60.0
"""Replacing workers that die this often only hides the fault (a registry gone, a worker that
cannot start): the service stops instead."""
PR_SET_PDEATHSIG = 1


class WorkersFailed(QuelvaneHostError):
    """The worker processes keep dying; the service stopped."""


def usable_cores() -> int:
    """The cores this process may run on, which can be fewer than the machine has (taskset, cgroups)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return 1


def check_supported(count: int) -> None:
    if count > 1 and not (sys.platform.startswith("linux") and hasattr(signal, "sigtimedwait")):
        raise QuelvaneHostError("more than one worker process needs Linux; use --workers 1")


def listening_socket(host: str, port: int, *, listen: bool) -> socket.socket:
    """A socket bound to host:port that shares the port with the other workers. The supervisor binds
    one without listening: it keeps the port, and a port already taken fails here, before any fork."""
    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind((host, port))
        if listen:
            sock.listen(socket.SOMAXCONN)
    except OSError as error:
        sock.close()
        raise QuelvaneHostError(f"cannot listen on {host} port {port}: {error.strerror}; choose another "
                                "--host or --port, or stop what uses it") from None
    sock.set_inheritable(False)
    return sock


class Supervisor:
    """Runs `work` in `count` forked processes until SIGINT or SIGTERM."""

    def __init__(self, count: int, work: Callable[[], None]) -> None:
        self.count = count
        self.work = work
        self.started: Dict[int, float] = {}
        """Worker pid: when it was started."""
        self.deaths: List[float] = []

    def run(self) -> None:
        # Blocked, the signals wait for sigtimedwait: no handler runs between a check and a fork.
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, WATCHED)
        try:
            for _ in range(self.count):
                self._start()
            self._watch()
        finally:
            self._stop()
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)

    def _start(self) -> None:
        supervisor = os.getpid()
        pid = os.fork()
        if pid == 0:
            _worker(self.work, supervisor)
        self.started[pid] = time.monotonic()

    def _watch(self) -> None:
        while True:
            received = signal.sigtimedwait(WATCHED, 1.0)
            if received is not None and received.si_signo != signal.SIGCHLD:
                log.info("stopping %d worker processes", len(self.started))
                return
            for pid, status in self._reap():
                self._replace(pid, status)

    def _reap(self) -> List[tuple[int, int]]:
        ended = []
        for pid in list(self.started):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                del self.started[pid]
                ended.append((pid, status))
        return ended

    def _replace(self, pid: int, status: int) -> None:
        now = time.monotonic()
        self.deaths = [at for at in self.deaths if now - at < DEATH_WINDOW_SECONDS] + [now]
        if len(self.deaths) >= DEATHS_ALLOWED:
            raise WorkersFailed(f"worker processes keep dying ({len(self.deaths)} in {DEATH_WINDOW_SECONDS:.0f} s, "
                                f"the last one {_ending(status)}); the service stopped: the log above says why")
        log.warning("worker process %d %s; starting another", pid, _ending(status))
        self._start()

    def _stop(self) -> None:
        """SIGTERM to every worker; those still running after STOP_SECONDS, or after a second
        signal to the supervisor, are killed."""
        for pid in self.started:
            _signal(pid, signal.SIGTERM)
        deadline = time.monotonic() + STOP_SECONDS
        while self.started and time.monotonic() < deadline:
            received = signal.sigtimedwait(WATCHED, min(1.0, deadline - time.monotonic()))
            self._reap()
            if received is not None and received.si_signo != signal.SIGCHLD:
                break
        for pid in self.started:
            log.warning("worker process %d did not stop in time; killing it", pid)
            _signal(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        self.started.clear()


def _worker(work: Callable[[], None], supervisor: int) -> None:
    """The life of a forked worker: never returns into the supervisor's code."""
    code = 1
    try:
        _exit_with(supervisor)
        # The server handles SIGINT and SIGTERM while it runs; before and after, they must not
        # kill the worker halfway (the server raises a signal it handled again once it is done).
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, WATCHED)
        work()
        code = 0
    except SystemExit as exit:
        code = exit.code if isinstance(exit.code, int) else 1
    except QuelvaneHostError as error:
        log.error("worker process %d: %s", os.getpid(), error)
    except BaseException:
        log.exception("worker process %d failed", os.getpid())
    finally:
        logging.shutdown()
        os._exit(code)


def _exit_with(supervisor: int) -> None:
    """Has the kernel send this worker SIGTERM when the supervisor dies, so no worker is left
    serving without anyone to replace its peers or stop it."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG) failed")
    if os.getppid() != supervisor:  # it died before the line above
        os._exit(1)


def _signal(pid: int, number: int) -> None:
    try:
        os.kill(pid, number)
    except ProcessLookupError:
        pass  # ended already, not yet reaped


def _ending(status: int) -> str:
    code = os.waitstatus_to_exitcode(status)
    return f"was killed by {signal.Signals(-code).name}" if code < 0 else f"exited with status {code}"
