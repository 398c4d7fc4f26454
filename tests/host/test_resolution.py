"""The C2PA Soft Binding Resolution API through the framework's test client, on a real registry
with a signing identity: each look-up and its scores, withdrawn and deleted publications, bad
queries; a manifest fetched over HTTP read by the C2PA SDK; the served OpenAPI document against
the published one, and a property-based run of the API generated from the served document."""
import base64
import io
import json
from pathlib import Path
from urllib.parse import quote

import pytest
import quelvane

pytest.importorskip("fastapi")
pytest.importorskip("httpx2")
c2pa = pytest.importorskip("c2pa", reason="the C2PA SDK (c2pa-python) is not installed")
cbor2 = pytest.importorskip("cbor2")
schemathesis = pytest.importorskip("schemathesis")
from fastapi.testclient import TestClient  # noqa: E402
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st  # noqa: E402
from schemathesis.checks import not_a_server_error  # noqa: E402
from schemathesis.specs.openapi.checks import (content_type_conformance, response_schema_conformance,  # noqa: E402
                                               status_code_conformance)

from quelvane_host import Keys, Registry  # noqa: E402
from quelvane_host.algorithms import MINHASH_ALG, STRUCTURE_ALG, SURFACE_ALG, WATERMARK_ALG  # noqa: E402
from quelvane_host.manifests import manifest_id_for  # noqa: E402
from quelvane_host import resolve  # noqa: E402
from quelvane_host.resolve import MATCH_FLOOR, VALUE_BYTES, WEAK_CEILING, minhash_score  # noqa: E402
from quelvane_host.signing_identity import TEST_ROOT_FILE  # noqa: E402
from quelvane_host.web import ServiceConfig, create_app  # noqa: E402
from quelvane_host.web.pool import RegistryPool  # noqa: E402
from .texts import ARTICLE, ESSAY, FILLER, NOTES  # noqa: E402

PUBLISHED_API = Path(__file__).parent / "data" / "soft-binding-resolution-api.openapi.json"
EDITED = ARTICLE.replace("ferry", "boat", 1)


@pytest.fixture(scope="module")
def published(tmp_path_factory):
    """A registry with a signing identity: ARTICLE and ESSAY published, NOTES withdrawn, FILLER
    deleted. Yields (folder, {name: PublishResult})."""
    folder = tmp_path_factory.mktemp("resolution")
    registry, _ = Registry.init(folder / "registry.db", folder / "quelvane.key")
    with registry:
        results = {name: registry.publish(text, metadata={"title": name})
                   for name, text in (("article", ARTICLE), ("essay", ESSAY), ("notes", NOTES), ("filler", FILLER))}
        registry.withdraw(results["notes"].pointer, "published by mistake")
        registry.delete(results["filler"].pointer)
    return folder, results


@pytest.fixture(scope="module")
def app(published):
    folder, _ = published
    keys = Keys.load(folder / "quelvane.key")
    return create_app(ServiceConfig(folder / "registry.db", keys, max_body_bytes=64 * 1024))


@pytest.fixture(scope="module")
def client(app):
    with TestClient(app) as opened:
        yield opened


def b64(data):
    return base64.b64encode(data).decode()


def signature_bytes(text):
    return b"".join(v.to_bytes(8, "big") for v in quelvane.minhash_signature(text))


def manifest_of(published, name):
    return manifest_id_for(published[1][name].pointer)


def query(client, method, alg, value, **params):
    if method == "GET":
        return client.get("/matches/byBinding", params={"alg": alg, "value": value, **params})
    return client.post("/matches/byBinding", params=params, json={"alg": alg, "value": value})


