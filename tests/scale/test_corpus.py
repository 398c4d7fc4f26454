import json

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from quelvane_host.corpus import MIN_PARTITION_BYTES, Corpus, Document, DocumentError, read_file, read_partition

GOOD = "A harbour town woke slowly that winter."


@pytest.mark.parametrize("raw, reason", [
    (b"", "empty"),
    (b" \n\t ", "empty"),
    (b"\xef\xbb\xbf\n", "empty"),
    (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", "binary (contains NUL bytes)"),
    (b"caf\xe9 au lait", "not valid UTF-8 (byte 3)"),
    (b"x" * 65, "larger than the limit of 64 bytes"),
])
def test_a_bad_text_file_is_an_error_record_with_its_reason(tmp_path, raw, reason):
    path = tmp_path / "doc.txt"
    path.write_bytes(raw)
    assert list(read_file(str(path), max_bytes=64)) == [DocumentError(str(path), reason)]


def test_a_byte_order_mark_is_not_part_of_the_text(tmp_path):
    path = tmp_path / "doc.txt"
    path.write_bytes(b"\xef\xbb\xbf" + GOOD.encode())
    assert list(read_file(str(path))) == [Document(str(path), GOOD)]


def test_json_lines_reads_on_past_every_bad_line(tmp_path):
    path = tmp_path / "crawl.jsonl"
    lines = [json.dumps({"body": GOOD}), "{not json", json.dumps({"text": GOOD}), json.dumps({"body": 7}),
             "", json.dumps({"body": "\ud800 lone"}), json.dumps({"body": "a\u0000b"}),
             json.dumps({"body": "y" * 200}), json.dumps({"body": "  "}), json.dumps([1]),
             json.dumps({"body": "café"})]
    path.write_bytes("\n".join(lines).encode("utf-8", "surrogatepass"))
    records = list(read_file(str(path), field="body", max_bytes=100))
    assert [(record.id.rsplit(":", 1)[1], getattr(record, "reason", None)) for record in records] == [
        ("1", None), ("2", "not valid JSON"), ("3", "no field 'body'"), ("4", "field 'body' is not a string"),
        ("6", "not valid Unicode (character 0)"), ("7", "binary (contains NUL bytes)"),
        ("8", "larger than the limit of 100 bytes"), ("9", "empty"), ("10", "no field 'body'"), ("11", None)]
    assert records[-1] == Document(f"{path}:11", "café")


def test_an_enormous_json_line_is_skipped_without_holding_it(tmp_path):
    path = tmp_path / "big.jsonl"
    with open(path, "w") as stream:
        stream.write(json.dumps({"text": "z" * 3_000_000}) + "\n" + json.dumps({"text": GOOD}) + "\n")
    records = list(read_file(str(path), max_bytes=1000))
    assert records == [DocumentError(f"{path}:1", "larger than the limit of 1000 bytes"),
                       Document(f"{path}:2", GOOD)]


def test_parquet_rows_by_column_and_whole_file_errors(tmp_path):
    good = tmp_path / "a.parquet"
    pq.write_table(pa.table({"id": [1, 2, 3, 4], "body": [GOOD, None, "", "ok then"]}), good)
    raw = tmp_path / "b.parquet"
    pq.write_table(pa.table({"body": pa.array([b"bad \xff", GOOD.encode()], pa.binary())}), raw)
    broken = tmp_path / "c.parquet"
    broken.write_bytes(b"PAR1 this is not parquet")
    records = [record for path in (good, raw, broken) for record in read_file(str(path), field="body")]
    assert records[:6] == [Document(f"{good}:0", GOOD), DocumentError(f"{good}:1", "empty"),
                           DocumentError(f"{good}:2", "empty"), Document(f"{good}:3", "ok then"),
                           DocumentError(f"{raw}:0", "not valid UTF-8 (byte 4)"), Document(f"{raw}:1", GOOD)]
    assert records[6].id == str(broken) and records[6].reason.startswith("not a readable Parquet file")
    assert list(read_file(str(good), field="text")) == [DocumentError(str(good), "no column 'text'")]
    assert list(read_file(str(good), field="id")) == [
        DocumentError(str(good), "column 'id' holds neither text nor bytes")]


def test_partitions_cover_every_file_once_in_a_fixed_order(tmp_path):
    for name in ("b/2.txt", "b/1.txt", "a.txt", ".hidden/x.txt", "b/.swap", "c/d/e.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(GOOD * 3)
    unreadable = tmp_path / "gone.txt"
    corpus = Corpus.of([tmp_path, unreadable], partition_bytes=200)
    partitions = corpus.partitions()
    assert [p.number for p in partitions] == list(range(len(partitions))) and len(partitions) > 1
    ids = [record.id for p in partitions for record in read_partition(p)]
    assert [i.removeprefix(f"{tmp_path}/") for i in ids] == ["a.txt", "b/1.txt", "b/2.txt", "c/d/e.txt", "gone.txt"]
    assert list(read_partition(partitions[-1]))[-1] == DocumentError(str(unreadable), "cannot read: No such file or directory")


def _ids_and_texts(records):
    return [(record.id, getattr(record, "text", None) or record.reason) for record in records]


@pytest.mark.parametrize("partition_bytes", [1, 40, 150, 10_000])
def test_a_large_json_lines_file_is_cut_into_pieces_that_read_as_the_whole(tmp_path, partition_bytes):
    """Cuts fall only between lines, whatever they land on: the byte order mark, blank lines, a
    line too long to read, a last line without its end; every line is read once under its number."""
    path = tmp_path / "crawl.jsonl"
    lines = [json.dumps({"text": f"{GOOD} {n}"}) for n in range(12)]
    lines[3] = ""
    lines[5] = json.dumps({"text": "long " * 60})
    path.write_bytes(b"\xef\xbb\xbf" + "\n".join(lines).encode() + b"\n\n" + json.dumps({"text": "last"}).encode())
    whole = _ids_and_texts(read_file(str(path), max_bytes=200))
    partitions = Corpus.of([path], partition_bytes=partition_bytes, max_bytes=200).partitions()
    assert _ids_and_texts(r for p in partitions for r in read_partition(p)) == whole
    assert whole[0] == (f"{path}:1", f"{GOOD} 0") and whole[-1] == (f"{path}:14", "last")
    assert (len(partitions) > 5) == (partition_bytes <= 40)
    assert sum(p.size for p in partitions) == path.stat().st_size


def test_a_large_parquet_file_is_cut_by_row_groups(tmp_path):
    path = tmp_path / "rows.parquet"
    pq.write_table(pa.table({"text": [f"{GOOD} {n}" * 20 for n in range(50)]}), path, row_group_size=10)
    partitions = Corpus.of([path], partition_bytes=1).partitions()
    assert [(p.pieces[0].start, p.pieces[0].stop, p.pieces[0].first) for p in partitions] == [
        (0, 1, 0), (1, 2, 10), (2, 3, 20), (3, 4, 30), (4, 5, 40)]
    assert _ids_and_texts(r for p in partitions for r in read_partition(p)) == _ids_and_texts(read_file(str(path)))


def test_partitions_shrink_so_that_every_worker_has_some(tmp_path):
    path = tmp_path / "crawl.jsonl"
    line = json.dumps({"text": GOOD * 10}) + "\n"
    path.write_text(line * (3 * MIN_PARTITION_BYTES // len(line)))
    corpus = Corpus.of([path])
    assert len(corpus.partitions()) == 1
    assert len(corpus.partitions(least=2)) == 2
    # Not below the smallest partition worth a task.
    assert len(corpus.partitions(least=100)) == 3


def test_documents_keep_the_ids_the_corpus_gives_them(tmp_path):
    lines = tmp_path / "crawl.jsonl"
    lines.write_text("\n".join(json.dumps(value) for value in (
        {"url": "https://example.org/a", "text": GOOD}, {"url": 17, "text": GOOD}, {"text": GOOD},
        {"url": "", "text": GOOD}, {"url": True, "text": GOOD}, {"url": "https://example.org/b"})) + "\n{not json\n")
    reason = "no id: field 'url' is missing or neither text nor a whole number"
    assert _ids_and_texts(read_file(str(lines), id_field="url")) == [
        ("https://example.org/a", GOOD), ("17", GOOD), (f"{lines}:3", reason), (f"{lines}:4", reason),
        (f"{lines}:5", reason), ("https://example.org/b", "no field 'text'"), (f"{lines}:7", "not valid JSON")]
    rows = tmp_path / "rows.parquet"
    pq.write_table(pa.table({"key": [10, None, 12], "text": [GOOD, GOOD, None]}), rows)
    assert _ids_and_texts(read_file(str(rows), id_field="key")) == [
        ("10", GOOD), (f"{rows}:1", "no id: column 'key' is empty"), ("12", "empty")]
    assert _ids_and_texts(read_file(str(rows), id_field="name")) == [(str(rows), "no column 'name'")]
    floats = tmp_path / "floats.parquet"
    pq.write_table(pa.table({"key": [1.5], "text": [GOOD]}), floats)
    assert _ids_and_texts(read_file(str(floats), id_field="key")) == [
        (str(floats), "id column 'key' holds neither text nor whole numbers")]
