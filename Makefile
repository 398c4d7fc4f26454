# make demo: set everything up and run the publish-and-verify round trip on a sample text.
# make test: set everything up and run every test: pytest (natively, against an ASan/UBSan build
# and from the wheel under each CPython 3.9+), the C++ unit tests, the abi3, type and interop
# checks, and the libFuzzer harnesses for a bounded time. The native pytest run includes the
# host's suite: real SQLite files, a headless Chromium, a throw-away PostgreSQL server and a
# two-worker Dask cluster, which the test fixtures start and stop.
# Both work from a clean clone on Debian 12 or 13, as root or with sudo.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := g++ make pkg-config libssl-dev libicu-dev libgtest-dev python3 python3-venv python3-dev \
  clang libclang-rt-dev ca-certificates chromium chromium-driver postgresql
JOBS ?= 2
# CMake looks for the build program on the PATH, where a fresh machine has none: use the venv's.
CMAKE_NINJA = -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: all deps venv build demo test test-python test-cpp test-abi3 test-sanitize test-fuzz wheel test-wheel typecheck \
  test-interop corpus bench clean

all: build

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: requirements-dev.txt requirements-test.txt requirements-test-host.txt
	$(MAKE) deps
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

build: venv
	$(PY) -m pip install -q --no-build-isolation --no-deps .

demo: build
	$(PY) examples/demo.py

test: test-cpp test-python test-abi3 test-sanitize typecheck test-interop test-wheel test-fuzz

# The host's suite runs in a process of its own: the servers, browsers and clusters it starts
# leave threads behind that would disturb the module's reference-count checks.
MODULE_TESTS := tests --ignore=tests/host --ignore=tests/scale
HOST_TESTS := tests/host tests/scale

test-python: build
	$(PY) -m pytest -q $(MODULE_TESTS)
	$(PY) -m pytest -q $(HOST_TESTS)

test-cpp: venv
	$(VENV)/bin/cmake -S . -B build/cpp $(CMAKE_NINJA) -DQUELVANE_MODULE=OFF -DQUELVANE_CPP_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build build/cpp -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure

# One abi3 build serves every CPython from 3.9 on: import the installed .so under the oldest
# and the newest other interpreters found and run the boundary tests there.
test-abi3: build
	$(PY) tests/abi3_check.py

# The whole pytest suite against a build with AddressSanitizer (leak detection on) and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented, so the runtime is preloaded.
# Every C++ allocation of ours goes through malloc, where ASan sees it; Python objects stay on
# Python's allocator (their reference leaks are the leak tests' business). Reports go to log
# files that tests/sanitizer_report.py judges: an error, or a leak that our code allocated, fails.
ASAN_BUILD := build/asan
test-sanitize: venv
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) $(CMAKE_NINJA) -DQUELVANE_SANITIZE=address,undefined \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS) --target quelvane
	rm -rf $(ASAN_BUILD)/logs && mkdir -p $(ASAN_BUILD)/logs
	status=0; for suite in "$(MODULE_TESTS)" "$(HOST_TESTS)"; do \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so)" \
	  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:log_path=$(abspath $(ASAN_BUILD))/logs/log \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath $(ASAN_BUILD))/logs/log \
	  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):exitcode=0 PYTHONPATH=$(abspath $(ASAN_BUILD)) \
	  $(PY) -m pytest -q -p no:cacheprovider -x $$suite || status=1; done; \
	  $(PY) tests/sanitizer_report.py $(ASAN_BUILD)/logs && exit $$status

# libFuzzer harnesses (tests/fuzz/fuzz_*.cc) over the core built with clang, ASan and UBSan,
# each run for FUZZ_SECONDS from its committed seeds; any crash, sanitizer report, broken
# property, leak, hang or runaway allocation fails. Findings are left in $(FUZZ_BUILD)/artifacts.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 45
test-fuzz: deps venv
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) $(CMAKE_NINJA) -DCMAKE_CXX_COMPILER=clang++ -DQUELVANE_FUZZERS=ON \
	  -DQUELVANE_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j $(JOBS)
	$(PY) tests/fuzz/run_fuzzers.py $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The tools of the packaging targets below stay out of the default test set-up.
$(VENV)/.packaging: $(VENV)/.ready requirements-packaging.txt
	$(PY) -m pip install -q -r requirements-packaging.txt
	touch $@

# The installable wheel in wheelhouse/: abi3, repaired so that ICU and libcrypto travel
# inside it with their license texts, and audited for the stable ABI.
wheel: $(VENV)/.packaging
	$(PY) tools/build_wheel.py

# That wheel installed into a fresh virtualenv of every CPython 3.9+ on the machine, the system's
# own copies of the vendored libraries hidden from the loader, running the test suite.
test-wheel: wheel
	$(PY) tests/wheel_check.py

# The installed stub against the runtime module; the examples and the host package under mypy --strict.
typecheck: build $(VENV)/.packaging
	$(PY) -m mypy.stubtest quelvane
	$(PY) -m mypy --strict examples/demo.py examples/round_trip.py examples/near_duplicates.py
	$(PY) -m mypy --strict host/quelvane_host

# A manifest made and read back by the C2PA SDK carries our soft-binding assertion unchanged.
test-interop: build $(VENV)/.packaging
	$(PY) -m pytest -q tests/test_c2pa_interop.py

clean:
	rm -rf build dist wheelhouse $(VENV) .venv-abi3-*

# Real prose for the benches (bench/corpus.py): Debian's documentation packages, downloaded and
# unpacked under build/corpus (not installed), made into 1 MB and 10 MB texts per language.
corpus: venv
	@apt-cache show python3-doc >/dev/null 2>&1 || $(SUDO) apt-get update -qq
	$(PY) bench/corpus.py

# The performance table on real prose (bench/report.py; BENCH_ARGS=--readme writes it into the
# README), then the detailed bench scripts, each printing medians and ratios against its peers
# and floors.
bench: build corpus
	$(PY) -m pip install -q -r requirements-bench.txt
	$(PY) bench/report.py $(BENCH_ARGS)
	for script in bench/bench_*.py; do echo "== $$script"; $(PY) $$script || exit 1; done
