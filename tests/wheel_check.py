"""Installs the repaired wheel from wheelhouse/ into a fresh virtualenv of every CPython 3.9+ on
this machine and runs the test suite against it, from a copy of the tests outside the source
tree so that only the installed module can be imported. Where the mount namespace allows it,
the system's own ICU and libcrypto are hidden from the loader for the run; in any case
a probe reads /proc/self/maps to show that the copies inside the wheel are the ones loaded.

Then, in one more fresh virtualenv, runs the README's install lines as they are written (the
base install, then each extra), checks what the base install does without the extras (a scan in
this process; every command that needs an extra prints that extra's line) and imports what each
extra brings.

Usage: python tests/wheel_check.py [--install-lines]   (make test-wheel builds the wheel first;
--install-lines runs only the last part)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from abi3_check import candidates

ROOT = Path(__file__).resolve().parent.parent
VENVS = ROOT / "build" / "wheel-venvs"
VENDORED = re.compile(r"lib(icu\w+|crypto|zstd)[-.]")
# The Debian package whose license texts must ship with each vendored library.
LICENSED_AS = {"libicu": "libicu", "libcrypto": "libssl", "libzstd": "libzstd"}

# Run inside each venv: the module must come from the venv, and every vendored library mapped
# into the process from quelvane.libs beside it; the hidden system copies must not load.
PROBE = r"""
import ctypes, os, re, sys, sysconfig
import quelvane
quelvane.content_hash("probe")
site = os.path.realpath(sysconfig.get_paths()["platlib"])
assert os.path.realpath(quelvane.__file__).startswith(site + os.sep), quelvane.__file__
assert os.path.exists(os.path.join(site, "quelvane.pyi")), "stub not installed beside the module"
libs = os.path.join(site, "quelvane.libs") + os.sep
vendored = re.compile(sys.argv[1])
mapped = sorted({line.split()[-1] for line in open("/proc/self/maps")
                 if "/" in line and vendored.search(os.path.basename(line.split()[-1]))})
stray = [path for path in mapped if not path.startswith(libs)]
assert mapped and not stray, ("system copies loaded", stray)
for soname in sys.argv[2:]:
    try:
        ctypes.CDLL(soname)
    except OSError:
        continue
    raise AssertionError(soname + " is still loadable: hiding did not work")
print("  loaded from the wheel:", ", ".join(os.path.basename(path) for path in mapped))
"""


HOST_ARTICLE = " ".join(
    "The river authority voted on Tuesday to reopen the old ferry crossing at Hollins Reach, closed since the "
    "flood of the spring before last. Engineers had argued for a new bridge upstream, but the cost, nearly four "
    "times the ferry's, decided the matter within an hour of debate. Residents on the eastern bank have spent two "
    "winters driving forty minutes around the estuary to reach the clinic.".split())


def wheel():
    found = sorted((ROOT / "wheelhouse").glob("quelvane-*-abi3-manylinux*.whl"))
    if not found:
        sys.exit("no repaired wheel in wheelhouse/; run make wheel first")
    return found[-1]


def check_contents(path):
    """The stubs are in the wheel, and the license texts of every library vendored into it."""
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
    for stub in ("quelvane.pyi", "quelvane-stubs/__init__.pyi"):
        assert stub in names, f"{stub} missing from the wheel"
    licensed = {name.split("/")[2] for name in names if re.match(r"[^/]+\.dist-info/licenses/[^/]+/", name)}
    for library in (name.split("/")[1] for name in names if name.startswith("quelvane.libs/") and name[-1] != "/"):
        prefix = next((p for lib, p in LICENSED_AS.items() if library.startswith(lib)), None)
        assert prefix is not None, f"{library} is vendored but was never expected to be"
        assert any(package.startswith(prefix) for package in licensed), f"no license texts for {library}"
        print(f"  {library}: licenses under {[p for p in licensed if p.startswith(prefix)]}")


def interpreters():
    found = candidates()
    if not found:
        python3 = shutil.which("python3")
        return {"default": python3} if python3 else {}
    return {"%d.%d" % version: python for version, python in sorted(found.items())}


def system_copies():
    """Real paths and sonames of the system's ICU and libcrypto known to the loader."""
    out = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True).stdout
    paths, sonames = set(), set()
    for line in out.splitlines():
        match = re.match(r"\s*(\S+) \(.*x86-64.*\) => (\S+)", line)
        if match and VENDORED.search(match.group(1)):
            sonames.add(match.group(1))
            paths.add(os.path.realpath(match.group(2)))
    return sorted(paths), sorted(sonames)


