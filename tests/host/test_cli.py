import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quelvane_host import identify
from quelvane_host.cli import main
from .commands import invoke
from .texts import ARTICLE, ESSAY, FILLER, NOTES


def test_publish_identify_list_show(runner, tmp_path):
    Path("article.txt").write_text(ARTICLE)
    published = invoke(runner, "publish", "article.txt", "--title", "Ferry", "--json")
    assert published.exit_code == 0, published.output
    [record] = json.loads(published.output)
    assert record["watermarked"] and record["output"] == "article.published.txt"
    found = invoke(runner, "identify", "article.published.txt", "--json")
    assert found.exit_code == 0
    [result] = json.loads(found.output)
    assert (result["file"], result["verdict"], result["matched"]) == ("article.published.txt", "match", 1)
    [match] = result["matches"]
    assert (match["pointer"], match["verdict"], match["tier"]) == (record["pointer"], "match", "BOUND")
    assert match["evidence"]["found_by"][0] == "watermark" and match["publication"]["title"] == "Ferry"
    listed = json.loads(invoke(runner, "list", "--json").output)
    assert [(s["pointer"], s["title"]) for s in listed] == [(record["pointer"], "Ferry")]
    shown = invoke(runner, "show", record["pointer"], "--text")
    assert shown.output == Path("article.published.txt").read_text()
    human = invoke(runner, "identify", "article.published.txt")
    assert human.output.splitlines()[:2] == ["1 match", f"MATCH  binding BOUND  {record['pointer']}  Ferry"]


def test_identify_says_what_differs_and_when_the_result_was_cut(runner, monkeypatch):
    for name, text in (("article", ARTICLE), ("essay", ESSAY), ("notes", NOTES)):
        Path(f"{name}.txt").write_text(text)
        invoke(runner, "publish", f"{name}.txt")
    Path("all.txt").write_text("\n\n".join((ARTICLE.replace("Tuesday", "Monday"), ESSAY, NOTES)))
    whole = invoke(runner, "identify", "all.txt")
    assert whole.stderr == "" and whole.stdout.count("MATCH") == 3
    assert '"Monday" in place of "Tuesday"' in whole.stdout
    monkeypatch.setattr(identify, "MAX_ROWS", 2)
    cut = invoke(runner, "identify", "all.txt", "--json")
    assert len(json.loads(cut.stdout)[0]["matches"]) == 2
    assert cut.stderr.startswith("quelvane: all.txt: result cut: only the first 2 publications found are reported")
    alone = invoke(runner, "identify", "essay.published.txt")
    assert "the copy is identical to the publication (white space aside)" in alone.stdout


def test_exit_status_when_nothing_is_found(runner):
    Path("article.txt").write_text(ARTICLE)
    invoke(runner, "publish", "article.txt")
    Path("other.txt").write_text(FILLER)
    result = invoke(runner, "identify", "other.txt", "--json")
    [found] = json.loads(result.output)
    assert (result.exit_code, found["verdict"], found["matches"]) == (1, "none", [])
    assert invoke(runner, "show", "00" * 16).exit_code == 1


def test_index_reports_bad_files_and_goes_on(runner):
    folder = Path("articles")
    (folder / "sub").mkdir(parents=True)
    (folder / "a.txt").write_text(ARTICLE)
    (folder / "sub" / "b.md").write_text("# Notes\n\n" + NOTES)
    (folder / "empty.txt").write_text("")
    (folder / "latin1.txt").write_bytes("café au lait ".encode("latin-1") * 10)
    (folder / "image.bin").write_bytes(bytes(range(256)))
    result = runner.invoke(main, ["index", "articles", "--json"])
    assert result.exit_code == 4
    records = {Path(r["file"]).name: r for r in json.loads(result.stdout)}
    assert records["a.txt"]["watermarked"] and records["b.md"]["watermarked"]
    assert "empty" in records["empty.txt"]["error"]
    assert "not valid UTF-8" in records["latin1.txt"]["error"]
    assert "binary" in records["image.bin"]["error"]
    assert Path("articles.published/sub/b.published.md").exists()
    assert len(json.loads(invoke(runner, "list", "--json").output)) == 2


def test_errors_are_one_line_without_traceback(runner, tmp_path):
    os.chmod("quelvane.key", 0o644)
    Path("a.txt").write_text(ARTICLE)
    result = runner.invoke(main, ["publish", "a.txt"])
    assert result.exit_code == 3
    assert result.output.count("\n") == 1 and "chmod 600" in result.output and "Traceback" not in result.output
    os.chmod("quelvane.key", 0o600)
    result = runner.invoke(main, ["list", "--registry", "absent.db"])
    assert result.exit_code == 3 and "quelvane init" in result.output


def test_export_import(runner, tmp_path):
    Path("a.txt").write_text(ESSAY)
    invoke(runner, "publish", "a.txt")
    assert invoke(runner, "export", "all.jsonl").exit_code == 0
    invoke(runner, "init", "--registry", "second.db")
    imported = invoke(runner, "import", "--registry", "second.db", "all.jsonl", "--json")
    assert json.loads(imported.output) == {"added": 1, "skipped": 0}


def test_installed_console_script(tmp_path):
    script = shutil.which("quelvane", path=str(Path(sys.executable).parent)) or shutil.which("quelvane")
    if script is None:
        pytest.skip("the quelvane command is not installed next to this interpreter")
    (tmp_path / "a.txt").write_text(ARTICLE)
    for args in (["init"], ["publish", "a.txt"], ["identify", "a.published.txt"]):
        done = subprocess.run([script, *args], cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
    assert "MATCH" in done.stdout
    assert "Exit status" in subprocess.run([script, "--help"], capture_output=True, text=True).stdout
