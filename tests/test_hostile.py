"""Hostile input: absurd declared counts, a huge line without a line feed,
sequences that lie about their length, paths that try to escape, and a very
large number of tiers. Everything is generated at run time.
"""

import os

import numpy as np
import pytest
import tavrel

from harden_helpers import (RSS_GROWTH_SNIPPET, SANITIZED, check_child, is_panic, outcome,
                            rss_growth, run_python)


SHORT_HEADER = 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n0\n1\n<exists>\n'
HUGE = 10**18


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.mark.parametrize(
    "body",
    [
        f"{HUGE}\n",                                                   # tiers, none present
        f"{HUGE}\n\"IntervalTier\"\n\"w\"\n0\n1\n1\n0\n1\n\"a\"\n",       # tiers, one present
        f"1\n\"IntervalTier\"\n\"w\"\n0\n1\n{HUGE}\n0\n1\n\"a\"\n",       # interval items
        f"1\n\"TextTier\"\n\"p\"\n0\n1\n{HUGE}\n0.5\n\"m\"\n",           # items of a point tier
        f"{2**64 - 1}\n",                                              # the largest count there is
    ],
    ids=["tiers-none", "tiers-one", "intervals", "points", "max-u64"],
)
def test_absurd_declared_counts_fail_fast(tmp_path, body):
    """Counts are never used to reserve memory: reading stops at the first missing line."""
    path = write(tmp_path / "huge.TextGrid", SHORT_HEADER + body)
    code = RSS_GROWTH_SNIPPET + f"""
import time, tavrel
def work():
    start = time.monotonic()
    try:
        tavrel.textgrid2data({path!r}, False, "short")
    except BaseException as error:
        assert type(error).__name__ == "PanicException", repr(error)
    else:
        raise AssertionError("a file missing its declared tiers/items was accepted")
    assert time.monotonic() - start < 5
report_growth(work)
"""
    stdout = check_child(run_python(code, timeout=60))
    if not SANITIZED:
        assert rss_growth(stdout) < 64 * 2**20


def test_count_beyond_u64_reads_as_zero(tmp_path):
    path = write(tmp_path / "overflow.TextGrid", SHORT_HEADER + f"{2**64}\n\"IntervalTier\"\n")
    assert tavrel.textgrid2data(path, False, "short") == (0.0, 1.0, [])


def test_absurd_counts_in_batches(tmp_path):
    """The batch readers carry the failure of a hostile file instead of crashing."""
    hostile = write(tmp_path / "huge.TextGrid", SHORT_HEADER + f"{HUGE}\n")
    fine = write(tmp_path / "fine.TextGrid", SHORT_HEADER + "0\n")
    for function in (tavrel.textgrids2data, tavrel.textgrids2vectors):
        kind, error = outcome(function, [fine] * 30 + [hostile] + [fine] * 30, False, "short")
        assert kind == "panic", error


class LyingSequence:
    """Claims an absurd length; iteration yields only the real elements."""

    def __init__(self, elements, claimed=2**62):
        self.elements = list(elements)
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, index):
        return self.elements[index]


class UnmeasurableSequence(LyingSequence):
    def __len__(self):
        raise OverflowError("too long to tell")


LIARS = [LyingSequence, lambda xs: LyingSequence(xs, 2**63 - 1), UnmeasurableSequence]


