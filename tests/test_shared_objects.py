"""Results share equal immutable objects within one call (labels, tier names,
chained times) yet compare exactly equal to fresh ones and share nothing across
calls."""

import math

import pytest

import tavrel
from textgrid_samples import flat_entries, write_long

LONG_LABEL = "a label far longer than any phone or word would ever be, " * 3
REPEATED = ["sil", "AH0", "wörld ☃", "", LONG_LABEL, "sil", "AH0", "wörld ☃", "", LONG_LABEL]


def chained(labels, start=0.0, step=0.25):
    return [(start + k * step, start + (k + 1) * step, label) for k, label in enumerate(labels)]


def document(labels):
    items = chained(labels)
    end = items[-1][1] if items else 1.0
    points = [(0.5, 0.5, "click"), (0.75, 0.75, "click")]
    return (0.0, end, [("phones", True, items), ("events", False, points),
                       ("words", True, chained(labels[::-1]))])


# Enough distinct labels to go past the bound on remembered texts, then
# repeated ones again, so that both the shared and the fresh path are taken.
UNIQUE_THEN_REPEATED = [f"utterance {k}" for k in range(20_000)] + REPEATED * 50
DOCUMENTS = {"repeated": document(REPEATED * 20), "unique": document(UNIQUE_THEN_REPEATED),
             "empty-tiers": (0.0, 1.0, [("a", True, []), ("b", False, [])])}


def read_as_vectors(path):
    tmins, tmaxs, labels, names, flags = tavrel.textgrid2vectors(path, False, "long")
    return tmins.tolist(), tmaxs.tolist(), labels, names, flags.tolist()


def read_batch_as_vectors(path):
    tmins, tmaxs, labels, names, flags, _ = tavrel.textgrids2vectors([path, path], False, "long")
    half = len(labels) // 2
    columns = (tmins.tolist(), tmaxs.tolist(), labels, names, flags.tolist())
    assert all(column[:half] == column[half:] for column in columns)
    return tuple(column[:half] for column in columns)


READERS = {
    "textgrid2data": (lambda p: tavrel.textgrid2data(p, False, "long"), lambda d: d),
    "textgrids2data": (lambda p: tavrel.textgrids2data([p, p], False, "long"), lambda d: [d, d]),
    "textgrid2vectors": (read_as_vectors, flat_entries),
    "textgrids2vectors": (read_batch_as_vectors, flat_entries),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("name", DOCUMENTS)
def test_results_equal_the_document_read(tmp_path, reader, name):
    read, expected = READERS[reader]
    path = write_long(tmp_path / "a.TextGrid", DOCUMENTS[name])
    assert read(path) == expected(DOCUMENTS[name])


def test_equal_labels_and_chained_times_are_one_object_within_a_call(tmp_path):
    path = write_long(tmp_path / "a.TextGrid", document(REPEATED * 20))
    first, second = tavrel.textgrids2data([path, path], False, "long")
    items = first[2][0][2] + first[2][2][2] + second[2][0][2]
    labels = [label for _, _, label in items]
    assert len({id(label) for label in labels}) == len(set(labels))
    for (_, end, _), (start, _, _) in zip(items, items[1:]):
        if start == end:
            assert start is end
    for time, other_time, _ in first[2][1][2]:  # a point's two times
        assert time is other_time


def test_vector_columns_share_tier_names_and_labels(tmp_path):
    path = write_long(tmp_path / "a.TextGrid", document(REPEATED * 20))
    _, _, labels, names, _ = tavrel.textgrid2vectors(path, False, "long")
    assert len({id(name) for name in names}) == len(set(names)) == 3
    assert len({id(label) for label in labels}) == len(set(labels))


def test_nothing_is_shared_across_calls(tmp_path):
    path = write_long(tmp_path / "a.TextGrid", document(REPEATED))
    first = tavrel.textgrid2data(path, False, "long")
    second = tavrel.textgrid2data(path, False, "long")
    assert first == second
    for (_, _, first_items), (_, _, second_items) in zip(first[2], second[2]):
        for (a_start, _, a_label), (b_start, _, b_label) in zip(first_items, second_items):
            assert a_start is not b_start
            if len(a_label) > 1:
                assert a_label is not b_label


@pytest.mark.parametrize("times, signs", [
    ([(-1.0, -0.0), (0.0, 1.0)], [-1, -1, 1, 1]),
    ([(-1.0, 0.0), (-0.0, 1.0)], [-1, 1, -1, 1]),
], ids=["negative-then-positive-zero", "positive-then-negative-zero"])
def test_zeros_of_either_sign_are_not_merged(tmp_path, times, signs):
    items = [(start, end, "x") for start, end in times]
    path = write_long(tmp_path / "a.TextGrid", (-1.0, 1.0, [("t", True, items)]))
    _, _, [(_, _, read)] = tavrel.textgrid2data(path, False, "long")
    got = [time for start, end, _ in read for time in (start, end)]
    assert [math.copysign(1, time) for time in got] == signs
