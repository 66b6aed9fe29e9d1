"""Validation of TextGrids built from nested data: exact messages, their order,
the tolerance boundaries, and that a refused document leaves the output alone."""

import math

import pytest

import tavrel
from support import CREATE_PREFIX as PREFIX
from support import ORIGINAL

NAN = math.nan


def interval_tier(name, *items):
    return (name, True, list(items))


def point_tier(name, *items):
    return (name, False, list(items))


OK = interval_tier("ok", (0.0, 5.0, "fine"))


@pytest.mark.parametrize(
    "data, tmin, tmax, message",
    [
        ([], None, None, "Time bounds should be non-negative in TextGrid"),
        ([], 0.0, 0.000001, "tmin should be less than tmax in TextGrid"),
        ([], -0.5, 1.0, "Time bounds should be non-negative in TextGrid"),
        ([interval_tier("words", (2.0, 1.0, "a"))], None, None,
         "tmin should be less than tmax in TextGrid"),
        ([OK, point_tier("marks", (1.0, 1.0, "p"))], None, None,
         "tmin should be less than tmax in tier marks"),
        # Bounds taken from the items pass a NaN by: the item is named, not the bound it spoilt.
        ([OK, interval_tier("unstarted", (NAN, 5.0, "a"))], None, None,
         "Time bounds should be finite in item 0 in tier unstarted: tmin is not a number"),
        ([interval_tier("words", (2.0, 1.0, "a"))], 0.0, 10.0,
         "tmin should be less than tmax in item 0 in tier words"),
        ([interval_tier("words", (0.0, 0.0, "a"))], 0.0, 10.0,
         "Time bounds should be non-negative in item 0 in tier words"),
        ([interval_tier("words", (0.0, NAN, "a"), (-1.0, 2.0, "b"))], 0.0, 10.0,
         "Time bounds should be finite in item 0 in tier words: tmax is not a number"),
        ([interval_tier("words", (0.0, 1.000002, "a"), (1.0, 2.0, "b"))], None, None,
         "Items 0 and 1 overlap in tier words"),
        # Items keep their given order, so reversed intervals overlap.
        ([interval_tier("words", (1.0, 2.0, "b"), (0.0, 1.0, "a"))], None, None,
         "Items 0 and 1 overlap in tier words"),
        ([interval_tier("words", (0.0, 2.0, "a"), (1.0, 0.5, "b"))], 0.0, 10.0,
         "Items 0 and 1 overlap in tier words"),
        ([point_tier("marks", (1.0, 1.1, "p"))], 0.0, 10.0,
         "Item 0 should have tmin == tmax in PointTier marks"),
        ([point_tier("marks", (2.0, 2.0, "p"), (1.0, 1.0, "q"))], None, None,
         "Items 0 and 1 overlap in tier marks"),
        ([OK, point_tier("first", (1.0, 3.0, "p")), interval_tier("second", (4.0, 3.0, "a"))],
         0.0, 10.0, "Item 0 should have tmin == tmax in PointTier first"),
        ([point_tier(" Wörter \"x\"", (1.0, 3.0, "p"))], 0.0, 10.0,
         "Item 0 should have tmin == tmax in PointTier  Wörter \"x\""),
    ],
)
@pytest.mark.parametrize("file_type", ["long", "short"])
def test_refused_documents(data, tmin, tmax, message, file_type, output):
    with pytest.raises(OSError) as raised:
        tavrel.data2textgrid(data, tmin, tmax, str(output), file_type)
    assert raised.type is OSError
    assert raised.value.args == (PREFIX + message,)
    assert output.read_bytes() == ORIGINAL


@pytest.mark.parametrize(
    "data, tmin, tmax",
    [
        ([], 0.0, 0.0000011),
        ([], -0.0, 1.0),
        ([interval_tier("words", (0.0, 1.0, "a"), (1.0, 2.0, "b"))], None, None),
        ([interval_tier("words", (0.0, 1.0000005, "a"), (1.0, 2.0, "b"))], None, None),
        ([interval_tier("words", (0.0, 1.0, "a"), (3.0, 4.0, "b"))], None, None),
        ([point_tier("marks", (-1.0, -1.0, "p"), (0.0, 0.0, "q"))], 0.0, 1.0),
        ([point_tier("marks", (1.0, 1.0000005, "p"), (2.0, 2.0, "q"))], None, None),
        # Neither items outside their tier nor tiers outside the document are checked.
        ([interval_tier("words", (20.0, 30.0, "a"))], 0.0, 1.0),
    ],
)
def test_accepted_documents(data, tmin, tmax, output):
    assert tavrel.data2textgrid(data, tmin, tmax, str(output), "long") is None
    assert output.read_bytes() != ORIGINAL


def test_given_bounds_survive_and_empty_tiers_stay(output):
    data = [
        interval_tier("empty"),
        interval_tier("same", (1.0, 2.0, "a")),
        point_tier("also empty"),
        point_tier("same", (1.5, 1.5, "p")),
    ]
    tavrel.data2textgrid(data, 0.0, 10.0, str(output), "long")
    assert tavrel.textgrid2data(str(output), True, "long") == (
        0.0,
        10.0,
        [("empty", True, []), ("same", True, [(1.0, 2.0, "a")]), ("also empty", False, []),
         ("same", False, [(1.5, 1.5, "p")])],
    )
    text = output.read_text()
    # Every tier carries the given bounds, not the extent of its items.
    assert text.count("xmin = 0 ") == 5
    assert text.count("xmax = 10 ") == 5
