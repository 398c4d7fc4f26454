"""Manifests in publishing, through the command line: the signing identity `init` sets up, the
`.c2pa` beside each document, trust anchors, export and import, and the backfill of older
publications; checked with the C2PA SDK's own reader."""
import base64
import datetime
import io
import json
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest
from click.testing import CliRunner

c2pa = pytest.importorskip("c2pa", reason="the C2PA SDK (c2pa-python) is not installed")
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID  # noqa: E402

from quelvane_host import Registry  # noqa: E402
from quelvane_host.extras import install_line  # noqa: E402
from quelvane_host.manifests import manifest_id_for  # noqa: E402
from quelvane_host.signing_identity import CHAIN_FILE, KEY_FILE, TEST_ROOT_FILE, TRUST_FILE  # noqa: E402

from .commands import invoke  # noqa: E402
from .texts import ARTICLE, ESSAY  # noqa: E402

IDENTITY = (CHAIN_FILE, KEY_FILE, TEST_ROOT_FILE)


def sdk_state(document: Path, store: Path, anchors: str = "") -> str:
    """The validation state the C2PA SDK's reader gives a document and its manifest store."""
    context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors}}) if anchors else c2pa.Context()
    with context, c2pa.Reader("text/plain", io.BytesIO(document.read_bytes()), manifest_data=store.read_bytes(),
                              context=context) as reader:
        return reader.get_validation_state()


