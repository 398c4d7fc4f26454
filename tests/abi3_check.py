"""Runs the boundary tests under the oldest and the newest other CPython on this machine,
against the one abi3 binary installed in .venv. A limited-API call that exists only in newer
versions makes the import fail on the oldest one."""
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BOUNDARY_TESTS = ["tests/test_python.py", "tests/test_normalize.py"]


def version_of(python):
    out = subprocess.run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return tuple(int(x) for x in out.stdout.strip().split("."))


def candidates():
    found = {}
    patterns = [os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"), "/usr/bin/python3.*", "/usr/local/bin/python3.*"]
    for pattern in patterns:
        for python in sorted(glob.glob(pattern)):
            if not re.search(r"python3(\.\d+)?$", python):
                continue
            version = version_of(python)
            if version and version >= (3, 9) and version not in found:
                found[version] = python
    return found


def main():
    module = next(Path(sysconfig.get_paths()["platlib"]).glob("quelvane*.so"), None)
    if module is None:
        sys.exit("quelvane is not installed in this environment; run make build first")
    here = sys.version_info[:2]
    found = {v: p for v, p in candidates().items() if v != here}
    if not found:
        print(f"abi3 check: skipped: no CPython 3.9+ besides this {here[0]}.{here[1]} in ~/.pyenv/versions, "
              "/usr/bin or /usr/local/bin (Debian ships one); install another, with pyenv for one, to run it")
        return
    chosen = sorted({min(found), max(found)})
    staging = ROOT / "build" / "abi3"
    shutil.rmtree(staging, ignore_errors=True)
    staging.mkdir(parents=True)
    shutil.copy(module, staging / module.name)
    for version in chosen:
        name = "%d.%d" % version
        venv = ROOT / (".venv-abi3-" + name)
        python = venv / "bin" / "python"
        if not python.exists():
            subprocess.run([found[version], "-m", "venv", str(venv)], check=True)
            subprocess.run([str(python), "-m", "pip", "install", "-q", "pytest", "hypothesis", "regex"], check=True)
        print(f"abi3 check: CPython {name} ({found[version]})", flush=True)
        env = dict(os.environ, PYTHONPATH=str(staging))
        subprocess.run([str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", *BOUNDARY_TESTS],
                       cwd=ROOT, env=env, check=True)


if __name__ == "__main__":
    main()