@pytest.mark.parametrize("method", ["GET", "POST"])
@pytest.mark.parametrize("alg, value_of, lowest, highest", [
    (WATERMARK_ALG, lambda r, text: bytes.fromhex(r.pointer), 100, 100),
    (MINHASH_ALG, lambda r, text: signature_bytes(text), 100, 100),
    (MINHASH_ALG, lambda r, text: signature_bytes(EDITED), MATCH_FLOOR, 99),
    # A fingerprint alone is weak evidence, however close: never above the ceiling.
    (SURFACE_ALG, lambda r, text: bytes.fromhex(quelvane.text_fingerprint(EDITED)), 34, WEAK_CEILING),
    (STRUCTURE_ALG, lambda r, text: bytes.fromhex(quelvane.text_structure(text)), 16, 40),
])
def test_by_binding_names_the_publication_with_its_score(client, published, method, alg, value_of, lowest, highest):
    result = published[1]["article"]
    response = query(client, method, alg, b64(value_of(result, ARTICLE)))
    assert response.status_code == 200, response.text
    first = response.json()["matches"][0]
    assert first["manifestId"] == manifest_of(published, "article")
    assert lowest <= first["similarityScore"] <= highest
    scores = [m["similarityScore"] for m in response.json()["matches"]]
    assert scores == sorted(scores, reverse=True)


def test_an_excerpt_of_a_window_is_found_by_the_surface_fingerprint(client, published):
    excerpt = ARTICLE[:500]
    response = query(client, "GET", SURFACE_ALG, b64(bytes.fromhex(quelvane.text_fingerprint(excerpt))))
    assert manifest_of(published, "article") in [m["manifestId"] for m in response.json()["matches"]]


def test_a_scan_cut_by_its_time_bound_says_so(client, monkeypatch):
    monkeypatch.setattr(resolve, "SCAN_SECONDS", -1.0)
    response = query(client, "GET", STRUCTURE_ALG, b64(bytes.fromhex(quelvane.text_structure(ARTICLE))))
    assert response.status_code == 200 and response.json() == {"matches": []}
    assert "stopped after" in response.headers["Quelvane-Incomplete"]


def test_url_safe_and_unpadded_base64_and_max_results(client, published):
    pointer = bytes.fromhex(published[1]["article"].pointer)
    unpadded = base64.urlsafe_b64encode(pointer).decode().rstrip("=")
    assert query(client, "GET", WATERMARK_ALG, unpadded).json()["matches"][0]["similarityScore"] == 100
    both = query(client, "POST", STRUCTURE_ALG, b64(bytes(32)), maxResults=1)
    assert len(both.json()["matches"]) <= 1


@pytest.mark.parametrize("name", ["notes", "filler"])
def test_withdrawn_and_deleted_publications_are_never_returned(client, published, name):
    folder, results = published
    text = {"notes": NOTES, "filler": FILLER}[name]
    for alg, value in ((WATERMARK_ALG, bytes.fromhex(results[name].pointer)), (MINHASH_ALG, signature_bytes(text))):
        for method in ("GET", "POST"):
            assert query(client, method, alg, b64(value)).json() == {"matches": []}
    by_content = client.post("/matches/byContent", content=results[name].published.encode(),
                             headers={"content-type": "text/plain"})
    assert by_content.status_code == 200 and by_content.json() == {"matches": []}


@pytest.mark.parametrize("media, body, lowest", [
    ("text/plain", "published", 100),
    ("text/plain; charset=utf-8", EDITED, MATCH_FLOOR),
    ("text/html", "<html><head><title>t</title></head><body><p>" + ARTICLE + "</p></body></html>", MATCH_FLOOR),
    ("text/markdown", "# Title\n\n" + ARTICLE, MATCH_FLOOR),
])
def test_by_content_is_identify_scored(client, published, media, body, lowest):
    body = published[1]["article"].published if body == "published" else body
    response = client.post("/matches/byContent", content=body.encode(), headers={"content-type": media})
    assert response.status_code == 200, response.text
    first = response.json()["matches"][0]
    assert first == {"manifestId": manifest_of(published, "article"), "similarityScore": first["similarityScore"]}
    assert first["similarityScore"] >= lowest


