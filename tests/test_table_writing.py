"""Batch writing: vectors2textgrids and table2textgrids against vectors2textgrid,
Arrow tables of any producer, per-file failures, and the caller's mistakes."""

import os
import subprocess
import sys

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
    # Without bounds an empty TextGrid has no extent: the report says so.
    refused = "Failed to create TextGrid because: file id 1 has no rows, and no bounds to give it an extent"
    assert pa.table(reports)["error"].to_pylist() == [None, refused, None]
    assert not os.path.exists(outs[1])


def five_columns():
    return [0.0, 1.0], [1.0, 2.0], ["a", "b"], ["w", "w"], [True, True]


@pytest.mark.parametrize("change, exception, words", [
    (lambda a: a.update(tmins=[0.0]), ValueError, "same length"),
    (lambda a: a.update(file_ids=[0, 5]), ValueError, "^argument 'file_ids': file id 5 has no output file"),
    (lambda a: a.update(file_ids=[0, -1]), ValueError, "^argument 'file_ids': file id -1 is negative"),
    (lambda a: a.update(file_ids=[0, 2 ** 70]), ValueError, "^argument 'file_ids': file id 1180591620717411303424 is too large"),
    (lambda a: a.update(output_files=[a["output_files"][0]] * 2), ValueError,
     "^argument 'output_files': output files 0 and 1 name the same file: .*out0.TextGrid"),
    (lambda a: a.update(file_type="Long"), ValueError, "^argument 'file_type'"),
    (lambda a: a.update(tmin=[0.0]), ValueError, "^argument 'tmin': 1 bounds given"),
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


def with_second_batch(batch):
    """A stream whose second record batch is not what its schema says."""
    table = example_table()
    return pa.RecordBatchReader.from_batches(table.schema, iter([table.to_batches()[0], batch]))


def with_column(name, array):
    table = example_table()
    return table.set_column(table.column_names.index(name), name, array)


TWO_ROWS_OUT_OF_ORDER = pa.py_buffer(np.array([0, 5, 2], np.int32).tobytes())


@pytest.mark.parametrize("change, words", [
    (lambda t: t.drop_columns(["tmax"]), "no column 'tmax'"),
    (lambda t: t.set_column(3, "tmin", pa.array(["0", "1"])), "'tmin' has Arrow type string; expected float64"),
    (lambda t: t.set_column(1, "tier_name", pa.array(["w", None])), "'tier_name' holds a null at row 1"),
    (lambda t: t.set_column(2, "is_interval", pa.array([1, 1])), "'is_interval' has Arrow type int64; expected bool"),
    (lambda t: t.set_column(0, "file_id", pa.array([0, -1])), "negative"),
    (lambda t: t.set_column(0, "file_id", pa.array([0, 3])), "^argument 'table': file id 3 has no output file"),
    (lambda t: t.set_column(0, "file_id", pc.dictionary_encode(pa.array([0, 0]))),
     "'file_id' has Arrow type dictionary<values=int64, indices=int32>"),
    (lambda t: t.slice(0, 0).set_column(4, "tmax", pa.array([], pa.string())), "'tmax' has Arrow type string"),
    (lambda t: t.set_column(3, "tmin", pa.array([0, 1], pa.float16())), "'tmin' has Arrow type float16"),
    (lambda t: t.set_column(3, "tmin", pa.array([0, 1], pa.timestamp("s"))), "'tmin' has Arrow type timestamp"),
    (lambda t: t.set_column(3, "tmin", pa.array([0, 1], pa.decimal128(5, 2))), "'tmin' has Arrow type decimal"),
    (lambda t: t.append_column("label", pa.array(["x", "y"])), "^argument 'table': the table has two columns named"),
    (lambda t: pa.chunked_array([[1, 2]]), "does not hold record batches \\(its type is int64\\)"),
    (lambda t: with_second_batch(pa.record_batch({"x": [1]})),
     "^argument 'table': record batch 1 does not match the schema: it has 1 column where the schema has 6"),
    (lambda t: with_second_batch(pa.record_batch({n: pa.array([1], pa.int64()) for n in t.column_names})),
     "^argument 'table': column 'tier_name' in record batch 1 does not match its type string"),
    (lambda t: with_column("label", pa.Array.from_buffers(pa.string(), 2, [None, TWO_ROWS_OUT_OF_ORDER,
                                                                          pa.py_buffer(b"abcde")])),
     "'label' holds a text outside its buffers at row 0"),
    (lambda t: with_column("tier_name", pa.DictionaryArray.from_arrays(pa.array([0, 7], pa.int8()), ["w"],
                                                                       safe=False)),
     "'tier_name' holds a dictionary index out of range at row 1"),
], ids=lambda v: None if callable(v) else v[:30])
def test_bad_tables_raise_and_write_nothing(tmp_path, change, words):
    with pytest.raises(ValueError, match=words):
        tavrel.table2textgrids(change(example_table()), outputs(tmp_path, 1))
    assert os.listdir(tmp_path) == []


class Exporter:
    """Hands out whatever capsules it is given, as a producer with mistakes would."""

    def __init__(self, stream=None, array=None):
        if stream is not None:
            self.__arrow_c_stream__ = lambda requested_schema=None: stream
        if array is not None:
            self.__arrow_c_array__ = lambda requested_schema=None: array


def consumed_stream():
    capsule = example_table().__arrow_c_stream__()
    pa.RecordBatchReader._import_from_c_capsule(capsule)
    return capsule


@pytest.mark.parametrize("make, exception, words", [
    (lambda: Exporter(stream=example_table().to_batches()[0].__arrow_c_array__()[1]), TypeError,
     "__arrow_c_stream__\\(\\) returned a capsule named 'arrow_array', not 'arrow_array_stream'"),
    (lambda: Exporter(stream=7), TypeError, "__arrow_c_stream__\\(\\) returned a 'int' object, not a capsule"),
    (lambda: Exporter(stream=consumed_stream()), ValueError, "the Arrow stream was already consumed"),
    (lambda: Exporter(array=example_table().to_batches()[0].__arrow_c_array__()[::-1]), TypeError,
     "returned a capsule named 'arrow_array', not 'arrow_schema'"),
    (lambda: Exporter(array=(1, 2, 3)), TypeError, "__arrow_c_array__\\(\\) returned a 'tuple' object, not a pair"),
    (lambda: {"file_id": [0]}, TypeError, "'dict' object has no __arrow_c_stream__ method"),
])
@pytest.mark.parametrize("argument", ["table", "bounds"])
def test_capsules_from_outside_are_checked_before_use(tmp_path, make, exception, words, argument):
    given = dict(table=example_table(), bounds=None)
    given[argument] = make()
    with pytest.raises(exception, match=f"^argument '{argument}': .*{words}"):
        tavrel.table2textgrids(given["table"], outputs(tmp_path, 1), bounds=given["bounds"])
    assert os.listdir(tmp_path) == []


def test_a_single_array_and_unsigned_times_beyond_the_signed_range(tmp_path):
    """An object offering only __arrow_c_array__ is one record batch; uint64 times keep their value."""
    batch = example_table().to_batches()[0]
    out = outputs(tmp_path, 2)
    tavrel.table2textgrids(Exporter(array=batch.__arrow_c_array__()), out[:1])
    assert tavrel.textgrid2data(out[0], True, "long")[2][0][2] == [(0.0, 1.0, "a"), (1.0, 2.0, "")]
    big = 2 ** 63 + 2 ** 11
    times = batch.set_column(3, "tmin", pa.array([big, big + 2 ** 11], pa.uint64()))
    times = times.set_column(4, "tmax", pa.array([big + 2 ** 11, big + 2 ** 12], pa.uint64()))
    tavrel.table2textgrids(times, out[1:])
    items = tavrel.textgrid2data(out[1], True, "long")[2][0][2]
    assert [item[:2] for item in items] == [(float(big), float(big + 2 ** 11)),
                                           (float(big + 2 ** 11), float(big + 2 ** 12))]


def test_an_interrupt_inside_the_producer_stays_an_interrupt(tmp_path):
    table = example_table()

    def batches():
        yield from table.to_batches()
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tavrel.table2textgrids(pa.RecordBatchReader.from_batches(table.schema, batches()), outputs(tmp_path, 1))
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


def same_file_twice(tmp_path, spelling):
    """Two spellings of one output file, and whether the folders they use exist."""
    (tmp_path / "out").mkdir()
    target = str(tmp_path / "out" / "a.TextGrid")
    if spelling == "link to the folder":
        os.symlink(tmp_path / "out", tmp_path / "linked")
        return [target, str(tmp_path / "linked" / "a.TextGrid")]
    if spelling == "link to the file":
        open(target, "w").close()
        os.symlink(target, tmp_path / "out" / "b.TextGrid")
        return [str(tmp_path / "out" / "b.TextGrid"), target]
    if spelling == "dot and dot-dot":
        return [target, str(tmp_path / "out" / "." / ".." / "out" / "a.TextGrid")]
    return [target, target]


@pytest.mark.parametrize("spelling", ["same text", "dot and dot-dot", "link to the folder", "link to the file"])
@pytest.mark.parametrize("writer", ["vectors", "table"])
def test_two_file_ids_with_one_output_file_are_refused(tmp_path, spelling, writer):
    outs = same_file_twice(tmp_path, spelling)
    before = sorted(os.listdir(tmp_path / "out"))
    rows = example_table().set_column(0, "file_id", pa.array([0, 1], pa.uint32()))
    rows = rows.set_column(5, "label", pa.array(["a", "b"]))
    with pytest.raises(ValueError, match="^argument 'output_files': output files 0 and 1 name the same file: "):
        if writer == "table":
            tavrel.table2textgrids(rows, outs)
        else:
            columns = [rows[name].to_pylist() for name in ("tmin", "tmax", "label", "tier_name", "is_interval")]
            tavrel.vectors2textgrids(*columns, rows["file_id"].to_pylist(), outs)
    assert sorted(os.listdir(tmp_path / "out")) == before
    assert all(os.path.getsize(path) == 0 for path in outs if os.path.exists(path))


POINTS_AT_ONE_TIME = [(0, "p", False, 0.5, 0.5, "x"), (0, "p", False, 0.5, 0.5, "y")]


@pytest.mark.parametrize("rows, tmin, tmax, tier_bounds", [
    (POINTS_AT_ONE_TIME + [(0, "w", True, 0.0, 2.0, "a")], None, None, (0.0, 2.0)),
    (POINTS_AT_ONE_TIME, 0.0, 3.0, (0.0, 3.0)),
    (POINTS_AT_ONE_TIME, None, 3.0, (0.5, 3.0)),
    ([(0, "p", False, 0.0, 0.0, "x"), (0, "w", True, 0.0, 1.0, "a")], None, None, (0.0, 1.0)),
    ([(0, "p", False, 0.25, 0.25, "x"), (0, "p", False, 0.75, 0.75, "y"), (0, "w", True, 0.0, 1.0, "a")],
     None, None, (0.25, 0.75)),  # points that span a range keep it
    (POINTS_AT_ONE_TIME, None, None, "tmin should be less than tmax in TextGrid"),
])
def test_points_sharing_one_time_take_the_file_bounds(tmp_path, rows, tmin, tmax, tier_bounds):
    ids, names, flags, tmins, tmaxs, labels = (list(column) for column in zip(*rows))
    out = outputs(tmp_path, 1)
    reports = tavrel.vectors2textgrids(tmins, tmaxs, labels, names, flags, ids, out, "long", tmin, tmax)
    report = pa.table(reports).to_pylist()[0]
    if isinstance(tier_bounds, str):
        assert report["error"].endswith(tier_bounds)
        return
    assert report["ok"], report
    text = open(out[0]).read()
    start, end = tier_bounds
    assert f'name = "p" \n        xmin = {start:g} \n        xmax = {end:g} \n' in text
    tavrel.textgrid2data(out[0], True, "long")  # valid in strict reading


def responsiveness_script(action):
    return f"""
import os, signal, threading, time
import numpy as np, pyarrow as pa, tavrel
n = 3_000_000
table = pa.table({{"file_id": pa.array(np.ones(n, np.uint32)), "tier_name": pa.array(["w"] * n),
                  "is_interval": pa.array(np.ones(n, bool)), "tmin": np.arange(n, dtype=float),
                  "tmax": np.arange(1, n + 1, dtype=float), "label": pa.array(["word"] * n)}})
gaps, last, done = [], [time.perf_counter()], threading.Event()
def tick():
    while not done.is_set():
        time.sleep(0.005)
        now = time.perf_counter()
        gaps.append(now - last[0])
        last[0] = now
threading.Thread(target=tick, daemon=True).start()
if "{action}" == "interrupt":
    # Early enough that even a fast machine is still importing when it comes.
    threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
start = time.perf_counter()
try:
    tavrel.table2textgrids(table, ["never.TextGrid"])  # file id 1 has no output: refused after reading
except (ValueError, KeyboardInterrupt) as error:
    outcome = type(error).__name__
took = time.perf_counter() - start
done.set()
print(outcome, took, max(gaps))
"""


@pytest.mark.parametrize("action", ["tick", "interrupt"])
def test_the_import_lets_other_threads_run_and_answers_ctrl_c(tmp_path, action):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", responsiveness_script(action)], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=300)
    outcome, took, longest_gap = result.stdout.split()
    assert float(longest_gap) < 0.2, result.stdout
    if action == "interrupt":
        assert outcome == "KeyboardInterrupt" and float(took) < 0.05 + 0.3, result.stdout
    else:
        assert outcome == "ValueError", result.stdout
