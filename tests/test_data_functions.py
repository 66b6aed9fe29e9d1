"""The nested-data functions end to end: textgrid2data, textgrids2data and
data2textgrid, with their error mapping and the internal-failure exception."""

import gc
import re

import pytest

import tavrel
from textgrid_samples import EXAMPLE, WORDS, long_text, panic_of, write_long

EMPTY_ENTRY = (0.0, 0.0, [])


def assert_exact_document(document):
    """Exact built-in types all the way down, as the module promises."""
    assert type(document) is tuple and len(document) == 3
    tmin, tmax, tiers = document
    assert type(tmin) is float and type(tmax) is float and type(tiers) is list
    for tier in tiers:
        assert type(tier) is tuple and len(tier) == 3
        name, flag, items = tier
        assert type(name) is str and flag in (True, False) and type(flag) is bool
        assert type(items) is list
        for item in items:
            assert type(item) is tuple and len(item) == 3
            assert [type(member) for member in item] == [float, float, str]


@pytest.mark.parametrize("document", [
    EXAMPLE,
    (0.0, 1.0, []),
    (0.0, 3.0, [("empty", True, []), ("points", False, [])]),
    (0.125, 1e-07 + 5, [("unicode ☃ 名前", True, [(0.125, 5.0000001, "ünï")])]),
], ids=["example", "no-tiers", "empty-tiers", "unicode"])
def test_textgrid2data_returns_the_document(tmp_path, document):
    result = tavrel.textgrid2data(write_long(tmp_path / "a.TextGrid", document), False, "long")
    assert result == document
    assert_exact_document(result)


def test_returned_lists_are_fresh(tmp_path):
    path = write_long(tmp_path / "a.TextGrid")
    first = tavrel.textgrid2data(path, True, "auto")
    first[2].clear()
    second = tavrel.textgrid2data(path, True, "auto")
    assert second == EXAMPLE
    assert second[2] is not first[2]


@pytest.mark.parametrize("enabled", [True, False])
def test_cycle_collector_state_is_left_as_it_was(tmp_path, enabled):
    path = write_long(tmp_path / "a.TextGrid")
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        assert tavrel.textgrid2data(path, False, "long") == EXAMPLE
        assert tavrel.textgrids2data([path] * 3, False, "long") == [EXAMPLE] * 3
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_large_tier_keeps_its_order(tmp_path):
    items = [(i * 0.5, i * 0.5 + 0.5, f"w{i}") for i in range(30_000)]
    document = (0.0, 15_000.0, [("words", True, items)])
    result = tavrel.textgrid2data(write_long(tmp_path / "big.TextGrid", document), True, "long")
    assert result == document


@pytest.mark.parametrize("file, content, strict, reason", [
    ("missing.TextGrid", None, False, "No such file or directory (os error 2)"),
    ("latin1.TextGrid", "xmin = 0\ntext = \"caf\xe9\"\n".encode("latin-1"), False,
     "stream did not contain valid UTF-8"),
    ("overlap.TextGrid",
     long_text((0.0, 2.0, [("t", True, [(0.0, 1.5, "a"), (1.0, 2.0, "b")])])).encode(), True,
     "Items 0 and 1 overlap in tier t"),
])
@pytest.mark.parametrize("function", [tavrel.textgrid2data, tavrel.textgrid2vectors])
def test_read_errors_become_oserror(tmp_path, monkeypatch, function, file, content, strict,
                                    reason):
    monkeypatch.chdir(tmp_path)
    if content is not None:
        (tmp_path / file).write_bytes(content)
    with pytest.raises(OSError) as caught:
        function(file, strict, "long")
    error = caught.value
    assert type(error) is OSError
    assert error.args == (f"Failed to read TextGrid file {file} because: {reason}",)
    assert error.errno is None


def test_read_error_names_the_path_exactly_as_passed(tmp_path):
    path = str(tmp_path) + "/./sub/../missing ☃.TextGrid"
    with pytest.raises(IOError, match=re.escape(f"file {path} because: ")):
        tavrel.textgrid2data(path, True, "long")


PANICKING_CALLS = {
    "textgrid2data": lambda path: tavrel.textgrid2data(path, True, "LONG"),
    "textgrid2vectors": lambda path: tavrel.textgrid2vectors(path, True, "LONG"),
    "textgrids2data": lambda path: tavrel.textgrids2data([path], True, "LONG"),
    "textgrids2vectors": lambda path: tavrel.textgrids2vectors([path], True, "LONG"),
}


