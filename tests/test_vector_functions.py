"""The vector functions: NumPy arrays over the core's buffers, the per-file
numbering of textgrids2vectors, and vectors2textgrid."""

import numpy as np
import pytest

import tavrel
from textgrid_samples import EXAMPLE, flat_entries, panic_of, run_python, write_long

A = (0.0, 3.0, [("a", True, [(0.0, 1.0, "x"), (1.0, 2.0, "y")]), ("p", False, [(2.5, 2.5, "z")])])
C = (0.0, 9.0, [("c", True, [(4.0, 5.0, "u"), (5.0, 9.0, "v")])])
NO_ITEMS = (0.0, 1.0, [("empty", True, [])])
DTYPES = [np.float64, np.float64, None, None, np.bool_, np.uint32]


def assert_vectors(result, document, file_ids=None):
    arrays = [result[i] for i in (0, 1, 4)] + ([result[5]] if file_ids is not None else [])
    for array in arrays:
        assert type(array) is np.ndarray and array.ndim == 1
        assert array.flags.writeable and not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
        assert array.base.__class__.__module__ == "tavrel"
    for position, expected in enumerate(flat_entries(document)):
        column = result[position]
        if DTYPES[position] is None:
            assert type(column) is list and all(type(text) is str for text in column)
            assert column == expected
        else:
            assert column.dtype == DTYPES[position]
            assert column.tolist() == expected
    if file_ids is not None:
        assert result[5].dtype == np.uint32 and result[5].tolist() == file_ids


@pytest.mark.parametrize("document", [EXAMPLE, A, NO_ITEMS, (0.0, 1.0, [])],
                         ids=["example", "two-tiers", "empty-tier", "no-tiers"])
def test_textgrid2vectors(tmp_path, document):
    result = tavrel.textgrid2vectors(write_long(tmp_path / "a.TextGrid", document), True, "long")
    assert type(result) is tuple and len(result) == 5
    assert_vectors(result, document)


def test_arrays_do_not_share_memory_between_calls(tmp_path):
    path = write_long(tmp_path / "a.TextGrid", A)
    first = tavrel.textgrid2vectors(path, True, "long")
    first[0][:] = -1.0
    first[4][:] = False
    second = tavrel.textgrid2vectors(path, True, "long")
    assert second[0].tolist() == [0.0, 1.0, 2.5]
    assert second[4].tolist() == [True, True, False]
    assert not np.shares_memory(first[0], second[0])


def test_views_keep_the_buffer_alive(tmp_path):
    path = write_long(tmp_path / "a.TextGrid", A)
    view = tavrel.textgrid2vectors(path, True, "long")[1][1:]
    keeper = view.base.base
    assert type(keeper).__name__ == "PySliceContainer"
    assert view.tolist() == [2.0, 2.5]
    with pytest.raises(TypeError):
        type(keeper)()  # the keeper class is internal


@pytest.mark.parametrize("order, expected_ids", [
    (["a", "b", "c"], [0, 0, 0, 2, 2]),
    (["b", "a", "c"], [1, 1, 1, 2, 2]),
    (["a", "a"], [0, 0, 0, 1, 1, 1]),
    (["c", "empty", "a"], [0, 0, 2, 2, 2]),
    (["b"], []),
    ([], []),
])
def test_textgrids2vectors_numbers_entries_by_file(tmp_path, order, expected_ids):
    paths = {"a": write_long(tmp_path / "a.TextGrid", A),
             "b": str(tmp_path / "missing.TextGrid"),
             "c": write_long(tmp_path / "c.TextGrid", C),
             "empty": write_long(tmp_path / "e.TextGrid", NO_ITEMS)}
    documents = {"a": A, "b": (0, 0, []), "c": C, "empty": NO_ITEMS}
    joined = (0.0, 0.0, [tier for name in order for tier in documents[name][2]])
    result = tavrel.textgrids2vectors([paths[name] for name in order], True, "long")
    assert type(result) is tuple and len(result) == 6
    assert_vectors(result, joined, expected_ids)


