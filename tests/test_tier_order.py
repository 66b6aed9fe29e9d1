"""Tiers keep their place: tier_index in the table, and tier indices in the two table
writers, so that duplicate tier names and tier order survive corpus -> table -> files."""

import random

import numpy as np
import pytest

import tavrel

pa = pytest.importorskip("pyarrow")


def write_corpus(folder, seed):
    """Files whose tiers share names ("spk" twice, "words" thrice) in shuffled order."""
    print(f"corpus seed: {seed}")
    rng = random.Random(seed)
    paths, documents = [], []
    for k in range(12):
        tiers = []
        for _ in range(rng.randint(1, 5)):
            name = rng.choice(["spk", "words", "words", "z", "a"])
            if rng.random() < 0.25:
                points = sorted(rng.sample(range(1, 90), rng.randint(1, 4)))
                tiers.append((name, False, [(t / 10, t / 10, f"p{t}") for t in points]))
            else:
                ends = sorted(rng.sample(range(1, 100), rng.randint(1, 6)))
                starts = [0] + ends[:-1]
                tiers.append((name, True, [(s / 10, e / 10, rng.choice(["", "x", "yy"]))
                                           for s, e in zip(starts, ends)]))
        path = folder / f"f{k:02d}.TextGrid"
        tavrel.data2textgrid(tiers, 0.0, 10.0, str(path), rng.choice(["long", "short"]))
        paths.append(str(path))
        documents.append(tavrel.textgrid2data(str(path), True, "auto"))
    return paths, documents


def test_tier_index_is_the_position_in_the_file(tmp_path):
    paths, documents = write_corpus(tmp_path, 7)
    rows = pa.table(tavrel.textgrids2table(paths)).to_pylist()
    want = [(file_id, position, name)
            for file_id, (_, _, tiers) in enumerate(documents)
            for position, (name, _, items) in enumerate(tiers) for _ in items]
    assert [(r["file_id"], r["tier_index"], r["tier_name"]) for r in rows] == want
    assert pa.schema(tavrel.textgrids2table(paths)).field("tier_index").type == pa.uint32()


