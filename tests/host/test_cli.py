import contextlib
import json
import os
import re
import select
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from click.testing import CliRunner

from quelvane_host import Keys, identify
from quelvane_host.cli import main
from .commands import invoke
from .forgery import look_alike
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
    closed = subprocess.run(["bash", "-c", f"'{script}' publish - <&-"], cwd=tmp_path, capture_output=True, text=True)
    assert (closed.returncode, closed.stderr) == (3, "quelvane: standard input is closed: pipe the text in, or name a file\n")
    assert "Exit status" in subprocess.run([script, "--help"], capture_output=True, text=True).stdout


@pytest.mark.parametrize("command", [[], *([name] for name in sorted(main.commands))],
                         ids=lambda command: " ".join(["quelvane", *command]))
def test_every_help_answers_to_h_and_shows_an_example(command):
    short, long = invoke(CliRunner(), *command, "-h"), invoke(CliRunner(), *command, "--help")
    assert short.exit_code == 0 and short.output == long.output
    assert "Example" in short.output or not command  # the group's help shows the commands instead


def test_publish_reads_standard_input_and_prints_its_document(runner):
    first = runner.invoke(main, ["publish", "-", "--title", "Ferry"], input=ARTICLE)
    assert first.exit_code == 0 and first.stderr.startswith("quelvane: published as ")
    pointer = first.stderr.split()[3]
    assert first.stdout != ARTICLE and first.stdout == invoke(runner, "show", pointer, "--text").output
    Path("copy.txt").write_text(first.stdout)
    [found] = json.loads(invoke(runner, "identify", "copy.txt", "--json").output)
    [match] = found["matches"]
    assert (match["pointer"], match["verdict"], match["publication"]["title"]) == (pointer, "match", "Ferry")
    # Run again (say, after the document was lost on its way out): the same document, nothing new stored.
    again = runner.invoke(main, ["publish", "-", "--json"], input=ARTICLE)
    record = json.loads(again.stdout)
    assert (record["pointer"], record["already_published"], record["document"]) == (pointer, True, first.stdout)
    assert len(json.loads(invoke(runner, "list", "--json").output)) == 1


@pytest.mark.parametrize("args, given, status, said", [
    (["-", "other.txt"], ESSAY, 2, "give - alone"),
    (["-", "--output-dir", "out"], ESSAY, 2, "give - alone"),
    (["-"], b"", 3, "text is empty"),
    (["-"], "caf\xe9 ".encode("latin-1") * 30, 3, "not valid UTF-8"),
    (["-", "--max-bytes", "100"], ESSAY, 3, "over the limit of 100"),
])
def test_publish_refuses_bad_standard_input(runner, args, given, status, said):
    Path("other.txt").write_text(NOTES)
    result = runner.invoke(main, ["publish", *args], input=given)
    assert (result.exit_code, result.stdout) == (status, "") and said in result.stderr
    assert json.loads(invoke(runner, "list", "--json").output) == []


def test_error_lines_are_never_cut_at_the_terminal_width(runner):
    name = "a-file-whose-name-is-much-longer-than-a-terminal-line-is-wide-" * 3 + ".txt"
    Path("folder").mkdir()
    (Path("folder") / name).write_bytes(b"\xff\xfe")
    (Path("folder") / "good.txt").write_text(ARTICLE)
    result = runner.invoke(main, ["index", "folder"], env={"COLUMNS": "40"})
    assert result.exit_code == 4
    assert f"folder/{name}: error: file is not valid UTF-8 (byte 0); convert it to UTF-8 first\n" in result.stderr
    assert "\x1b" not in result.output  # off a terminal, no colour or cursor codes either


def _on_a_terminal(command, cwd, env):
    """What `command` wrote to a pseudo-terminal standing for its standard output and error."""
    import pty

    leader, follower = pty.openpty()
    with subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=follower,
                          stderr=follower) as process:
        os.close(follower)
        written = b""
        with contextlib.suppress(OSError):  # the terminal closes when the command ends
            while select.select([leader], [], [], 120)[0] and (chunk := os.read(leader, 65536)):
                written += chunk
        process.kill()  # only if it hung: it has ended when its terminal closed
    os.close(leader)
    return written


