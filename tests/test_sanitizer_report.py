"""Which LeakSanitizer reports the sanitizer run holds against us, in a clone whose folder (and so
every path of its virtualenv) is named quelvane."""
from pathlib import Path

import pytest

from sanitizer_report import judge

ROOT = Path("/home/ann/quelvane")
SITE = f"{ROOT}/.venv/lib/python3.13/site-packages"
HEADER = "=================================================================\n==4242==ERROR: LeakSanitizer: detected memory leaks\n\n"


def leak(*frames, kind="Direct"):
    lines = [f"    #{i} 0x7f3a5c{i:06x} {frame}" for i, frame in enumerate(frames)]
    return f"{kind} leak of 48 byte(s) in 1 object(s) allocated from:\n" + "\n".join(lines) + "\n"


MALLOC = "in malloc (/usr/lib/gcc/x86_64-linux-gnu/14/libasan.so+0xf3a1f)"
INTERPRETER = "in PyObject_Malloc /usr/src/python3.13/Objects/obmalloc.c:801"
BUILD_ID = "(BuildId: 7e8d5f6d0cd6cd1e9bff2a775c11d398cecca758)"
NEW_STR = f"in new_str {ROOT}/src/python.cc:46"

CASES = {
    "cryptography's own extension under a folder named quelvane": (
        leak(MALLOC, "(/home/ann/quelvane/.venv/lib/python3.13/site-packages/cryptography/hazmat/bindings/_rust.abi3.so+0x3a1b2c)",
             INTERPRETER), False),
    "a symbolised frame of another package's source under the clone": (
        leak(MALLOC, f"in ossl_init {SITE}/cffi/src/quelvane_like.c:12:3", INTERPRETER), False),
    "the interpreter alone": (leak(MALLOC, INTERPRETER, kind="Indirect"), False),
    "a long str we returned, which a Python object still holds": (
        leak(MALLOC, f"(/usr/bin/python3.13+0x533e36) {BUILD_ID}", NEW_STR, "in call /x/src/python.cc:310"), False),
    "the same through pyenv's shared libpython": (
        leak(MALLOC, "in PyUnicode_New (/root/.pyenv/versions/3.9.18/lib/libpython3.9.so.1.0+0x10c2a1)", NEW_STR), False),
    "our module, unsymbolised": (
        leak(MALLOC, "(/home/ann/quelvane/build/asan/quelvane.abi3.so+0x1c2d3)", INTERPRETER), True),
    "our module installed in a virtualenv elsewhere": (
        leak(MALLOC, f"(/opt/env/lib/python3.13/site-packages/quelvane.abi3.so+0x1c2d3) {BUILD_ID}"), True),
    "our source file, symbolised": (
        leak(MALLOC, "in operator new(unsigned long) /usr/src/gcc/libsanitizer/asan/asan_new_delete.cpp:95",
             f"in quelvane::minhash(std::u32string_view) {ROOT}/src/minhash.cc:88:17", INTERPRETER), True),
    "OpenSSL allocating for our code": (
        leak(MALLOC, f"in CRYPTO_zalloc (/lib/x86_64-linux-gnu/libcrypto.so.3+0x1a2b3c) {BUILD_ID}",
             f"in quelvane::internal::sign {ROOT}/src/internal/crypto.cc:120:9", INTERPRETER), True),
}


@pytest.mark.parametrize("report, expected", CASES.values(), ids=CASES.keys())
def test_a_leak_is_ours_by_object_file_or_source_file(report, expected):
    errors, ours, other = judge([HEADER + report], ROOT)
    assert (errors, len(ours), other) == ([], int(expected), int(not expected))


def test_every_leak_block_of_a_log_is_judged_and_errors_always_count():
    reports = [case for case, _ in CASES.values()]
    log = HEADER + "\n".join(reports) + "\nSUMMARY: AddressSanitizer: 288 byte(s) leaked in 6 allocation(s).\n"
    error = "==4243==ERROR: AddressSanitizer: heap-use-after-free on address 0x602000000010\n"
    errors, ours, other = judge([log, error], ROOT)
    assert (errors, len(ours), other) == ([error], 4, 5)