def hiding_prefix(paths):
    """A command prefix that runs its command in a private mount namespace where each path is
    covered by /dev/null, so the loader cannot map it; empty if this machine does not allow it."""
    if os.geteuid() != 0 or not shutil.which("unshare") or not paths:
        return []
    script = 'for f in $QV_HIDE; do mount --bind /dev/null "$f"; done; exec "$@"'
    prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-ec", script, "hide"]
    ok = subprocess.run(prefix + ["true"], env=dict(os.environ, QV_HIDE=" ".join(paths)),
                        capture_output=True).returncode == 0
    return prefix if ok else []


def fresh_venv(name, python, requirements):
    venv = VENVS / name
    shutil.rmtree(venv, ignore_errors=True)
    # Without a pip of its own when our pip can install into it, which is twice as fast as
    # bootstrapping one; otherwise (our pip no longer runs on that Python) with its bundled pip.
    subprocess.run([python, "-m", "venv", "--without-pip", str(venv)], check=True)
    venv_python = venv / "bin" / "python"
    pip = [sys.executable, "-m", "pip", "--python", str(venv_python)]
    if subprocess.run(pip + ["--version"], capture_output=True).returncode != 0:
        subprocess.run([python, "-m", "venv", "--clear", str(venv)], check=True)
        pip = [str(venv_python), "-m", "pip", "--disable-pip-version-check"]
    subprocess.run(pip + ["install", "-q", str(wheel()), "-r", str(requirements)], check=True)
    return venv_python


def copy_tests(destination):
    ignore = shutil.ignore_patterns("__pycache__", "cpp", ".hypothesis")
    for folder in ("tests", "examples"):
        shutil.copytree(ROOT / folder, destination / folder, ignore=ignore)


def host_round_trip(prefix, bin_dir, folder, env):
    """quelvane init, publish and identify through the wheel's console script."""
    folder.mkdir()
    (folder / "article.txt").write_text(HOST_ARTICLE, encoding="utf-8")
    quelvane = prefix + [str(bin_dir / "quelvane")]
    for command in (["init"], ["publish", "article.txt"]):
        subprocess.run(quelvane + command, cwd=folder, env=env, check=True, stdout=subprocess.DEVNULL)
    found = subprocess.run(quelvane + ["identify", "article.published.txt", "--json"], cwd=folder, env=env,
                           check=True, capture_output=True, text=True).stdout
    assert '"watermark": true' in found and '"tier": "BOUND"' in found, found
    print("  quelvane init, publish, identify: the copy is found by its watermark, BOUND")


README = ROOT / "README.md"
INSTALL_LINE = re.compile(r"^    (pip install --find-links wheelhouse (?:quelvane|'quelvane\[(\w+)\]'))$", re.M)
# What each extra must make importable: its libraries and the parts of the host that need them.
EXTRA_BRINGS = {
    "server": ["fastapi", "uvicorn", "jinja2", "cbor2", "quelvane_host.web.app"],
    "dask": ["distributed", "numpy", "scipy", "pyarrow", "quelvane_host.dedup"],
    "postgres": ["psycopg", "quelvane_host.storage.postgres"],
    "c2pa": ["c2pa", "cryptography", "cbor2", "quelvane_host.manifests", "quelvane_host.signing_identity"],
    "icu": ["icu", "quelvane_host.wordbreak"],
}


