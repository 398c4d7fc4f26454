"""What `publish` and `index` read and write: never a secret, never through a link, never a
publication without its document, one line per failed file."""
import json
import os
import resource
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from quelvane_host import Keys, Registry, manifests
from quelvane_host.cli import main
from quelvane_host.files import output_path, title_of
from .commands import invoke
from .texts import ARTICLE, ESSAY, FILLER, NOTES


def stored(runner):
    return json.loads(invoke(runner, "list", "--json").output)


def one_error_line(result):
    lines = [line for line in result.stderr.splitlines() if line.strip()]
    assert len(lines) == 1 and "Traceback" not in result.output, result.output
    return lines[0]


def test_index_of_the_working_folder_skips_the_key_file_and_the_registry(runner, tmp_path):
    """`quelvane index .` from the folder that holds quelvane.key and quelvane.db (their default
    place): the secrets and the registry's files are never published, and '.' works."""
    Path("article.txt").write_text(ARTICLE)
    Path("quelvane.db-journal").write_text("{}")  # stands for a journal the registry leaves behind
    result = invoke(runner, "index", ".", "--json")
    assert result.exit_code == 0, result.output
    assert [Path(r["file"]).name for r in json.loads(result.stdout)] == ["article.txt"]
    keys = json.loads(Path("quelvane.key").read_text())
    exported = invoke(runner, "export").stdout
    assert keys["signing_key"] not in exported and keys["binding_key"] not in exported
    assert (tmp_path.parent / f"{tmp_path.name}.published" / "article.published.txt").exists()


