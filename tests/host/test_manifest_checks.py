"""Verify and identify speak C2PA: each result names its manifest, an exact copy is validated with
the C2PA SDK, an edited one is said to be bound by its soft bindings; `verify --manifest` checks a
text against a `.c2pa` file; the page shows the manifest and links its store; publishing over
HTTP signs one."""
import json
import subprocess
import sys
from pathlib import Path

import pytest

c2pa = pytest.importorskip("c2pa", reason="the C2PA SDK (c2pa-python) is not installed")
from quelvane_host import Registry  # noqa: E402
from quelvane_host.extras import install_line  # noqa: E402
from quelvane_host.manifest_checks import MAX_VALIDATED  # noqa: E402
from quelvane_host.manifests import manifest_id_for  # noqa: E402
from quelvane_host.signing_identity import TEST_ROOT_FILE  # noqa: E402

from .commands import invoke  # noqa: E402
from .texts import ARTICLE, ESSAY  # noqa: E402

MINHASH, WATERMARK = "com.lanternquill.text-minhash.1", "com.lanternquill.zwc-watermark.2"
HTML = f"<!doctype html><html><head><title>Ferry</title></head><body><h1>Ferry</h1><p>{ARTICLE}</p></body></html>"


@pytest.fixture
def published(runner):
    """The pointer of ARTICLE published in the runner's folder, as article.published.txt and .c2pa."""
    Path("article.txt").write_text(ARTICLE)
    [record] = json.loads(invoke(runner, "publish", "article.txt", "--json").output)
    return record["pointer"]


def edited(document: str) -> str:
    """One character changed: the words of the copy still match, its bytes no longer do."""
    at = document.index("ferry")
    return document[:at] + "b" + document[at + 1:]


def trust_the_test_root(runner):
    assert invoke(runner, "trust", "add", TEST_ROOT_FILE).exit_code == 0


@pytest.mark.parametrize("document, trusted, state, status", [
    ("as published", False, "Valid", 0),
    ("as published", True, "Trusted", 0),
    ("one character changed", True, "Invalid", 1),
])
def test_verify_a_file_against_a_manifest_file(runner, published, document, trusted, state, status):
    if trusted:
        trust_the_test_root(runner)
    text = Path("article.published.txt").read_text()
    Path("found.txt").write_text(text if document == "as published" else edited(text))
    result = invoke(runner, "verify", "found.txt", "--manifest", "article.published.c2pa", "--json")
    assert result.exit_code == status, result.output
    answer = json.loads(result.output)
    assert (answer["state"], answer["manifest_id"]) == (state, manifest_id_for(published))
    assert ("assertion.dataHash.mismatch" in answer["failures"]) == (state == "Invalid")
    assert ("signingCredential.untrusted" in answer["failures"]) == (not trusted)
    assert len(answer["soft_bindings"]) == 4
    shown = invoke(runner, "verify", "found.txt", published, "--manifest", "article.published.c2pa")
    assert shown.exit_code == status and shown.output.startswith(state.upper())


def test_verify_refuses_the_manifest_of_another_publication(runner, published):
    other = "0" * 12 + "4" + "0" * 19
    result = invoke(runner, "verify", "article.published.txt", other, "--manifest", "article.published.c2pa")
    assert result.exit_code == 1 and f"not that of publication {other}" in result.output


@pytest.mark.parametrize("pointer_given", [False, True])
def test_verify_finds_the_manifest_by_identify(runner, published, pointer_given):
    trust_the_test_root(runner)
    text = Path("article.published.txt").read_text()
    Path("edited.txt").write_text(edited(text))
    pointer = (published,) if pointer_given else ()
    exact = json.loads(invoke(runner, "verify", "article.published.txt", *pointer, "--json").output)
    assert exact["pointer"] == published
    check = exact["match"]["manifest"]
    assert (check["id"], check["state"], check["binding"], check["failures"]) == (
        manifest_id_for(published), "Trusted", "hard", [])
    # An edited copy is still this publication's match; its manifest is validated all the same,
    # and the SDK names the failing hash: the soft bindings are what bind it.
    result = invoke(runner, "verify", "edited.txt", *pointer, "--json")
    assert result.exit_code == 0
    check = json.loads(result.output)["match"]["manifest"]
    assert check["state"] == "Invalid" and "assertion.dataHash.mismatch" in check["failures"]
    assert check["binding"] == "soft" and MINHASH in check["soft_bindings"] and WATERMARK not in check["soft_bindings"]
    printed = invoke(runner, "verify", "edited.txt", *pointer).output
    assert f"C2PA manifest {manifest_id_for(published)}: Invalid" in printed and "bound by soft bindings" in printed


def test_verify_without_a_match_says_so(runner, published):
    Path("essay.txt").write_text(ESSAY)
    result = invoke(runner, "verify", "essay.txt")
    assert result.exit_code == 1 and "NO MATCH" in result.output


