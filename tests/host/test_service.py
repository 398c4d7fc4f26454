"""The HTTP API and the page through the framework's test client: identify in every way a text
can be sent, the public record, publishing behind the token, the body limit and bad input."""
import asyncio
import json
import logging
import re

import pytest
import quelvane

pytest.importorskip("fastapi")
cbor2 = pytest.importorskip("cbor2")
pytest.importorskip("httpx2")
from click.testing import CliRunner  # noqa: E402
from fastapi.testclient import TestClient  # noqa: E402

from quelvane_host.cli import main  # noqa: E402
from quelvane_host.web import ServiceConfig, ServiceConfigError, Token, create_app, read_token  # noqa: E402
from .forgery import forge, look_alike  # noqa: E402
from .texts import ARTICLE, ESSAY, FILLER, NOTES  # noqa: E402

TOKEN = "s3cret-token-for-tests-0123456789"
LIMIT = 64 * 1024
ALGS = ("com.lanternquill.text-fingerprint.1", "com.lanternquill.text-structure.1",
        "com.lanternquill.text-minhash.1", "com.lanternquill.zwc-watermark.2")


@pytest.fixture
def seen():
    """Every response body and log line of a test, to search for secrets at the end."""
    return []


@pytest.fixture
def client(tmp_path, keys, registry, seen, caplog):
    caplog.set_level(logging.DEBUG)
    config = ServiceConfig(tmp_path / "registry.db", keys, Token(TOKEN), max_body_bytes=LIMIT, pool_size=2)
    with TestClient(create_app(config)) as opened:
        original = opened.request

        def recording(*args, **kwargs):
            response = original(*args, **kwargs)
            seen.append(response.text + json.dumps(dict(response.headers)))
            return response

        opened.request = recording
        yield opened
    secrets = (keys.signing_hex, keys.binding_hex, TOKEN)
    for text in seen + [caplog.text]:
        assert not any(secret in text for secret in secrets)


def publish(client, text, **fields):
    response = client.post("/publications", json={"text": text, **fields},
                           headers={"Authorization": f"Bearer {TOKEN}"})
    assert response.status_code == 201, response.text
    return response.json()


@pytest.mark.parametrize("how", ["json", "file", "form text", "raw"])
def test_identify_a_published_copy_however_it_is_sent(client, how):
    record = publish(client, ARTICLE, metadata={"title": "Ferry", "url": "https://example.org/ferry"})
    copy = record["published"]
    sent = {
        "json": lambda: client.post("/identify", json={"text": copy}),
        "file": lambda: client.post("/identify", files={"file": ("found.txt", copy.encode(), "text/plain")}),
        "form text": lambda: client.post("/identify", data={"text": copy, "format": "text"}),
        "raw": lambda: client.post("/identify", content=copy.encode(), headers={"content-type": "text/plain"}),
    }[how]()
    assert sent.status_code == 200, sent.text
    body = sent.json()
    assert (body["verdict"], body["matched"]) == ("match", 1)
    assert body["found_text"] == copy and body["complete"] and body["note"] == ""
    [match] = body["matches"]
    evidence = match["evidence"]
    assert evidence["identical"] and evidence["differences"] == [] and evidence["minhash_agreement"] == 128
    assert (match["pointer"], match["verdict"], match["tier"]) == (record["pointer"], "match", "BOUND")
    assert evidence["watermark"] and evidence["crosscheck_ok"] and evidence["found_by"][0] == "watermark"
    assert match["tier_meaning"].startswith("A signed fingerprint matches")
    assert match["publication"]["metadata"] == {"title": "Ferry", "url": "https://example.org/ferry"}
    assert [a["alg"] for a in evidence["assertions"]] == list(ALGS)
    for checked in evidence["assertions"]:
        assert checked["signature_ok"] and cbor2.loads(bytes.fromhex(checked["assertion_hex"]))["alg"] == checked["alg"]
    watermark = cbor2.loads(bytes.fromhex(evidence["assertions"][3]["assertion_hex"]))
    assert watermark["blocks"][0]["value"] == record["pointer"]


def test_identify_reports_both_sides_of_an_excerpt(client):
    notes = publish(client, NOTES)
    publish(client, ARTICLE)
    excerpt = NOTES[NOTES.index("The command that lists"):NOTES.index("which makes them")]
    found = f"{FILLER}\n\n{excerpt}\n\n{ESSAY}"
    [match] = client.post("/identify", json={"text": found}).json()["matches"]
    assert match["pointer"] == notes["pointer"] and match["evidence"]["found_by"] == ["excerpt index"]
    assert match["tier"] in ("LIKELY", "REVIEW") and not match["evidence"]["crosscheck_ok"]
    [passage] = match["evidence"]["passages"]
    shown = found[passage["found"]["start"]:passage["found"]["end"]]
    assert shown in excerpt and len(shown) > 0.8 * len(excerpt)
    assert passage["publication_text"] == shown  # copied word for word
    assert NOTES.find(shown) == passage["publication"]["start"]


