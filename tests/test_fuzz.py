"""Property tests: random arguments, data, vectors and file bytes for all six
functions. Every call must end in a documented outcome (a value, one of the
documented exception classes, or PanicException), readers must agree with one
another, and writers must touch nothing but their output path.
"""

import math
import os
import pathlib
import tempfile

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
import tavrel

from harden_helpers import long_text, outcome, short_text


# Reproducible and quick enough for CI.
FUZZ = settings(
    derandomize=True,
    max_examples=120,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

LONE_SURROGATES = st.sampled_from(["\ud800", "\udfff", "\udc80"])
SURROGATE_TEXT = st.builds(lambda a, s, b: a + s + b, st.text(max_size=3), LONE_SURROGATES,
                           st.text(max_size=3))
AWKWARD_TEXT = st.sampled_from(
    ["", '"', '""', "a\nb", "\r", "\r\n", "item []", "intervals [1]:", "\x00", "\ufeff", "x = y",
     "\u2028", "  padded  ", "\u00e9\u4e2d\U0001f600"])
TEXT = st.one_of(st.text(max_size=12), AWKWARD_TEXT)
ANY_TEXT = st.one_of(TEXT, TEXT, SURROGATE_TEXT)

SPECIAL_NUMBERS = st.sampled_from(
    [math.nan, math.inf, -math.inf, 1e308, -1e308, -0.0, 5e-324, 10**400, -(10**400), 2**63, True])
NUMBER_OBJECTS = st.one_of(
    st.floats(),
    st.integers(min_value=-(10**30), max_value=10**30),
    SPECIAL_NUMBERS,
    st.floats(allow_nan=False, allow_infinity=False).map(np.float64),
    st.floats(width=32).map(np.float32),
    st.decimals(allow_nan=False, places=3),
    st.fractions(max_denominator=1000),
)
NOT_NUMBERS = st.sampled_from([None, "1.0", b"1", [], (), object()])
TIMES = st.one_of(NUMBER_OBJECTS, NUMBER_OBJECTS, NUMBER_OBJECTS, NOT_NUMBERS)
OPTIONAL_BOUNDS = st.one_of(st.none(), st.none(), NUMBER_OBJECTS, NOT_NUMBERS)
FLAGS = st.one_of(st.booleans(), st.booleans(),
                  st.sampled_from([np.True_, np.False_, 0, 1, None, "True"]))
FILE_TYPES_FOR_WRITING = st.sampled_from(["long", "short", "LONG", "", " long", "auto"])


WILD_ITEM = st.one_of(
    st.tuples(TIMES, TIMES, ANY_TEXT),
    st.tuples(TIMES, TIMES, ANY_TEXT),
    st.tuples(TIMES, TIMES, ANY_TEXT).map(list),
    st.tuples(TIMES, TIMES),
    st.tuples(TIMES, TIMES, ANY_TEXT, TIMES),
    st.tuples(TIMES, TIMES, st.sampled_from([None, 1, b"x"])),
)


def containers(elements, max_size):
    """A list of `elements`, sometimes as a tuple, a str, a generator or a set."""
    base = st.lists(elements, max_size=max_size)
    return st.one_of(
        base, base, base, base.map(tuple),
        st.just("not a sequence of tuples"),
        base.map(lambda xs: (x for x in xs)),
        st.just({1, 2}),
        st.just(None),
    )


WILD_TIER = st.one_of(
    st.tuples(ANY_TEXT, FLAGS, containers(WILD_ITEM, 6)),
    st.tuples(ANY_TEXT, FLAGS, containers(WILD_ITEM, 6)),
    st.tuples(ANY_TEXT, FLAGS, st.lists(WILD_ITEM, max_size=4)).map(list),
    st.tuples(ANY_TEXT, FLAGS),
    st.tuples(st.sampled_from([None, 3, b"n"]), FLAGS, st.lists(WILD_ITEM, max_size=3)),
)
WILD_DATA = containers(WILD_TIER, 4)


def increasing_times(draw, count):
    """Distinct non-negative times in increasing order, well apart."""
    tick = draw(st.integers(min_value=0, max_value=10**6))
    times = []
    for step in draw(st.lists(st.integers(min_value=1, max_value=10**6), min_size=count,
                              max_size=count)):
        times.append(tick / 1000)
        tick += step
    return times


@st.composite
def plausible_tier(draw):
    """A tier that usually passes validation, so that writing succeeds often."""
    is_interval = draw(st.booleans())
    count = draw(st.integers(min_value=0, max_value=8))
    times = increasing_times(draw, count + 1)
    labels = draw(st.lists(TEXT, min_size=count, max_size=count))
    if is_interval:
        items = [(times[i], times[i + 1], labels[i]) for i in range(count)]
    else:
        items = [(times[i], times[i], labels[i]) for i in range(count)]
    return (draw(TEXT), is_interval, items)


PLAUSIBLE_DATA = st.lists(plausible_tier(), max_size=4)
WRITING_CASES = st.one_of(
    st.tuples(WILD_DATA, OPTIONAL_BOUNDS, OPTIONAL_BOUNDS),
    st.tuples(PLAUSIBLE_DATA, st.none(), st.none()),
    st.tuples(st.lists(plausible_tier(), min_size=1, max_size=4), st.just(0.0), st.just(1e4 + 1)),
)


def directory_listing(directory):
    return sorted(os.listdir(directory))


def check_written_only(directory, output_name, kind):
    """The output file exists exactly when the call returned, and nothing else does."""
    expected = [output_name] if kind == "value" else []
    assert directory_listing(directory) == expected


def as_read(text):
    """A written text as it reads back: every line break as LF, as Praat reads it."""
    return text.replace("\r\n", "\n").replace("\r", "\n")


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def check_read_back(path, file_type, tiers):
    """Written tiers read back with their names, flags, times and labels."""
    _, _, read = tavrel.textgrid2data(path, False, "long" if file_type == "long" else "short")
    assert [(t[0], t[1], len(t[2])) for t in read] == [(as_read(t[0]), t[1], len(t[2])) for t in tiers]
    for (_, is_interval, written_items), (_, _, read_items) in zip(tiers, read):
        for (w_min, w_max, w_label), (r_min, r_max, r_label) in zip(written_items, read_items):
            assert r_label == as_read(w_label)
            assert same_float(r_min, float(w_min))
            if is_interval:
                assert same_float(r_max, float(w_max))


@FUZZ
@given(case=WRITING_CASES, file_type=FILE_TYPES_FOR_WRITING)
def test_data2textgrid_random_data(case, file_type):
    data, tmin, tmax = case
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "out.TextGrid")
        kind, result = outcome(tavrel.data2textgrid, data, tmin, tmax, path, file_type)
        event(f"outcome: {kind} {type(result).__name__ if kind != 'value' else ''}")
        check_written_only(directory, "out.TextGrid", kind)
        if kind == "value":
            assert result is None
            check_read_back(path, file_type, data)
        elif kind == "error" and type(result) is OSError:
            assert str(result).startswith("Failed to create TextGrid because: ")


