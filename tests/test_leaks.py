"""Reference and memory leaks: every sample call of every function (successes and each way it
fails) repeated thousands of times, after which memory must be where it was.

- Python objects: sys.getallocatedblocks(), the blocks held from Python's allocator, returns to
  its level (a leaked reference keeps at least one block per call).
- Native memory: the bytes in use on the C heap (glibc's mallinfo2), exact to the byte, return
  to their level. Under AddressSanitizer its allocator replaces glibc's; LeakSanitizer judges
  native leaks in that run instead.
- References: the arguments' reference counts and those of None, True and False are unchanged;
  a result is referenced by the caller alone; on debug builds of the interpreter the total
  reference count returns to its level.
"""
import ctypes
import gc
import sys
import tracemalloc

import pytest

import samples

CALLS = samples.all_calls()
WARM_UP = 200
ROUNDS = 300 if samples.under_sanitizer() else 4000
# Slack for what the interpreter itself may allocate once in a while (a cache entry, a resized
# dict); a leak of one block or one small native allocation per call is ROUNDS blocks or at
# least 32 * ROUNDS bytes.
BLOCK_SLACK = 50 + ROUNDS // 20
HEAP_SLACK = 4 * ROUNDS


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


LIBC = ctypes.CDLL(None)
if hasattr(LIBC, "mallinfo2"):
    LIBC.mallinfo2.restype = MallInfo2


def native_heap():
    """Bytes the C heap has handed out and not taken back, or None where that cannot be read."""
    if samples.under_sanitizer() or not hasattr(LIBC, "mallinfo2"):
        return None
    info = LIBC.mallinfo2()
    return info.uordblks + info.hblkhd


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:  # noqa: BLE001 - the failing calls are meant to fail
            pass


def growth_report(call):
    """Where Python memory grows over further calls, for the failure message."""
    tracemalloc.start(5)
    before = tracemalloc.take_snapshot()
    repeat(call, ROUNDS // 4)
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    return "\n".join(str(stat) for stat in after.compare_to(before, "traceback")[:5])


SINGLETONS = [None, True, False]
# The interpreter's own use of the singletons moves their counts by a few now and then.
SINGLETON_SLACK = 16


def arguments(call):
    return list(call.args) + list(call.kwargs.keys()) + list(call.kwargs.values())


def test_samples_cover_every_function():
    for name in samples.present_functions():
        outcomes = [c.error for c in CALLS if c.name == name]
        assert None in outcomes, f"{name} has no sample call that succeeds"
        assert TypeError in outcomes, f"{name} has no sample call that fails in binding"
        if any(p.endswith("_hex") or p in ("a", "b") for p in samples.parameters(name)):
            assert ValueError in outcomes, f"{name} has no sample call with bad hex or an operation error"


@pytest.mark.parametrize("call", CALLS, ids=str)
def test_memory_settles(call):
    samples.check_outcome(call, samples.outcome(call))
    repeat(call, WARM_UP)
    gc.collect()
    watched = arguments(call)
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    blocks = sys.getallocatedblocks()
    heap = native_heap()
    singletons = [sys.getrefcount(o) for o in SINGLETONS]
    counts = [sys.getrefcount(o) for o in watched]

    repeat(call, ROUNDS)
    gc.collect()

    assert [sys.getrefcount(o) for o in watched] == counts
    for single, before in zip(SINGLETONS, singletons):
        assert abs(sys.getrefcount(single) - before) < SINGLETON_SLACK, f"{call}: references to {single} leak"
    heap_growth = native_heap() - heap if heap is not None else 0
    block_growth = sys.getallocatedblocks() - blocks
    if total is not None:
        assert sys.gettotalrefcount() - total < BLOCK_SLACK
    assert heap_growth < HEAP_SLACK, f"{call}: the C heap grew by {heap_growth} bytes over {ROUNDS} calls"
    assert block_growth < BLOCK_SLACK, (
        f"{call}: {block_growth} more Python blocks after {ROUNDS} calls\n{growth_report(call)}"
    )


def shared(value):
    """Whether the interpreter keeps `value` for everyone (small ints, booleans, short strings)."""
    return (value is None or isinstance(value, bool) or (isinstance(value, int) and -5 <= value <= 256)
            or (isinstance(value, str) and len(value) <= 1))


@pytest.mark.parametrize("call", [c for c in CALLS if c.error is None], ids=str)
def test_results_belong_to_the_caller(call):
    result = call()
    # A result is held by `result` and getrefcount's argument; its items also by their container.
    if not shared(result):
        assert sys.getrefcount(result) == 2
    if isinstance(result, (tuple, list)):
        for item in result:
            if not shared(item):
                assert sys.getrefcount(item) == 3, (call, item)