def test_a_hint_adds_what_its_binding_names(client, published):
    essay = b64(bytes.fromhex(published[1]["essay"].pointer))
    response = client.post("/matches/byContent", params={"alg": MINHASH_ALG, "hintAlg": WATERMARK_ALG,
                                                         "hintValue": essay},
                           content=EDITED.encode(), headers={"content-type": "text/plain"})
    assert {m["manifestId"]: m["similarityScore"] for m in response.json()["matches"]} == {
        manifest_of(published, "essay"): 100, manifest_of(published, "article"): 90}


@pytest.mark.parametrize("raw, status, detail", [
    ("alg={alg}&value={value}", 200, ""),
    ("alg={alg}&value={unpadded}&maxResults=1", 200, ""),
    ("alg={alg}&value={value}&maxResults=1000", 200, ""),  # over the most there is counts as the most
    # Read as the route reads them: its integer parsing, the last of a repeated parameter, others ignored.
    ("alg={alg}&value={value}&maxResults=01", 200, ""),
    ("alg=com.example.other.1&alg={alg}&value={value}", 200, ""),
    ("alg={alg}&value={value}&other=1", 200, ""),
    ("alg={alg}&value=", 400, "16 bytes"),
    ("alg={alg}&value={value}&maxResults=-1", 400, "maxResults"),
    ("alg={alg}&value={value}&maxResults=1.5", 400, "maxResults"),
    ("value={value}", 400, "alg"),
])
def test_a_look_up_by_pointer_answers_as_the_route_does(client, published, raw, status, detail):
    pointer = bytes.fromhex(published[1]["article"].pointer)
    url = "/matches/byBinding?" + raw.format(alg=WATERMARK_ALG, value=quote(b64(pointer), safe=""),
                                             unpadded=base64.urlsafe_b64encode(pointer).decode().rstrip("="))
    response = client.get(url)
    assert response.status_code == status, response.text
    if status == 200:
        # Byte for byte what the route gives for the same binding.
        routed = client.post("/matches/byBinding", json={"alg": WATERMARK_ALG, "value": b64(pointer)})
        assert (response.content, response.headers["content-type"]) == (routed.content,
                                                                        routed.headers["content-type"])
    else:
        assert detail in response.json()["detail"]


@pytest.mark.parametrize("query, status", [
    ("", 200), ("?returnActiveManifest=true", 200), ("?returnActiveManifest=false&other=1", 200),
    # Read as the route reads them: its boolean parsing, the last of a repeated parameter.
    ("?returnActiveManifest=1", 200), ("?returnActiveManifest=maybe&returnActiveManifest=true", 200),
    ("?returnActiveManifest=maybe", 400),
])
def test_a_manifest_by_id_answers_as_the_route_does(client, published, query, status):
    response = client.get(f"/manifests/{manifest_of(published, 'article')}{query}")
    assert response.status_code == status, response.text
    if status == 200:
        assert response.headers["content-type"] == "application/c2pa"
        assert response.content == published[1]["article"].manifest


def test_a_pool_lends_an_idle_registry_without_waiting(published):
    folder, _ = published
    pool = RegistryPool(folder / "registry.db", Keys.load(folder / "quelvane.key"), 1, 1024, 60.0)
    try:
        with pool.borrow(), pool.borrow_idle() as none_idle:
            assert none_idle is None
        with pool.borrow_idle() as idle:
            assert idle is not None
    finally:
        pool.close()


