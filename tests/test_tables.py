"""Corpora as Arrow tables: textgrids2table against textgrids2vectors, the
readers that consume it (pyarrow, polars, pandas, DuckDB), per-file reports,
and the table's memory."""

import os
import random
import subprocess
import sys
import textwrap

import pytest

import tavrel
from support import DATA, panic_message
from table_samples import (ROW_COLUMNS, corpus_files, long_text, random_tiers, raised_message, vectors_table,
                           write)

pa = pytest.importorskip("pyarrow")

TABLE_COLUMNS = ["file_id", "file", "tier_name", "tier_index", "is_interval", "tmin", "tmax", "label"]
REPORT_COLUMNS = ["file_id", "path", "ok", "layout", "encoding", "tmin", "tmax", "tiers", "items",
                  "error_kind", "error", "line"]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return corpus_files(tmp_path_factory.mktemp("corpus"))


@pytest.mark.parametrize("count", [1, 7, "all", "repeated"], ids=lambda c: f"files={c}")
def test_table_equals_textgrids2vectors_column_for_column(corpus, count):
    files = {"all": corpus, "repeated": corpus * 4}.get(count, corpus[:count] if isinstance(count, int) else None)
    table = pa.table(tavrel.textgrids2table(files))
    assert table.column_names == TABLE_COLUMNS
    expected = vectors_table(files)
    for name in ROW_COLUMNS:
        assert table[name].to_pylist() == expected[name], name
    assert table["file"].to_pylist() == [files[i] for i in expected["file_id"]]


def test_schema_types():
    table = tavrel.textgrids2table([str(DATA / "example_long_lf.TextGrid")])
    schema = pa.schema(table)
    assert schema == pa.table(table).schema
    assert [str(field.type) for field in schema] == [
        "uint32", "dictionary<values=string, indices=int32, ordered=0>",
        "dictionary<values=string, indices=int32, ordered=0>", "uint32", "bool", "double", "double",
        "string"]
    reports = pa.table(table.reports)
    assert reports.column_names == REPORT_COLUMNS
    assert [str(t) for t in reports.schema.types] == ["uint32", "string", "bool", "string", "string", "double",
                                                      "double", "uint32", "uint64", "string", "string", "uint64"]


def rows_via_pyarrow(table):
    return pa.table(table).select(ROW_COLUMNS).to_pylist()


def rows_via_polars(table):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(table).select(ROW_COLUMNS).with_columns(pl.col("tier_name").cast(pl.Utf8))
    return frame.to_dicts()


def rows_via_polars_from_arrow(table):
    """polars.from_arrow gives any Arrow stream as one struct column (polars 2),
    or as a frame (polars 1, the last series for Python 3.9)."""
    pl = pytest.importorskip("polars")
    read = pl.from_arrow(table)
    frame = (read.struct.unnest() if isinstance(read, pl.Series) else read).select(ROW_COLUMNS)
    return frame.with_columns(pl.col("tier_name").cast(pl.Utf8)).to_dicts()


def rows_via_pandas(table):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame.from_arrow(table) if hasattr(pd.DataFrame, "from_arrow") else pa.table(table).to_pandas()
    frame = frame[ROW_COLUMNS].astype({"tier_name": str})
    return [{k: (v.item() if hasattr(v, "item") else v) for k, v in row.items()} for row in frame.to_dict("records")]


def rows_via_duckdb(table):
    duckdb = pytest.importorskip("duckdb")
    t = table  # noqa: F841 - DuckDB finds the table by its variable name
    relation = duckdb.sql("select file_id, tier_name, is_interval, tmin, tmax, label from t")
    return [dict(zip(ROW_COLUMNS, row)) for row in relation.fetchall()]


@pytest.mark.parametrize("read_rows", [rows_via_pyarrow, rows_via_polars, rows_via_polars_from_arrow,
                                       rows_via_pandas, rows_via_duckdb],
                         ids=["pyarrow", "polars", "polars.from_arrow", "pandas", "duckdb"])
@pytest.mark.parametrize("readable", [True, False], ids=["corpus", "no-file-readable"])
def test_readers_see_the_same_rows(corpus, read_rows, readable, tmp_path):
    files = corpus if readable else [str(tmp_path / "missing.TextGrid")] * 3
    table = tavrel.textgrids2table(files)
    expected = vectors_table(files)
    rows = read_rows(table)
    # DuckDB does not promise row order without ORDER BY; the others keep it.
    key = (lambda r: tuple(r.values())) if read_rows is rows_via_duckdb else None
    wanted = [dict(zip(ROW_COLUMNS, values)) for values in zip(*(expected[c] for c in ROW_COLUMNS))]
    assert (sorted(rows, key=key) if key else rows) == (sorted(wanted, key=key) if key else wanted)


