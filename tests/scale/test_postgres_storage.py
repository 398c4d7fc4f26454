import multiprocessing

import psycopg
import pytest

from quelvane_host.storage.postgres import SCHEMA_VERSION, PostgresRegistryError, PostgresStorage


def _open_and_report(url, queue):
    with PostgresStorage.open(url) as storage:
        queue.put(storage.schema_version())


def test_workers_opening_at_once_migrate_once(postgres_url):
    queue = multiprocessing.get_context("spawn").Queue()
    workers = [multiprocessing.get_context("spawn").Process(target=_open_and_report, args=(postgres_url, queue))
               for _ in range(3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
        assert worker.exitcode == 0
    assert sorted(queue.get(timeout=5) for _ in workers) == [SCHEMA_VERSION] * 3
    with psycopg.connect(postgres_url) as connection:
        assert connection.execute("SELECT count(*) FROM schema_version").fetchone() == (1,)


def test_a_failed_transaction_leaves_nothing(postgres_url):
    with PostgresStorage.open(postgres_url) as storage:
        with pytest.raises(RuntimeError), storage.transaction() as cursor:
            cursor.execute("INSERT INTO publications (pointer, content_hash, crosscheck_tag, public_key, text) "
                           "VALUES ('\\x01', '\\x02', '\\x03', '\\x04', 'text')")
            raise RuntimeError("crash in the middle of publishing")
        with storage.transaction() as cursor:
            assert cursor.execute("SELECT count(*) FROM publications").fetchone() == (0,)


def test_refuses_a_newer_schema_and_an_unreachable_server(postgres_url, tmp_path):
    PostgresStorage.open(postgres_url).close()
    with psycopg.connect(postgres_url, autocommit=True) as connection:
        connection.execute("UPDATE schema_version SET version = %s", (SCHEMA_VERSION + 1,))
    with pytest.raises(PostgresRegistryError, match="newer than this quelvane knows .* upgrade quelvane"):
        PostgresStorage.open(postgres_url)
    secret = "postgresql://someone:hunter2@/registry?host=" + str(tmp_path)
    with pytest.raises(PostgresRegistryError, match="cannot connect to the registry") as caught:
        PostgresStorage.open(secret)
    assert "hunter2" not in str(caught.value)