@pytest.mark.parametrize("no_color, coloured", [(None, True), ("1", False)])
def test_on_a_terminal_lines_start_clear_of_the_bar_and_no_color_is_honoured(tmp_path, no_color, coloured):
    script = shutil.which("quelvane", path=str(Path(sys.executable).parent))
    if script is None:
        pytest.skip("the quelvane command is not installed next to this interpreter")
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "FORCE_COLOR", "TERM")}
    env.update({"TERM": "xterm-256color"} | ({"NO_COLOR": no_color} if no_color else {}))
    subprocess.run([script, "init"], cwd=tmp_path, env=env, check=True, capture_output=True)
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "a.txt").write_text(ARTICLE)
    (tmp_path / "folder" / "b.txt").write_bytes(b"\xff")
    written = _on_a_terminal([script, "index", "folder"], tmp_path, env)
    assert b"b.txt: error: file is not valid UTF-8" in written  # the bar was drawn beside it
    # Each line begins where the bar's line was cleared (or on a new line), never glued to the bar.
    assert re.findall(rb"(.{0,4})folder/[ab]\.txt: ", written) == [b"\x1b[2K"] * 2
    assert (re.search(rb"\x1b\[[0-9;]*m", written) is not None) == coloured


def test_shell_completion_line_of_the_readme_completes(tmp_path):
    bin_dir = Path(sys.executable).parent
    if shutil.which("quelvane", path=str(bin_dir)) is None:
        pytest.skip("the quelvane command is not installed next to this interpreter")
    completed = subprocess.run(
        ["bash", "-c", 'eval "$(_QUELVANE_COMPLETE=bash_source quelvane)"; COMP_WORDS=(quelvane ide); '
                       'COMP_CWORD=1; _quelvane_completion quelvane; echo "${COMPREPLY[@]}"'],
        env=dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}"), cwd=tmp_path,
        capture_output=True, text=True, timeout=60)
    assert completed.stdout.split() == ["identify"], completed.stderr


def test_scan_refuses_a_key_file_the_registry_was_not_made_with(runner):
    Path("corpus.txt").write_text(ARTICLE)
    Keys.generate("another").save("other.key")
    result = runner.invoke(main, ["scan", "corpus.txt", "--keys", "other.key", "--output", "out", "--format", "jsonl"])
    assert result.exit_code == 3 and "restore its key file" in result.stderr and "Traceback" not in result.output
    assert not Path("out").exists()


@pytest.fixture
def published(runner):
    """The article and the essay published; their documents beside them."""
    for name, text in (("article", ARTICLE), ("essay", ESSAY)):
        Path(f"{name}.txt").write_text(text)
        invoke(runner, "publish", f"{name}.txt")
    Path("unrelated.txt").write_text(FILLER)
    Path("look-alike.txt").write_text(look_alike(ARTICLE))
    Path("empty.txt").write_text("")
    article, essay = json.loads(invoke(runner, "list", "--json").output)
    return {"article": article["pointer"], "essay": essay["pointer"], "title": article["title"]}


@pytest.mark.parametrize("files, status", [
    (["article.published.txt", "unrelated.txt"], 0),
    (["unrelated.txt"], 1),
    (["look-alike.txt"], 1),  # weak similarities are not matches
    (["empty.txt", "empty.txt"], 3),  # every file failed
    (["article.published.txt", "empty.txt"], 4),  # some failed, the rest done
])
def test_identify_exit_status(runner, published, files, status):
    result = invoke(runner, "identify", *files)
    assert result.exit_code == status, result.output
    # One block per file read, headed by its name when there are several.
    assert result.stdout.count("== ") == (sum(f != "empty.txt" for f in files) if len(files) > 1 else 0)


