"""Runs every libFuzzer harness of a fuzzing build for a bounded time and fails on any finding.

Usage: run_fuzzers.py BUILD_DIR SECONDS_PER_HARNESS

Each harness starts from its committed seeds in tests/fuzz/corpus/<harness>/ plus whatever it
found in earlier runs of the same build directory (BUILD_DIR/corpus/<harness>/, where new inputs
go; the committed seeds are never written). A crash, a sanitizer report, a broken property, a
leak, a timeout or running out of memory stops the harness, leaves the input in
BUILD_DIR/artifacts/ and makes the run fail. The table at the end gives each harness's
executions."""
import os
import pathlib
import re
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
SEEDS = HERE / "corpus"
SUPPRESSIONS = HERE.parent / "lsan.supp"

# Per input: seconds before it counts as a hang, and memory before it counts as unbounded.
TIMEOUT_SECONDS = 10
RSS_LIMIT_MB = 2048
# Inputs as long as the largest seeds (a watermarked text is about 2 KB) and a little more.
MAX_LEN = 8192


def run(harness, build, seconds):
    name = harness.name
    work = build / "corpus" / name
    artifacts = build / "artifacts" / name
    work.mkdir(parents=True, exist_ok=True)
    artifacts.mkdir(parents=True, exist_ok=True)
    command = [
        str(harness),
        f"-max_total_time={seconds}",
        f"-timeout={TIMEOUT_SECONDS}",
        f"-rss_limit_mb={RSS_LIMIT_MB}",
        f"-max_len={MAX_LEN}",
        "-print_final_stats=1",
        f"-artifact_prefix={artifacts}/",
        str(work),
    ]
    seeds = SEEDS / name
    if seeds.is_dir():
        command.append(str(seeds))
    env = dict(
        os.environ,
        ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
        LSAN_OPTIONS=f"suppressions={SUPPRESSIONS}",
    )
    log = build / f"{name}.log"
    started = time.monotonic()
    with open(log, "w") as out:
        status = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, env=env).returncode
    elapsed = time.monotonic() - started
    text = log.read_text(errors="replace")
    executions = re.findall(r"stat::number_of_executed_units:\s*(\d+)", text)
    corpus = re.findall(r"cov: \d+ ft: \d+ corp: (\d+)", text)
    return {
        "name": name,
        "status": status,
        "executions": int(executions[-1]) if executions else 0,
        "corpus": int(corpus[-1]) if corpus else 0,
        "seconds": elapsed,
        "log": log,
        "text": text,
    }


def main(build, seconds):
    build = pathlib.Path(build).resolve()
    harnesses = sorted(p for p in build.glob("fuzz_*") if p.is_file() and os.access(p, os.X_OK))
    if not harnesses:
        print(f"no harnesses in {build}")
        return 1
    results = []
    for harness in harnesses:
        result = run(harness, build, seconds)
        results.append(result)
        if result["status"] != 0:
            print(result["text"][-6000:])
            print(f"{result['name']}: FAILED (exit {result['status']}), log in {result['log']}")
    print(f"{'harness':<20} {'executions':>12} {'per second':>11} {'corpus':>7}  result")
    for r in results:
        rate = r["executions"] / r["seconds"] if r["seconds"] else 0
        verdict = "ok" if r["status"] == 0 else "FINDING"
        print(f"{r['name']:<20} {r['executions']:>12} {rate:>11.0f} {r['corpus']:>7}  {verdict}")
    failed = [r["name"] for r in results if r["status"] != 0]
    print(f"fuzzing: {len(results) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], int(sys.argv[2])))