@pytest.mark.parametrize("liar", LIARS, ids=["2**62", "ssize-max", "len-raises"])
def test_data2textgrid_with_lying_length(tmp_path, liar):
    out = tmp_path / "out.TextGrid"
    tier = ("words", True, liar([(0.0, 1.0, "a"), (1.0, 2.0, "b")]))
    kind, result = outcome(tavrel.data2textgrid, liar([tier]), None, None, str(out), "short")
    assert kind in ("value", "error"), result
    if kind == "value":
        assert tavrel.textgrid2data(str(out), True, "short") == (
            0.0, 2.0, [("words", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")])])


@pytest.mark.parametrize("liar", LIARS, ids=["2**62", "ssize-max", "len-raises"])
def test_vectors2textgrid_with_lying_length(tmp_path, liar):
    out = tmp_path / "out.TextGrid"
    columns = [liar([0.0, 1.0]), liar([1.0, 2.0]), liar(["a", "b"]), liar(["w", "w"]),
               liar([True, True])]
    kind, result = outcome(tavrel.vectors2textgrid, *columns, None, None, str(out), "long")
    assert kind in ("value", "error"), result
    if kind == "value":
        assert tavrel.textgrid2data(str(out), True, "long") == (
            0.0, 2.0, [("w", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")])])


def test_lying_length_does_not_reserve_for_the_claim():
    code = RSS_GROWTH_SNIPPET + """
import os, tempfile, tavrel
class Liar:
    def __init__(self, xs): self.xs = xs
    def __len__(self): return 2**62
    def __getitem__(self, i): return self.xs[i]
out = os.path.join(tempfile.mkdtemp(), "out.TextGrid")
def work():
    for _ in range(20):
        tavrel.vectors2textgrid(Liar([0.0]), Liar([1.0]), Liar(["a"]), Liar(["w"]), Liar([True]),
                                None, None, out, "short")
        tavrel.data2textgrid(Liar([("w", True, Liar([(0.0, 1.0, "a")]))]), None, None, out, "long")
report_growth(work)
"""
    stdout = check_child(run_python(code, timeout=60))
    if not SANITIZED:
        assert rss_growth(stdout) < 256 * 2**20


HUGE_LINE_BYTES = 300 * 2**20


@pytest.fixture(scope="module")
def huge_line_file(tmp_path_factory):
    """300 MB of text without a single line feed."""
    path = tmp_path_factory.mktemp("hostile") / "one_line.TextGrid"
    chunk = ("xmin = 1 item [] " + "a" * 1007).encode() * 1024  # 1 MiB
    with open(path, "wb") as handle:
        for _ in range(HUGE_LINE_BYTES // len(chunk)):
            handle.write(chunk)
    yield str(path)
    os.remove(path)


@pytest.mark.slow
@pytest.mark.parametrize("file_type", ["long", "auto", "short"])
def test_huge_line_memory_stays_proportional(huge_line_file, file_type):
    code = RSS_GROWTH_SNIPPET + f"""
import tavrel
def work():
    try:
        result = tavrel.textgrid2data({huge_line_file!r}, False, {file_type!r})
        print("RESULT", result[2])
    except BaseException as error:
        print("RAISED", type(error).__name__)
report_growth(work)
"""
    stdout = check_child(run_python(code, timeout=300))
    if not SANITIZED:
        assert rss_growth(stdout) < 3 * HUGE_LINE_BYTES
    # A single line: the long parser (also chosen by "auto", the text holds
    # "item []") reads the header's "xmin" from it as a malformed number; the
    # short parser finds no line 3.
    expected = "RAISED PanicException" if file_type == "short" else "RESULT []"
    assert expected in stdout


EMPTY_LINES_BYTES = 50 * 2**20


@pytest.mark.parametrize("file_type", ["short", "long", "auto"])
def test_many_empty_lines_memory_stays_proportional(tmp_path, file_type):
    """A file of nothing but line feeds: no per-line bookkeeping may outgrow the text."""
    path = tmp_path / "empty_lines.TextGrid"
    path.write_bytes(b"\n" * EMPTY_LINES_BYTES)
    code = RSS_GROWTH_SNIPPET + f"""
import tavrel
def work():
    print("RESULT", tavrel.textgrid2data({str(path)!r}, False, {file_type!r}))
report_growth(work)
"""
    stdout = check_child(run_python(code, timeout=120))
    assert "RESULT (0.0, 0.0, [])" in stdout
    if not SANITIZED:
        assert rss_growth(stdout) < 3 * EMPTY_LINES_BYTES


@pytest.mark.parametrize("name", ["out.TextGrid\x00.evil", "\x00", "sub/out.TextGrid", ""])
@pytest.mark.parametrize("writer", ["data", "vectors"])
def test_writers_never_write_elsewhere(tmp_path, name, writer):
    """A NUL must not truncate the path, a missing directory is not created."""
    target = os.path.join(str(tmp_path), name) if name else name
    if writer == "data":
        kind, error = outcome(tavrel.data2textgrid, [("w", True, [(0.0, 1.0, "a")])], None, None,
                              target, "long")
    else:
        kind, error = outcome(tavrel.vectors2textgrid, [0.0], [1.0], ["a"], ["w"], [True], None,
                              None, target, "long")
    assert kind == "panic" and is_panic(error)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("path", ["dir", "nul\x00byte"])
def test_readers_refuse_directories_and_nul(tmp_path, path):
    (tmp_path / "dir").mkdir()
    (tmp_path / "nul").write_text("xmin = 0\n")
    target = str(tmp_path / path)
    for function in (tavrel.textgrid2data, tavrel.textgrid2vectors):
        kind, error = outcome(function, target, False, "long")
        assert kind == "error" and type(error) is OSError, error
        assert str(error).startswith(f"Failed to read TextGrid file {target} because: ")
    for function in (tavrel.textgrids2data, tavrel.textgrids2vectors):
        assert outcome(function, [target], False, "auto")[0] == "value"


MANY_TIERS = 1_000_000


@pytest.fixture(scope="module")
def many_tiers_data():
    return [(f"t{k}", k % 2 == 0, [(0.0, 1.0, str(k)) if k % 2 == 0 else (0.5, 0.5, str(k))])
            for k in range(MANY_TIERS)]


@pytest.mark.slow
@pytest.mark.parametrize("file_type", ["short", "long"])
def test_a_million_tiers_round_trip(tmp_path, many_tiers_data, file_type):
    out = str(tmp_path / "many.TextGrid")
    # Given bounds: a lone point cannot span a tier of its own.
    tavrel.data2textgrid(many_tiers_data, 0.0, 1.0, out, file_type)
    assert tavrel.textgrid2data(out, True, file_type) == (0.0, 1.0, many_tiers_data)
    tmins, tmaxs, labels, names, flags = tavrel.textgrid2vectors(out, True, "auto")
    assert len(tmins) == len(names) == MANY_TIERS
    assert names[-1] == f"t{MANY_TIERS - 1}" and labels[12345] == "12345"
    assert flags.sum() == MANY_TIERS // 2


@pytest.mark.slow
def test_a_million_tier_names_through_vectors(tmp_path):
    """Grouping by tier name stays linear with a million distinct names."""
    out = str(tmp_path / "vectors.TextGrid")
    n = MANY_TIERS
    names = [f"t{k}" for k in range(n)]
    tavrel.vectors2textgrid([0.0] * n, [1.0] * n, names, names, [True] * n, None, None, out,
                            "short")
    tmins, _, labels, read_names, _ = tavrel.textgrid2vectors(out, True, "short")
    assert read_names == names and labels == names and len(tmins) == n


N_ENTRIES = 6


@pytest.mark.parametrize(
    "make_starts",
    [
        lambda: np.arange(0.0, 4 * N_ENTRIES, 2.0)[::2],            # strided view
        lambda: np.arange(N_ENTRIES, dtype=">f8") * 4,              # big-endian
        lambda: (np.arange(N_ENTRIES) * 4).astype(np.float32),      # narrower floats
        lambda: np.arange(N_ENTRIES, dtype=np.int64) * 4,           # integers
        lambda: np.asfortranarray(np.arange(N_ENTRIES) * 4.0),
        lambda: np.ma.masked_array(np.arange(N_ENTRIES) * 4.0, mask=[False] * N_ENTRIES),
        lambda: list(np.arange(N_ENTRIES) * 4.0),                  # NumPy scalars in a list
    ],
    ids=["strided", "big-endian", "float32", "int64", "fortran", "masked", "scalars"],
)
def test_numpy_vectors_are_read_by_value(tmp_path, make_starts):
    """Arrays are read element by element, whatever their layout or dtype."""
    starts = make_starts()
    expected = [float(x) for x in starts]
    out = str(tmp_path / "out.TextGrid")
    flags = np.ones(2 * N_ENTRIES, dtype=bool)[::2]
    tavrel.vectors2textgrid(starts, [x + 1.0 for x in expected], ["x"] * N_ENTRIES,
                            ["w"] * N_ENTRIES, flags, None, None, out, "short")
    tmins, tmaxs, *_ = tavrel.textgrid2vectors(out, True, "short")
    assert tmins.tolist() == expected and tmaxs.tolist() == [x + 1.0 for x in expected]


@pytest.mark.parametrize("column", [np.zeros((3, 2)), np.float64(1.0), np.array(["a", "b", "c"])],
                         ids=["2-d", "0-d", "strings"])
def test_unsuitable_arrays_are_refused(tmp_path, column):
    out = tmp_path / "out.TextGrid"
    kind, error = outcome(tavrel.vectors2textgrid, column, [1.0] * 3, ["a"] * 3, ["w"] * 3,
                          [True] * 3, None, None, str(out), "long")
    assert kind == "error" and isinstance(error, (TypeError, ValueError)), error
    assert not out.exists()


def test_reentrant_calls_from_argument_conversion(tmp_path):
    """A float conversion that calls the module again (batches included) while
    the outer call is half-way through converting its arguments."""
    source = str(tmp_path / "source.TextGrid")
    with open(source, "w", encoding="utf-8") as handle:
        handle.write(SHORT_HEADER + '1\n"IntervalTier"\n"w"\n0\n1\n1\n0\n1\n"a"\n')
    inner_out = str(tmp_path / "inner.TextGrid")

    class Reentrant:
        def __init__(self, value):
            self.value = value

        def __float__(self):
            assert len(tavrel.textgrids2vectors([source] * 50, True, "short")[0]) == 50
            inner = [("inner", True, [(0.0, 1.0, "i")])]
            tavrel.data2textgrid(inner, None, None, inner_out, "long")
            kind, _ = outcome(tavrel.textgrid2data, source, True, "nope")
            assert kind == "panic"
            return self.value

    out = str(tmp_path / "out.TextGrid")
    data = [("w", True, [(Reentrant(0.0), Reentrant(1.0), "a"), (Reentrant(1.0), 2.0, "b")])]
    tavrel.data2textgrid(data, None, None, out, "short")
    assert tavrel.textgrid2data(out, True, "short") == (0.0, 2.0, [("w", True, [(0.0, 1.0, "a"),
                                                                              (1.0, 2.0, "b")])])
    tavrel.vectors2textgrid([Reentrant(0.0)], [Reentrant(1.0)], ["a"], ["w"], [True], None, None,
                            out, "long")
    assert tavrel.textgrid2data(inner_out, True, "long")[2][0][0] == "inner"


@pytest.mark.parametrize("change, labels", [
    ("clear", ["a"]),                 # the item being converted outlives the list's hold on it
    ("append", ["a", "b", "late"]),   # an item added on the way is reached, as iterating would
])
def test_item_list_changed_while_an_item_converts(tmp_path, change, labels):
    items = []

    class Changer:
        def __float__(self):
            items.clear() if change == "clear" else items.append((2.0, 3.0, "late"))
            return 1.0

    items += [(0.0, Changer(), "a"), (1.0, 2.0, "b")]
    out = str(tmp_path / "out.TextGrid")
    tavrel.data2textgrid([("w", True, items)], None, None, out, "short")
    assert [label for _, _, label in tavrel.textgrid2data(out, True, "short")[2][0][2]] == labels


def test_overlong_paths(tmp_path):
    long_name = str(tmp_path / ("x" * 5000))
    kind, error = outcome(tavrel.textgrid2data, long_name, False, "long")
    assert kind == "error" and "File name too long (os error 36)" in str(error)
    kind, error = outcome(tavrel.data2textgrid, [("w", True, [(0.0, 1.0, "a")])], None, None,
                          long_name, "long")
    assert kind == "panic" and os.listdir(tmp_path) == []


@pytest.mark.skipif(SANITIZED, reason="ASan treats an allocation beyond memory as fatal")
def test_file_larger_than_memory_is_a_memory_error(tmp_path):
    """A (sparse) file of 10 TiB cannot be read whole: MemoryError, also from pool threads."""
    path = tmp_path / "sparse.TextGrid"
    try:
        with open(path, "wb") as handle:
            handle.truncate(10 * 2**40)
    except OSError as error:
        pytest.skip(f"no sparse files here: {error}")
    for function, argument in ((tavrel.textgrid2data, str(path)),
                               (tavrel.textgrid2vectors, str(path)),
                               (tavrel.textgrids2data, [str(path)] * 30),
                               (tavrel.textgrids2vectors, [str(path)] * 30)):
        with pytest.raises(MemoryError):
            function(argument, False, "auto")
