"""nest: every child item with the earliest parent item of its file that contains it,
checked against a brute-force containment on random tables (ties, gaps, points,
nested and overlapping tiers, missing tiers), from pyarrow, polars and DuckDB."""

import math
import random

import numpy as np
import pytest

import tavrel

pa = pytest.importorskip("pyarrow")

PARENT_COLUMNS = ["parent_label", "parent_tmin", "parent_tmax", "parent_index"]


def brute_force(rows, parent, child):
    out = []
    for row in rows:
        if row["tier_name"] != child:
            continue
        parents = [r for r in rows if r["file_id"] == row["file_id"] and r["tier_name"] == parent]
        found = next(((k, p) for k, p in enumerate(parents)
                      if p["tmin"] <= row["tmin"] and row["tmax"] <= p["tmax"]), None)
        extra = ([found[1]["label"], found[1]["tmin"], found[1]["tmax"], found[0]] if found
                 else [None] * 4)
        out.append({**row, **dict(zip(PARENT_COLUMNS, extra))})
    return out


def random_rows(rng, files):
    """Rows of `files` files; times on a coarse grid, so that bounds often tie."""
    rows = []
    for file_id in rng.sample(range(files * 3), files):
        for tier_index, name in enumerate(rng.sample(["words", "phones", "other", "words"],
                                                     rng.randint(0, 4))):
            kind = rng.choice(["tiled", "gappy", "points", "overlapping", "unsorted"])
            cuts = sorted(rng.sample(range(0, 40), rng.randint(2, 12)))
            if kind == "tiled":
                spans = list(zip(cuts, cuts[1:]))
            elif kind == "gappy":
                spans = list(zip(cuts[::2], cuts[1::2]))
            elif kind == "points":
                spans = [(c, c) for c in cuts]
            else:
                spans = [tuple(sorted(rng.sample(range(0, 40), 2))) for _ in cuts]
                if kind == "overlapping":
                    spans.sort()
            for a, b in spans:
                rows.append({"file_id": file_id, "tier_name": name, "tier_index": tier_index,
                             "is_interval": a != b, "tmin": a / 4, "tmax": b / 4,
                             "label": rng.choice(["", "x", f"{name}{a}", "ü"])})
    return rows


@pytest.mark.parametrize("round_", range(6))
def test_nest_equals_brute_force_on_random_tables(round_):
    seed = random.randrange(1 << 30)
    print(f"seed: {seed}")
    rng = random.Random(seed)
    rows = random_rows(rng, rng.randint(1, 25))
    schema = pa.schema([("file_id", pa.uint32()), ("tier_name", pa.string()),
                        ("tier_index", pa.uint32()), ("is_interval", pa.bool_()),
                        ("tmin", pa.float64()), ("tmax", pa.float64()), ("label", pa.string())])
    table = pa.Table.from_pylist(rows, schema=schema)
    if rows and rng.random() < 0.5:  # several batches, one of them sliced
        table = pa.Table.from_batches(table.slice(1).to_batches(max_chunksize=7), schema)
        rows = rows[1:]
    for parent, child in [("words", "phones"), ("phones", "words"), ("words", "words"),
                          ("missing", "phones"), ("words", "missing")]:
        got = pa.table(tavrel.nest(table, parent, child)).to_pylist()
        assert got == brute_force(rows, parent, child), (parent, child)


def test_nest_of_a_read_corpus_from_polars_and_duckdb(tmp_path):
    polars = pytest.importorskip("polars")
    words = [(0.0, 0.5, "the"), (0.5, 1.0, ""), (1.0, 2.0, "dog")]
    phones = [(0.0, 0.2, "DH"), (0.2, 0.5, "AH"), (0.5, 1.0, "sil"), (1.0, 1.5, "D"),
              (1.5, 2.0, "AO")]
    paths = []
    for k in range(3):
        paths.append(str(tmp_path / f"f{k}.TextGrid"))
        tavrel.data2textgrid([("phones", True, phones), ("words", True, words),
                              ("events", False, [(0.5, 0.5, "x")])], 0.0, 2.0, paths[-1], "long")
    table = tavrel.textgrids2table(paths)
    want = brute_force(pa.table(table).to_pylist(), "words", "phones")
    assert len(want) == 15 and want[3]["parent_label"] == "dog" and want[3]["parent_index"] == 2

    result = tavrel.nest(table, "words", "phones")
    assert "rows" in repr(result) and len(result) == 15
    frame = polars.DataFrame(result)
    assert frame.columns == pa.table(table).column_names + PARENT_COLUMNS
    assert frame.to_dicts() == want
    assert pa.table(tavrel.nest(polars.from_arrow(pa.table(table)), "words", "phones")).to_pylist() == want
    duckdb = pytest.importorskip("duckdb")
    arrow_table = pa.table(table)  # noqa: F841 (DuckDB finds it by name)
    relation = duckdb.sql("SELECT * FROM arrow_table ORDER BY file_id, tier_index, tmin")
    nested = pa.table(tavrel.nest(relation, "words", "phones"))
    assert nested.num_rows == 15 and nested["parent_index"].to_pylist()[:5] == [0, 0, 1, 2, 2]


SMALL = pa.table({"file_id": [0], "tier_name": ["a"], "tmin": [0.0], "tmax": [1.0], "label": ["x"]})