@pytest.mark.parametrize("request_args, status, message", [
    (("GET", "/matches/byBinding", {"params": {"alg": "com.example.other.1", "value": "AAAA"}}), 400,
     "unknown soft-binding algorithm"),
    (("GET", "/matches/byBinding", {"params": {"alg": WATERMARK_ALG, "value": "not base64!"}}), 400, "not base64"),
    (("GET", "/matches/byBinding", {"params": {"alg": SURFACE_ALG, "value": b64(bytes(16))}}), 400, "is 32 bytes"),
    (("GET", "/matches/byBinding", {"params": {"alg": WATERMARK_ALG, "value": b64(bytes(16)), "maxResults": "0"}}),
     400, "maxResults"),
    (("GET", "/matches/byBinding", {"params": {"alg": WATERMARK_ALG}}), 400, "value"),
    (("GET", "/matches/byBinding", {"params": {"alg": MINHASH_ALG, "value": "A" * 2049}}), 414, "send it with POST"),
    (("POST", "/matches/byBinding", {"content": b"{", "headers": {"content-type": "application/json"}}), 400, ""),
    (("POST", "/matches/byBinding", {"json": {"alg": MINHASH_ALG, "value": b64(bytes(1023))}}), 400, "1024 bytes"),
    (("POST", "/matches/byContent", {"content": b"\x89PNG", "headers": {"content-type": "image/png"}}), 415,
     "text/plain"),
    (("POST", "/matches/byContent", {"content": b"", "headers": {"content-type": "text/plain"}}), 400, ""),
    (("POST", "/matches/byContent", {"content": b"\xff\xfe", "headers": {"content-type": "text/plain"}}), 400,
     "UTF-8"),
    (("POST", "/matches/byContent", {"params": {"alg": "x"}, "content": b"hi",
                                     "headers": {"content-type": "text/plain"}}), 400, "unknown soft-binding algorithm"),
    (("POST", "/matches/byContent", {"params": {"hintAlg": WATERMARK_ALG}, "content": b"hi",
                                     "headers": {"content-type": "text/plain"}}), 400, "hintValue together"),
    (("POST", "/matches/byContent", {"content": b"x" * (64 * 1024 + 1), "headers": {"content-type": "text/plain"}}),
     413, ""),
    (("GET", "/manifests/urn:c2pa:not-a-uuid", {}), 400, "not a manifest id"),
    (("GET", "/manifests/urn:c2pa:12345678-1234-4234-8234-123456789abc", {}), 404, "no manifest"),
])
def test_bad_queries_get_the_service_error_body(client, request_args, status, message):
    method, path, kwargs = request_args
    response = client.request(method, path, **kwargs)
    assert response.status_code == status, response.text
    assert message in response.json()["detail"]


def test_the_scale_keeps_weak_evidence_below_the_match_floor():
    assert [minhash_score(a) for a in (0, 23, 24, 127, 128)] == [0, 46, MATCH_FLOOR, 98, 100]
    assert max(minhash_score(a) for a in range(24)) <= WEAK_CEILING < MATCH_FLOOR


def test_supported_algorithms(client):
    assert client.get("/services/supportedAlgorithms").json() == {
        "watermarks": [{"alg": WATERMARK_ALG}],
        "fingerprints": [{"alg": SURFACE_ALG}, {"alg": STRUCTURE_ALG}, {"alg": MINHASH_ALG}]}


def _reader(text, store, anchors=""):
    context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors}}) if anchors else c2pa.Context()
    return context, c2pa.Reader("text/plain", io.BytesIO(text.encode()), manifest_data=store, context=context)