def test_index_refuses_links_leading_out_and_key_files(runner, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.txt").write_text(ESSAY)
    folder = Path("docs")
    folder.mkdir()
    (folder / "a.txt").write_text(ARTICLE)
    (folder / "inside.txt").symlink_to("a.txt")  # a link inside the folder is followed
    (folder / "planted.txt").symlink_to(outside / "secret.txt")
    (folder / "key.txt").symlink_to(tmp_path / "quelvane.key")
    os.link(tmp_path / "quelvane.key", folder / "hard-linked.key")  # the key file itself: skipped
    (folder / "copied.key").write_text(json.dumps({"signing_key": "00" * 32}))
    (folder / "linked-folder").symlink_to(outside, target_is_directory=True)
    result = runner.invoke(main, ["index", "docs", "--json"])
    assert result.exit_code == 4
    records = {r["file"]: r for r in json.loads(result.stdout)}
    assert set(records) == {f"docs/{n}" for n in ("a.txt", "inside.txt", "planted.txt", "key.txt", "copied.key")}
    assert "outside the folder" in records["docs/planted.txt"]["error"]
    assert "outside the folder" in records["docs/key.txt"]["error"]
    assert "key file" in records["docs/copied.key"]["error"]
    assert "pointer" in records["docs/a.txt"] and "pointer" in records["docs/inside.txt"]
    assert ESSAY[:40] not in invoke(runner, "export").stdout


@pytest.mark.parametrize("text", [
    lambda keys: json.dumps(keys),
    lambda keys: json.dumps({"binding_key": keys["binding_key"]}, indent=4),
    lambda keys: f"{ARTICLE}\n\nbackup: {keys['signing_key']}\n",
], ids=["the key file", "a foreign JSON with a secret's field", "prose holding the signing key"])
def test_publish_refuses_a_key_file(runner, text):
    Path("keys.txt").write_text(text(json.loads(Path("quelvane.key").read_text())))
    result = runner.invoke(main, ["publish", "keys.txt"])
    assert result.exit_code == 3 and "key file" in one_error_line(result)
    assert stored(runner) == [] and not Path("keys.published.txt").exists()


@pytest.mark.parametrize("plant", ["link to a victim", "dangling link", "existing file"])
def test_an_output_in_the_way_is_never_written_through_nor_replaced_unasked(runner, tmp_path, plant):
    Path("article.txt").write_text(ARTICLE)
    victim, output = tmp_path / "victim.txt", Path("article.published.txt")
    if plant == "link to a victim":
        victim.write_text("keep me")
        output.symlink_to(victim)
    elif plant == "dangling link":
        output.symlink_to(victim)
    else:
        output.write_text("keep me")
    def untouched():
        if plant == "existing file":
            return output.read_text() == "keep me"
        return victim.read_text() == "keep me" if plant == "link to a victim" else not victim.exists()

    result = runner.invoke(main, ["publish", "article.txt"])
    assert result.exit_code == 3 and "--overwrite" in one_error_line(result)
    assert stored(runner) == [] and untouched()
    replaced = invoke(runner, "publish", "article.txt", "--overwrite", "--json")
    [record] = json.loads(replaced.stdout)
    assert not output.is_symlink()
    assert output.read_text() == invoke(runner, "show", record["pointer"], "--text").stdout
    assert plant == "existing file" or untouched()


def _child_environment():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def _no_temporary_left(folder):
    return not [p for p in Path(folder).rglob(".*.tmp")]


@pytest.mark.parametrize("where", ["a folder under a regular file", "a folder /proc refuses"])
def test_an_unwritable_output_folder_stores_nothing(runner, where):
    Path("article.txt").write_text(ARTICLE)
    Path("plain").write_text("")
    out = "plain/sub" if where.startswith("a folder under") else "/proc/quelvane-test"
    result = runner.invoke(main, ["publish", "article.txt", "--output-dir", out])
    assert result.exit_code == 3 and "cannot write" in one_error_line(result)
    assert stored(runner) == []


def test_index_goes_on_after_a_name_too_long_to_write(runner):
    folder = Path("docs")
    folder.mkdir()
    (folder / "a.txt").write_text(ARTICLE)
    (folder / ("n" * 246 + ".txt")).write_text(ESSAY)  # fits; NAME.published.txt does not
    (folder / "c.txt").write_text(NOTES)
    result = runner.invoke(main, ["index", "docs"])
    assert result.exit_code == 4, result.output
    assert "File name too long" in one_error_line(result)
    assert len(stored(runner)) == 2
    assert _no_temporary_left("docs.published")
    # Each document with its C2PA manifest store beside it, where the SDK is there to sign one.
    written = ["a.published.txt", "c.published.txt"]
    if manifests.available():
        written += ["a.published.c2pa", "c.published.c2pa"]
    assert sorted(p.name for p in Path("docs.published").iterdir()) == sorted(written)


def test_a_full_disk_stores_nothing_and_index_goes_on(runner, tmp_path):
    """A file size limit makes the document's write fail as a full disk does (EFBIG for ENOSPC)."""
    folder = Path("docs")
    folder.mkdir()
    (folder / "a.txt").write_text(ARTICLE)
    (folder / "big.txt").write_text((ESSAY + "\n\n") * 400)  # about 300 KB

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))

    code = "from quelvane_host.cli import main; main()"
    done = subprocess.run([sys.executable, "-c", code, "index", "docs"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120, preexec_fn=limit,
                           env=_child_environment())
    assert done.returncode == 4, done.stderr
    [line] = [line for line in done.stderr.splitlines() if line.strip()]
    assert line.startswith("docs/big.txt: error: cannot write") and "Traceback" not in done.stderr
    assert len(stored(runner)) == 1
    assert _no_temporary_left("docs.published")


def test_a_fifo_at_the_key_path_or_in_the_folder_does_not_hang(tmp_path):
    Registry.create(tmp_path / "quelvane.db", Keys.generate()).close()
    os.mkfifo(tmp_path / "quelvane.key")
    code = "from quelvane_host.cli import main; main()"
    done = subprocess.run([sys.executable, "-c", code, "list"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60, env=_child_environment())
    assert done.returncode == 3 and "not a regular file" in done.stderr


def test_a_fifo_in_the_folder_is_skipped_and_a_link_to_one_refused(runner):
    folder = Path("docs")
    folder.mkdir()
    (folder / "a.txt").write_text(ARTICLE)
    os.mkfifo(folder / "pipe")
    (folder / "pipe.txt").symlink_to("pipe")
    result = runner.invoke(main, ["index", "docs"])
    assert result.exit_code == 4
    assert one_error_line(result) == "docs/pipe.txt: error: not a regular file"


def test_control_characters_in_names_cannot_forge_lines(runner):
    folder = Path("docs")
    folder.mkdir()
    forged = "x.txt: 0123456789abcdef0123456789abcdef -> y\nz.txt"
    (folder / forged).write_text(ARTICLE)
    (folder / "bell\a.txt").write_text("")
    result = runner.invoke(main, ["index", "docs"])
    [line, summary] = result.stdout.splitlines()
    assert line.startswith("docs/x.txt: 0123456789abcdef0123456789abcdef -> y\\nz.txt: ")
    assert summary.startswith("1 published, 0 already published, 1 failed")
    assert one_error_line(result) == "docs/bell\\x07.txt: error: text is empty"


def test_a_text_already_published_is_reported_not_published_again(runner):
    Path("article.txt").write_text(ARTICLE)
    [first] = json.loads(invoke(runner, "publish", "article.txt", "--json").stdout)
    document = Path("article.published.txt").read_text()
    for name in ("article.txt", "article.published.txt"):  # the watermarked copy is the same text
        again = invoke(runner, "publish", name)
        assert again.exit_code == 0
        assert again.stdout.startswith(f"{name}: {first['pointer']} already published; publish it again with --again")
    assert Path("article.published.txt").read_text() == document and len(stored(runner)) == 1
    refused = runner.invoke(main, ["publish", "article.txt", "--again"])
    assert refused.exit_code == 3 and "--overwrite" in one_error_line(refused)
    [second] = json.loads(invoke(runner, "publish", "article.txt", "--again", "--overwrite", "--json").stdout)
    assert second["pointer"] != first["pointer"] and len(stored(runner)) == 2


def _folder_of(count):
    """`count` distinct texts in docs/, and what a repository keeps beside them."""
    folder = Path("docs")
    for number in range(count):
        (folder / f"part{number // 10}").mkdir(parents=True, exist_ok=True)
        (folder / f"part{number // 10}" / f"{number:02}.txt").write_text(f"Item {number}.\n\n{ARTICLE}")
    (folder / ".git" / "objects").mkdir(parents=True)
    (folder / ".git" / "objects" / "ab").write_text(ESSAY)
    (folder / ".git" / "HEAD").write_text(NOTES)
    (folder / ".notes.txt").write_text(FILLER)
    return folder


def test_index_resumes_after_an_interruption_without_duplicates(runner, tmp_path):
    _folder_of(30)
    code = "from quelvane_host.cli import main; main()"
    child = subprocess.Popen([sys.executable, "-c", code, "index", "docs"], cwd=tmp_path, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=dict(_child_environment(), PYTHONUNBUFFERED="1"))
    assert child.stdout.readline().startswith("docs/part0/00.txt: ")
    child.send_signal(signal.SIGINT)
    child.communicate(timeout=120)
    before = len(stored(runner))
    assert 1 <= before <= 30, before
    Path("docs.published/part0/00.published.txt").unlink()  # as if stopped before its document was named
    resumed = invoke(runner, "index", "docs")
    assert resumed.exit_code == 0, resumed.output
    assert resumed.stdout.splitlines()[-1].startswith(f"{30 - before} published, {before} already published, 0 failed")
    assert "docs/part0/00.txt: " in resumed.stdout and "document written to" in resumed.stdout
    listed = stored(runner)
    assert len(listed) == 30 and len({s["pointer"] for s in listed}) == 30
    rewritten = Path("docs.published/part0/00.published.txt").read_text()
    pointer = resumed.stdout.split("docs/part0/00.txt: ")[1].split()[0]
    assert rewritten == invoke(runner, "show", pointer, "--text").stdout


def test_index_skips_hidden_files_and_takes_patterns(runner):
    _folder_of(12)
    (Path("docs") / "part0" / "readme.md").write_text("# How to read these\n\n" + ESSAY)
    planned = json.loads(invoke(runner, "index", "docs", "--dry-run", "--json").stdout)
    assert len(planned) == 13 and not any(".git" in r["file"] or ".notes" in r["file"] for r in planned)
    assert not Path("docs.published").exists() and stored(runner) == []
    chosen = invoke(runner, "index", "docs", "--dry-run", "--include", "*.md", "--include", "part1/*")
    assert chosen.stdout.splitlines() == ["docs/part0/readme.md -> docs.published/part0/readme.published.md",
                                          "docs/part1/10.txt -> docs.published/part1/10.published.txt",
                                          "docs/part1/11.txt -> docs.published/part1/11.published.txt",
                                          "3 files to publish (dry run: nothing read or written)"]
    kept = invoke(runner, "index", "docs", "--dry-run", "--exclude", "part0", "--exclude", "11.txt")
    assert kept.stdout.splitlines()[:-1] == ["docs/part1/10.txt -> docs.published/part1/10.published.txt"]


def test_index_stores_the_path_in_the_folder_and_a_title(runner):
    for part, text in (("a", "# Ferry to reopen\n\n" + ARTICLE), ("b", ESSAY)):
        Path("docs", part).mkdir(parents=True)
        Path("docs", part, "x.md").write_text(text)
    Path("docs", "Apache-2.0").write_text(NOTES)
    assert invoke(runner, "index", "docs").exit_code == 0
    shown = {s["pointer"]: s["title"] for s in stored(runner)}
    files = {json.loads(invoke(runner, "show", p, "--json").stdout)["metadata"]["file"]: t for p, t in shown.items()}
    assert files == {"a/x.md": "Ferry to reopen", "b/x.md": ESSAY[:119].rstrip() + "\u2026",
                     "Apache-2.0": NOTES[:119].rstrip() + "\u2026"}
    assert Path("docs.published/Apache-2.0.published").exists()


@pytest.mark.parametrize("name, output", [
    ("article.txt", "article.published.txt"), ("notes.MD", "notes.published.MD"), ("page.html", "page.published.html"),
    ("Apache-2.0", "Apache-2.0.published"), ("README", "README.published"), ("v1.2.text", "v1.2.published.text"),
])
def test_output_names_keep_a_text_suffix_last(name, output):
    assert output_path(Path(name), Path("out")) == Path("out", output)


@pytest.mark.parametrize("visible, title", [
    ("\n\nFerry to reopen\n\nThe river authority", "Ferry to reopen"),
    ("\x1b[2J\u202eA  title\twith\x07 controls\n", "[2JA title with controls"),
    ("word " * 40, ("word " * 40)[:119].rstrip() + "\u2026"),
    ("\u200b\n \n", "docs/x.txt"),
], ids=["first line", "controls dropped", "cut", "no line: the file"])
def test_titles(visible, title):
    assert title_of(visible, "docs/x.txt") == title


def test_an_output_folder_that_cannot_be_made_is_one_line(runner):
    _folder_of(3)
    Path("plain").write_text("")
    result = runner.invoke(main, ["index", "docs", "--output-dir", "plain/sub"])
    assert result.exit_code == 3 and one_error_line(result) == "quelvane: cannot write plain/sub: Not a directory"
    assert stored(runner) == []
