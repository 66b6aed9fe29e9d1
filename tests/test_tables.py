"""Corpora as Arrow tables: textgrids2table against textgrids2vectors, the
readers that consume it (pyarrow, polars, pandas, DuckDB), per-file reports,
and batch writing from vectors and from Arrow tables of any producer."""

import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tavrel
from support import DATA, panic_message

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")

TABLE_COLUMNS = ["file_id", "file", "tier_name", "is_interval", "tmin", "tmax", "label"]
ROW_COLUMNS = ["file_id", "tier_name", "is_interval", "tmin", "tmax", "label"]
REPORT_COLUMNS = ["file_id", "path", "ok", "layout", "encoding", "tmin", "tmax", "tiers", "items",
                  "error_kind", "error"]
# Labels of every kind: empty, multi-byte, quotes, white space, long, many lines.
LABELS = ["", "a", "wörld ☃", "日本語", "sil", "x" * 300, "tab\there", "two\nlines", 'say ""hi""', " padded "]


def long_text(tiers, tmin=0.0, tmax=None):
    """A long-layout TextGrid of [(name, is_interval, [(tmin, tmax, label)])]."""
    end = tmax if tmax is not None else max([b for _, _, items in tiers for _, b, _ in items] + [tmin])
    out = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", f"xmin = {tmin!r}", f"xmax = {end!r}",
           "tiers? <exists>", f"size = {len(tiers)}", "item []:"]
    for i, (name, is_interval, items) in enumerate(tiers, 1):
        kind = "IntervalTier" if is_interval else "TextTier"
        out += [f"    item [{i}]:", f'        class = "{kind}"', f'        name = "{name}"',
                f"        xmin = {tmin!r}", f"        xmax = {end!r}",
                f"        {'intervals' if is_interval else 'points'}: size = {len(items)}"]
        for k, (a, b, label) in enumerate(items, 1):
            if is_interval:
                out += [f"        intervals [{k}]:", f"            xmin = {a!r}", f"            xmax = {b!r}",
                        f'            text = "{label}"']
            else:
                out += [f"        points [{k}]:", f"            number = {a!r}", f'            mark = "{label}"']
    return "\n".join(out) + "\n"