def readme_install_lines():
    """{extra or None: line} from the README's Install section; every pip line elsewhere in the
    README must be one of them."""
    text = README.read_text(encoding="utf-8")
    section = text[text.index("\n## Install\n"):]
    section = section[:section.index("\n## ", 5)]
    lines = {extra or None: line for line, extra in INSTALL_LINE.findall(section)}
    assert set(lines) == {None, *EXTRA_BRINGS}, lines
    stray = set(re.findall(r"pip install[^`\n]*", text)) - set(lines.values())
    assert not stray, f"README install lines that are not in its Install section: {stray}"
    return lines


def install_lines_check(python, folder, env):
    """The README's lines in a fresh virtualenv with a pip of its own, run by the shell from the
    source tree (where wheelhouse/ is), as a reader would."""
    lines = readme_install_lines()
    venv = VENVS / "install-lines"
    shutil.rmtree(venv, ignore_errors=True)
    subprocess.run([python, "-m", "venv", str(venv)], check=True)
    folder.mkdir()
    bin_dir = venv / "bin"
    env = dict(env, PATH=f"{bin_dir}{os.pathsep}{env['PATH']}", VIRTUAL_ENV=str(venv))
    # The line exactly as written; pip's chatter is quieted through its environment.
    shell = lambda line: subprocess.run(["bash", "-c", line], cwd=ROOT, check=True,
                                        env=dict(env, PIP_QUIET="1", PIP_DISABLE_PIP_VERSION_CHECK="1"))
    run = lambda *command, **options: subprocess.run([str(c) for c in command], cwd=folder, env=env,
                                                     capture_output=True, text=True, **options)
    shell(lines[None])
    printed = run(bin_dir / "python", "-c", "from quelvane_host.extras import EXTRAS, install_line; "
                  "print('\\n'.join(install_line(e) for e in (None, *EXTRAS)))", check=True).stdout.split("\n")
    assert printed[:1 + len(EXTRA_BRINGS)] == [lines[None], *(lines[extra] for extra in EXTRA_BRINGS)], printed
    print(f"  {lines[None]}: installed; the lines the commands print are the README's")
    base_install_check(bin_dir, folder, lines, run)
    for extra, modules in EXTRA_BRINGS.items():
        shell(lines[extra])
        run(bin_dir / "python", "-c", "import " + ", ".join(modules), check=True)
        print(f"  {lines[extra]}: {', '.join(modules)} import")
    deduplicated = run(bin_dir / "quelvane", "dedup", "crawl.jsonl", "--output", "clusters")
    assert deduplicated.returncode == 0, deduplicated.stderr
    print("  quelvane dedup runs once quelvane[dask] is installed")
    manifest_check(bin_dir, folder / "signed", env)


def manifest_check(bin_dir, folder, env):
    """With quelvane[c2pa]: init makes a signing identity, publish writes the .c2pa beside the
    document, and the README's snippet, run with the SDK alone, reads the pair as Trusted."""
    folder.mkdir()
    (folder / "article.txt").write_text(HOST_ARTICLE, encoding="utf-8")
    for command in (["init"], ["publish", "article.txt"]):
        subprocess.run([str(bin_dir / "quelvane"), *command], cwd=folder, env=env, check=True, capture_output=True)
    text = README.read_text(encoding="utf-8")
    snippet = re.search(r"\*\*Checking a published text with its `\.c2pa`\.\*\*.*?```python\n(.*?)```", text, re.S)[1]
    read = subprocess.run([str(bin_dir / "python"), "-c", snippet], cwd=folder, env=env, capture_output=True,
                          text=True, check=True)
    assert read.stdout.splitlines()[0] == "Trusted", read.stdout + read.stderr
    print("  with quelvane[c2pa]: the published text and its .c2pa read Trusted with the SDK alone")


