"""Batch writing: vectors2textgrids and table2textgrids against vectors2textgrid,
Arrow tables of any producer, per-file failures, and the caller's mistakes."""

import os

import numpy as np
import pytest

import tavrel
from table_samples import corpus_files, raised_message

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return corpus_files(tmp_path_factory.mktemp("corpus"))


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


# pyarrow before 25 (the last releases for Python 3.9 among them) crashes in its
# own stream export (ArrayExporter::Export) when a batch holds string views.
STRING_VIEW_EXPORT_CRASHES = tuple(int(part) for part in pa.__version__.split(".")[:1]) < (25,)
PRODUCERS = [pyarrow_table, as_large_strings,
             pytest.param(as_string_views, marks=pytest.mark.skipif(
                 STRING_VIEW_EXPORT_CRASHES, reason="pyarrow < 25 crashes exporting string views")),
             as_dictionary_labels_and_plain_names, as_sliced_small_batches,
             as_reordered_columns_with_extras, as_polars_frame, as_pandas_frame]


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


def test_a_producer_failing_midway_raises_and_writes_nothing(tmp_path):
    table = example_table()

    def batches():
        yield from table.to_batches()
        raise RuntimeError("the producer gave up")

    reader = pa.RecordBatchReader.from_batches(table.schema, batches())
    with pytest.raises(ValueError, match="reading the Arrow stream failed: .*the producer gave up"):
        tavrel.table2textgrids(reader, outputs(tmp_path, 1))
    assert os.listdir(tmp_path) == []


def test_null_label_is_an_empty_text_and_bounds_apply(tmp_path):
    out = outputs(tmp_path, 1)
    bounds = pa.table({"file_id": [0], "tmin": [0.0], "tmax": pa.array([None], pa.float64())})
    tavrel.table2textgrids(example_table(), out, "short", bounds=bounds)
    assert tavrel.textgrid2data(out[0], True, "short") == (0.0, 2.0, [("w", True, [(0.0, 1.0, "a"), (1.0, 2.0, "")])])
    with pytest.raises(TypeError, match="__arrow_c_stream__"):
        tavrel.table2textgrids({"file_id": [0]}, out)