def random_tiers(rng, n_items):
    words, t = [], 0.0
    for _ in range(n_items):
        end = round(t + rng.uniform(0.01, 0.5), 6)
        words.append((t, end, rng.choice(LABELS)))
        t = end
    points = [(round(rng.uniform(0, t), 6), round(rng.uniform(0, t), 6), rng.choice(LABELS))
              for _ in range(n_items // 5)]
    points = sorted((a, a, label) for a, _, label in points)
    tiers = [("words", True, words), ("events", False, points)]
    return [tier for tier in tiers if rng.random() < 0.9]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Generated files with every kind of label, plus the real corpus files that read cleanly."""
    seed = 20261207
    print(f"corpus seed {seed}")
    rng = random.Random(seed)
    directory = tmp_path_factory.mktemp("corpus")
    files = []
    for k in range(60):
        path = directory / f"g{k:03d}.TextGrid"
        path.write_text(long_text(random_tiers(rng, rng.randrange(0, 40))), encoding="utf-8")
        files.append(str(path))
    for path in sorted((DATA / "realcorpus").glob("*.TextGrid")):
        try:
            tavrel.textgrid2data(str(path), False, "auto")
        except BaseException:  # noqa: B036 - PanicException is a BaseException
            continue
        files.append(str(path))
    return files


def vectors_table(files):
    tmins, tmaxs, labels, tier_names, is_intervals, file_ids = tavrel.textgrids2vectors(files, False, "auto")
    return {"file_id": file_ids.tolist(), "tier_name": tier_names, "is_interval": is_intervals.tolist(),
            "tmin": tmins.tolist(), "tmax": tmaxs.tolist(), "label": labels}


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
        "dictionary<values=string, indices=int32, ordered=0>", "bool", "double", "double", "string"]
    reports = pa.table(table.reports)
    assert reports.column_names == REPORT_COLUMNS
    assert [str(t) for t in reports.schema.types] == ["uint32", "string", "bool", "string", "string", "double",
                                                      "double", "uint32", "uint64", "string", "string"]


def rows_via_pyarrow(table):
    return pa.table(table).select(ROW_COLUMNS).to_pylist()


def rows_via_polars(table):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(table).select(ROW_COLUMNS).with_columns(pl.col("tier_name").cast(pl.Utf8))
    return frame.to_dicts()


def rows_via_polars_from_arrow(table):
    """polars.from_arrow gives any Arrow stream as one struct column."""
    pl = pytest.importorskip("polars")
    frame = pl.from_arrow(table).struct.unnest().select(ROW_COLUMNS)
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
def test_readers_see_the_same_rows(corpus, read_rows):
    table = tavrel.textgrids2table(corpus)
    expected = vectors_table(corpus)
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


def write(path, content):
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    return str(path)


VALID_LONG = long_text([("words", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")])])
# A tier whose items overlap: readable, but not in strict mode.
OVERLAPPING = long_text([("words", True, [(0.0, 1.5, "a"), (1.0, 2.0, "b")])])

# (name, content or None for a missing file, strict, expected kind, layout, encoding)
FAILURES = [
    ("missing.TextGrid", None, False, "open", None, None),
    ("latin1.TextGrid", VALID_LONG.replace('"a"', '"caf\xe9"').encode("latin-1"), False, "encoding", None, None),
    ("overlap.TextGrid", OVERLAPPING, True, "validation", "long", "utf-8"),
    ("unknown_class.TextGrid", VALID_LONG.replace("IntervalTier", "PointTier"), False, "structure", "long", "utf-8"),
    ("truncated.TextGrid", 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n0\n', False, "structure",
     "short", "utf-8"),
]


def raised_message(call):
    """The message of the OSError or PanicException that `call` raises."""
    try:
        call()
    except OSError as error:
        return str(error)
    except BaseException:  # noqa: B036 - PanicException is a BaseException
        return panic_message(call)
    pytest.fail("nothing raised")


def expected_message(path, strict):
    return raised_message(lambda: tavrel.textgrid2data(path, strict, "auto"))


@pytest.mark.parametrize("name, content, strict, kind, layout, encoding", FAILURES, ids=[f[0] for f in FAILURES])
def test_failed_file_is_reported_and_others_keep_their_rows(tmp_path, name, content, strict, kind, layout, encoding):
    good = write(tmp_path / "good.TextGrid", VALID_LONG)
    bad = str(tmp_path / name) if content is None else write(tmp_path / name, content)
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
                          "tmax": 2.0, "tiers": 1, "items": 2, "error_kind": None, "error": None}
    assert table.failures == 1 and table.reports.failures == 1
    assert f"{bad} [{kind}]" in repr(table)


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


def test_unknown_file_type_is_an_internal_failure():
    message = panic_message(lambda: tavrel.textgrids2table([str(DATA / "example_long_lf.TextGrid")], False, "Long"))
    assert message == "Unknown file type: Long"


def test_empty_list_gives_empty_tables():
    table = tavrel.textgrids2table([])
    assert len(table) == 0 and pa.table(table).column_names == TABLE_COLUMNS
    assert pa.table(table.reports).num_rows == 0


# ---------------------------------------------------------------------------
# Batch writing


def reference_files(tmp_path, files, file_type):
    """What vectors2textgrid writes for each file's own rows and bounds."""
    reports = pa.table(tavrel.textgrids2table(files).reports).to_pylist()
    written = []
    for k, path in enumerate(files):
        out = tmp_path / f"ref{k}.TextGrid"
        tmins, tmaxs, labels, names, flags = tavrel.textgrid2vectors(path, False, "auto")
        try:
            tavrel.vectors2textgrid(tmins, tmaxs, labels, names, flags, reports[k]["tmin"], reports[k]["tmax"],
                                    str(out), file_type)
        except OSError:
            written.append(None)
            continue
        written.append(out.read_bytes())
    return written


def outputs(tmp_path, n, stem="out"):
    return [str(tmp_path / f"{stem}{k}.TextGrid") for k in range(n)]


@pytest.mark.parametrize("file_type", ["long", "short"])
def test_corpus_table_files_round_trip_as_single_writes_do(corpus, tmp_path, file_type):
    files = corpus[:40]
    table = tavrel.textgrids2table(files)
    outs = outputs(tmp_path, len(files))
    reports = pa.table(tavrel.table2textgrids(table, outs, file_type, bounds=table.reports)).to_pylist()
    expected = reference_files(tmp_path, files, file_type)
    for k, want in enumerate(expected):
        assert reports[k]["ok"] == (want is not None), reports[k]
        if want is not None:
            assert open(outs[k], "rb").read() == want, files[k]
    again = tavrel.textgrids2table([o for o, w in zip(outs, expected) if w is not None])
    assert pa.table(again).num_rows == sum(r["items"] for r in reports if r["ok"])


def pyarrow_table(table):
    return pa.table(table)


def as_large_strings(table):
    t = pa.table(table)
    return t.set_column(t.column_names.index("label"), "label", pc.cast(t["label"], pa.large_string()))


def as_string_views(table):
    t = pa.table(table)
    t = t.set_column(t.column_names.index("label"), "label", pc.cast(t["label"], pa.string_view()))
    names = pc.cast(pc.cast(t["tier_name"], pa.string()), pa.string_view())
    return t.set_column(t.column_names.index("tier_name"), "tier_name", names)


def as_dictionary_labels_and_plain_names(table):
    t = pa.table(table)
    t = t.set_column(t.column_names.index("label"), "label", pc.dictionary_encode(t["label"]))
    return t.set_column(t.column_names.index("tier_name"), "tier_name", pc.cast(t["tier_name"], pa.string()))


def as_sliced_small_batches(table):
    """Many batches that are slices of larger arrays (non-zero offsets), int64 ids."""
    t = pa.table(table)
    t = t.set_column(0, "file_id", pc.cast(t["file_id"], pa.int64())).combine_chunks()
    batches = [b for batch in t.to_batches() for b in (batch.slice(i, 7) for i in range(0, batch.num_rows, 7))]
    return pa.Table.from_batches(batches, t.schema)


def as_reordered_columns_with_extras(table):
    t = pa.table(table)
    t = t.select(["label", "tmax", "tmin", "is_interval", "tier_name", "file_id"])
    return t.append_column("score", pa.array(np.arange(t.num_rows, dtype=np.float32)))


def as_polars_frame(table):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(table)


def as_pandas_frame(table):
    pytest.importorskip("pandas")
    return pa.table(table).to_pandas()


PRODUCERS = [pyarrow_table, as_large_strings, as_string_views, as_dictionary_labels_and_plain_names,
             as_sliced_small_batches, as_reordered_columns_with_extras, as_polars_frame, as_pandas_frame]


@pytest.mark.parametrize("produce", PRODUCERS, ids=lambda f: f.__name__)
def test_any_producer_writes_the_same_files(corpus, tmp_path, produce):
    files = corpus[:25]
    table = tavrel.textgrids2table(files)
    direct = outputs(tmp_path, len(files), "direct")
    tavrel.table2textgrids(table, direct, bounds=table.reports)
    source = produce(table)
    if not hasattr(source, "__arrow_c_stream__"):  # a pandas frame of an older pandas
        source = pa.Table.from_pandas(source)
    other = outputs(tmp_path, len(files), "other")
    reports = tavrel.table2textgrids(source, other, bounds=pa.table(table.reports))
    assert reports.failures == tavrel.table2textgrids(table, direct, bounds=table.reports).failures
    for a, b in zip(direct, other):
        assert os.path.exists(a) == os.path.exists(b)
        if os.path.exists(a):
            assert open(a, "rb").read() == open(b, "rb").read(), b


def test_vectors2textgrids_writes_what_table2textgrids_writes(corpus, tmp_path):
    files = corpus[:30]
    table = tavrel.textgrids2table(files)
    bounds = pa.table(table.reports)
    from_table = outputs(tmp_path, len(files), "t")
    tavrel.table2textgrids(table, from_table, "short", bounds=table.reports)
    from_vectors = outputs(tmp_path, len(files), "v")
    reports = tavrel.vectors2textgrids(*tavrel.textgrids2vectors(files, False, "auto"), from_vectors, "short",
                                       bounds["tmin"].to_pylist(), bounds["tmax"].to_pylist())
    assert isinstance(reports, tavrel.TextGridReports) and len(reports) == len(files)
    assert reports.failures == tavrel.table2textgrids(table, from_table, "short", bounds=table.reports).failures
    for a, b in zip(from_table, from_vectors):
        assert os.path.exists(a) == os.path.exists(b)
        if os.path.exists(a):
            assert open(a, "rb").read() == open(b, "rb").read()


def test_one_bad_file_does_not_stop_the_others(tmp_path):
    rows = [  # file 0 fine, file 1 overlapping, file 2 a NaN start among two, file 3 to a missing directory
        (0, "w", True, 0.0, 1.0, "a"), (0, "w", True, 1.0, 2.0, "b"),
        (1, "w", True, 0.0, 1.5, "a"), (1, "w", True, 1.0, 2.0, "b"),
        (2, "w", True, float("nan"), 1.0, "a"), (2, "w", True, 1.0, 2.0, "b"),
        (3, "w", True, 0.0, 1.0, "a"),
    ]
    ids, names, flags, tmins, tmaxs, labels = (list(column) for column in zip(*rows))
    outs = outputs(tmp_path, 3) + [str(tmp_path / "no" / "such" / "dir.TextGrid")]
    reports = pa.table(tavrel.vectors2textgrids(tmins, tmaxs, labels, names, flags, ids, outs)).to_pylist()
    assert [r["ok"] for r in reports] == [True, False, False, False]
    assert [r["error_kind"] for r in reports] == [None, "validation", "validation", "write"]
    for k in (1, 2, 3):
        own = [i for i, f in enumerate(ids) if f == k]
        pick = [tmins[i] for i in own], [tmaxs[i] for i in own], [labels[i] for i in own], [names[i] for i in own]
        single = str(tmp_path / "no" / "such" / "x.TextGrid") if k == 3 else str(tmp_path / "single.TextGrid")
        message = raised_message(
            lambda: tavrel.vectors2textgrid(*pick, [flags[i] for i in own], None, None, single, "long"))
        assert reports[k]["error"] == message.replace("x.TextGrid", "dir.TextGrid")
    assert tavrel.textgrid2data(outs[0], True, "long") == (0.0, 2.0, [("w", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")])])


def test_a_file_without_rows_is_built_as_empty_vectors_are(tmp_path):
    outs = outputs(tmp_path, 3)
    reports = tavrel.vectors2textgrids([0.0], [1.0], ["a"], ["w"], [True], [2], outs, "long", tmin=None,
                                       tmax=[5.0, None, None])
    assert tavrel.textgrid2data(outs[0], True, "long") == (0.0, 5.0, [])
    assert tavrel.textgrid2data(outs[2], True, "long") == (0.0, 1.0, [("w", True, [(0.0, 1.0, "a")])])
    # Without bounds an empty TextGrid spans 0 to 0, which vectors2textgrid refuses too.
    refused = raised_message(lambda: tavrel.vectors2textgrid([], [], [], [], [], None, None, outs[1], "long"))
    assert pa.table(reports)["error"].to_pylist() == [None, refused, None]
    assert not os.path.exists(outs[1])


def five_columns():
    return [0.0, 1.0], [1.0, 2.0], ["a", "b"], ["w", "w"], [True, True]


@pytest.mark.parametrize("change, exception, words", [
    (lambda a: a.update(tmins=[0.0]), ValueError, "same length"),
    (lambda a: a.update(file_ids=[0, 5]), ValueError, "file id 5"),
    (lambda a: a.update(file_ids=[0, -1]), OverflowError, "negative"),
    (lambda a: a.update(file_type="Long"), ValueError, "file_type"),
    (lambda a: a.update(tmin=[0.0]), ValueError, "bounds given"),
    (lambda a: a.update(labels=["a", 2]), TypeError, "labels"),
    (lambda a: a.update(output_files="out.TextGrid"), TypeError, "output_files"),
])
def test_bad_write_arguments_raise_and_write_nothing(tmp_path, change, exception, words):
    arguments = dict(zip(["tmins", "tmaxs", "labels", "tier_names", "is_intervals"], five_columns()))
    arguments.update(file_ids=[0, 1], output_files=outputs(tmp_path, 2), file_type="long")
    change(arguments)
    with pytest.raises(exception, match=words):
        tavrel.vectors2textgrids(**arguments)
    assert os.listdir(tmp_path) == []


def example_table():
    return pa.table({"file_id": pa.array([0, 0], pa.uint32()), "tier_name": ["w", "w"], "is_interval": [True, True],
                     "tmin": [0.0, 1.0], "tmax": [1.0, 2.0], "label": ["a", None]})


@pytest.mark.parametrize("change, words", [
    (lambda t: t.drop_columns(["tmax"]), "no column 'tmax'"),
    (lambda t: t.set_column(3, "tmin", pa.array(["0", "1"])), "'tmin' has Arrow type 'u'"),
    (lambda t: t.set_column(1, "tier_name", pa.array(["w", None])), "'tier_name' holds a null"),
    (lambda t: t.set_column(2, "is_interval", pa.array([1, 1])), "'is_interval' has Arrow type 'l'"),
    (lambda t: t.set_column(0, "file_id", pa.array([0, -1])), "negative"),
    (lambda t: t.set_column(0, "file_id", pa.array([0, 3])), "file id 3"),
    (lambda t: t.set_column(0, "file_id", pc.dictionary_encode(pa.array([0, 0]))), "'file_id' has Arrow type 'i'"),
    (lambda t: t.slice(0, 0).set_column(4, "tmax", pa.array([], pa.string())), "'tmax' has Arrow type 'u'"),
])
def test_bad_tables_raise_and_write_nothing(tmp_path, change, words):
    with pytest.raises(ValueError, match=words):
        tavrel.table2textgrids(change(example_table()), outputs(tmp_path, 1))
    assert os.listdir(tmp_path) == []


def test_null_label_is_an_empty_text_and_bounds_apply(tmp_path):
    out = outputs(tmp_path, 1)
    bounds = pa.table({"file_id": [0], "tmin": [0.0], "tmax": pa.array([None], pa.float64())})
    tavrel.table2textgrids(example_table(), out, "short", bounds=bounds)
    assert tavrel.textgrid2data(out[0], True, "short") == (0.0, 2.0, [("w", True, [(0.0, 1.0, "a"), (1.0, 2.0, "")])])
    with pytest.raises(TypeError, match="__arrow_c_stream__"):
        tavrel.table2textgrids({"file_id": [0]}, out)


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