def base_install_check(bin_dir, folder, lines, run):
    """Without any extra: a scan in this process writing JSON Lines works, keeping the corpus's
    ids, and the commands that need an extra refuse with that extra's line."""
    import json

    (folder / "article.txt").write_text(HOST_ARTICLE, encoding="utf-8")
    quelvane = bin_dir / "quelvane"
    for command in (["init"], ["publish", "article.txt"]):
        run(quelvane, *command, check=True)
    copy = (folder / "article.published.txt").read_text(encoding="utf-8")
    (folder / "crawl.jsonl").write_text(json.dumps({"url": "https://example.org/copy", "text": copy}) + "\n",
                                        encoding="utf-8")
    run(bin_dir / "python", "-c", "import importlib.util, quelvane_host.scan; "
        "assert importlib.util.find_spec('numpy') is None", check=True)
    scanned = run(quelvane, "scan", "crawl.jsonl", "--output", "scan", "--format", "jsonl", "--id-field", "url")
    assert scanned.returncode == 0, scanned.stderr
    assert '"document": "https://example.org/copy"' in (folder / "scan/matches/part-00000.jsonl").read_text()
    print("  without extras: import quelvane_host.scan, and a scan in this process finds the copy")
    for extra, command in (("dask", ["dedup", "crawl.jsonl", "--output", "clusters"]),
                           ("dask", ["scan", "crawl.jsonl", "--output", "scan"]),
                           ("server", ["serve", "--port", "1"]),
                           ("postgres", ["list", "--registry", "postgresql://nobody@localhost/none"])):
        refused = run(quelvane, *command)
        assert refused.returncode == 3 and lines[extra] in refused.stderr, (command, refused.stderr)
        print(f"  quelvane {command[0]} without quelvane[{extra}]: {refused.stderr.strip()}")


def main():
    if sys.argv[1:] == ["--install-lines"]:
        with tempfile.TemporaryDirectory(prefix="quelvane-wheel-") as scratch:
            install_lines_check(interpreters()[newest(interpreters())], Path(scratch) / "install-lines", clean_env())
        return
    pythons = interpreters()
    if not pythons:
        sys.exit("no CPython 3.9+ found")
    paths, sonames = system_copies()
    prefix = hiding_prefix(paths)
    env = dict(os.environ, QV_HIDE=" ".join(paths))
    env.pop("PYTHONPATH", None)
    print(f"wheel check: {wheel().name}")
    check_contents(wheel())
    print("  system copies hidden from the loader: " + (", ".join(paths) if prefix else
          "no (needs root and a private mount namespace); relying on the /proc/self/maps probe"))
    with tempfile.TemporaryDirectory(prefix="quelvane-wheel-") as scratch:
        scratch = Path(scratch)
        copy_tests(scratch)
        for name, python in pythons.items():
            started = time.monotonic()
            print(f"wheel check: CPython {name} ({python})", flush=True)
            venv_python = str(fresh_venv(name, python, ROOT / "requirements-test.txt"))
            hidden = prefix + [venv_python]
            subprocess.run(hidden + ["-c", PROBE, VENDORED.pattern] + (sonames if prefix else []),
                           cwd=scratch, env=env, check=True)
            # The host's own suite needs a browser, a database server and a cluster; it runs once,
            # natively. Here the wheel's command line shows that the host installed and runs.
            subprocess.run(hidden + ["-m", "pytest", "-q", "-p", "no:cacheprovider", "tests",
                                     "--ignore=tests/host", "--ignore=tests/scale"],
                           cwd=scratch, env=env, check=True)
            host_round_trip(prefix, Path(venv_python).parent, scratch / name, env)
            print(f"  CPython {name}: {time.monotonic() - started:.0f} s", flush=True)
        print(f"wheel check: the README's install lines, CPython {newest(pythons)}", flush=True)
        install_lines_check(pythons[newest(pythons)], scratch / "install-lines", clean_env())


def newest(pythons):
    """The name of the newest of `interpreters()`."""
    return max(pythons, key=lambda name: tuple(map(int, name.split("."))) if name[0].isdigit() else ())


def clean_env():
    """This environment without what would let the host's sources or the system's loader in."""
    env = dict(os.environ)
    for name in ("PYTHONPATH", "VIRTUAL_ENV", "QV_HIDE"):
        env.pop(name, None)
    return env


if __name__ == "__main__":
    main()
