"""The README's newcomer section runs as it stands: every shell and Python block, in order, in
an empty folder, with the installed `quelvane` command."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
SECTION = "## Publish and identify a text in five commands"


def blocks():
    text = README.read_text(encoding="utf-8")
    section = text[text.index(SECTION):]
    section = section[:section.index("\n## ", len(SECTION))]
    return re.findall(r"```(sh|python)\n(.*?)```", section, re.S)


def test_newcomer_section_runs(tmp_path):
    if not README.exists():
        pytest.skip("no README beside these tests (the wheel check copies the tests alone)")
    bin_dir = Path(sys.executable).parent
    if shutil.which("quelvane", path=str(bin_dir)) is None:
        pytest.skip("the quelvane command is not installed next to this interpreter")
    found = blocks()
    assert [kind for kind, _ in found] == ["sh", "sh", "python"]
    first = found[0][1].splitlines()
    assert first[0].startswith("pip install ")  # the package is already installed here
    environment = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    for kind, code in [("sh", "\n".join(first[1:]))] + found[1:]:
        command = ["bash", "-euo", "pipefail", "-c", code] if kind == "sh" else [sys.executable, "-c", code]
        done = subprocess.run(command, cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stdout + done.stderr
    assert "MATCH" in done.stdout.upper()
    assert "excerpt index" in subprocess.run(
        [bin_dir / "quelvane", "identify", "letter.txt"], cwd=tmp_path, capture_output=True, text=True).stdout


def test_every_command_has_a_row_in_the_command_table():
    if not README.exists():
        pytest.skip("no README beside these tests (the wheel check copies the tests alone)")
    from quelvane_host.cli import main

    text = README.read_text(encoding="utf-8")
    table = text[text.index("### The command line"):]
    table = table[:table.index("\n\n", table.index("\n|"))]
    # A command counts where it heads a row, not where another row's text mentions it.
    named = {name for row in table.splitlines() if row.startswith("| ")
             for name in re.findall(r"`quelvane ([a-z]+)", row.split("|")[1])}
    assert sorted(set(main.commands) - named) == []