def test_textgrids2vectors_in_parallel_matches_single_reads(tmp_path):
    paths = [write_long(tmp_path / "a.TextGrid", A), write_long(tmp_path / "c.TextGrid", C)] * 60
    tmins, tmaxs, labels, names, flags, ids = tavrel.textgrids2vectors(paths, False, "auto")
    singles = [tavrel.textgrid2vectors(path, False, "auto") for path in paths]
    assert tmins.tolist() == [t for single in singles for t in single[0].tolist()]
    assert labels == [label for single in singles for label in single[2]]
    assert ids.tolist() == [i for i, single in enumerate(singles) for _ in single[2]]


def test_numpy_unavailable_is_an_internal_failure_until_it_is_back(tmp_path):
    path = write_long(tmp_path / "a.TextGrid", A)
    result = run_python(f"""
        import sys, tavrel
        sys.modules["numpy"] = None  # makes importing NumPy fail
        try:
            tavrel.textgrid2vectors({path!r}, True, "long")
        except BaseException as error:
            print(type(error).__name__, str(error).split(":")[0])
        del sys.modules["numpy"]
        print(tavrel.textgrid2vectors({path!r}, True, "long")[0].tolist())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException Failed to access NumPy array API capsule", "[0.0, 1.0, 2.5]"]
    assert result.stderr.count("Failed to access NumPy array API capsule") == 1


def test_textgrids2vectors_unknown_file_type_panics(tmp_path):
    error = panic_of(lambda: tavrel.textgrids2vectors([str(tmp_path / "x")], True, "Long"))
    assert str(error) == "Unknown file type: Long"


def round_trip(tmp_path, *vectors, tmin=None, tmax=None, file_type="short"):
    out = str(tmp_path / "out.TextGrid")
    assert tavrel.vectors2textgrid(*vectors, tmin, tmax, out, file_type) is None
    return tavrel.textgrid2data(out, True, "auto")


@pytest.mark.parametrize("as_numpy", [False, True])
def test_vectors2textgrid_round_trip(tmp_path, as_numpy):
    tmins, tmaxs, labels, names, flags = flat_entries(EXAMPLE)
    if as_numpy:
        tmins, tmaxs, flags = np.array(tmins), np.array(tmaxs), np.array(flags)
    assert round_trip(tmp_path, tmins, tmaxs, labels, names, flags, tmin=0.0, tmax=2.5) == EXAMPLE


class TimesArray(np.ndarray):
    """A subclass whose elements come out differently from its memory."""

    def __iter__(self):
        return iter([float(x) + 1.0 for x in np.asarray(self)])


# Arrays read straight from memory and arrays converted element by element must
# give the same file as the equivalent lists (or the same refusal).
ARRAY_VARIANTS = {
    "contiguous": lambda a, dtype: np.array(a, dtype=dtype),
    "strided": lambda a, dtype: np.repeat(np.array(a, dtype=dtype), 2)[::2],
    "reversed twice": lambda a, dtype: np.array(a[::-1], dtype=dtype)[::-1],
    "big-endian": lambda a, dtype: np.array(a, dtype=np.dtype(dtype).newbyteorder(">")),
    "float32 or bytes": lambda a, dtype: np.array(a, dtype=np.float32 if dtype == float else np.uint8),
    "read-only": lambda a, dtype: np.frombuffer(np.array(a, dtype=dtype).tobytes(), dtype=dtype),
}


@pytest.mark.parametrize("variant", ARRAY_VARIANTS)
def test_vectors2textgrid_arrays_give_what_their_elements_give(tmp_path, variant):
    tmins, tmaxs, labels, names, flags = flat_entries(EXAMPLE)
    make = ARRAY_VARIANTS[variant]
    arrays = [make(tmins, float), make(tmaxs, float), labels, names, make(flags, bool)]
    elements = [list(a) for a in arrays]  # the very scalars that iterating gives

    def written(columns, name):
        out = tmp_path / name
        try:
            tavrel.vectors2textgrid(*columns, 0.0, 2.5, str(out), "long")
        except TypeError as error:
            return "TypeError", str(error)
        return "file", out.read_bytes()

    assert written(arrays, "arrays.TextGrid") == written(elements, "elements.TextGrid")


def test_vectors2textgrid_bool_array_bytes_other_than_one_are_true(tmp_path):
    tmins, tmaxs, labels, names, flags = flat_entries(EXAMPLE)
    raw = np.array([2 if f else 0 for f in flags], dtype=np.uint8).view(np.bool_)
    assert round_trip(tmp_path, tmins, tmaxs, labels, names, raw, tmin=0.0, tmax=2.5) == EXAMPLE


def test_vectors2textgrid_array_subclasses_go_element_by_element(tmp_path):
    tmins, tmaxs, labels, names, flags = flat_entries(EXAMPLE)
    shifted = np.array(tmins).view(TimesArray)
    result = round_trip(tmp_path, shifted, [t + 1.0 for t in tmaxs], labels, names, flags,
                        tmin=0.0, tmax=3.5)
    expected_tiers = [(name, kind, [(a + 1.0, b + 1.0, text) for a, b, text in items])
                      for name, kind, items in EXAMPLE[2]]
    assert result == (0.0, 3.5, expected_tiers)


def test_vectors2textgrid_accepts_what_textgrid2vectors_returns(tmp_path):
    vectors = tavrel.textgrid2vectors(write_long(tmp_path / "a.TextGrid", A), True, "long")
    assert round_trip(tmp_path, *vectors, tmin=0.0, tmax=3.0, file_type="long") == A


def test_vectors2textgrid_groups_and_sorts(tmp_path):
    result = round_trip(tmp_path, [2.0, 0.0, 1.0, 0.0], [3.0, 1.0, 2.0, 0.5],
                        ["x", "q", "y", "r"], ["b", "a", "b", "c"], [True, True, False, True])
    assert result == (0.0, 3.0, [("b", True, [(1.0, 2.0, "y"), (2.0, 3.0, "x")]),
                                 ("a", True, [(0.0, 1.0, "q")]),
                                 ("c", True, [(0.0, 0.5, "r")])])


@pytest.mark.parametrize("vectors, reason", [
    (([0.0, 1.0, 2.0], [1.0, 2.0, 3.0], ["a", "b"], ["t"] * 3, [True] * 3),
     "Input vectors must have the same length"),
    (([0.0], [1.0], ["a"], ["t"], [True, False]), "Input vectors must have the same length"),
    (([], [], [], [], []), "Time bounds should be non-negative in TextGrid"),
    (([0.0, 0.5], [1.0, 2.0], ["a", "b"], ["t", "t"], [True, True]),
     "Items 0 and 1 overlap in tier t"),
])
def test_vectors2textgrid_refusals_write_nothing(tmp_path, vectors, reason):
    out = tmp_path / "out.TextGrid"
    with pytest.raises(OSError) as caught:
        tavrel.vectors2textgrid(*vectors, None, None, str(out), "long")
    assert caught.value.args == (f"Failed to create TextGrid because: {reason}",)
    assert not out.exists()


def test_vectors2textgrid_empty_with_bounds_writes_no_tiers(tmp_path):
    assert round_trip(tmp_path, [], [], [], [], [], tmin=0.0, tmax=1.0) == (0.0, 1.0, [])


def test_vectors2textgrid_unwritable_path_panics(tmp_path):
    out = str(tmp_path / "missing" / "out.TextGrid")
    error = panic_of(lambda: tavrel.vectors2textgrid([0.0], [1.0], ["a"], ["t"], [True],
                                                     None, None, out, "long"))
    assert "No such file or directory" in str(error)