VECTOR_NUMBERS = st.lists(st.one_of(st.floats(), SPECIAL_NUMBERS), max_size=8)


@st.composite
def random_vectors(draw):
    """Five columns, usually of equal length, as lists or NumPy arrays."""
    n = draw(st.integers(min_value=0, max_value=8))
    if draw(st.integers(min_value=0, max_value=3)) == 0:
        sizes = draw(st.lists(st.integers(min_value=0, max_value=8), min_size=5, max_size=5))
    else:
        sizes = [n] * 5

    def column(elements, size):
        return draw(st.lists(elements, min_size=size, max_size=size))

    tmins = column(st.one_of(st.floats(), SPECIAL_NUMBERS, NOT_NUMBERS), sizes[0])
    tmaxs = column(st.one_of(st.floats(), SPECIAL_NUMBERS), sizes[1])
    labels = column(ANY_TEXT, sizes[2])
    names = column(st.one_of(st.sampled_from(["a", "b", "", "\u00e9", '"q"']), ANY_TEXT), sizes[3])
    flags = column(FLAGS, sizes[4])
    if draw(st.booleans()):
        try:
            tmins = np.array(tmins, dtype=np.float64)
            tmaxs = np.array(tmaxs, dtype=np.float64)
        except (TypeError, ValueError, OverflowError):
            pass
    if draw(st.booleans()) and all(type(f) is bool for f in flags):
        flags = np.array(flags, dtype=bool)
    odd = draw(st.sampled_from([None, None, None, "tmins", "labels", "flags"]))
    if odd == "tmins":
        tmins = "0.0"
    elif odd == "labels":
        labels = "abc"
    elif odd == "flags":
        flags = [1] * len(flags)
    return tmins, tmaxs, labels, names, flags