@pytest.mark.parametrize("table, error, message", [
    (pa.table({"file_id": [0]}), ValueError, "no column 'tier_name'"),
    (pa.table({"file_id": [0.5], "tier_name": ["a"], "tmin": [0.0], "tmax": [1.0],
               "label": ["x"]}), ValueError, "column 'file_id'"),
    (pa.table({"file_id": [0], "tier_name": ["a"], "tmin": [0.0], "tmax": [1.0], "label": ["x"],
               "nested": [[1, 2]]}), ValueError, "column 'nested'"),
    ([1, 2], TypeError, "__arrow_c_stream__"),
    (pa.RecordBatchReader.from_batches(SMALL.schema, iter([SMALL.to_batches()[0], pa.record_batch({"x": [1]})])),
     ValueError, "^argument 'table': record batch 1 does not match the schema"),
    (pa.RecordBatchReader.from_batches(SMALL.schema, iter([SMALL.to_batches()[0], pa.record_batch(
        {name: pa.array([1], pa.int64()) for name in SMALL.column_names})])),
     ValueError, "^argument 'table': column 'tier_name' in record batch 1 does not match its type string"),
    (SMALL.set_column(4, "label", pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(
        np.array([0, 5, 2], np.int32).tobytes()), pa.py_buffer(b"abcde")]).slice(1, 1)), ValueError,
     "text outside its buffers"),
])
def test_nest_refuses_tables_it_cannot_read(table, error, message):
    with pytest.raises(error, match=message):
        tavrel.nest(table, "a", "a")


def test_nest_is_linear_in_the_rows():
    """Ten times the rows take about ten times as long, not a hundred."""
    import time

    def rows(n):
        """n words of one second, each with three phones (exact binary fractions)."""
        cuts = [(0.0, 1.0), (0.0, 0.25), (0.25, 0.5), (0.5, 1.0)]
        return pa.table({"file_id": [k // 1000 for k in range(n) for _ in cuts],
                         "tier_name": ["words", "phones", "phones", "phones"] * n,
                         "tmin": [k + a for k in range(n) for a, _ in cuts],
                         "tmax": [k + b for k in range(n) for _, b in cuts],
                         "label": ["w"] * (4 * n)})

    def best(table):
        times = []
        for _ in range(3):
            start = time.perf_counter()
            tavrel.nest(table, "words", "phones")
            times.append(time.perf_counter() - start)
        return min(times)

    small, large = rows(20_000), rows(200_000)
    nested = pa.table(tavrel.nest(small, "words", "phones"))
    assert nested["parent_index"].null_count == 0
    assert best(large) < 25 * best(small)


def contains(parent, child):
    """Containment as the join means it: a NaN or null time contains and is contained by nothing."""
    times = (parent["tmin"], parent["tmax"], child["tmin"], child["tmax"])
    if any(t is None or t != t for t in times):
        return False
    return parent["tmin"] <= child["tmin"] and child["tmax"] <= parent["tmax"]


@pytest.mark.parametrize("round_", range(8))
def test_nan_and_null_times_never_join_on_random_unordered_tiers(round_):
    """Parents out of time order (the sweep), NaN and null times in both tiers; every other
    child gets the earliest containing parent, as a brute-force search finds it."""
    seed = random.randrange(1 << 30)
    print(f"seed: {seed}")
    rng = random.Random(seed)
    rows = []
    for file_id in range(rng.randint(1, 4)):
        for name in ("words", "phones"):
            for _ in range(rng.randint(0, 30)):
                a, b = sorted(rng.sample(range(0, 24), 2))
                times = [a / 8, b / 8]
                if rng.random() < 0.2:
                    times[rng.randrange(2)] = rng.choice([math.nan, None])
                rows.append({"file_id": file_id, "tier_name": name, "tmin": times[0],
                             "tmax": times[1], "label": f"{name}{len(rows)}"})
    rng.shuffle(rows)
    table = pa.Table.from_pylist(rows, schema=pa.schema([
        ("file_id", pa.uint32()), ("tier_name", pa.string()), ("tmin", pa.float64()),
        ("tmax", pa.float64()), ("label", pa.string())]))
    got = pa.table(tavrel.nest(table, "words", "phones")).to_pylist()
    children = [row for row in rows if row["tier_name"] == "phones"]
    assert [row["label"] for row in got] == [row["label"] for row in children]
    for row, child in zip(got, children):
        parents = [p for p in rows if p["file_id"] == child["file_id"] and p["tier_name"] == "words"]
        found = next((k for k, p in enumerate(parents) if contains(p, child)), None)
        assert row["parent_index"] == found, (child, row)
        if found is not None:
            assert row["parent_label"] == parents[found]["label"]


@pytest.mark.parametrize("missing", [math.nan, None])
def test_nan_child_leaves_an_unordered_parent_tier_alone(missing):
    parents = [(0.15, 1.0), (0.0, 0.2), (0.0, 0.5), (0.1, 0.3)]
    children = [(0.2, 0.4), (missing, 0.3), (0.1, 0.3), (0.0, missing), (0.1, 0.2), (0.6, 0.9),
                (missing, missing), (0.0, 0.1)]
    spans = parents + children
    table = pa.table({"file_id": [0] * len(spans),
                      "tier_name": ["w"] * len(parents) + ["p"] * len(children),
                      "tmin": [a for a, _ in spans], "tmax": [b for _, b in spans],
                      "label": [str(k) for k in range(len(spans))]})
    got = pa.table(tavrel.nest(table, "w", "p")).to_pylist()
    assert [r["parent_index"] for r in got] == [0, None, 2, None, 1, 0, None, 1]