def test_identify_prints_matches_first_and_folds_weak_similarities_asked_for(runner, published):
    Path("mixed.txt").write_text(Path("essay.published.txt").read_text() + "\n\n" + look_alike(ARTICLE))
    lines = invoke(runner, "identify", "mixed.txt", "--weak").stdout.splitlines()
    assert lines[0] == "1 match" and lines[1].startswith("MATCH  binding LIKELY  ")
    weak = lines.index("weak similarities, not matches (1): only a surface or structural fingerprint is close")
    assert lines[weak + 1:] == [f"  WEAK  {published['article']}  {published['title']}"]
    assert weak > 4 and not any(line.startswith("WEAK") for line in lines)


@pytest.mark.parametrize("file, first", [("mixed.txt", "1 match"), ("look-alike.txt", "no match")])
def test_identify_hides_common_weak_similarities_and_says_how_to_show_them(runner, published, file, first):
    Path("mixed.txt").write_text(Path("essay.published.txt").read_text() + "\n\n" + look_alike(ARTICLE))
    lines = invoke(runner, "identify", file).stdout.splitlines()
    assert lines[0] == first and not any("WEAK" in line for line in lines)
    assert lines[-1] == "1 weak similarity hidden, of a kind unrelated texts often share; show them with --weak"
    [result] = json.loads(invoke(runner, "identify", file, "--json").stdout)
    assert result["weak_hidden"] == 1 and all(m["verdict"] != "weak" for m in result["matches"])


def test_identify_reads_standard_input_and_refusals_give_the_real_size(runner, published):
    copy = Path("article.published.txt").read_text()
    result = runner.invoke(main, ["identify", "-", "--json"], input=copy)
    [found] = json.loads(result.stdout)
    assert (result.exit_code, found["file"], found["verdict"]) == (0, "-", "match")
    Path("big.txt").write_text(copy * 40)
    size = Path("big.txt").stat().st_size
    refused = runner.invoke(main, ["identify", "big.txt", "--max-bytes", "1000"])
    assert refused.exit_code == 3 and f"file is {size} bytes, over the limit of 1000" in refused.stderr
    assert runner.invoke(main, ["identify", "big.txt", "--max-bytes", str(size)]).exit_code == 0
    refused = runner.invoke(main, ["publish", "big.txt", "--max-bytes", "1000"])
    assert refused.exit_code == 3 and f"file is {size} bytes, over the limit of 1000" in refused.stderr
    piped = runner.invoke(main, ["identify", "-", "--max-bytes", "1000"], input=copy * 40)
    assert piped.exit_code == 3 and "more than 1000 bytes" in piped.stderr


def test_verify_withdraw_and_delete(runner, published):
    article, essay = published["article"], published["essay"]
    assert invoke(runner, "verify", "article.published.txt", article).exit_code == 0
    assert invoke(runner, "verify", "article.published.txt", essay).stdout.startswith("NO MATCH")
    assert invoke(runner, "verify", "look-alike.txt", article).exit_code == 1
    withdrawn = invoke(runner, "withdraw", article, "--reason", "figures were wrong", "--json")
    at = json.loads(withdrawn.stdout)["withdrawal"]["at"]
    checked = invoke(runner, "verify", "article.published.txt", article, "--json")
    assert checked.exit_code == 1 and json.loads(checked.stdout)["match"]["verdict"] == "withdrawn"
    [found] = json.loads(invoke(runner, "identify", "article.published.txt", "--json").stdout)
    assert (found["verdict"], found["matched"]) == ("withdrawn", 0)
    assert found["matches"][0]["publication"]["withdrawal"] == {"reason": "figures were wrong", "at": at}
    human = invoke(runner, "identify", "article.published.txt").stdout.splitlines()
    # The binding strength stays shown: this is the withdrawn publication, word for word.
    assert human[:3] == ["no match", f"WITHDRAWN  binding BOUND  {article}  {published['title']}",
                         f"  withdrawn on {at}: figures were wrong"]
    assert "withdrawn" in invoke(runner, "show", article).stdout
    assert invoke(runner, "delete", essay).exit_code == 0
    gone = invoke(runner, "identify", "essay.published.txt")
    assert (gone.exit_code, gone.stdout) == (1, "no match\n")
    shown = invoke(runner, "show", essay)
    assert shown.exit_code == 1 and "was deleted on" in shown.stderr
    assert invoke(runner, "delete", essay).exit_code == 1
