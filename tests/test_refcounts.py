"""Reference-count and memory discipline on every path of every function.

Each case calls one function many times, on its success path or on one of its
failure paths, and checks that the argument objects (and None/True/False) keep
their reference counts, that no Python objects accumulate (tracemalloc) and,
outside sanitizer builds, that the resident set does not grow. Inputs are a few
hundred items large so that a leaked copy of them would show.
"""

import gc
import math
import os
import sys
import tracemalloc

import pytest
import tavrel

from harden_helpers import SANITIZED, is_panic, long_text, sample_tiers, short_text


CALLS = 100 if SANITIZED else 600
ITEMS = 200


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("refcounts")
    tiers = sample_tiers(3, tiers=2, items=ITEMS)
    paths = {
        "long": long_text(tiers),
        "short": short_text(tiers),
        "overlap": long_text([("w", True, [(0.0, 2.0, "a"), (1.0, 3.0, "b")] * ITEMS)]),
        "bad_class": long_text(tiers).replace('"TextTier"', '"Bogus"'),
    }
    result = {"dir": str(directory), "missing": str(directory / "missing.TextGrid")}
    for name, text in paths.items():
        path = directory / f"{name}.TextGrid"
        path.write_text(text, encoding="utf-8")
        result[name] = str(path)
    return result


def good_data():
    return [(f"tier{t}", True, [(k * 0.5, k * 0.5 + 0.5, f"label {k}") for k in range(ITEMS)])
            for t in range(2)]


def good_vectors():
    n = ITEMS
    return ([k * 0.5 for k in range(n)], [k * 0.5 + 0.5 for k in range(n)],
            [f"label {k}" for k in range(n)], ["words"] * n, [True] * n)


def out_path(f):
    return os.path.join(f["dir"], "out.TextGrid")


def missing_dir_path(f):
    return os.path.join(f["dir"], "no", "such", "dir.TextGrid")


def data_args(f, data=None, item=None, tmin=None, tmax=None, path=None):
    """data2textgrid arguments; `item` replaces the very last item, so that
    almost everything has been converted when it is refused."""
    if data is None:
        data = good_data()
    if item is not None:
        name, flag, items = data[-1]
        data[-1] = (name, flag, items[:-1] + [item])
    return data, tmin, tmax, path or out_path(f), "long"


def vector_args(f, position=None, column=None, tmin=None, path=None):
    """vectors2textgrid arguments with one column replaced."""
    columns = list(good_vectors())
    if position is not None:
        columns[position] = column
    return (*columns, tmin, None, path or out_path(f), "long")


# (id, function name, argument builder, expected outcome: None for a value, an
# exception class, or "panic").
CASES = [
    ("read-long", "textgrid2data", lambda f: (f["long"], True, "long"), None),
    ("read-short-auto", "textgrid2data", lambda f: (f["short"], False, "auto"), None),
    ("read-missing", "textgrid2data", lambda f: (f["missing"], False, "long"), OSError),
    ("read-strict-invalid", "textgrid2data", lambda f: (f["overlap"], True, "long"), OSError),
    ("read-unknown-type", "textgrid2data", lambda f: (f["long"], True, "LONG"), "panic"),
    ("read-unknown-class", "textgrid2data", lambda f: (f["bad_class"], False, "long"), "panic"),
    ("read-bytes-path", "textgrid2data", lambda f: (f["long"].encode(), True, "long"), None),
    ("read-bytearray-path", "textgrid2data", lambda f: (bytearray(f["long"].encode()), True, "long"),
     TypeError),
    ("read-int-strict", "textgrid2data", lambda f: (f["long"], 1, "long"), TypeError),
    ("read-surrogate-type", "textgrid2data", lambda f: (f["long"], True, "lo\udc80ng"),
     UnicodeEncodeError),
    ("vread-long", "textgrid2vectors", lambda f: (f["long"], True, "long"), None),
    ("vread-missing", "textgrid2vectors", lambda f: (f["missing"], True, "short"), OSError),
    ("vread-unknown-class", "textgrid2vectors", lambda f: (f["bad_class"], False, "auto"), "panic"),
    ("vread-none-type", "textgrid2vectors", lambda f: (f["long"], False, None), TypeError),
    ("batch", "textgrids2data",
     lambda f: ([f["long"], f["missing"], f["short"], f["overlap"]] * 6, True, "auto"), None),
    ("batch-unknown-class", "textgrids2data",
     lambda f: ([f["long"]] * 23 + [f["bad_class"]], False, "long"), "panic"),
    ("batch-str", "textgrids2data", lambda f: (f["long"], True, "long"), TypeError),
    ("batch-bad-element", "textgrids2data", lambda f: ([f["long"], 7], True, "long"), TypeError),
    ("vbatch", "textgrids2vectors",
     lambda f: ([f["long"], f["missing"], f["short"]] * 8, False, "auto"), None),
    ("vbatch-unknown-type", "textgrids2vectors", lambda f: ([f["long"]] * 3, False, "Auto"),
     "panic"),
    ("vbatch-surrogate-path", "textgrids2vectors", lambda f: ([f["long"], "\ud800"], False, "auto"),
     UnicodeEncodeError),
    ("write-data", "data2textgrid", lambda f: data_args(f), None),
    ("write-data-bounds", "data2textgrid", lambda f: data_args(f, tmin=0.0, tmax=500.0), None),
    ("write-data-invalid", "data2textgrid", lambda f: data_args(f, item=(5.0, 1.0, "x")), OSError),
    ("write-data-no-dir", "data2textgrid", lambda f: data_args(f, path=missing_dir_path(f)),
     "panic"),
    ("write-data-str", "data2textgrid", lambda f: data_args(f, data="data"), TypeError),
    ("write-data-list-item", "data2textgrid", lambda f: data_args(f, item=[0.0, 1.0, "x"]),
     TypeError),
    ("write-data-short-item", "data2textgrid", lambda f: data_args(f, item=(0.0, 1.0)), ValueError),
    ("write-data-huge-int", "data2textgrid", lambda f: data_args(f, item=(10**400, 1.0, "x")),
     OverflowError),
    ("write-data-surrogate-label", "data2textgrid",
     lambda f: data_args(f, item=(0.0, 1.0, "\udfff")), UnicodeEncodeError),
    ("write-data-int-flag", "data2textgrid",
     lambda f: data_args(f, data=[("w", 1, [(0.0, 1.0, "a")])]), TypeError),
    ("write-data-bad-tmax", "data2textgrid", lambda f: data_args(f, tmax="1"), TypeError),
    ("write-data-surrogate-path", "data2textgrid",
     lambda f: data_args(f, path=out_path(f) + "\ud800"), UnicodeEncodeError),
    ("write-vectors", "vectors2textgrid", lambda f: vector_args(f), None),
    ("write-vectors-unequal", "vectors2textgrid", lambda f: vector_args(f, 2, ["a"]), OSError),
    ("write-vectors-nan-sort", "vectors2textgrid", lambda f: vector_args(f, 0, [math.nan] * ITEMS),
     OSError),
    ("write-vectors-no-dir", "vectors2textgrid",
     lambda f: vector_args(f, path=missing_dir_path(f)), "panic"),
    ("write-vectors-str-labels", "vectors2textgrid", lambda f: vector_args(f, 2, "labels"),
     TypeError),
    ("write-vectors-int-flags", "vectors2textgrid",
     lambda f: vector_args(f, 4, [True] * (ITEMS - 1) + [1]), TypeError),
    ("write-vectors-huge-int", "vectors2textgrid",
     lambda f: vector_args(f, 1, [1.0] * (ITEMS - 1) + [10**400]), OverflowError),
    ("write-vectors-bad-tmin", "vectors2textgrid", lambda f: vector_args(f, tmin=[]), TypeError),
]


