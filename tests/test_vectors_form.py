"""Building TextGrids from the vector form: length check, grouping by tier name,
ordering by start time, NaN starts, and round trips through files."""

import math

import pytest

import numpy as np

import tavrel
from support import CREATE_PREFIX as PREFIX
from support import ORIGINAL



def columns(entries):
    """Five vector arguments from (tmin, tmax, label, tier_name, is_interval) rows."""
    if not entries:
        return [], [], [], [], []
    return tuple(list(column) for column in zip(*entries))


def write_vectors(entries, output, tmin=None, tmax=None, file_type="long"):
    tavrel.vectors2textgrid(*columns(entries), tmin, tmax, str(output), file_type)
    return tavrel.textgrid2data(str(output), True, file_type)


@pytest.mark.parametrize("shortened", range(5))
def test_unequal_lengths_are_refused(shortened, output):
    vectors = list(columns([(0.0, 1.0, "a", "t", True), (1.0, 2.0, "b", "t", True),
                            (2.0, 3.0, "c", "t", True)]))
    vectors[shortened] = vectors[shortened][:2]
    with pytest.raises(OSError) as raised:
        tavrel.vectors2textgrid(*vectors, 0.0, 5.0, str(output), "long")
    assert raised.value.args == (PREFIX + "Input vectors must have the same length",)
    assert output.read_bytes() == ORIGINAL


def test_empty_vectors(output):
    with pytest.raises(OSError) as raised:
        write_vectors([], output)
    assert raised.value.args == (PREFIX + "Time bounds should be non-negative in TextGrid",)
    assert output.read_bytes() == ORIGINAL
    assert write_vectors([], output, 0.0, 1.0) == (0.0, 1.0, [])


def test_grouping_follows_first_appearance_and_first_flag(output):
    entries = [
        (0.0, 1.0, "b0", "b", True),
        (5.0, 5.0, "a0", "a", False),
        (1.0, 2.0, "b1", "b", False),  # later flags of a tier are not looked at
        (6.0, 6.0, "a1", "a", True),
    ]
    assert write_vectors(entries, output) == (0.0, 6.0, [
        ("b", True, [(0.0, 1.0, "b0"), (1.0, 2.0, "b1")]),
        ("a", False, [(5.0, 5.0, "a0"), (6.0, 6.0, "a1")]),
    ])


def test_tier_names_compare_byte_for_byte(output):
    names = ["a", "A", "a ", "\u00e9", "e\u0301"]
    entries = [(0.0, 1.0, str(i), name, True) for i, name in enumerate(names)]
    _, _, tiers = write_vectors(entries, output)
    assert [tier[0] for tier in tiers] == names


@pytest.mark.parametrize("count", [3, 20, 21, 200])
def test_items_sorted_stably_by_start(count, output):
    # Points share start times; ties must keep the order of their entries.
    starts = [float((i * 7) % 10) for i in range(count)]
    entries = [(start, start, str(i), "t", False) for i, start in enumerate(starts)]
    entries.reverse()
    _, _, [(_, _, items)] = write_vectors(entries, output, 0.0, 20.0)
    arrival = {label: position for position, (_, _, label, _, _) in enumerate(entries)}
    keys = [(start, arrival[label]) for start, _, label in items]
    assert keys == sorted(keys)
    assert len(items) == count


def test_equal_starts_keep_entry_order(output):
    entries = [(2.0, 2.0, "x", "t", False), (1.0, 1.0, "y", "t", False),
               (1.0, 1.0, "z", "t", False)]
    _, _, [(_, _, items)] = write_vectors(entries, output, 0.0, 5.0)
    assert [label for _, _, label in items] == ["y", "z", "x"]


@pytest.mark.parametrize("count", [2, 30])
def test_nan_start_in_a_tier_of_several_entries_is_a_validation_error(count, output):
    entries = [(float(i), float(i) + 0.5, "x", "t", True) for i in range(count)]
    entries[count // 2] = (math.nan, 1.0, "x", "t", True)
    with pytest.raises(OSError) as raised:
        write_vectors(entries, output, 0.0, 100.0)
    # Unorderable entries go last, where validation meets them.
    assert raised.value.args == (PREFIX + f"Time bounds should be finite in item {count - 1} in tier t: "
                                          "tmin is not a number",)
    assert output.read_bytes() == ORIGINAL


def test_single_nan_start_is_named_rather_than_the_bounds(output):
    entries = [(0.0, 1.0, "a", "ok", True), (math.nan, 2.0, "b", "alone", True)]
    with pytest.raises(OSError) as raised:
        write_vectors(entries, output)
    assert raised.value.args == (PREFIX + "Time bounds should be finite in item 0 in tier alone: "
                                          "tmin is not a number",)


@pytest.mark.parametrize("file_type", ["long", "short"])
def test_round_trip_through_numpy_columns(file_type, tmp_path):
    first = tmp_path / "first.TextGrid"
    data = [
        ("words", True, [(0.0, 0.25, ""), (0.25, 1.5, "h\u00e9llo w\u00f6rld"), (1.5, 3.0, "x")]),
        ("marks", False, [(0.1, 0.1, "p"), (2.9, 2.9, "q")]),
    ]
    tavrel.data2textgrid(data, 0.0, 3.0, str(first), file_type)
    vectors = tavrel.textgrid2vectors(str(first), True, file_type)

    second = tmp_path / "second.TextGrid"
    tavrel.vectors2textgrid(*vectors, 0.0, 3.0, str(second), file_type)
    again = tavrel.textgrid2vectors(str(second), True, file_type)
    for before, after in zip(vectors, again):
        if isinstance(before, np.ndarray):
            assert before.dtype == after.dtype
            np.testing.assert_array_equal(before, after)
        else:
            assert before == after
    assert second.read_bytes() == first.read_bytes()


def test_round_trip_merges_tiers_of_the_same_name(tmp_path):
    source = tmp_path / "source.TextGrid"
    data = [
        ("w", True, [(2.0, 3.0, "c"), (3.0, 4.0, "d")]),
        ("other", False, [(1.0, 1.0, "p"), (2.0, 2.0, "q")]),
        ("w", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")]),
    ]
    tavrel.data2textgrid(data, None, None, str(source), "long")
    merged = tmp_path / "merged.TextGrid"
    tavrel.vectors2textgrid(*tavrel.textgrid2vectors(str(source), True, "long"), None, None,
                            str(merged), "short")
    assert tavrel.textgrid2data(str(merged), True, "short") == (0.0, 4.0, [
        ("w", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b"), (2.0, 3.0, "c"), (3.0, 4.0, "d")]),
        ("other", False, [(1.0, 1.0, "p"), (2.0, 2.0, "q")]),
    ])