def test_a_text_sharing_one_band_is_not_a_match(client):
    record = publish(client, ARTICLE)
    vocabulary = sorted({w.lower() for w in re.findall(r"[^\W_]+", FILLER)})
    forged = next(f for f in (forge(ARTICLE, band, vocabulary) for band in range(32)) if f is not None)
    body = client.post("/identify", json={"text": forged}).json()
    assert all(m["verdict"] != "match" for m in body["matches"])
    assert all(m["pointer"] == record["pointer"] and m["evidence"]["band_keys"] > 0 for m in body["matches"])


def test_html_and_markdown_uploads_are_compared_by_their_visible_text(client):
    record = publish(client, ESSAY)
    page = "<html><head><title>x</title><style>p{}</style></head><body>" + "".join(
        f"<p>{paragraph}</p>" for paragraph in ESSAY.split("\n\n")) + "</body></html>"
    for name, document in (("found.html", page), ("found.md", "# Soil\n\n" + ESSAY)):
        body = client.post("/identify", files={"file": (name, document.encode())}).json()
        assert "<p>" not in body["found_text"] and "# Soil" not in body["found_text"]
        assert body["format"] == ("html" if name.endswith("html") else "markdown")
        assert [m["pointer"] for m in body["matches"]] == [record["pointer"]]


def test_public_record(client):
    record = publish(client, ESSAY, metadata={"title": "Soil"})
    shown = client.get(f"/publications/{record['pointer'].upper()}")
    assert shown.status_code == 200
    public = shown.json()
    assert public == record["record"]
    assert set(public) == {"pointer", "format", "created", "metadata", "content_hash", "public_key", "characters",
                           "envelopes", "watermark_runs", "watermark_note", "withdrawal"}
    for envelope in public["envelopes"]:
        quelvane.verify(envelope["cose_hex"], public["public_key"])
    assert client.get("/publications/" + "0" * 32).status_code == 404
    bad = client.get("/publications/not-a-pointer")
    assert bad.status_code == 422 and "32 hexadecimal" in bad.json()["detail"]


@pytest.mark.parametrize("authorization", [
    None,
    "Bearer",
    "Bearer ",
    f"Basic {TOKEN}",
    "Bearer " + "x" * len(TOKEN),                # wrong, same length
    "Bearer " + TOKEN[:-1],                       # one character short
    "Bearer " + TOKEN + "0",                      # one character long
    "Bearer " + TOKEN.upper(),
    "Bearer " + "é" * 3,                          # not ASCII
])
def test_publishing_needs_the_token(client, authorization):
    headers = {} if authorization is None else {"Authorization": authorization.encode("latin-1")}
    refused = client.post("/publications", json={"text": ARTICLE}, headers=headers)
    assert refused.status_code == 401 and refused.headers["www-authenticate"].startswith("Bearer")
    assert refused.json()["detail"] in ("wrong token", "missing bearer token: send the header Authorization: "
                                                       "Bearer <token>")
    assert client.post("/identify", json={"text": ARTICLE}).json()["matches"] == []


def test_without_a_token_publishing_is_off(tmp_path, keys, registry):
    with TestClient(create_app(ServiceConfig(tmp_path / "registry.db", keys))) as client:
        refused = client.post("/publications", json={"text": ARTICLE}, headers={"Authorization": f"Bearer {TOKEN}"})
        assert refused.status_code == 403 and "without a token" in refused.json()["detail"]


@pytest.mark.parametrize("chunked", [False, True])
def test_bodies_over_the_limit_get_413(client, chunked):
    chunk = b"word " * 1024
    count = 4 * LIMIT // len(chunk)

    def body():
        return (chunk for _ in range(count)) if chunked else chunk * count

    refused = client.post("/publications", content=body(), headers={
        "Authorization": f"Bearer {TOKEN}", "content-type": "application/json"})
    assert refused.status_code == 413 and f"limit of {LIMIT} bytes" in refused.json()["detail"]
    page = client.post("/", content=body(), headers={"content-type": "multipart/form-data; boundary=x",
                                                     "accept": "text/html"})
    assert page.status_code == 413 and page.headers["content-type"].startswith("text/html")
    assert client.get("/publications/" + "0" * 32).status_code == 404  # still serving