@st.composite
def plausible_vectors(draw):
    """Consistent columns with non-negative increasing times, interleaved tiers."""
    n = draw(st.integers(min_value=0, max_value=10))
    times = increasing_times(draw, n + 1)
    names = draw(st.lists(st.sampled_from(["a", "b", "c"]), min_size=n, max_size=n))
    flags = [name != "c" for name in names]
    tmins = times[:n]
    tmaxs = [times[i + 1] if flags[i] else times[i] for i in range(n)]
    labels = draw(st.lists(TEXT, min_size=n, max_size=n))
    return tmins, tmaxs, labels, names, flags


@FUZZ
@given(case=st.one_of(st.tuples(random_vectors(), OPTIONAL_BOUNDS, OPTIONAL_BOUNDS),
                      st.tuples(plausible_vectors(), st.none(), st.none())),
       file_type=FILE_TYPES_FOR_WRITING)
def test_vectors2textgrid_random_vectors(case, file_type):
    vectors, tmin, tmax = case
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "out.TextGrid")
        kind, result = outcome(tavrel.vectors2textgrid, *vectors, tmin, tmax, path, file_type)
        event(f"outcome: {kind} {type(result).__name__ if kind != 'value' else ''}")
        check_written_only(directory, "out.TextGrid", kind)
        if kind == "value":
            assert result is None
            _, _, labels, names, _ = vectors
            layout = "long" if file_type == "long" else "short"
            read = tavrel.textgrid2vectors(path, False, layout)
            assert sorted(read[2]) == sorted(map(as_read, labels))
            assert sorted(read[3]) == sorted(map(as_read, names))
        elif kind == "error" and type(result) is OSError:
            assert str(result).startswith("Failed to create TextGrid because: ")


LINE_VOCABULARY = st.sampled_from([
    'File type = "ooTextFile"', 'Object class = "TextGrid"', "", "xmin = 0", "xmax = 1",
    "tiers? <exists>", "size = 1", "size = 2", "item []:", "item [1]:", "item [",
    'class = "IntervalTier"', 'class = "TextTier"', 'class = "Bogus"', 'name = "w"',
    "intervals: size = 1", "points: size = 1",
    "intervals [1]:", "points [1]:", "number = 0.5", 'text = "a"', 'mark = "m"', '"IntervalTier"',
    '"TextTier"', '"w"', "<exists>", "0", "1", "2", "3", "18446744073709551615",
    "18446744073709551616",
    "1000000000000000000", "-1", "nan", "inf", "1e400", ".5", "1,5", "=", "==", '""', "\ufeff",
])
NUMBER_LINES = st.one_of(st.floats().map(repr), st.integers().map(str))
TEXT_LINES = TEXT.map(lambda t: '"' + t + '"')


@st.composite
def mutated_document(draw):
    """A rendered document of either layout with a few lines deleted, doubled or replaced."""
    tiers = draw(st.lists(plausible_tier(), max_size=3))
    render = draw(st.sampled_from([long_text, short_text]))
    lines = render(tiers).split("\n")
    for _ in range(draw(st.integers(min_value=0, max_value=3))):
        at = draw(st.integers(min_value=0, max_value=len(lines) - 1))
        action = draw(st.sampled_from(["delete", "double", "replace", "blank"]))
        if action == "delete":
            del lines[at]
        elif action == "double":
            lines.insert(at, lines[at])
        elif action == "replace":
            lines[at] = draw(st.one_of(LINE_VOCABULARY, NUMBER_LINES))
        else:
            lines.insert(at, "")
    return lines


@st.composite
def textgrid_bytes(draw):
    """Raw bytes, lines from both layouts' vocabulary, or a mutated document;
    now and then with invalid UTF-8 (an encoded lone surrogate) or a BOM."""
    choice = draw(st.integers(min_value=0, max_value=4))
    if choice == 0:
        return draw(st.binary(max_size=300))
    if choice <= 2:
        lines = draw(mutated_document())
    else:
        lines = draw(st.lists(st.one_of(LINE_VOCABULARY, LINE_VOCABULARY, NUMBER_LINES, TEXT_LINES),
                              max_size=40))
    if draw(st.integers(min_value=0, max_value=9)) == 0:
        lines.append(draw(SURROGATE_TEXT))
    ending = draw(st.sampled_from(["\n", "\n", "\r\n", "\r"]))
    prefix = draw(st.sampled_from(["", "", "", "\ufeff"]))
    return (prefix + ending.join(lines)).encode("utf-8", "surrogatepass")


