"""Builds the installable wheel: the abi3 wheel from the source tree, repaired by auditwheel so
that ICU and libcrypto (and on Debian 13 the libzstd that libcrypto uses) travel inside
it (in quelvane.libs/, found through the module's RPATH), with the license texts of every
vendored library added under the .dist-info, and audited by abi3audit. Prints the wheel's size
and what each vendored library costs.

Usage: python tools/build_wheel.py   (from the source tree, in the venv that make wheel prepares)
"""
import base64
import csv
import glob
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
WHEELHOUSE = ROOT / "wheelhouse"
BIN = Path(sys.executable).parent

# What each vendored Debian package ships, by package-name prefix: its copyright file (which
# names the holders and carries the MIT/Expat texts in full), the upstream license files that the
# packages built from the same source install (ICU's LICENSE, with the notices of its data, where
# the release ships it: Debian 12 does, in libicu-dev; Debian 13 does not), and the common
# licenses named here, which the copyright file only refers to. A vendored package with no entry
# here stops the build: someone has to look at it.
UPSTREAM_LICENSES = {
    "libicu": [],
    "libssl": ["Apache-2.0"],  # libcrypto; Debian 13 calls it libssl3t64
    # Debian 13's libcrypto compresses certificates with zstd. Of BSD-3-clause or GPL-2 we take
    # the BSD terms, which its copyright file carries in full.
    "libzstd": [],
}
COMMON_LICENSES = Path("/usr/share/common-licenses")
LICENSE_FILE = re.compile(r"(LICEN[CS]E|COPYING|NOTICE)([._-][^/]*)?")


def run(*command):
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}")  # auditwheel needs patchelf
    subprocess.run([str(c) for c in command], cwd=ROOT, env=env, check=True)


def only(pattern):
    found = glob.glob(str(pattern))
    if len(found) != 1:
        sys.exit(f"expected one file for {pattern}, found {found}")
    return Path(found[0])


def record_row(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [name, f"sha256={digest}", str(len(data))]


def dpkg_query(*arguments):
    return subprocess.run(["dpkg-query", *arguments], capture_output=True, text=True, check=True).stdout


def upstream_license_files(package):
    """The license files that the installed packages built from the same source as this one list."""
    source = dpkg_query("-W", "-f=${source:Package}", package).strip()
    rows = dpkg_query("-W", "-f=${binary:Package}\t${source:Package}\t${db:Status-Status}\n").splitlines()
    siblings = [row.split("\t")[0] for row in rows if row.split("\t")[1:] == [source, "installed"]]
    listed = dpkg_query("-L", *siblings).splitlines()
    return sorted({Path(path) for path in listed if LICENSE_FILE.fullmatch(Path(path).name) and Path(path).is_file()})


def license_files(package):
    """(archive name, source path) pairs for one vendored Debian package."""
    prefix = next((p for p in UPSTREAM_LICENSES if package.startswith(p)), None)
    if prefix is None:
        sys.exit(f"vendored package {package} has no license entry in tools/build_wheel.py")
    sources = [Path("/usr/share/doc") / package / "copyright", *upstream_license_files(package),
               *(COMMON_LICENSES / name for name in UPSTREAM_LICENSES[prefix])]
    missing = [str(path) for path in sources if not path.is_file()]
    if missing:
        sys.exit(f"license texts of {package} not found: {', '.join(missing)}")
    names = [f"{package}/{source.name}" for source in sources]
    if len(set(names)) != len(names):
        sys.exit(f"license texts of {package} share a file name: {', '.join(map(str, sources))}")
    return list(zip(names, sources))


def add_licenses(wheel):
    """Rewrites the wheel with the license texts of the libraries auditwheel vendored, reading
    which Debian packages they came from in the SBOM that auditwheel writes."""
    with zipfile.ZipFile(wheel) as archive:
        entries = [(info, archive.read(info)) for info in archive.infolist()]
    dist_info = next(i.filename.split("/")[0] for i, _ in entries if i.filename.endswith(".dist-info/RECORD"))
    sbom = next(json.loads(d) for i, d in entries
                if i.filename.startswith(f"{dist_info}/sboms/") and i.filename.endswith(".json"))
    packages = sorted({c["name"] for c in sbom["components"] if c.get("purl", "").startswith("pkg:deb/")})
    added = []
    for package in packages:
        for name, source in license_files(package):
            added.append((f"{dist_info}/licenses/{name}", source.read_bytes()))
    record_name = f"{dist_info}/RECORD"
    rows = []
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for info, data in entries:
            if info.filename == record_name:
                continue
            archive.writestr(info, data)
            if not info.filename.endswith("/"):
                rows.append(record_row(info.filename, data))
        for name, data in added:
            archive.writestr(name, data)
            rows.append(record_row(name, data))
        rows.append([record_name, "", ""])
        record = io.StringIO()
        csv.writer(record, lineterminator="\n").writerows(rows)
        archive.writestr(record_name, record.getvalue())
    return packages, [name for name, _ in added]


def report(wheel, packages, licenses):
    mib = 1024 * 1024
    print(f"\nwheel: {wheel.relative_to(ROOT)}  {wheel.stat().st_size / mib:.1f} MiB")
    with zipfile.ZipFile(wheel) as archive:
        infos = [i for i in archive.infolist() if i.filename.endswith(".so") or ".so." in i.filename]
        for info in sorted(infos, key=lambda i: -i.file_size):
            print(f"  {info.filename:55} {info.file_size / mib:6.1f} MiB installed, "
                  f"{info.compress_size / mib:5.1f} MiB in the wheel")
    print(f"vendored from Debian packages: {', '.join(packages)}")
    print("license texts: " + ", ".join(licenses))


def main():
    shutil.rmtree(DIST, ignore_errors=True)
    shutil.rmtree(WHEELHOUSE, ignore_errors=True)
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", DIST, ".")
    run(sys.executable, "-m", "auditwheel", "repair", "-w", WHEELHOUSE, only(DIST / "quelvane-*.whl"))
    wheel = only(WHEELHOUSE / "quelvane-*.whl")
    packages, licenses = add_licenses(wheel)
    run(sys.executable, "-m", "abi3audit", "--strict", "--summary", wheel)
    report(wheel, packages, licenses)


if __name__ == "__main__":
    main()
