"""The examples under examples/ run as a user would run them, on tiny inputs."""
import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_example(name, *args, cwd):
    result = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture
def near_duplicates(monkeypatch):
    # Imported by name from a path entry, so that worker processes can unpickle its functions
    # under any start method.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    monkeypatch.delitem(sys.modules, "near_duplicates", raising=False)
    return importlib.import_module("near_duplicates")


def test_round_trip(tmp_path):
    out = run_example("round_trip.py", cwd=tmp_path)
    tiers = dict(re.findall(r"^(.+?): .*?(BOUND|LIKELY|REVIEW|unknown text)$", out, re.M))
    assert tiers["copied as is"] == "BOUND"
    assert tiers["reflowed into short lines"] == "BOUND"
    assert tiers["half the watermark runs lost"] == "BOUND"
    assert "24 of 48 runs rebuilt" in out
    assert tiers["watermark stripped, a sentence cut"] in {"BOUND", "LIKELY"}
    assert "found by MinHash bands" in out
    assert tiers["an unrelated text"] == "unknown text"


def test_near_duplicates_demo(tmp_path):
    out = run_example("near_duplicates.py", "--demo", "--workers", "2", cwd=tmp_path)
    pairs = {tuple(sorted(m[1:])): float(m[0]) for m in re.findall(r"^\s+([\d.]+)\s+(\S+)\s+(\S+)$", out, re.M)}
    assert pairs[("text00-light-edit.txt", "text00.txt")] >= 0.5
    assert pairs[("text00-reflowed.txt", "text00.txt")] == 1.0  # case and line breaks do not count
    assert ("text00.txt", "text01.txt") not in pairs


def test_near_duplicates_index_is_kept_and_refreshed(tmp_path, near_duplicates):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    words = " ".join(f"w{i}" for i in range(200))
    (corpus / "a.txt").write_text(words, encoding="utf-8")
    (corpus / "b.txt").write_text(words, encoding="utf-8")
    (corpus / "c.txt").write_text("an unrelated text about something else entirely " * 5, encoding="utf-8")
    db = str(tmp_path / "index.sqlite")
    first = near_duplicates.run(corpus, db, 2, 0.0)
    assert [(score, Path(a).name, Path(b).name) for score, a, b in first] == [(1.0, "a.txt", "b.txt")]
    (corpus / "b.txt").write_text("now b is unrelated to a as well, with other words " * 5, encoding="utf-8")
    assert near_duplicates.run(corpus, db, 2, 0.0) == []