def test_table_is_shared_not_consumed(corpus):
    table = tavrel.textgrids2table(corpus[:10])
    first = pa.table(table)
    second = pa.table(table)
    assert first.equals(second)
    rows = first.to_pylist()
    del table
    assert pa.table(first).to_pylist() == rows  # the buffers outlive the table object
    capsule = tavrel.textgrids2table(corpus[:3]).__arrow_c_stream__()
    del capsule  # a stream nobody consumed is released by its capsule


@pytest.mark.parametrize("requested", [None, "schema"])
def test_requested_schema_keeps_the_columns(requested):
    table = tavrel.textgrids2table([str(DATA / "example_short_lf.TextGrid")])
    wish = pa.schema(table).__arrow_c_schema__() if requested else None
    reader = pa.RecordBatchReader._import_from_c_capsule(table.__arrow_c_stream__(wish))
    assert reader.read_all().num_rows == 3


VALID_LONG = long_text([("words", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")])])
# A tier whose items overlap: readable, but not in strict mode.
OVERLAPPING = long_text([("words", True, [(0.0, 1.5, "a"), (1.0, 2.0, "b")])])

# (name, content or None for a missing file, strict, expected kind, layout, encoding)
FAILURES = [
    ("missing.TextGrid", None, False, "open", None, None),
    ("directory.TextGrid", "<directory>", False, "open", None, None),
    ("nul\0byte.TextGrid", None, False, "open", None, None),
    ("latin1.TextGrid", VALID_LONG.replace('"a"', '"caf\xe9"').encode("latin-1"), False, "encoding", None, None),
    ("overlap.TextGrid", OVERLAPPING, True, "validation", "long", "utf-8"),
    ("unknown_class.TextGrid", VALID_LONG.replace("IntervalTier", "PointTier"), False, "structure", "long", "utf-8"),
    ("truncated.TextGrid", 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n0\n', False, "structure",
     "short", "utf-8"),
]


def expected_message(path, strict):
    return raised_message(lambda: tavrel.textgrid2data(path, strict, "auto"))


@pytest.mark.parametrize("name, content, strict, kind, layout, encoding", FAILURES,
                         ids=[f[0].replace("\0", "-") for f in FAILURES])
def test_failed_file_is_reported_and_others_keep_their_rows(tmp_path, name, content, strict, kind, layout, encoding):
    good = write(tmp_path / "good.TextGrid", VALID_LONG)
    bad = str(tmp_path / name)
    if content == "<directory>":
        os.mkdir(bad)
    elif content is not None:
        write(tmp_path / name, content)
    table = tavrel.textgrids2table([good, bad, good], strict=strict)
    rows = pa.table(table)
    assert rows["file_id"].to_pylist() == [0, 0, 2, 2]
    assert rows["label"].to_pylist() == ["a", "b", "a", "b"]
    reports = pa.table(table.reports).to_pylist()
    assert [r["ok"] for r in reports] == [True, False, True]
    failed = reports[1]
    assert failed["path"] == bad and failed["file_id"] == 1
    assert (failed["error_kind"], failed["layout"], failed["encoding"]) == (kind, layout, encoding)
    assert failed["error"] == expected_message(bad, strict)
    assert (failed["tmin"], failed["tmax"], failed["tiers"], failed["items"]) == (None, None, 0, 0)
    assert reports[0] == {"file_id": 0, "path": good, "ok": True, "layout": "long", "encoding": "utf-8", "tmin": 0.0,
                          "tmax": 2.0, "tiers": 1, "items": 2, "error_kind": None, "error": None,
                          "line": None}
    assert table.failures == 1 and table.reports.failures == 1
    assert f"{bad} [{kind}]" in repr(table)


def damaged_after_first_tier(layout, tmp_path):
    """A document whose first tier reads whole and whose second then fails."""
    tiers = [("only_here", True, [(0.0, 1.0, "x"), (1.0, 2.0, "y")]), ("words", True, [(0.0, 2.0, "z")])]
    path = str(tmp_path / f"damaged.{layout}.TextGrid")
    tavrel.data2textgrid(tiers, 0.0, 2.0, path, layout)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if layout == "long":
        second = text.index("IntervalTier", text.index("IntervalTier") + 1)
        return write(tmp_path / "damaged.TextGrid", text[:second] + "PointTier" + text[second + 12:])
    return write(tmp_path / "damaged.TextGrid", text[:text.index('"words"')] + '"words"\n')


@pytest.mark.parametrize("layout", ["long", "short"])
def test_a_file_failing_after_its_first_tier_leaves_no_row_and_no_name(tmp_path, layout):
    good = write(tmp_path / "good.TextGrid", VALID_LONG)
    damaged = damaged_after_first_tier(layout, tmp_path)
    table = tavrel.textgrids2table([good, damaged, good])
    rows = pa.table(table)
    assert rows["file_id"].to_pylist() == [0, 0, 2, 2]
    assert rows["label"].to_pylist() == ["a", "b", "a", "b"]
    names = rows["tier_name"].combine_chunks()
    assert names.dictionary.to_pylist() == ["words"]
    failed = pa.table(table.reports).to_pylist()[1]
    assert (failed["ok"], failed["error_kind"], failed["layout"], failed["items"]) == (False, "structure", layout, 0)


def test_repr_counts_and_lists_the_first_failures(tmp_path):
    good = write(tmp_path / "good.TextGrid", VALID_LONG)
    missing = [str(tmp_path / f"missing{k}.TextGrid") for k in range(8)]
    table = tavrel.textgrids2table([good] + missing)
    text = repr(table)
    assert text.splitlines()[0] == "tavrel.TextGridTable: 2 rows from 9 files, 8 failures"
    assert [line.split(" [")[0].strip() for line in text.splitlines()[1:6]] == missing[:5]
    assert text.splitlines()[-1].strip() == "... 3 more in the reports"
    assert repr(table.reports).splitlines()[0] == "tavrel.TextGridReports: 9 files, 8 failures"
    assert repr(tavrel.textgrids2table([good])) == "tavrel.TextGridTable: 2 rows from 1 file, 0 failures"


@pytest.mark.parametrize("call, exception", [
    (lambda: tavrel.textgrids2table("a.TextGrid"), TypeError),
    (lambda: tavrel.textgrids2table([1]), TypeError),
    (lambda: tavrel.textgrids2table([], strict=1), TypeError),
    (lambda: tavrel.textgrids2table([], file_type=None), TypeError),
    (lambda: tavrel.textgrids2table(), TypeError),
    (lambda: tavrel.TextGridTable(), TypeError),
])
def test_bad_arguments_raise(call, exception):
    with pytest.raises(exception):
        call()


@pytest.mark.parametrize("name, signature", [
    ("textgrids2table", "(files, strict=False, file_type='auto', *, contents=None, "
                        "encoding='utf-8')"),
    ("vectors2textgrids", "(tmins, tmaxs, labels, tier_names, is_intervals, file_ids, output_files, "
                          "file_type='long', tmin=None, tmax=None, tier_indices=None)"),
    ("table2textgrids", "(table, output_files, file_type='long', bounds=None, tier_indices=None)"),
    ("loads", "(content, strict=False, file_type='auto', encoding='utf-8')"),
    ("loads_vectors", "(content, strict=False, file_type='auto', encoding='utf-8')"),
    ("dumps", "(data, tmin=None, tmax=None, file_type='long')"),
    ("nest", "(table, parent, child)"),
])
def test_batch_functions_stand_beside_the_module_functions(name, signature):
    import inspect

    assert str(inspect.signature(getattr(tavrel, name))) == signature
    assert name not in tavrel.__all__


def test_unknown_file_type_is_an_internal_failure():
    message = panic_message(lambda: tavrel.textgrids2table([str(DATA / "example_long_lf.TextGrid")], False, "Long"))
    assert message == "Unknown file type: Long"


def test_empty_list_gives_empty_tables():
    table = tavrel.textgrids2table([])
    assert len(table) == 0 and pa.table(table).column_names == TABLE_COLUMNS
    assert pa.table(table.reports).num_rows == 0


@pytest.mark.skipif(bool(os.environ.get("TAVREL_SANITIZED")), reason="the sanitizer's allocator changes memory use")
def test_table_memory_stays_within_twice_its_arrow_size(tmp_path):
    """The peak memory of building a table is about its own size: no hidden copies."""
    rng = random.Random(5)
    files = []
    for k in range(30):
        tiers = random_tiers(rng, 20000)
        files.append(write(tmp_path / f"big{k}.TextGrid", long_text(tiers)))
    script = textwrap.dedent(f"""
        import resource, pyarrow as pa, tavrel
        files = {files!r}
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        table = tavrel.textgrids2table(files)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(peak - before, pa.table(table).get_total_buffer_size())
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    growth, size = map(int, subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                           check=True, env=env, timeout=300).stdout.split())
    assert size > 10_000_000
    assert growth < 2 * size, (growth, size)


def test_file_names_that_are_not_utf8_show_with_replacement_characters(tmp_path):
    good = tmp_path / "a.TextGrid"
    tavrel.data2textgrid([("t", True, [(0.0, 1.0, "x")])], None, None, str(good), "long")
    odd = os.fsencode(tmp_path) + b"/caf\xe9.TextGrid"
    os.rename(good, odd)
    missing = os.fsencode(tmp_path) + b"/gone\xff.TextGrid"
    table = tavrel.textgrids2table([odd, missing])
    reports = pa.table(table.reports)
    shown = [p.rsplit("/", 1)[1] for p in reports.column("path").to_pylist()]
    assert shown == ["caf\ufffd.TextGrid", "gone\ufffd.TextGrid"]
    assert reports.column("ok").to_pylist() == [True, False]
    assert "gone\ufffd.TextGrid because:" in reports.column("error")[1].as_py()
    assert pa.table(table).column("file").to_pylist() == [str(tmp_path) + "/caf\ufffd.TextGrid"]
