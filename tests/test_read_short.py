"""Reading short-layout TextGrid files (values by position) and the layout
detection of the "auto" file type."""

from pathlib import Path

import pytest

import tavrel
from support import DATA, EMPTY_DOCUMENT, EXAMPLE, panic_message



def read(path, strict=False, file_type="short"):
    return tavrel.textgrid2data(str(path), strict, file_type)


def write(tmp_path, text, name="doc.TextGrid"):
    path = tmp_path / name
    path.write_bytes(text.encode())
    return path


def lines(*values):
    return "\n".join(str(value) for value in values) + "\n"


@pytest.mark.parametrize("name", ["example_short_crlf.TextGrid", "example_short_lf.TextGrid"])
@pytest.mark.parametrize("file_type", ["short", "auto"])
@pytest.mark.parametrize("strict", [False, True])
def test_short_layout_variants_read_the_same(name, file_type, strict):
    assert read(DATA / name, strict, file_type) == EXAMPLE


def test_auto_follows_the_lines_after_the_header():
    # A short file with "item []" in a label stays short ...
    path = DATA / "short_label_item_marker.TextGrid"
    assert read(path, False, "auto") == read(path)
    words = read(path)[2][0]
    assert words[2][0] == (0.0, 1.2, "item []")
    # ... and a long file without the tier-list line stays long.
    assert read(DATA / "long_without_marker.TextGrid", False, "auto") == EXAMPLE
    assert read(DATA / "long_without_marker.TextGrid", False, "long") == EXAMPLE


def test_auto_on_an_empty_file_is_an_internal_failure():
    assert panic_message(lambda: read(DATA / "empty.TextGrid", False, "auto"))


def test_long_file_forced_through_the_short_parser_is_an_empty_document():
    path = DATA / "example_long_crlf.TextGrid"
    assert read(path) == EMPTY_DOCUMENT
    with pytest.raises(OSError, match="because: Time bounds should be non-negative in TextGrid$"):
        read(path, strict=True)


@pytest.mark.parametrize("file_type", ["short", "auto"])
def test_unknown_class_keeps_the_trimmed_line(file_type):
    path = DATA / "short_unknown_class.TextGrid"
    assert panic_message(lambda: read(path, False, file_type)) == "Unknown tier class: texttier"


def test_truncated_file_is_an_internal_failure_in_both_modes():
    for strict in (False, True):
        assert panic_message(lambda: read(DATA / "short_truncated.TextGrid", strict))


def test_strict_short_reading_checks_times(tmp_path):
    text = lines("", "", "", 0, 2, "", 1, '"TextTier"', "p", 0, 2, 2, 1.5, "a", 1, "b")
    assert read(write(tmp_path, text))[2][0][2] == [(1.5, 1.5, "a"), (1.0, 1.0, "b")]
    with pytest.raises(OSError, match="because: Items 0 and 1 overlap in tier p$"):
        read(write(tmp_path, text), strict=True)


@pytest.mark.parametrize(
    "tiers",
    [
        [],
        [("words", True, [(0.0, 0.5, ""), (0.5, 2.0, "two words")]), ("points", False, [(1.0, 1.0, "p")])],
        [("ünïcode ☃", True, [(0.1, 0.2, "x = y"), (0.3, 2.0, "item []")])],
        [("empty", True, []), ("marks", False, [(1.0, 1.0, 'say "hi"\n0\n"TextTier"')]), ("none", False, [])],
    ],
)
def test_written_short_files_read_back(tmp_path, tiers):
    path = tmp_path / "written.TextGrid"
    tavrel.data2textgrid(tiers, 0.0, 2.0, str(path), "short")
    assert read(path, strict=True) == (0.0, 2.0, tiers)