@pytest.mark.parametrize("copy, fmt, state, binding", [
    ("published", "text", "Trusted", "hard"),
    ("edited", "text", None, "soft"),
    ("excerpt", "text", None, "soft"),
    ("without its watermark", "text", None, "soft"),
    ("published", "html", "Trusted", "hard"),  # the hard binding covers the page's bytes, not its visible text
])
def test_identify_names_the_manifest_and_what_binds_the_copy(runner, copy, fmt, state, binding):
    trust_the_test_root(runner)
    source = HTML if fmt == "html" else ARTICLE
    suffix = ".html" if fmt == "html" else ".txt"
    Path("source" + suffix).write_text(source)
    [record] = json.loads(invoke(runner, "publish", "source" + suffix, "--json").output)
    document = Path(record["output"]).read_text()
    found = {"published": document, "edited": edited(document), "without its watermark": source,
             "excerpt": document[: len(document) * 2 // 3]}[copy]
    Path("found" + suffix).write_text(found)
    [result] = json.loads(invoke(runner, "identify", "found" + suffix, "--json").output)
    [match] = result["matches"]
    check = match["manifest"]
    assert (check["id"], check["stored"], check["state"], check["binding"]) == (
        manifest_id_for(record["pointer"]), True, state, binding)
    assert check["exact_copy"] == (copy == "published")
    if binding == "soft":
        assert "hard binding cannot hold" in check["note"] and MINHASH in check["soft_bindings"]
    else:
        assert check["failures"] == [] and len(check["soft_bindings"]) == 4


def test_identify_validates_a_bounded_number_of_exact_copies(tmp_path):
    # Too short for a watermark: each publication of it hands out the same document.
    text = "The harbour master closed the north quay on Monday after a storm tore loose two of its mooring rings."
    with Registry.init(tmp_path / "registry.db", tmp_path / "quelvane.key")[0] as registry:
        for _ in range(MAX_VALIDATED + 2):
            registry.publish(text)
        rows = registry.identify(text)
    assert len(rows) == MAX_VALIDATED + 2 and all(row.manifest.exact_copy for row in rows)
    assert [row.manifest.state for row in rows] == ["Valid"] * MAX_VALIDATED + [None, None]
    assert f"only the first {MAX_VALIDATED} exact copies" in rows[-1].manifest.note


def test_without_the_c2pa_extra_results_name_the_manifest_and_say_how_to_validate_it(runner, published):
    script = ("import sys; sys.modules['c2pa'] = None\n"
              "from quelvane_host.cli import main\n"
              "main()")
    run = subprocess.run([sys.executable, "-c", script, "identify", "article.published.txt", "--json"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    [result] = json.loads(run.stdout)
    check = result["matches"][0]["manifest"]
    assert (check["id"], check["state"]) == (manifest_id_for(published), None)
    assert install_line("c2pa") in check["note"]


def test_a_publication_made_before_manifests_says_how_to_give_it_one(tmp_path, keys, registry):
    result = registry.publish(ARTICLE)
    [match] = registry.identify(result.published)
    assert match.manifest is not None and not match.manifest.stored and match.manifest.state is None
    assert "quelvane manifests --backfill" in match.manifest.note


@pytest.fixture
def service(tmp_path):
    """A service over a registry with a signing identity, publishing allowed, opened by its key file."""
    pytest.importorskip("fastapi")
    from fastapi.testclient import TestClient
    from quelvane_host.web import ServiceConfig, Token, create_app

    registry, _ = Registry.init(tmp_path / "registry.db", tmp_path / "quelvane.key")
    registry.close()
    token = "s3cret-token-for-tests-0123456789"
    config = ServiceConfig(tmp_path / "registry.db", registry.keys, Token(token), pool_size=1,
                           key_file=tmp_path / "quelvane.key")
    with TestClient(create_app(config)) as client:
        client.headers["Authorization"] = f"Bearer {token}"
        yield client


def test_publishing_over_http_makes_a_manifest_and_the_page_shows_it(service, tmp_path):
    answer = service.post("/publications", json={"text": ARTICLE, "metadata": {"title": "Ferry"}})
    assert answer.status_code == 201, answer.text
    body = answer.json()
    assert body["manifest_id"] == manifest_id_for(body["pointer"])
    with Registry.open(tmp_path / "registry.db", tmp_path / "quelvane.key") as registry:
        store = registry.manifest(body["pointer"])
    from quelvane_host import manifests

    assert manifests.validate(store, body["published"]).state == "Valid"
    page = service.post("/", data={"text": body["published"], "format": "text"})
    assert page.status_code == 200
    assert body["manifest_id"] in page.text
    assert f'href="manifests/{body["manifest_id"]}"' in page.text
    assert "Valid (signingCredential.untrusted)" in page.text and "hard binding holds" in page.text
    edited_page = service.post("/", data={"text": edited(body["published"]), "format": "text"}).text
    assert "not validated" in edited_page and "bound by its soft bindings" in edited_page