def call(function, args, expected):
    try:
        function(*args)
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        if expected == "panic":
            assert is_panic(error), repr(error)
        else:
            assert expected is not None and type(error) is expected, repr(error)
    else:
        assert expected is None, f"expected {expected}"


def reachable(value, found):
    """The argument objects and everything they contain."""
    if id(value) in found:
        return
    found[id(value)] = value
    if isinstance(value, (list, tuple)):
        for member in value:
            reachable(member, found)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("case_id, name, build, expected", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_keep_refcounts_and_memory_flat(files, case_id, name, build, expected):
    function = getattr(tavrel, name)
    args = build(files)
    calls = CALLS // 5 if name.startswith("textgrids") else CALLS  # batches read 24+ files
    for _ in range(20):  # first-use initialisation happens here
        call(function, args, expected)
    tracked = {}
    reachable(args, tracked)
    objects = list(tracked.values()) + [None, True, False]
    # Collections only at known points, so that garbage left by earlier tests
    # cannot move the counts of shared objects such as True.
    gc.collect()
    gc.disable()
    try:
        refs_before = [sys.getrefcount(o) for o in objects]
        tracemalloc.start()
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = resident_bytes()
        for _ in range(calls):
            call(function, args, expected)
        gc.collect()
        refs_after = [sys.getrefcount(o) for o in objects]
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        tracemalloc.stop()
        rss_growth = resident_bytes() - rss_before
    finally:
        gc.enable()
    drift = [(repr(o)[:40], after - before)
             for o, before, after in zip(objects, refs_before, refs_after)
             if abs(after - before) >= calls // 2]
    assert drift == [], "reference counts drift with the number of calls"
    assert traced_growth < 32 * 1024, f"{traced_growth} bytes of Python objects accumulated"
    if not SANITIZED:
        assert rss_growth < 4 * 2**20, f"resident set grew by {rss_growth} bytes"


def containers_of(value, found):
    if isinstance(value, (list, tuple)):
        found.append(value)
        for member in value:
            containers_of(member, found)
    return found


def owner_counts(value):
    return {sys.getrefcount(c) for c in containers_of(value, [])[1:]}


@pytest.mark.parametrize("name, build", [
    ("textgrid2data", lambda f: (f["long"], True, "long")),
    ("textgrids2data", lambda f: ([f["long"], f["missing"]] * 20, False, "auto")),
    ("textgrid2vectors", lambda f: (f["short"], True, "short")),
    ("textgrids2vectors", lambda f: ([f["long"], f["short"]] * 20, False, "auto")),
])
def test_results_are_owned_only_by_their_container(files, name, build):
    """Each returned list and tuple is referenced once, by its parent (or the caller)."""
    result = getattr(tavrel, name)(*build(files))
    singly_owned = owner_counts([[[]], ([],)])  # the same measurement on Python-made values
    assert owner_counts(result) == singly_owned
    # Held by this frame alone, measured as a Python-made local is (CPython 3.14 counts a local one lower).
    caller_only = [[]]
    assert sys.getrefcount(result) == sys.getrefcount(caller_only)
    if "vectors" in name:
        arrays = [sys.getrefcount(a) for a in (result[0], result[1], result[4])]
        python_made = (object(), object(), None, None, object())
        made = [sys.getrefcount(a) for a in (python_made[0], python_made[1], python_made[4])]
        assert arrays == made