def test_init_makes_a_test_identity_and_publish_a_manifest_the_sdk_validates(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    runner = CliRunner()
    Path("keys").mkdir()
    made = invoke(runner, "init", "--keys", "keys/team.key")
    assert made.exit_code == 0, made.output
    assert "untrusted outside this registry" in made.output
    for name in IDENTITY:  # beside the key file, as private as it
        assert stat.S_IMODE(os.stat(Path("keys", name)).st_mode) == 0o600
    assert "PRIVATE KEY" not in made.output
    Path("article.txt").write_text(ARTICLE)
    published = invoke(runner, "publish", "article.txt", "--keys", "keys/team.key", "--json")
    [record] = json.loads(published.output)
    assert record["manifest"] == "article.published.c2pa"
    document, store = Path("article.published.txt"), Path("article.published.c2pa")
    assert sdk_state(document, store) == "Valid"
    anchors = Path("keys", TEST_ROOT_FILE).read_text()
    assert sdk_state(document, store, anchors) == "Trusted"
    shown = invoke(runner, "show", record["pointer"], "--keys", "keys/team.key")
    assert f"c2pa manifest: {manifest_id_for(record['pointer'])}" in shown.output
    # The anchors `trust add` keeps are the ones a verifier needs.
    assert invoke(runner, "trust", "add", "keys/" + TEST_ROOT_FILE, "--keys", "keys/team.key").exit_code == 0
    assert sdk_state(document, store, Path("keys", TRUST_FILE).read_text()) == "Trusted"
    # One changed character and the hard binding breaks.
    document.write_text(document.read_text().replace("ferry", "Ferry", 1))
    assert sdk_state(document, store, anchors) == "Invalid"


def test_a_second_publish_refuses_an_existing_manifest_and_stores_nothing(runner):
    Path("article.txt").write_text(ARTICLE)
    Path("article.published.c2pa").write_bytes(b"someone else's")
    result = invoke(runner, "publish", "article.txt")
    assert result.exit_code != 0 and "article.published.c2pa exists" in result.output
    assert not Path("article.published.txt").exists() and invoke(runner, "list").output == ""
    assert Path("article.published.c2pa").read_bytes() == b"someone else's"


def _certificate(subject, issuer, public, signer, *, authority, identifiers=True):
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(public)
               .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
               .not_valid_after(now + datetime.timedelta(days=30))
               .add_extension(x509.BasicConstraints(ca=authority, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(digital_signature=not authority, content_commitment=False,
                                            key_encipherment=False, data_encipherment=False, key_agreement=False,
                                            key_cert_sign=authority, crl_sign=authority, encipher_only=False,
                                            decipher_only=False), critical=True))
    if not authority:
        builder = builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False)
    if identifiers:
        builder = (builder.add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(signer.public_key()),
                                  critical=False))
    return builder.sign(signer, hashes.SHA256())


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    """A certificate authority's chain and key for a publisher: (folder, root PEM)."""
    folder = tmp_path_factory.mktemp("ca")
    name = lambda cn: x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])  # noqa: E731
    root_key, signer_key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    root = _certificate(name("Example CA"), name("Example CA"), root_key.public_key(), root_key, authority=True)
    signer = _certificate(name("Example News"), name("Example CA"), signer_key.public_key(), root_key,
                          authority=False)
    pem = serialization.Encoding.PEM
    # Acceptable to importing, but not to the C2PA SDK: no key identifiers.
    bare = _certificate(name("Example News"), name("Example CA"), signer_key.public_key(), root_key,
                        authority=False, identifiers=False)
    (folder / "bare-chain.pem").write_bytes(bare.public_bytes(pem) + root.public_bytes(pem))
    (folder / "chain.pem").write_bytes(signer.public_bytes(pem) + root.public_bytes(pem))
    (folder / "root.pem").write_bytes(root.public_bytes(pem))
    (folder / "key.pem").write_bytes(signer_key.private_bytes(pem, serialization.PrivateFormat.PKCS8,
                                                              serialization.NoEncryption()))
    (folder / "other-key.pem").write_bytes(ec.generate_private_key(ec.SECP256R1()).private_bytes(
        pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    return folder


def test_init_imports_a_real_certificate(tmp_path, monkeypatch, authority):
    monkeypatch.chdir(tmp_path)
    runner = CliRunner()
    made = invoke(runner, "init", "--cert", authority / "chain.pem", "--cert-key", authority / "key.pem")
    assert made.exit_code == 0 and "CN=Example News, issued by CN=Example CA (es256)" in made.output
    assert not Path(TEST_ROOT_FILE).exists()
    Path("article.txt").write_text(ARTICLE)
    published = invoke(runner, "publish", "article.txt")
    assert published.exit_code == 0, published.output
    store = Path("article.published.c2pa")
    assert sdk_state(Path("article.published.txt"), store, (authority / "root.pem").read_text()) == "Trusted"


@pytest.mark.parametrize("chain, key, refusal", [
    ("chain.pem", "other-key.pem", "does not belong to the first certificate"),
    ("root.pem", "key.pem", "does not belong to the first certificate"),
    ("key.pem", "key.pem", "not PEM certificates"),
    ("bare-chain.pem", "key.pem", "the C2PA SDK refuses to sign with this certificate"),
])
def test_a_bad_certificate_is_refused_and_init_leaves_nothing(tmp_path, monkeypatch, authority, chain, key, refusal):
    monkeypatch.chdir(tmp_path)
    result = invoke(CliRunner(), "init", "--cert", authority / chain, "--cert-key", authority / key)
    assert result.exit_code != 0 and refusal in result.output
    assert list(tmp_path.iterdir()) == []
    assert "PRIVATE KEY" not in result.output


def test_init_leaves_no_identity_when_the_registry_cannot_be_made(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    result = invoke(CliRunner(), "init", "--registry", "missing/folder/r.db")
    assert result.exit_code != 0
    assert list(tmp_path.iterdir()) == []


def test_export_and_import_carry_the_manifest(runner, tmp_path):
    Path("article.txt").write_text(ARTICLE)
    invoke(runner, "publish", "article.txt")
    invoke(runner, "export", "backup.jsonl")
    [record] = [json.loads(line) for line in Path("backup.jsonl").read_text().splitlines()]
    assert base64.b64decode(record["manifest"]) == Path("article.published.c2pa").read_bytes()
    assert invoke(runner, "init", "--registry", "copy.db").exit_code == 0  # the same key file
    assert "imported 1" in invoke(runner, "import", "backup.jsonl", "--registry", "copy.db").output
    with Registry.open("copy.db", "quelvane.key") as copy:
        assert copy.manifest(record["pointer"]) == Path("article.published.c2pa").read_bytes()


def _altered(record, other):
    store = bytearray(base64.b64decode(record["manifest"]))
    store[len(store) // 2] ^= 1
    return {
        "a flipped byte": {**record, "manifest": base64.b64encode(bytes(store)).decode()},
        "another publication's": {**record, "manifest": other["manifest"]},
        "not base64": {**record, "manifest": "not base64!"},
        "not a store": {**record, "manifest": base64.b64encode(b"\0" * 64).decode()},
    }


@pytest.mark.parametrize("change", ["a flipped byte", "another publication's", "not base64", "not a store"])
def test_an_altered_manifest_refuses_the_import(runner, change):
    Path("article.txt").write_text(ARTICLE)
    Path("essay.txt").write_text(ESSAY)
    invoke(runner, "publish", "article.txt", "essay.txt")
    invoke(runner, "export", "backup.jsonl")
    records = [json.loads(line) for line in Path("backup.jsonl").read_text().splitlines()]
    altered = _altered(records[0], records[1])[change]
    Path("altered.jsonl").write_text(json.dumps(records[1]) + "\n" + json.dumps(altered) + "\n")
    invoke(runner, "init", "--registry", "copy.db")
    result = invoke(runner, "import", "altered.jsonl", "--registry", "copy.db")
    assert result.exit_code != 0 and "import line 2, field manifest" in result.output
    assert invoke(runner, "list", "--registry", "copy.db").output == ""  # nothing written


def test_backfill_gives_publications_made_without_an_identity_a_manifest(runner):
    for name in IDENTITY:  # publications made while there was no identity
        os.rename(name, name + ".away")
    Path("article.txt").write_text(ARTICLE)
    [record] = json.loads(invoke(runner, "publish", "article.txt", "--json").output)
    assert record["manifest"] is None and not Path("article.published.c2pa").exists()
    assert "no C2PA signing identity" in invoke(runner, "manifests", "--backfill").output
    for name in IDENTITY:
        os.rename(name + ".away", name)
    assert "gave 1 publication(s)" in invoke(runner, "manifests", "--backfill").output
    assert "gave 0 publication(s)" in invoke(runner, "manifests", "--backfill").output
    with Registry.open("quelvane.db", "quelvane.key") as registry:
        Path("backfilled.c2pa").write_bytes(registry.manifest(record["pointer"]))
    assert sdk_state(Path("article.published.txt"), Path("backfilled.c2pa"), Path(TEST_ROOT_FILE).read_text()) \
        == "Trusted"


def test_without_the_c2pa_extra_init_and_publish_work_and_say_how_to_turn_manifests_on(tmp_path):
    (tmp_path / "article.txt").write_text(ARTICLE)
    script = ("import sys; sys.modules['c2pa'] = None\n"
              "from quelvane_host.cli import main\n"
              "main()")
    run = lambda *args: subprocess.run([sys.executable, "-c", script, *args], cwd=tmp_path, capture_output=True,  # noqa: E731
                                       text=True, timeout=120)
    made = run("init")
    assert made.returncode == 0 and "C2PA manifests are off" in made.stdout
    assert install_line("c2pa") in made.stdout
    assert run("publish", "article.txt").returncode == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "article.published.txt", "article.txt", "quelvane.db", "quelvane.key"]


def test_an_unusable_identity_stops_publishing_not_reading(runner):
    Path("article.txt").write_text(ARTICLE)
    invoke(runner, "publish", "article.txt")
    Path(CHAIN_FILE).write_bytes(Path(TEST_ROOT_FILE).read_bytes())  # a chain its key does not belong to
    assert invoke(runner, "list").exit_code == 0
    Path("essay.txt").write_text(ESSAY)
    result = invoke(runner, "publish", "essay.txt")
    assert result.exit_code != 0 and "does not belong to the first certificate" in result.output
    assert len(invoke(runner, "list").output.splitlines()) == 1 and not Path("essay.published.txt").exists()