@pytest.mark.parametrize("name", PANICKING_CALLS)
def test_internal_failure_becomes_panic_exception(tmp_path, capfd, name):
    path = write_long(tmp_path / "a.TextGrid")
    capfd.readouterr()
    error = panic_of(lambda: PANICKING_CALLS[name](path))
    assert type(error) is tavrel.PanicException
    assert type(error).__bases__ == (BaseException,)
    assert error.args == ("Unknown file type: LONG",)
    report = capfd.readouterr().err
    assert report.count("Unknown file type: LONG") == 1
    assert re.search(r"thread '[^']*'.*:\d+:\d+", report)


def test_panic_exception_passes_except_exception():
    with pytest.raises(BaseException) as caught:
        try:
            tavrel.textgrid2data("a.TextGrid", True, "LONG")
        except Exception:
            pytest.fail("PanicException was caught as an Exception")
    assert isinstance(caught.value, tavrel.PanicException)


def test_textgrids2data_entries_follow_the_input(tmp_path):
    good = write_long(tmp_path / "good.TextGrid")
    other = write_long(tmp_path / "other.TextGrid", (0.0, 1.0, [("x", False, [(0.5, 0.5, "p")])]))
    missing = str(tmp_path / "missing.TextGrid")
    expected = {good: EXAMPLE, other: tavrel.textgrid2data(other, True, "long"),
                missing: EMPTY_ENTRY}
    # Long enough for the parallel path on any small machine, short for one file.
    for files in ([good, missing, other, good], [good, other, missing] * 40, [missing]):
        result = tavrel.textgrids2data(files, True, "long")
        assert result == [expected[f] for f in files]
        assert_exact_document(result[0])


@pytest.mark.parametrize("file_type", ["long", "bogus"])
def test_textgrids2data_of_nothing(file_type):
    assert tavrel.textgrids2data([], True, file_type) == []


def test_textgrids2data_strict_turns_invalid_files_into_empty_entries(tmp_path):
    empty = tmp_path / "empty.TextGrid"
    empty.write_text("")
    assert tavrel.textgrids2data([str(empty)], False, "long") == [EMPTY_ENTRY]
    invalid = write_long(tmp_path / "bad.TextGrid", (0.0, 0.0, []))
    assert tavrel.textgrids2data([invalid], True, "long") == [EMPTY_ENTRY]
    assert tavrel.textgrids2data([invalid], False, "long") == [(0.0, 0.0, [])]


@pytest.mark.parametrize("file_type, first_lines", [
    ("long", ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", "xmin = 0 "]),
    ("LONG", ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", "0"]),
    ("short", ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", "0"]),
    (" long", ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", "0"]),
])
def test_data2textgrid_writes_the_chosen_layout(tmp_path, file_type, first_lines):
    out = tmp_path / "out.TextGrid"
    assert tavrel.data2textgrid(EXAMPLE[2], 0.0, 2.5, str(out), file_type) is None
    text = out.read_bytes().decode()
    assert text.split("\r\n")[:4] == first_lines
    assert tavrel.textgrid2data(str(out), True, "auto") == EXAMPLE


@pytest.mark.parametrize("tmin, tmax, expected", [
    (None, None, (0.0, 2.5)),
    (0.0, 10.0, (0.0, 10.0)),
    (None, 7, (0.0, 7.0)),
])
def test_data2textgrid_bounds(tmp_path, tmin, tmax, expected):
    out = str(tmp_path / "out.TextGrid")
    tavrel.data2textgrid([WORDS], tmin, tmax, out, "short")
    assert tavrel.textgrid2data(out, True, "short") == (*expected, [WORDS])


@pytest.mark.parametrize("data, tmin, tmax, reason", [
    ([("t", True, [(2.0, 1.0, "a")])], 0.0, 3.0, "tmin should be less than tmax in item 0 in tier t"),
    ([("t", True, [(0.0, 1.5, "a"), (1.0, 2.0, "b")])], None, None, "Items 0 and 1 overlap in tier t"),
    ([], None, None, "Time bounds should be non-negative in TextGrid"),
    ([("p", False, [(1.0, 1.5, "x")])], None, None,
     "Item 0 should have tmin == tmax in PointTier p"),
])
def test_data2textgrid_invalid_data_leaves_the_file_alone(tmp_path, data, tmin, tmax, reason):
    out = tmp_path / "out.TextGrid"
    out.write_text("previous content")
    with pytest.raises(OSError) as caught:
        tavrel.data2textgrid(data, tmin, tmax, str(out), "long")
    assert caught.value.args == (f"Failed to create TextGrid because: {reason}",)
    assert caught.value.errno is None
    assert out.read_text() == "previous content"


def test_data2textgrid_unwritable_path_panics(tmp_path, capfd):
    out = tmp_path / "no" / "such" / "dir.TextGrid"
    error = panic_of(lambda: tavrel.data2textgrid([WORDS], None, None, str(out), "long"))
    assert "No such file or directory" in str(error)
    assert capfd.readouterr().err.count(str(error)) == 1
    assert not out.parent.exists()