def test_the_sdk_validates_a_manifest_fetched_over_http(client, published):
    folder, results = published
    result = results["article"]
    response = client.get(f"/manifests/{manifest_of(published, 'article')}", params={"returnActiveManifest": "true"})
    assert response.status_code == 200 and response.headers["content-type"] == "application/c2pa"
    store = response.content
    context, reader = _reader(result.published, store)
    with context, reader:
        assert reader.get_validation_state() == "Valid"
        manifest = json.loads(reader.json())
    context, reader = _reader(result.published, store, (folder / TEST_ROOT_FILE).read_text())
    with context, reader:
        assert reader.get_validation_state() == "Trusted"
    active = manifest["manifests"][manifest["active_manifest"]]
    assert manifest["active_manifest"] == manifest_of(published, "article")
    bindings = {a["data"]["alg"]: a["data"] for a in active["assertions"] if a["label"].startswith("c2pa.soft-binding")}
    # Classified on the published text, watermark verified and cross-check held: what each algorithm gives.
    tiers = {alg: quelvane.verify_tier(result.published, cbor2.dumps(data).hex(), True, True)
             for alg, data in bindings.items()}
    assert tiers == {SURFACE_ALG: "BOUND", MINHASH_ALG: "BOUND", STRUCTURE_ALG: "LIKELY", WATERMARK_ALG: "LIKELY"}
    context, reader = _reader(result.published.replace("ferry", "Ferry", 1), store)
    with context, reader:
        codes = [s["code"] for s in reader.get_validation_results()["activeManifest"]["failure"]]
    assert "assertion.dataHash.mismatch" in codes


def _operations(document):
    return {(path, method) for path, item in document["paths"].items() for method in item}


def test_served_paths_and_answers_follow_the_published_api(client):
    published_api = json.loads(PUBLISHED_API.read_text())
    served = client.get("/openapi.json").json()
    assert _operations(published_api) <= _operations(served)
    for path, method in _operations(published_api):
        theirs, ours = published_api["paths"][path][method], served["paths"][path][method]
        assert ours["operationId"] == theirs["operationId"]
        parameters = {(p["name"], p["in"]): p for p in ours.get("parameters", [])}
        for parameter in theirs.get("parameters", []):
            mine = parameters[(parameter["name"], parameter["in"])]
            assert mine.get("required", False) == parameter.get("required", False)
            assert mine["schema"].get("type") == parameter["schema"]["type"]
        assert set(theirs["responses"]) - {"500"} <= set(ours["responses"])
        if "requestBody" in theirs:
            assert set(ours["requestBody"]["content"]) & ({"application/json"} | {
                m for m in theirs["requestBody"]["content"] if m.startswith("text/")} | {"text/plain"})
    # Our answers are valid instances of their result schema.
    schema = published_api["components"]["schemas"]["c2pa.softBindingQueryResult"]["properties"]["matches"]
    assert schema["items"]["required"] == ["manifestId"]
    assert schema["items"]["properties"]["similarityScore"] == {**schema["items"]["properties"]["similarityScore"],
                                                               "type": "integer", "minimum": 0, "maximum": 100}


def _usable_half_the_time(case, data, manifest_id):
    """Random strings are almost never a usable binding or manifest id: half the cases get one,
    so that the answers with matches are checked too."""
    if not data.draw(st.booleans()):
        return
    alg = data.draw(st.sampled_from(sorted(VALUE_BYTES)))
    value = b64(data.draw(st.binary(min_size=VALUE_BYTES[alg], max_size=VALUE_BYTES[alg])))
    if isinstance(case.body, dict):
        case.body.update(alg=alg, value=value)
    elif case.query is not None and "value" in case.query:
        case.query.update(alg=alg, value=value)
    if case.path_parameters:
        case.path_parameters["manifestId"] = manifest_id


def test_the_served_api_never_fails_and_answers_as_documented(app, published):
    """Generated from the served OpenAPI document, a bounded number of cases per operation."""
    schema = schemathesis.openapi.from_asgi("/openapi.json", app).include(path_regex="^/(matches|manifests|services)/")
    operations = [result.ok() for result in schema.get_all_operations()]
    assert len(operations) == 5
    for operation in operations:
        @given(case=operation.as_strategy(), data=st.data())
        @settings(max_examples=30, deadline=None, suppress_health_check=list(HealthCheck))
        def conforms(case, data):
            _usable_half_the_time(case, data, manifest_of(published, "article"))
            case.call_and_validate(checks=[not_a_server_error, status_code_conformance, content_type_conformance,
                                           response_schema_conformance])

        conforms()
