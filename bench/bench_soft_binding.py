"""verify_tier and soft_binding_fingerprint against the fingerprint each one must compute.

verify_tier recomputes the one fingerprint its assertion names, so on a 100 KB text its floor
is text_fingerprint (id 41), text_structure (id 43) or minhash_signature (id 44) on the same
text. The assertion is the builder's output for that text: for id 41 the whole-text block and
one block per window (about 400), every one of which is decoded.

soft_binding_fingerprint also fingerprints every 512-character window, which no Python
function does alone. The windows' share (Fingerprint::compute less Fingerprint::compute_whole)
is measured in C++ by windows_share.cc, built here against the core library, and added to
text_fingerprint's time to make the floor on 1 MB.

The calls compared take turns within each round, so that a busy machine slows them alike.
Needs cmake, ninja and a C++ compiler (the project's .venv has the first two).
"""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import quelvane
from common import interleaved_medians, prose, report

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
INPUTS = ("english", "chinese", "mixed")  # real prose from corpus.py

VERIFY = (
    ("41", quelvane.soft_binding_fingerprint, quelvane.text_fingerprint),
    ("43", quelvane.soft_binding_structure, quelvane.text_structure),
    ("44", quelvane.soft_binding_minhash, quelvane.minhash_signature),
)


def tool(name):
    """A build tool from the interpreter's environment (the project's .venv), else from PATH."""
    local = Path(sys.executable).parent / name
    return str(local) if local.exists() else shutil.which(name)


def build_windows_share():
    """Builds the core library (Release) and the C++ helper; returns the helper's path."""
    subprocess.run([tool("cmake"), "-S", ROOT, "-B", BUILD, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
                    "-DCMAKE_BUILD_TYPE=Release", "-DQUELVANE_MODULE=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([tool("cmake"), "--build", BUILD, "--target", "quelvane_core"], check=True,
                   stdout=subprocess.DEVNULL)
    helper = BUILD / "windows_share"
    libs = subprocess.run(["pkg-config", "--libs", "icu-uc"], check=True, capture_output=True, text=True)
    subprocess.run([os.environ.get("CXX", "c++"), "-O2", "-std=c++20", f"-I{ROOT / 'src'}",
                    str(ROOT / "bench" / "windows_share.cc"), str(BUILD / "libquelvane_core.a"),
                    *libs.stdout.split(), "-lcrypto", "-o", str(helper)], check=True)
    return helper


def windows_seconds(helper, texts, rounds):
    """Seconds the windows add to the whole-text fingerprint, for each text."""
    with tempfile.TemporaryDirectory() as directory:
        paths = []
        for i, text in enumerate(texts):
            path = Path(directory) / f"{i}.txt"
            path.write_text(text, encoding="utf-8")
            paths.append(str(path))
        out = subprocess.run([str(helper), str(rounds), *paths], check=True, capture_output=True, text=True).stdout
    shares = []
    for line in out.splitlines():
        compute_ms, whole_ms, _ = line.split()
        shares.append((float(compute_ms) - float(whole_ms)) / 1e3)
    return shares


def main():
    rows = []
    for name in INPUTS:
        text = prose(name, 100 << 10)
        for alg, build, fingerprint in VERIFY:
            assertion = build(text)
            floor, tier = interleaved_medians(
                [(fingerprint, text), (quelvane.verify_tier, text, assertion, False, True)], rounds=41)
            rows.append((f"{fingerprint.__name__:<17} {name} 100KB (floor)", floor, floor))
            rows.append((f"verify_tier id {alg:<8} {name} 100KB", tier, floor))
    report(rows)

    print()
    texts = [prose(name, 1 << 20) for name in INPUTS]
    shares = windows_seconds(build_windows_share(), texts, rounds=21)
    rows = []
    for name, text, share in zip(INPUTS, texts, shares):
        whole, built = interleaved_medians(
            [(quelvane.text_fingerprint, text), (quelvane.soft_binding_fingerprint, text)], rounds=21)
        floor = whole + share
        rows.append((f"text_fingerprint + windows ({share * 1e3:.2f} ms) {name} 1MB (floor)", floor, floor))
        rows.append((f"soft_binding_fingerprint {name} 1MB", built, floor))
    report(rows)


if __name__ == "__main__":
    main()
