"""Reading long-layout TextGrid files, and what every reader shares: file
access errors, the UTF-8 check, the file-type word and tolerant values."""

import math
import random
from pathlib import Path

import pytest

import tavrel
from support import DATA, EMPTY_DOCUMENT, EXAMPLE, panic_message



def read(path, strict=False, file_type="long"):
    return tavrel.textgrid2data(str(path), strict, file_type)


def write_long(tmp_path, body, name="doc.TextGrid"):
    path = tmp_path / name
    path.write_bytes(body.encode() if isinstance(body, str) else body)
    return path


@pytest.mark.parametrize(
    "name",
    [
        "example_long_crlf.TextGrid",
        "example_long_lf.TextGrid",
        "example_long_bom.TextGrid",
        "example_long_tabs.TextGrid",
    ],
)
@pytest.mark.parametrize("file_type", ["long", "auto"])
@pytest.mark.parametrize("strict", [False, True])
def test_long_layout_variants_read_the_same(name, file_type, strict):
    assert read(DATA / name, strict, file_type) == EXAMPLE


def test_empty_file_is_an_empty_document_that_strict_rejects():
    assert read(DATA / "empty.TextGrid") == EMPTY_DOCUMENT
    with pytest.raises(OSError) as caught:
        read(DATA / "empty.TextGrid", strict=True)
    path = str(DATA / "empty.TextGrid")
    assert str(caught.value) == (
        f"Failed to read TextGrid file {path} because: "
        "Time bounds should be non-negative in TextGrid"
    )


def test_lines_ending_in_cr_alone_read_like_the_others():
    assert read(DATA / "example_long_cr.TextGrid") == EXAMPLE


@pytest.mark.parametrize("name", ["latin1_long.TextGrid"])
@pytest.mark.parametrize("file_type", ["long", "short", "auto"])
def test_non_utf8_files_fail_in_every_mode(name, file_type):
    path = str(DATA / name)
    with pytest.raises(OSError) as caught:
        tavrel.textgrid2data(path, False, file_type)
    assert str(caught.value) == (
        f"Failed to read TextGrid file {path} because: stream did not contain valid UTF-8"
    )


@pytest.mark.parametrize("file_type", ["long", "short", "auto"])
def test_operating_system_errors_are_reported(tmp_path, file_type):
    missing = str(tmp_path / "missing.TextGrid")
    with pytest.raises(OSError) as caught:
        tavrel.textgrid2data(missing, False, file_type)
    assert str(caught.value) == (
        f"Failed to read TextGrid file {missing} because: No such file or directory (os error 2)"
    )
    assert caught.value.errno is None
    with pytest.raises(OSError, match=r"because: Is a directory \(os error 21\)$"):
        tavrel.textgrid2data(str(tmp_path), False, file_type)
    with pytest.raises(OSError, match="because: file name contained an unexpected NUL byte$"):
        tavrel.textgrid2data(str(DATA / "empty.TextGrid") + "\0x", False, file_type)


@pytest.mark.parametrize("word", ["LONG", "Long", " long", "long ", "", "text", "auto\0"])
def test_unknown_file_type_fails_before_touching_the_file(word):
    assert panic_message(lambda: read("does/not/exist.TextGrid", False, word)) == (
        "Unknown file type: " + word
    )


def test_unknown_tier_class_names_the_value_with_its_quotes():
    for file_type in ("long", "auto"):
        message = panic_message(lambda: read(DATA / "long_unknown_class.TextGrid", False, file_type))
        assert message == 'Unknown tier class: "PointTier"'


def test_item_section_before_any_tier_is_an_internal_failure():
    assert panic_message(lambda: read(DATA / "long_point_before_tier.TextGrid"))


@pytest.mark.parametrize(
    "name, message",
    [
        ("long_size_mismatch.TextGrid", "TextGrid size does not match number of tiers"),
        ("long_overlap.TextGrid", "Items 0 and 1 overlap in tier words"),
    ],
)
def test_strict_reading_reports_the_first_validation_error(name, message):
    lenient = read(DATA / name)
    assert len(lenient[2]) == 2
    with pytest.raises(OSError, match=f"because: {message}$"):
        read(DATA / name, strict=True)


def test_values_are_read_tolerantly(tmp_path):
    path = write_long(tmp_path, "\u3000xmin\u00a0=\t1e400 \nxmax = 1,5\nitem [1]:\nname = \"\"\"n\"\"\"\n")
    assert read(path) == (math.inf, 0.0, [('"n"', True, [])])


def test_a_long_line_without_line_feed_reads_as_an_empty_document(tmp_path):
    path = write_long(tmp_path, b"x" * (8 << 20))
    assert read(path) == EMPTY_DOCUMENT


def test_written_long_files_read_back(tmp_path):
    tiers = [
        ("words", True, [(0.0, 0.25, ""), (0.25, 1.0, "wörd"), (1.5, 2.0, "a = b")]),
        ("marks", False, [(1e-7, 1e-7, "tiny"), (0.125, 0.125, "x")]),
    ]
    path = tmp_path / "written.TextGrid"
    tavrel.data2textgrid(tiers, 0.0, 2.0, str(path), "long")
    assert read(path, strict=False) == (0.0, 2.0, tiers)
    assert read(path, False, "auto") == (0.0, 2.0, tiers)


def _utf8_samples():
    """Byte strings around every rule of UTF-8, placed at several offsets so
    that both the bulk ASCII scan and the per-sequence check see them."""
    rng = random.Random(20240611)
    pieces = [
        b"\xc2\x80", b"\xdf\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xe0\xa0\x80", b"\xe0\x9f\xbf",
        b"\xed\x9f\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xee\x80\x80", b"\xef\xbf\xbf",
        b"\xf0\x90\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
        b"\xf5\x80\x80\x80", b"\xff", b"\xfe", b"\x80", b"\xbf", b"\xc2", b"\xe2\x82", b"\xf0\x9f\x98",
        b"\xc2\x41", b"\xe2\x28\xa1", b"\xf0\x28\x8c\xbc", "é☃😀".encode(), b"\x00", b"\x7f",
    ]
    samples = []
    for piece in pieces:
        for offset in (0, 1, 7, 31, 32, 33, 64):
            samples.append(b"a" * offset + piece + b"b" * rng.randrange(0, 40))
            samples.append(b"a" * offset + piece)
    for _ in range(300):
        length = rng.randrange(0, 80)
        samples.append(bytes(rng.choice((rng.randrange(0x80), rng.randrange(0x80, 0x100))) for _ in range(length)))
        samples.append(b"".join(rng.choice(pieces) + b"z" * rng.randrange(0, 35) for _ in range(rng.randrange(1, 6))))
    return samples


def test_utf8_check_agrees_with_python_decoder(tmp_path):
    path = tmp_path / "sample.TextGrid"
    for sample in _utf8_samples():
        sample = sample.replace(b"=", b"-").replace(b"[", b"(")
        path.write_bytes(sample)
        try:
            sample.decode("utf-8")
            valid = True
        except UnicodeDecodeError:
            valid = False
        try:
            read(path)
            accepted = True
        except OSError as error:
            assert str(error).endswith("stream did not contain valid UTF-8"), sample
            accepted = False
        assert accepted == valid, sample
