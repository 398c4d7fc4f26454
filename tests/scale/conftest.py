"""Real parts for the scale-out tests: a throw-away PostgreSQL server and a Dask cluster of two
worker processes, each started once for the session and stopped after."""
import contextlib
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from pathlib import Path

import pytest

# The sanitizer run preloads ASan into every process it starts (the Dask workers and the PostgreSQL
# server among them), and the wheel check hides the system's libcrypto and ICU, which the server
# links: these tests run once, natively, in the plain pytest run.
if "libasan" in os.environ.get("LD_PRELOAD", "") or "QV_HIDE" in os.environ:
    collect_ignore_glob = ["test_*.py"]

HOST = str(Path(__file__).resolve().parents[2] / "host")
if HOST not in sys.path:
    sys.path.insert(0, HOST)
# Dask starts its workers as fresh interpreters: they find the package through the environment.
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [HOST, os.environ.get("PYTHONPATH")]))


def _postgres_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    if not found:
        pytest.fail("no PostgreSQL server binaries: install Debian's postgresql package (make deps)")
    return Path(found[-1]).parent


def _as_server_user(command):
    """initdb refuses to run as root: run the server as the postgres system user instead."""
    return ["runuser", "-u", "postgres", "--", *command] if os.geteuid() == 0 else command


@pytest.fixture(scope="session")
def postgres_server():
    """The URL of a superuser connection to a fresh server listening on a Unix socket only."""
    bindir = _postgres_bin()
    home = Path(tempfile.mkdtemp(prefix="quelvane-pg-"))
    if os.geteuid() == 0:
        shutil.chown(home, "postgres", "postgres")
    data, log = home / "data", home / "log"
    run = lambda *command: subprocess.run(_as_server_user([str(c) for c in command]), check=True,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    try:
        run(bindir / "initdb", "-D", data, "-U", "postgres", "--auth=trust", "--encoding=UTF8",
            "--locale=C", "--no-sync")
        run(bindir / "pg_ctl", "-D", data, "-l", log, "-w", "-t", "60", "-o",
            f"-k {home} -c listen_addresses='' -c fsync=off -c synchronous_commit=off", "start")
    except subprocess.CalledProcessError as error:
        detail = log.read_text(errors="replace") if log.exists() else ""
        shutil.rmtree(home, ignore_errors=True)
        pytest.fail(f"PostgreSQL did not start: {error.stderr.decode(errors='replace')}{detail}")
    try:
        yield f"postgresql://postgres@/postgres?host={home}"
    finally:
        run(bindir / "pg_ctl", "-D", data, "-m", "immediate", "-w", "stop")
        shutil.rmtree(home, ignore_errors=True)


@pytest.fixture
def postgres_url(postgres_server):
    """A database of its own for one test, on the session's server."""
    import psycopg

    name = f"test_{uuid.uuid4().hex[:12]}"
    with psycopg.connect(postgres_server, autocommit=True) as admin:
        admin.execute(f'CREATE DATABASE "{name}"')
    yield postgres_server.replace("/postgres?", f"/{name}?")
    with psycopg.connect(postgres_server, autocommit=True) as admin:
        admin.execute(f'DROP DATABASE "{name}" WITH (FORCE)')


@pytest.fixture(scope="session")
def dask_client():
    """A client of a LocalCluster of two worker processes, one thread each."""
    from distributed import Client

    from quelvane_host.engine import local_cluster

    with local_cluster(2) as cluster, Client(cluster) as client:
        client.wait_for_workers(2, timeout=180)
        yield client


@contextlib.contextmanager
def a_worker_killed(client, tasks, prefix):
    """Kills one worker process as soon as `tasks()` ({worker: task keys}, such as the client's
    has_what or processing) shows it with a task whose key starts with `prefix`; yields the list
    that receives its process id, and waits for the cluster to be whole again after."""
    killed = []

    def kill():
        deadline = time.monotonic() + 180
        while not killed and time.monotonic() < deadline:
            for worker, keys in tasks().items():
                if any(str(key).startswith(prefix) for key in keys):
                    pid = client.run(os.getpid, workers=[worker])[worker]
                    os.kill(pid, signal.SIGKILL)
                    killed.append(pid)
                    return
            time.sleep(0.005)

    killer = threading.Thread(target=kill)
    killer.start()
    try:
        yield killed
    finally:
        killer.join()
        client.wait_for_workers(2, timeout=180)


CLEAR_SHARES = (0.0, 0.005, 0.01, 0.15, 0.3)
BORDERLINE_SHARES = (0.0, 0.01, 0.02, 0.03, 0.05, 0.1)


def write_near_duplicate_corpus(folder, originals, shares=CLEAR_SHARES, seed=7):
    """Text files of random words and near copies of them (with `shares` of their words replaced),
    in nested folders and one JSON Lines file, and a few documents that cannot be read."""
    import json
    import random

    rng = random.Random(seed)
    vocabulary = ["".join(rng.choice("abcdefghiklmnoprstuw") for _ in range(rng.randint(2, 9))) for _ in range(20000)]
    lines = []
    for number in range(originals):
        words = [rng.choice(vocabulary) for _ in range(rng.randint(150, 300))]
        texts = [words]
        for _ in range(rng.choice((0, 0, 0, 1, 2, 3))):
            share = rng.choice(shares)
            texts.append([rng.choice(vocabulary) if rng.random() < share else word for word in words])
        for copy, text in enumerate(texts):
            if rng.random() < 0.2:
                lines.append(json.dumps({"text": " ".join(text)}))
            else:
                path = folder / f"{number % 10}" / f"{number:05d}-{copy}.txt"
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(" ".join(text))
    (folder / "crawl.jsonl").write_text("\n".join(lines + ["{broken"]) + "\n")
    (folder / "blank.txt").write_text("\n")
    (folder / "image.txt").write_bytes(b"\x89PNG\x00\x00")
    return folder


@pytest.fixture(scope="session")
def near_duplicates(tmp_path_factory):
    """About 3,000 documents in about 20 partitions."""
    from quelvane_host.corpus import Corpus

    folder = write_near_duplicate_corpus(tmp_path_factory.mktemp("corpus"), 1800)
    return Corpus.of([folder], partition_bytes=256 * 1024)
