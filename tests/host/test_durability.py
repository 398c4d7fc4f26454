"""Publishing is one transaction: a process killed at any point leaves the registry as it was
or with the publication complete, and concurrent publishers lose nothing."""
import random
import signal
import sqlite3
import subprocess
import sys
import time

from quelvane_host import Registry
from .texts import ARTICLE, ESSAY, FILLER, NOTES

PUBLISHER = """
import sys
from quelvane_host import Registry
texts = {texts!r}
with Registry.open(sys.argv[1], sys.argv[2]) as registry:
    for i in range(int(sys.argv[3])):
        text = texts[i % len(texts)] + "\\n\\nCopy {{}} of {{}}.".format(i, sys.argv[4])
        print(registry.publish(text * {repeat}).pointer, flush=True)
"""


def publisher(tmp_path, count, tag, repeat=1):
    script = PUBLISHER.format(texts=[ARTICLE, ESSAY, NOTES, FILLER], repeat=repeat)
    return subprocess.Popen([sys.executable, "-c", script, str(tmp_path / "r.db"), str(tmp_path / "k.key"),
                             str(count), tag], stdout=subprocess.PIPE, text=True)


def check_complete(path):
    """Every stored publication has all its parts; returns the stored pointers."""
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        rows = db.execute(
            "SELECT p.pointer, (SELECT count(*) FROM envelopes e WHERE e.publication = p.id),"
            " (SELECT count(*) FROM band_keys b WHERE b.publication = p.id),"
            " (SELECT count(*) FROM excerpt_keys x WHERE x.publication = p.id) FROM publications p"
        ).fetchall()
        orphans = db.execute("SELECT count(*) FROM excerpt_keys WHERE publication NOT IN"
                             " (SELECT id FROM publications)").fetchone()[0]
    assert orphans == 0
    for pointer, envelopes, bands, entries in rows:
        assert envelopes == 4 and bands >= 1 and entries >= 1, pointer
    return {pointer for pointer, *_ in rows}


def test_killed_publisher_leaves_registry_whole(tmp_path, keys):
    keys.save(tmp_path / "k.key")
    Registry.create(tmp_path / "r.db", keys).close()
    rng = random.Random(7)
    reported = set()
    for round_number in range(6):
        child = publisher(tmp_path, 10_000, f"round {round_number}", repeat=20)
        time.sleep(rng.uniform(0.6, 2.5))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate()
        reported |= set(out.split())
        stored = check_complete(tmp_path / "r.db")
        # Everything reported was committed; at most the one in flight is stored unreported.
        assert reported <= stored and len(stored - reported) <= 1
        reported = stored
    assert len(reported) > 0
    with Registry.open(tmp_path / "r.db", keys) as registry:
        assert registry.storage.count() == len(reported)


def test_two_publishers_at_once_lose_nothing(tmp_path, keys):
    keys.save(tmp_path / "k.key")
    Registry.create(tmp_path / "r.db", keys).close()
    children = [publisher(tmp_path, 15, name) for name in ("first", "second")]
    outputs = [child.communicate(timeout=300)[0] for child in children]
    assert [child.returncode for child in children] == [0, 0]
    pointers = [p for out in outputs for p in out.split()]
    assert len(pointers) == 30
    assert check_complete(tmp_path / "r.db") == set(pointers)