def test_a_body_at_the_limit_is_read(client):
    text = (FILLER + " ") * (LIMIT // (len(FILLER) + 1))
    body = json.dumps({"text": text}).encode()
    body += b" " * (LIMIT - len(body))
    assert len(body) == LIMIT
    assert client.post("/identify", content=body, headers={"content-type": "application/json"}).status_code == 200


@pytest.mark.parametrize("request_kwargs, status, message", [
    ({"content": b'{"text": ', "headers": {"content-type": "application/json"}}, 422, "Invalid JSON"),
    ({"json": {}}, 422, "text: Field required"),
    ({"json": {"text": 7}}, 422, "text: Input should be a valid string"),
    ({"json": {"text": "words", "format": "pdf"}}, 422, "format: Input should be 'text', 'html' or 'markdown'"),
    ({"json": {"text": "words", "colour": "red"}}, 422, "colour: Extra inputs are not permitted"),
    ({"json": {"text": "  \n"}}, 400, "text is empty"),
    ({"files": {"file": ("a.bin", b"\x89PNG\x00\x01")}}, 400, "NUL bytes"),
    ({"files": {"file": ("a.txt", "café".encode("latin-1"))}}, 400, "not valid UTF-8"),
    ({"data": {"text": "", "format": "auto"}}, 400, "nothing to check"),
    ({"data": {"text": "words", "format": "pdf"}}, 400, "unknown format 'pdf'"),
    ({"content": b"x", "headers": {"content-type": "application/pdf"}}, 415, "send the text as JSON"),
])
def test_malformed_input_says_what_is_wrong(client, request_kwargs, status, message):
    answer = client.post("/identify", **request_kwargs)
    assert answer.status_code == status and message in answer.json()["detail"], answer.text


def test_malformed_publication_says_what_is_wrong(client):
    headers = {"Authorization": f"Bearer {TOKEN}"}
    answer = client.post("/publications", json={"text": ARTICLE, "metadata": []}, headers=headers)
    assert answer.status_code == 422 and answer.json()["detail"].startswith("metadata: Input should be")
    marked = publish(client, ARTICLE)["published"]
    again = client.post("/publications", json={"text": marked}, headers=headers)
    assert again.status_code == 400 and "already carries a watermark" in again.json()["detail"]


def test_openapi_and_the_page_load_nothing_from_elsewhere(client):
    described = client.get("/openapi.json").json()
    assert {"/identify", "/publications", "/publications/{pointer}"} <= set(described["paths"])
    assert described["components"]["securitySchemes"]["HTTPBearer"]["scheme"] == "bearer"
    identify = described["paths"]["/identify"]["post"]
    assert "IdentifyRequest" in json.dumps(identify["requestBody"]) or "text" in json.dumps(identify["requestBody"])
    assert client.get("/docs").status_code == 404  # its viewer would load scripts from a CDN
    page = client.get("/")
    policy = page.headers["content-security-policy"]
    assert policy.startswith("default-src 'none'") and "unsafe-inline" not in policy
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", page.text)
    for field in ("text", "file", "format"):
        assert f'<label for="{field}">' in page.text and f'id="{field}"' in page.text


def test_page_shows_cards_with_highlighted_passages(client):
    article = publish(client, ARTICLE, metadata={"title": "Ferry"})
    excerpt = NOTES[NOTES.index("The command that lists"):NOTES.index("which makes them")]
    publish(client, NOTES, metadata={"title": "Release <notes>"})
    found = FILLER + "\n\n" + excerpt + "\n\n" + article["published"]
    page = client.post("/", data={"text": found, "format": "auto"}, files={"file": ("", b"")})
    assert page.status_code == 200
    assert page.text.count('class="card ') == 2 and "Release &lt;notes&gt;" in page.text
    # The whole article shares its MinHash bands; the excerpt alone is far from every window of the notes.
    assert re.findall(r'<span class="badge badge-(\w+)" title', page.text) == ["likely", "review"]
    assert page.text.count('badge-verdict badge-match">MATCH<') == 2 and "2 publications found" in page.text
    for card in (1, 2):
        assert f'id="m{card}-f1" href="#m{card}-p1"' in page.text and f'<li id="m{card}-p1"' in page.text
    # Neither copy stands alone: each card says the found text is not the publication word for word.
    assert page.text.count("differs from the publication: ") == 2
    empty = client.post("/", data={"text": "  "})
    assert empty.status_code == 400 and "nothing to check" in empty.text


def test_token_sources(tmp_path, monkeypatch):
    assert read_token(None, {}) is None
    assert read_token(None, {"QUELVANE_TOKEN": f" {TOKEN}\n"}).matches(TOKEN.encode())
    path = tmp_path / "token"
    path.write_text(TOKEN + "\n")
    path.chmod(0o644)
    with pytest.raises(ServiceConfigError, match="chmod 600"):
        read_token(path, {})
    path.chmod(0o600)
    token = read_token(path, {"QUELVANE_TOKEN": "ignored-when-a-file-is-named"})
    assert token.matches(TOKEN.encode()) and not token.matches(b"ignored-when-a-file-is-named")
    assert TOKEN not in repr(token)
    for value, message in (("short", "at least 16"), ("with space " * 3, "printable ASCII")):
        with pytest.raises(ServiceConfigError, match=message):
            Token(value)


@pytest.mark.parametrize("setup, message", [
    (lambda path: path.joinpath("token").write_text(TOKEN) or path.joinpath("token").chmod(0o644),
     "chmod 600"),
    (lambda path: path.joinpath("registry.db").unlink(), "no registry at"),
], ids=["token file readable by others", "no registry"])
def test_serve_refuses_to_start_with_the_reason(tmp_path, keys, registry, monkeypatch, setup, message):
    registry.close()
    setup(tmp_path)
    monkeypatch.chdir(tmp_path)
    options = ["--token-file", "token"] if message == "chmod 600" else []
    result = CliRunner().invoke(main, ["serve", "--registry", "registry.db", "--keys", "quelvane.key", *options])
    assert result.exit_code == 3 and message in result.output and "Traceback" not in result.output
    short = CliRunner().invoke(main, ["serve", "--keys", "quelvane.key"], env={"QUELVANE_TOKEN": "tiny-secret"})
    assert short.exit_code == 3 and "at least 16" in short.output and "tiny-secret" not in short.output


def test_a_registry_that_fails_after_start_gets_a_503_without_its_path(client, tmp_path, caplog):
    pointer = publish(client, ESSAY)["pointer"]
    for name in ("registry.db", "registry.db-wal", "registry.db-shm"):
        path = tmp_path / name
        if path.exists():
            path.write_bytes(b"garbage!" * (path.stat().st_size // 8))
    answers = [client.post("/identify", json={"text": ESSAY}), client.get(f"/publications/{pointer}"),
               client.post("/", data={"text": ESSAY}, headers={"accept": "text/html"})]
    for answer in answers:
        assert answer.status_code == 503 and answer.headers["retry-after"].isdigit()
        assert "the registry is unavailable; try again later" in answer.text
        assert str(tmp_path) not in answer.text and "registry.db" not in answer.text
    # The operator learns what failed, and where.
    assert f"registry {tmp_path / 'registry.db'} is damaged" in caplog.text


def test_turns_keep_one_client_from_taking_every_slot():
    from quelvane_host.web.limits import Busy, Turns

    async def scenario():
        turns = Turns(slots=3, client_slots=2, client_queue=1, wait_seconds=0.3)
        release = asyncio.Event()
        inside = []

        async def request(client):
            async with turns.turn(client):
                inside.append(client)
                await release.wait()

        greedy = [asyncio.create_task(request("10.0.0.1")) for _ in range(2)]
        await asyncio.sleep(0.01)
        # Its third request waits for one of its own; its fourth is over its queue: busy at once.
        third = asyncio.create_task(request("10.0.0.1"))
        await asyncio.sleep(0.01)
        with pytest.raises(Busy):
            await request("10.0.0.1")
        # Another client gets the slot the greedy one may not take.
        other = asyncio.create_task(request("10.0.0.2"))
        await asyncio.sleep(0.01)
        assert inside == ["10.0.0.1", "10.0.0.1", "10.0.0.2"]
        with pytest.raises(Busy):  # no slot frees within the wait
            await third
        release.set()
        await asyncio.gather(*greedy, other)
        async with turns.turn("10.0.0.1"):  # everything given back
            async with turns.turn("10.0.0.1"):
                pass

    asyncio.run(scenario())


def test_the_command_line_and_the_api_give_one_result_shape(client, tmp_path):
    record = publish(client, ESSAY, metadata={"title": "Soil"})
    publish(client, ARTICLE)
    found = tmp_path / "found.txt"
    found.write_text(record["published"] + "\n\n" + look_alike(ARTICLE), encoding="utf-8")
    for asked, rows, hidden in (([], [("match", "LIKELY")], 1), (["--weak"], [("match", "LIKELY"), ("weak", None)], 0)):
        answer = client.post("/identify" + ("?weak=true" if asked else ""),
                             files={"file": ("found.txt", found.read_bytes())}).json()
        printed = CliRunner().invoke(main, ["identify", str(found), "--json", *asked, "--registry",
                                            str(tmp_path / "registry.db"), "--keys", str(tmp_path / "quelvane.key")])
        [result] = json.loads(printed.stdout)
        assert result.pop("file") == str(found) and result == answer
        assert [(m["verdict"], m["tier"]) for m in answer["matches"]] == rows and answer["weak_hidden"] == hidden
    assert (answer["verdict"], answer["matched"]) == ("match", 1)
    described = client.get("/openapi.json").json()["components"]["schemas"]
    assert set(described["Match"]["properties"]) == set(answer["matches"][0])
    assert "withdrawn" in described["Match"]["properties"]["verdict"]["description"]


def test_withdraw_and_delete_over_http_need_the_token(client):
    record = publish(client, ARTICLE, metadata={"title": "Ferry"})
    pointer = record["pointer"]
    withdraw = f"/publications/{pointer}/withdraw"
    for headers in ({}, {"Authorization": "Bearer wrong"}):
        assert client.post(withdraw, json={"reason": "x"}, headers=headers).status_code == 401
        assert client.delete(f"/publications/{pointer}", headers=headers).status_code == 401
    token = {"Authorization": f"Bearer {TOKEN}"}
    withdrawn = client.post(withdraw, json={"reason": "figures were wrong"}, headers=token)
    assert withdrawn.status_code == 200 and withdrawn.json()["withdrawal"]["reason"] == "figures were wrong"
    assert client.get(f"/publications/{pointer}").json()["withdrawal"] == withdrawn.json()["withdrawal"]
    again = client.post(withdraw, json={"reason": "again"}, headers=token)
    assert again.status_code == 400 and "already withdrawn" in again.json()["detail"]
    body = client.post("/identify", json={"text": record["published"]}).json()
    assert (body["verdict"], body["matched"], body["matches"][0]["verdict"]) == ("withdrawn", 0, "withdrawn")
    page = client.post("/", data={"text": record["published"]})
    assert "No publication found" in page.text and "Withdrawn publications (1)" in page.text
    assert "figures were wrong" in page.text
    deleted = client.delete(f"/publications/{pointer.upper()}", headers=token)
    assert deleted.status_code == 200 and deleted.json()["pointer"] == pointer
    gone = client.get(f"/publications/{pointer}")
    assert gone.status_code == 404 and "was deleted on" in gone.json()["detail"]
    assert client.delete(f"/publications/{pointer}", headers=token).status_code == 404
    assert client.post("/identify", json={"text": record["published"]}).json()["matches"] == []


def test_the_page_counts_matches_and_folds_weak_similarities(client):
    essay = publish(client, ESSAY, metadata={"title": "Soil"})
    publish(client, ARTICLE, metadata={"title": "Ferry"})
    page = client.post("/", data={"text": essay["published"] + "\n\n" + look_alike(ARTICLE), "weak": "on"}).text
    assert "<title>1 found" in page and "1 publication found" in page
    matches, weak = page.index('<div id="matches">'), page.index('<details class="weak" id="weak">')
    assert matches < page.index("Soil</h3>") < weak < page.index("Ferry</h3>")
    assert "Weak similarities, not matches (1)" in page and 'name="weak" value="on" checked' in page
    alone = client.post("/", data={"text": look_alike(ARTICLE), "weak": "on"}).text
    assert "No publication found" in alone and "none of it is a match" in alone and 'class="weak"' in alone


def test_the_page_hides_common_weak_similarities_unless_asked_for(client):
    essay = publish(client, ESSAY, metadata={"title": "Soil"})
    publish(client, ARTICLE, metadata={"title": "Ferry"})
    page = client.post("/", data={"text": essay["published"] + "\n\n" + look_alike(ARTICLE)}).text
    assert "1 publication found" in page and "Soil</h3>" in page and "Ferry</h3>" not in page
    assert 'class="weak"' not in page and "1 weak similarity hidden" in page
    assert 'name="weak" value="on">' in page  # left unticked
    alone = client.post("/", data={"text": look_alike(ARTICLE)}).text
    assert "No publication found" in alone and "only weak similarities" in alone and "1 weak similarity hidden" in alone
    # With no row at all the page still answers, and says what was looked for.
    nothing = client.post("/", data={"text": "A short note of a few words that nobody here ever published."}).text
    assert "No publication found" in nothing and "no close fingerprint" in nothing and "hidden" not in nothing
