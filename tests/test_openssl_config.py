"""The module reads no OpenSSL configuration and loads no provider module: under a configuration
that breaks libcrypto's default context (a FIPS set-up whose provider is not installed), or with
OPENSSL_MODULES pointing at an empty folder, every function gives exactly what it gives normally,
in a child process that starts with that environment."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

import quelvane
import samples

# Activates a provider that is not installed, as a FIPS set-up without its module does.
MISSING_FIPS = """
openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
fips = fips_sect
[fips_sect]
activate = 1
"""

# Runs every sample call and reports the outcomes, and whether libcrypto's default context can
# still fetch SHA-256 in each libcrypto mapped into the process (the environment's effect).
CHILD = textwrap.dedent(
    r"""
    import ctypes, json, os, sys
    sys.path.insert(0, sys.argv[1])
    import quelvane

    def outcome(name, kwargs):
        try:
            return ["ok", getattr(quelvane, name)(**kwargs)]
        except BaseException as error:  # PanicException included
            return [type(error).__name__, str(error)]

    def default_context_fetches(path):
        lib = ctypes.CDLL(path)
        lib.EVP_MD_fetch.restype = ctypes.c_void_p
        lib.EVP_MD_fetch.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
        lib.EVP_MD_free.argtypes = [ctypes.c_void_p]
        md = lib.EVP_MD_fetch(None, b"SHA256", None)
        lib.EVP_MD_free(md)
        return bool(md)

    calls = json.load(sys.stdin)
    outcomes = [outcome(name, kwargs) for name, kwargs in calls]
    mapped = {line.split()[-1] for line in open("/proc/self/maps") if "/libcrypto" in line}
    print(json.dumps({"outcomes": outcomes, "default_context": [default_context_fetches(p) for p in sorted(mapped)]}))
    """
)


def run_child(calls, **environment):
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENSSL_")}
    env.update(environment)
    result = subprocess.run([sys.executable, "-c", CHILD, os.path.dirname(quelvane.__file__)], env=env,
                            input=json.dumps(calls), capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def calls():
    by_name = samples.operation_calls()
    assert set(by_name) == set(samples.present_functions())
    return [(call.name, call.kwargs) for name in sorted(by_name) for call in by_name[name]]


@pytest.fixture(scope="module")
def normal(calls):
    report = run_child(calls)
    assert any(outcome[0] == "ok" for outcome in report["outcomes"])
    return report["outcomes"]


@pytest.fixture
def empty_folder(tmp_path):
    folder = tmp_path / "no-modules"
    folder.mkdir()
    return str(folder)


@pytest.fixture
def missing_fips(tmp_path):
    path = tmp_path / "missing-fips.cnf"
    path.write_text(MISSING_FIPS)
    return str(path)


def test_missing_provider_in_the_configuration(calls, normal, missing_fips):
    report = run_child(calls, OPENSSL_CONF=missing_fips)
    assert report["default_context"] and not any(report["default_context"]), "the configuration did not bite"
    assert report["outcomes"] == normal


def test_empty_provider_module_folder(calls, normal, empty_folder, missing_fips):
    assert run_child(calls, OPENSSL_MODULES=empty_folder)["outcomes"] == normal
    report = run_child(calls, OPENSSL_MODULES=empty_folder, OPENSSL_CONF=missing_fips)
    assert not any(report["default_context"])
    assert report["outcomes"] == normal


def test_unreadable_configuration(calls, normal, tmp_path):
    report = run_child(calls, OPENSSL_CONF=str(tmp_path / "does-not-exist.cnf"))
    assert report["outcomes"] == normal