@pytest.mark.parametrize("source", ["table", "pyarrow", "polars", "vectors"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_round_trip_keeps_duplicate_names_and_order(tmp_path, source, seed):
    paths, documents = write_corpus(tmp_path, seed)
    table = tavrel.textgrids2table(paths)
    outputs = [str(tmp_path / f"out{k}.TextGrid") for k in range(len(paths))]
    if source == "vectors":
        frame = pa.table(table)
        columns = [frame[name].to_pylist() for name in
                   ("tmin", "tmax", "label", "tier_name", "is_interval", "file_id", "tier_index")]
        reports = tavrel.vectors2textgrids(*columns[:6], outputs, tmin=0.0, tmax=10.0,
                                           tier_indices=np.array(columns[6]))
    else:
        given = {"table": table, "pyarrow": pa.table(table),
                 "polars": pytest.importorskip("polars").from_arrow(pa.table(table))}[source]
        reports = tavrel.table2textgrids(given, outputs, bounds=table.reports)
    assert reports.failures == 0
    assert [tavrel.textgrid2data(p, True, "auto") for p in outputs] == documents


def test_without_tier_indices_tiers_are_grouped_by_name(tmp_path):
    paths, _ = write_corpus(tmp_path, 4)
    frame = pa.table(tavrel.textgrids2table(paths)).drop(["tier_index"])
    outputs = [str(tmp_path / f"out{k}.TextGrid") for k in range(len(paths))]
    reports = pa.table(tavrel.table2textgrids(frame, outputs)).to_pylist()
    for report, path in zip(reports, paths):
        _, _, tiers = tavrel.textgrid2data(path, False, "auto")
        assert report["tiers"] == len({name for name, _, items in tiers if items}) or \
            not report["ok"]


@pytest.mark.parametrize("indices, error", [
    ([0, 1], ValueError),  # one per row: the table has 3 rows
    ("abc", TypeError),
    ([-1, 0, 0], ValueError),  # named as the argument's fault, as a negative file id is
])
def test_bad_tier_indices(tmp_path, indices, error):
    columns = ([0.0, 1.0, 0.0], [1.0, 2.0, 1.0], ["a", "b", "c"], ["t", "t", "t"],
               [True, True, True], [0, 0, 0], [str(tmp_path / "x.TextGrid")])
    with pytest.raises(error):
        tavrel.vectors2textgrids(*columns, tier_indices=indices)


def test_explicit_tier_indices_win_over_the_column(tmp_path):
    rows = pa.table({"file_id": [0, 0], "tier_name": ["t", "t"], "tier_index": [0, 0],
                     "is_interval": [True, True], "tmin": [0.0, 0.0], "tmax": [1.0, 1.0],
                     "label": ["a", "b"]})
    out = [str(tmp_path / "o.TextGrid")]
    assert tavrel.table2textgrids(rows, out).failures == 1  # two items overlap in one tier
    assert tavrel.table2textgrids(rows, out, tier_indices=[1, 0]).failures == 0
    assert tavrel.textgrid2data(out[0], True, "auto")[2] == [
        ("t", True, [(0.0, 1.0, "b")]), ("t", True, [(0.0, 1.0, "a")])]


COLUMNS = ([0.0, 1.0, 0.0], [1.0, 2.0, 1.0], ["a", "b", "c"], ["t", "t", "t"], [True, True, True],
           [0, 0, 0])


@pytest.mark.parametrize("indices, error, message", [
    ([-1, 0, 0], ValueError, "argument 'tier_indices': tier index -1 is negative"),
    ([2**70, 0, 0], ValueError, f"argument 'tier_indices': tier index {2**70} is too large"),
    ([2**64, 0, 0], ValueError, f"argument 'tier_indices': tier index {2**64} is too large"),
    (np.array([0, -3, 0]), ValueError, "argument 'tier_indices': tier index -3 is negative"),
    ([0, 1], ValueError, "argument 'tier_indices': 2 tier indices given for 3 rows"),
    ([0, 1, 2, 3], ValueError, "argument 'tier_indices': 4 tier indices given for 3 rows"),
    ([0, 1.5, 2], TypeError, "argument 'tier_indices': "),
    ([2**64 - 1, 0, 0], None, None),  # the largest index is an index like any other
    (np.array([7, 0, 0], dtype=np.uint64), None, None),
])
@pytest.mark.parametrize("writer", ["vectors", "table"])
def test_tier_index_argument_errors_name_the_argument(tmp_path, indices, error, message, writer):
    out = [str(tmp_path / "x.TextGrid")]
    if writer == "vectors":
        call = lambda: tavrel.vectors2textgrids(*COLUMNS, out, tier_indices=indices)  # noqa: E731
    else:
        names = ("tmin", "tmax", "label", "tier_name", "is_interval", "file_id")
        rows = pa.table(dict(zip(names, COLUMNS)))
        call = lambda: tavrel.table2textgrids(rows, out, tier_indices=indices)  # noqa: E731
    if error is None:
        assert call().failures == 0
        return
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error and str(raised.value).startswith(message)
    assert not (tmp_path / "x.TextGrid").exists()


# Rows of two files: (file_id, tier_index, tier_name, tmin, tmax, label); file 0 gives one index
# to two names, file 1 is sound.
SHARED = [
    ([(0, 0, "words", 0.0, 1.0, "a"), (0, 0, "phones", 1.0, 2.0, "b"), (1, 0, "w", 0.0, 1.0, "c")],
     'tier index 0 is given to two tiers, "words" and "phones"'),
    ([(0, 1, "words", 0.0, 1.0, "a"), (0, 0, "x", 0.0, 1.0, "z"), (0, 1, "Wörter", 1.0, 2.0, "b"),
      (1, 1, "w", 0.0, 1.0, "c"), (1, 1, "w", 1.0, 2.0, "d")],
     'tier index 1 is given to two tiers, "words" and "Wörter"'),
    ([(0, 2**63 - 1, "a", 0.0, 1.0, "a"), (1, 3, "w", 0.0, 1.0, "c"), (0, 2**63 - 1, "a ", 1.0, 2.0, "b")],
     f'tier index {2**63 - 1} is given to two tiers, "a" and "a "'),
]


@pytest.mark.parametrize("rows, problem", SHARED)
@pytest.mark.parametrize("writer", ["vectors", "table", "column"])
def test_two_names_at_one_tier_index_refuse_their_file(tmp_path, rows, problem, writer):
    outputs = [str(tmp_path / "zero.TextGrid"), str(tmp_path / "one.TextGrid")]
    (tmp_path / "zero.TextGrid").write_bytes(b"left as it was\n")
    file_ids, indices, names, tmins, tmaxs, labels = (list(c) for c in zip(*rows))
    if writer == "vectors":
        reports = tavrel.vectors2textgrids(tmins, tmaxs, labels, names, [True] * len(rows),
                                           file_ids, outputs, tier_indices=indices)
    else:
        table = pa.table({"file_id": file_ids, "tier_name": names, "is_interval": [True] * len(rows),
                          "tmin": tmins, "tmax": tmaxs, "label": labels,
                          "tier_index": pa.array(indices, pa.uint64())})
        if writer == "column":
            reports = tavrel.table2textgrids(table, outputs)
        else:
            reports = tavrel.table2textgrids(table.drop(["tier_index"]), outputs, tier_indices=indices)
    first, second = pa.table(reports).to_pylist()
    assert (first["ok"], first["error_kind"]) == (False, "validation")
    assert first["error"] == "Failed to create TextGrid because: " + problem
    assert (tmp_path / "zero.TextGrid").read_bytes() == b"left as it was\n"
    assert second["ok"] and tavrel.textgrid2data(outputs[1], True, "auto")[2][0][0] == "w"
