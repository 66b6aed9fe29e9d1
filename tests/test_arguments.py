"""Argument binding and conversion, shared by all six functions."""

import collections

import numpy as np
import pytest

import tavrel
from textgrid_samples import EXAMPLE, write_long

# Pure-Python twins with the same parameters: CPython's own binding messages
# are the reference for every single-fault call.
def textgrid2data(file, strict, file_type): ...
def data2textgrid(data, tmin, tmax, output_file, file_type): ...
def vectors2textgrid(tmins, tmaxs, labels, tier_names, is_intervals, tmin, tmax, output_file,
                     file_type): ...


TWINS = {f.__name__: f for f in (textgrid2data, data2textgrid, vectors2textgrid)}

BINDING_CASES = [
    ("textgrid2data", ("a", True, "long", "x"), {},
     "textgrid2data() takes 3 positional arguments but 4 were given"),
    ("vectors2textgrid", tuple(range(10)), {},
     "vectors2textgrid() takes 9 positional arguments but 10 were given"),
    ("textgrid2data", ("a", True, "long"), {"path": "b"},
     "textgrid2data() got an unexpected keyword argument 'path'"),
    ("textgrid2data", (), {"File": "a", "strict": True, "file_type": "long"},
     "textgrid2data() got an unexpected keyword argument 'File'"),
    ("textgrid2data", ("a", False, "long"), {"file": "b"},
     "textgrid2data() got multiple values for argument 'file'"),
    ("textgrid2data", ("a", True), {},
     "textgrid2data() missing 1 required positional argument: 'file_type'"),
    ("textgrid2data", ("a",), {},
     "textgrid2data() missing 2 required positional arguments: 'strict' and 'file_type'"),
    ("textgrid2data", (), {},
     "textgrid2data() missing 3 required positional arguments: 'file', 'strict', and 'file_type'"),
    ("textgrid2data", (), {"strict": True},
     "textgrid2data() missing 2 required positional arguments: 'file' and 'file_type'"),
    ("data2textgrid", ([],), {"output_file": "x", "file_type": "long"},
     "data2textgrid() missing 2 required positional arguments: 'tmin' and 'tmax'"),
    ("vectors2textgrid", ([], [], [], [], []), {},
     "vectors2textgrid() missing 4 required positional arguments: "
     "'tmin', 'tmax', 'output_file', and 'file_type'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_CASES)
def test_binding_messages(name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(tavrel, name)(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    with pytest.raises(TypeError) as reference:
        TWINS[name](*args, **kwargs)
    # Python 3.13 and later append a suggestion ("Did you mean 'file'?") to its own message.
    assert str(reference.value).startswith(message)


@pytest.mark.parametrize("args, kwargs, message", [
    # Too many positional arguments is reported before a bad keyword.
    (("a", True, "long", "x"), {"bogus": 1},
     "textgrid2data() takes 3 positional arguments but 4 were given"),
    # A bad keyword is reported before missing parameters.
    (("a",), {"bogus": 1}, "textgrid2data() got an unexpected keyword argument 'bogus'"),
    # Binding comes before any conversion.
    ((1, 2), {}, "textgrid2data() missing 1 required positional argument: 'file_type'"),
])
def test_binding_check_order(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        tavrel.textgrid2data(*args, **kwargs)
    assert str(caught.value) == message


def test_keywords_bind_like_positions(tmp_path):
    path = write_long(tmp_path / "a.TextGrid")
    by_keyword = tavrel.textgrid2data(file_type="long", file=path, strict=False)
    assert by_keyword == tavrel.textgrid2data(path, False, "long") == EXAMPLE


# Twins of the functions with optional and keyword-only parameters.
def textgrids2table(files, strict=False, file_type="auto", *, contents=None, encoding="utf-8"): ...
def table2textgrids(table, output_files, file_type="long", bounds=None, tier_indices=None): ...
def vectors2textgrids(tmins, tmaxs, labels, tier_names, is_intervals, file_ids, output_files,
                      file_type="long", tmin=None, tmax=None, tier_indices=None): ...
def loads(content, strict=False, file_type="auto", encoding="utf-8"): ...
def dumps(data, tmin=None, tmax=None, file_type="long"): ...
def nest(table, parent, child): ...


DEFAULTED_TWINS = {f.__name__: f for f in (textgrids2table, table2textgrids, vectors2textgrids,
                                           loads, dumps, nest)}


@pytest.mark.parametrize("name, args, kwargs", [
    ("textgrids2table", (), {}),
    ("textgrids2table", (), {"strict": True}),
    ("textgrids2table", ([], False, "auto", None), {}),
    ("textgrids2table", ([], False, "auto", None), {"contents": None, "encoding": "utf-8"}),
    ("textgrids2table", ([], False, "auto", None, None), {"contents": None}),
    ("textgrids2table", ([],), {"files": []}),
    ("textgrids2table", ([],), {"bogus": 1}),
    ("table2textgrids", (None,), {"bounds": None}),
    ("table2textgrids", (None, [], "long", None, None, None), {}),
    ("table2textgrids", (None, []), {"output_files": []}),
    ("vectors2textgrids", ([],) * 5, {"tmin": 0}),
    ("vectors2textgrids", ([],) * 12, {}),
    ("loads", (), {}),
    ("loads", ("x", False, "auto", "utf-8", 1), {}),
    ("loads", ("x",), {"Content": "x"}),
    ("dumps", ([], None), {"tmin": 0}),
    ("dumps", ([], None, None, "long", 1), {}),
    ("nest", (None, "a"), {}),
    ("nest", (None, "a", "b", "c"), {}),
])
def test_binding_messages_with_defaults(name, args, kwargs):
    with pytest.raises(TypeError) as reference:
        DEFAULTED_TWINS[name](*args, **kwargs)
    with pytest.raises(TypeError) as caught:
        getattr(tavrel, name)(*args, **kwargs)
    assert type(caught.value) is TypeError
    # Python 3.13 and later append a suggestion ("Did you mean ...?") to its own message.
    assert str(reference.value).startswith(str(caught.value))


class MyTypeError(TypeError):
    pass


class Floaty:
    def __init__(self, raises):
        self.raises = raises

    def __float__(self):
        raise self.raises("no float today")


def fake_numpy_bool(name, **methods):
    return type(name, (), {"__module__": "numpy", **methods})()


READ_CONVERSION_FAULTS = [
    # (file, strict, file_type, exception type, message or prefix)
    (bytearray(b"a.TextGrid"), True, "long", TypeError, "argument 'file': "),
    (None, True, "long", TypeError, "argument 'file': "),
    ("a.TextGrid", 1, "long", TypeError, "argument 'strict': "),
    ("a.TextGrid", 0, "long", TypeError, "argument 'strict': "),
    ("a.TextGrid", None, "long", TypeError, "argument 'strict': "),
    ("a.TextGrid", np.int8(1), "long", TypeError, "argument 'strict': "),
    ("a.TextGrid", fake_numpy_bool("bool_"), "long", TypeError,
     "argument 'strict': object of type 'numpy.bool_' does not define a '__bool__' conversion"),
    ("a.TextGrid", True, b"long", TypeError, "argument 'file_type': "),
    ("a\ud800.TextGrid", True, "long", UnicodeEncodeError, "'utf-8' codec can't encode"),
    ("a.TextGrid", True, "lo\udfffng", UnicodeEncodeError, "'utf-8' codec can't encode"),
]


@pytest.mark.parametrize("file, strict, file_type, error, message", READ_CONVERSION_FAULTS)
@pytest.mark.parametrize("function", [tavrel.textgrid2data, tavrel.textgrid2vectors])
def test_read_argument_conversion(function, file, strict, file_type, error, message):
    with pytest.raises(BaseException) as caught:
        function(file, strict, file_type)
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)
    if error is TypeError:
        cause = caught.value.__cause__
        assert type(cause) is TypeError
        assert str(caught.value) == message.split(": ")[0] + ": " + str(cause)
    else:
        assert caught.value.__cause__ is None


@pytest.mark.parametrize("flag, validated", [
    (True, True), (False, False), (np.True_, True), (np.False_, False),
    (fake_numpy_bool("bool", __bool__=lambda self: True), True),
])
def test_boolean_conversion(tmp_path, flag, validated):
    # An overlap passes a lenient read and fails a strict one.
    overlapping = (0.0, 2.0, [("t", True, [(0.0, 1.5, "a"), (1.0, 2.0, "b")])])
    path = write_long(tmp_path / "overlap.TextGrid", overlapping)
    if validated:
        with pytest.raises(OSError, match="overlap"):
            tavrel.textgrid2data(path, flag, "long")
    else:
        assert tavrel.textgrid2data(path, flag, "long") == overlapping


@pytest.mark.parametrize("bound, expected", [
    (None, 0.0), (0, 0.0), (2, 2.0), (0.25, 0.25), (np.float32(0.5), 0.5),
    (type("F", (), {"__float__": lambda self: 0.75})(), 0.75),
    (type("I", (), {"__index__": lambda self: 1})(), 1.0),
])
def test_optional_float_conversion(tmp_path, bound, expected):
    out = tmp_path / "out.TextGrid"
    tavrel.data2textgrid([("t", True, [(0.0, 3.0, "a")])], bound, 4.0, str(out), "long")
    assert tavrel.textgrid2data(str(out), True, "long")[0] == expected


@pytest.mark.parametrize("bound, error, prefixed", [
    ("0.5", TypeError, True),
    ([0.5], TypeError, True),
    (10 ** 400, OverflowError, False),
    (Floaty(ValueError), ValueError, False),
    (Floaty(MyTypeError), MyTypeError, False),
    (Floaty(TypeError), TypeError, True),
])
@pytest.mark.parametrize("parameter", ["tmin", "tmax"])
def test_float_conversion_faults(tmp_path, parameter, bound, error, prefixed):
    out = tmp_path / "out.TextGrid"
    bounds = {"tmin": None, "tmax": None, parameter: bound}
    with pytest.raises(error) as caught:
        tavrel.data2textgrid([], bounds["tmin"], bounds["tmax"], str(out), "long")
    assert type(caught.value) is error
    assert str(caught.value).startswith(f"argument '{parameter}': ") == prefixed
    assert not out.exists()


class Claims:
    """A sequence whose reported length and indexing disagree with its iteration."""

    def __init__(self, values, length):
        self.values = values
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return "indexed, not iterated"

    def __iter__(self):
        return iter(self.values)


def generate(paths):
    yield from paths


def failing_iteration():
    class Broken(Claims):
        def __iter__(self):
            yield "a.TextGrid"
            raise ValueError("iteration broke")
    return Broken([], 2)


@pytest.mark.parametrize("files, error, message", [
    ("a.TextGrid", TypeError, "argument 'files': Can't extract `str` to `Vec`"),
    (type("S", (str,), {})("a"), TypeError, "argument 'files': Can't extract `str` to `Vec`"),
    (generate(["a.TextGrid"]), TypeError, "argument 'files': "),
    ({"a.TextGrid"}, TypeError, "argument 'files': "),
    ({"a.TextGrid": 1}, TypeError, "argument 'files': "),
    (None, TypeError, "argument 'files': "),
    (["a.TextGrid", 3], TypeError, "argument 'files': "),
    ([bytearray(b"a.TextGrid")], TypeError, "argument 'files': "),
    (failing_iteration(), ValueError, "iteration broke"),
])
@pytest.mark.parametrize("function", [tavrel.textgrids2data, tavrel.textgrids2vectors])
def test_sequence_conversion_faults(function, files, error, message):
    with pytest.raises(error) as caught:
        function(files, True, "long")
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)
    if message.endswith("Vec`"):
        assert str(caught.value) == message


@pytest.mark.parametrize("make_files", [
    lambda paths: tuple(paths),
    lambda paths: Claims(paths, 2 ** 62),
    lambda paths: Claims(paths, 0),
    lambda paths: Claims(paths, OverflowError("too long")),
    lambda paths: np.array(paths),
    lambda paths: collections.deque(paths),
], ids=["tuple", "absurd-length", "short-length", "length-fails", "numpy", "deque"])
def test_sequences_are_read_by_iteration(tmp_path, make_files):
    paths = [write_long(tmp_path / "a.TextGrid"), str(tmp_path / "missing.TextGrid")]
    files = make_files(paths)
    if isinstance(files, np.ndarray):  # a str array yields numpy.str_, a str subclass
        assert isinstance(files[0], str)
    assert tavrel.textgrids2data(files, False, "long") == [EXAMPLE, (0.0, 0.0, [])]


ITEM = (0.0, 1.0, "a")
Tier = collections.namedtuple("Tier", "name is_interval items")
Item = collections.namedtuple("Item", "tmin tmax label")


@pytest.mark.parametrize("data, error, message", [
    ("words", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    ([("w", True, "abc")], TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    ([["w", True, [ITEM]]], TypeError, "argument 'data': "),
    ([("w", True, [[0.0, 1.0, "a"]])], TypeError, "argument 'data': "),
    ([("w", True, [(0.0, 1.0)])], ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
    ([("w", True, [ITEM], "x")], ValueError,
     "expected tuple of length 3, but got tuple of length 4"),
    ([("w", True, [(0.0, 1.0, "a", "b")])], ValueError,
     "expected tuple of length 3, but got tuple of length 4"),
    ([(b"w", True, [ITEM])], TypeError, "argument 'data': "),
    ([("w", 1, [ITEM])], TypeError, "argument 'data': "),
    ([("w", True, [(0.0, 1.0, None)])], TypeError, "argument 'data': "),
    ([("w", True, [("0", 1.0, "a")])], TypeError, "argument 'data': "),
    ([("w", True, [(0.0, 10 ** 400, "a")])], OverflowError, "int too large"),
    ([("w", True, [(0.0, Floaty(ValueError), "a")])], ValueError, "no float today"),
    ([("w", True, {ITEM})], TypeError, "argument 'data': "),
    ([("w\udc80", True, [ITEM])], UnicodeEncodeError, "'utf-8' codec"),
])
def test_data_conversion_faults(tmp_path, data, error, message):
    out = tmp_path / "out.TextGrid"
    with pytest.raises(error) as caught:
        tavrel.data2textgrid(data, None, None, str(out), "long")
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)
    if error is ValueError and "tuple" in message:
        assert str(caught.value) == message
    assert not out.exists()


@pytest.mark.parametrize("data", [
    [Tier("w", True, [Item(0, 1, "a")])],
    (("w", np.True_, (ITEM,)),),
    [("w", True, range(0)), ("v", True, [(0.5, 1, "b")])],
])
def test_data_conversion_accepts_tuple_subclasses_and_sequences(tmp_path, data):
    out = tmp_path / "out.TextGrid"
    assert tavrel.data2textgrid(data, None, None, str(out), "long") is None
    tiers = tavrel.textgrid2data(str(out), True, "long")[2]
    assert [tier[0] for tier in tiers] == [tier[0] for tier in data]


VECTORS = ([0.0, 1.0], [1.0, 2.0], ["a", "b"], ["t", "t"], [True, True])


@pytest.mark.parametrize("position, value, error, message", [
    (0, "01", TypeError, "argument 'tmins': Can't extract `str` to `Vec`"),
    (1, [1.0, "2"], TypeError, "argument 'tmaxs': "),
    (2, "ab", TypeError, "argument 'labels': Can't extract `str` to `Vec`"),
    (3, ["t", 1], TypeError, "argument 'tier_names': "),
    (4, [1, 1], TypeError, "argument 'is_intervals': "),
    (4, np.array([1, 1]), TypeError, "argument 'is_intervals': "),
    (5, "0", TypeError, "argument 'tmin': "),
    (6, [2.0], TypeError, "argument 'tmax': "),
    (8, None, TypeError, "argument 'file_type': "),
])
def test_vector_conversion_faults(tmp_path, position, value, error, message):
    out = tmp_path / "out.TextGrid"
    args = [*VECTORS, None, None, str(out), "long"]
    args[position] = value
    with pytest.raises(error) as caught:
        tavrel.vectors2textgrid(*args)
    assert str(caught.value).startswith(message)
    assert not out.exists()


def test_first_failing_parameter_is_named(tmp_path):
    with pytest.raises(TypeError, match="^argument 'tmaxs': "):
        tavrel.vectors2textgrid([0.0], "x", "y", [1], [2], "z", "z", 3, 4)
    with pytest.raises(TypeError, match="^argument 'data': "):
        tavrel.data2textgrid({1}, "x", "y", 3, 4)
