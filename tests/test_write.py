"""Writing TextGrid files from nested data: exact bytes, float digits, file handling."""

import os
import random
import struct
import sys
import time
from decimal import Decimal

import pytest

import tavrel

EXAMPLE = [
    ("words", True, [(0.0, 1.2, "hello"), (1.2, 2.5, 'say "hi"')]),
    ("events", False, [(0.5, 0.5, "click")]),
]

EXAMPLE_LONG = (
    'File type = "ooTextFile"\r\n'
    'Object class = "TextGrid"\r\n'
    "\r\n"
    "xmin = 0 \r\n"
    "xmax = 2.5 \r\n"
    "tiers? <exists> \r\n"
    "size = 2 \r\n"
    "item []: \r\n"
    "    item [1]:\r\n"
    '        class = "IntervalTier" \r\n'
    '        name = "words" \r\n'
    "        xmin = 0 \r\n"
    "        xmax = 2.5 \r\n"
    "        intervals: size = 2 \r\n"
    "        intervals [1]:\r\n"
    "            xmin = 0 \r\n"
    "            xmax = 1.2 \r\n"
    '            text = "hello" \r\n'
    "        intervals [2]:\r\n"
    "            xmin = 1.2 \r\n"
    "            xmax = 2.5 \r\n"
    '            text = "say ""hi""" \r\n'
    "    item [2]:\r\n"
    '        class = "TextTier" \r\n'
    '        name = "events" \r\n'
    "        xmin = 0 \r\n"
    "        xmax = 2.5 \r\n"
    "        points: size = 1 \r\n"
    "        points [1]:\r\n"
    "            number = 0.5 \r\n"
    '            mark = "click" \r\n'
).encode()

EXAMPLE_SHORT = (
    'File type = "ooTextFile"\r\nObject class = "TextGrid"\r\n\r\n'
    "0\r\n2.5\r\n<exists>\r\n2\r\n"
    '"IntervalTier"\r\n"words"\r\n0\r\n2.5\r\n2\r\n'
    '0\r\n1.2\r\n"hello"\r\n'
    '1.2\r\n2.5\r\n"say ""hi"""\r\n'
    '"TextTier"\r\n"events"\r\n0\r\n2.5\r\n1\r\n'
    '0.5\r\n"click"\r\n'
).encode()


def write(tmp_path, data, file_type, tmin=0.0, tmax=2.5, name="out.TextGrid"):
    path = tmp_path / name
    assert tavrel.data2textgrid(data, tmin, tmax, str(path), file_type) is None
    return path.read_bytes()


def test_example_sizes():
    assert (len(EXAMPLE_LONG), len(EXAMPLE_SHORT)) == (685, 200)


@pytest.mark.parametrize(
    "file_type, expected",
    [
        ("long", EXAMPLE_LONG),
        ("short", EXAMPLE_SHORT),
        ("LONG", EXAMPLE_SHORT),
        ("Long", EXAMPLE_SHORT),
        (" long", EXAMPLE_SHORT),
        ("long ", EXAMPLE_SHORT),
        ("", EXAMPLE_SHORT),
        ("anything", EXAMPLE_SHORT),
    ],
)
def test_complete_example_and_file_type_word(tmp_path, file_type, expected):
    assert write(tmp_path, EXAMPLE, file_type) == expected


def positional(value):
    """repr's shortest digits laid out without an exponent, as the writer should."""
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def random_finite_doubles(rng, count):
    values = []
    while len(values) < count:
        (value,) = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))
        if value == value and abs(value) != float("inf"):
            values.append(value)
    return values


SPECIAL_TIMES = [
    0.0, -0.0, 1.0, 0.1 + 0.2, 1 / 3, 1e-7, 1e21, 1e23, 5e-324, 2.2250738585072014e-308,
    sys.float_info.max, -sys.float_info.max, 123456.789, 2.0**53 + 2,
]


@pytest.mark.parametrize("file_type", ["long", "short"])
def test_time_digits_match_repr(tmp_path, file_type):
    seed = int(os.environ.get("TAVREL_TEST_SEED", time.time_ns()))
    print(f"float digits seed: {seed}")
    rng = random.Random(seed)
    times = sorted(random_finite_doubles(rng, 3000) + SPECIAL_TIMES)
    # Points may lie anywhere; the given global bounds keep the tier valid.
    data = [("p", False, [(t, t, "") for t in times])]
    text = write(tmp_path, data, file_type, tmin=0.0, tmax=sys.float_info.max).decode()
    lines = text.split("\r\n")
    if file_type == "long":
        written = [line[len("            number = "):-1] for line in lines if "number = " in line]
    else:
        written = lines[12:-1:2]  # after the file and tier headers, each point's time line
    assert len(written) == len(times)
    mismatches = [(t, w) for t, w in zip(times, written) if w != positional(t)]
    assert mismatches == [], f"seed {seed}"


@pytest.mark.parametrize("file_type", ["long", "short"])
def test_saving_over_longer_file_truncates(tmp_path, file_type):
    path = tmp_path / "out.TextGrid"
    path.write_bytes(b"x" * 10000)
    written = write(tmp_path, EXAMPLE, file_type)
    assert written == (EXAMPLE_LONG if file_type == "long" else EXAMPLE_SHORT)


def test_missing_directory_raises_panic_and_creates_nothing(tmp_path):
    target = tmp_path / "missing" / "out.TextGrid"
    with pytest.raises(BaseException) as raised:
        tavrel.data2textgrid(EXAMPLE, 0.0, 2.5, str(target), "long")
    assert type(raised.value).__name__ == "PanicException"
    assert not isinstance(raised.value, Exception)
    # The message names the error's kind, text and code.
    assert "not found, No such file or directory (os error 2)" in str(raised.value)
    assert str(target) in str(raised.value)
    assert list(tmp_path.iterdir()) == []
