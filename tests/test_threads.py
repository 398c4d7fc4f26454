"""Threads: eight threads calling every function on the same input objects get exactly what
serial calls get, failures and their messages included; several threads importing the module
for the first time at once get one module object."""
import random
import subprocess
import sys
import textwrap
import threading
import time


import quelvane
import samples

THREADS = 8
ROUNDS = 10 if samples.under_sanitizer() else 50


def describe(outcome):
    if isinstance(outcome, BaseException):
        return ("raised", type(outcome), str(outcome))
    return ("returned", outcome)


def run_in_threads(work):
    """Runs work(index) in THREADS threads released together, switching between them often."""
    barrier = threading.Barrier(THREADS)
    failures = []

    def worker(index):
        barrier.wait()
        try:
            work(index)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures[0]


def test_threads_get_what_serial_calls_get():
    calls = samples.all_calls()
    expected = [describe(samples.outcome(c)) for c in calls]
    mismatches = []

    def work(index):
        order = list(range(len(calls))) * ROUNDS
        random.Random(index).shuffle(order)
        for i in order:
            got = describe(samples.outcome(calls[i]))
            if got != expected[i]:
                mismatches.append((str(calls[i]), got, expected[i]))

    run_in_threads(work)
    assert not mismatches, mismatches[:3]


class Yielding:
    """A NumPy-like boolean whose conversion sleeps, handing the interpreter lock to the other
    threads in the middle of a call."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        time.sleep(0)
        return self.value


Yielding.__module__ = "numpy"
Yielding.__qualname__ = "bool_"


def test_calls_interrupted_mid_way_by_other_threads():
    calls = [c for c in samples.all_calls() if c.name == "verify_tier" and c.error is None]
    expected = [c() for c in calls]
    mismatches = []

    def work(index):
        for _ in range(ROUNDS):
            for call, tier in zip(calls, expected):
                flags = {k: Yielding(v) for k, v in call.kwargs.items() if k in samples.FLAGS}
                got = quelvane.verify_tier(**dict(call.kwargs, **flags))
                if got != tier:
                    mismatches.append((str(call), got, tier))

    run_in_threads(work)
    assert not mismatches, mismatches[:3]


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_first_import_from_many_threads_makes_one_module():
    out = run_python(
        f"""
        import sys, threading
        assert "quelvane" not in sys.modules
        barrier = threading.Barrier({THREADS})
        modules = []

        def load():
            barrier.wait()
            import quelvane
            modules.append(quelvane)

        threads = [threading.Thread(target=load) for _ in range({THREADS})]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(modules) == {THREADS}, modules
        assert len({{id(m) for m in modules}}) == 1
        first = modules[0]
        assert first.content_hash("") == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"

        # Imported again from many threads after leaving sys.modules: still the cached module.
        del sys.modules["quelvane"]
        modules.clear()
        barrier.reset()
        threads = [threading.Thread(target=load) for _ in range({THREADS})]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert all(m is first for m in modules) and len(modules) == {THREADS}
        print(len(first.__all__))
        """
    )
    assert int(out) == len(quelvane.__all__)