READ_MODES = [(strict, file_type) for strict in (False, True)
              for file_type in ("long", "short", "auto")]
EMPTY_DOCUMENT = (0.0, 0.0, [])


def same_data(a, b):
    if not (same_float(a[0], b[0]) and same_float(a[1], b[1]) and len(a[2]) == len(b[2])):
        return False
    for (name_a, flag_a, items_a), (name_b, flag_b, items_b) in zip(a[2], b[2]):
        if (name_a, flag_a, len(items_a)) != (name_b, flag_b, len(items_b)):
            return False
        for (x0, x1, xl), (y0, y1, yl) in zip(items_a, items_b):
            if not (same_float(x0, y0) and same_float(x1, y1) and xl == yl):
                return False
    return True


def check_vectors_match_data(vectors, data):
    items = [(name, flag, item) for name, flag, tier_items in data[2] for item in tier_items]
    assert [len(column) for column in vectors[:5]] == [len(items)] * 5
    assert vectors[0].dtype == np.float64 and vectors[4].dtype == np.bool_
    for k, (name, flag, (start, end, label)) in enumerate(items):
        assert same_float(vectors[0][k], start) and same_float(vectors[1][k], end)
        assert (vectors[2][k], vectors[3][k], bool(vectors[4][k])) == (label, name, flag)


def check_one_file(path, strict, file_type):
    kind, data = outcome(tavrel.textgrid2data, path, strict, file_type)
    event(f"{'strict' if strict else 'lenient'} {file_type}: {kind}")
    vkind, vectors = outcome(tavrel.textgrid2vectors, path, strict, file_type)
    assert vkind == kind
    if kind == "error":
        assert type(data) is OSError and type(vectors) is OSError
        prefix = f"Failed to read TextGrid file {path} because: "
        assert str(data).startswith(prefix) and str(data) == str(vectors)
    elif kind == "panic":
        assert str(vectors) == str(data)
    else:
        check_vectors_match_data(vectors, data)

    batch_kind, batch = outcome(tavrel.textgrids2data, [path, path], strict, file_type)
    assert batch_kind == ("panic" if kind == "panic" else "value")
    if kind != "panic":
        expected = data if kind == "value" else EMPTY_DOCUMENT
        assert len(batch) == 2 and all(same_data(entry, expected) for entry in batch)

    vbatch_kind, vbatch = outcome(tavrel.textgrids2vectors, [path], strict, file_type)
    assert vbatch_kind == batch_kind
    if kind == "value":
        check_vectors_match_data(vbatch, data)
        assert vbatch[5].dtype == np.uint32 and not vbatch[5].any()
    elif kind == "error":
        assert [len(column) for column in vbatch] == [0] * 6


@FUZZ
@given(content=textgrid_bytes())
def test_readers_on_random_bytes(content):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "random.TextGrid")
        with open(path, "wb") as handle:
            handle.write(content)
        for strict, file_type in READ_MODES:
            check_one_file(path, strict, file_type)
        assert directory_listing(directory) == ["random.TextGrid"]
        with open(path, "rb") as handle:
            assert handle.read() == content


PATH_LIKE = st.one_of(
    st.just("VALID"), st.just("VALID"), ANY_TEXT,
    st.sampled_from([b"x.TextGrid", pathlib.Path("x.TextGrid"), None, 3, "", "dir\x00x", "/", "."]))
FILE_TYPES_FOR_READING = st.one_of(st.sampled_from(["long", "short", "auto"]), ANY_TEXT,
                                   st.just(None))


@FUZZ
@given(file=PATH_LIKE, files=st.one_of(st.lists(PATH_LIKE, max_size=3), PATH_LIKE),
       strict=FLAGS, file_type=FILE_TYPES_FOR_READING)
def test_readers_random_arguments(file, files, strict, file_type):
    valid = os.path.join(os.path.dirname(__file__), "..", "examples", "data",
                         "example_long.TextGrid")

    def real(path):
        return valid if path == "VALID" else path

    file = real(file)
    files = [real(f) for f in files] if isinstance(files, list) else real(files)
    for function, argument in ((tavrel.textgrid2data, file), (tavrel.textgrid2vectors, file),
                               (tavrel.textgrids2data, files), (tavrel.textgrids2vectors, files)):
        kind, result = outcome(function, argument, strict, file_type)
        if kind == "panic":
            assert str(result)  # carries the failure's message
