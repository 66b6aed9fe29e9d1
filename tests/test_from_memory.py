"""Reading and writing TextGrids in memory: loads, loads_vectors and dumps give what the
file functions give for the same bytes, and textgrids2table(contents=...) the table of
the same files."""

import os
import random

import numpy as np
import pytest

import tavrel
from support import DATA, outcome
from textgrid_samples import long_text

# Every file of the test data: hand-made faults, Praat's own files in every format and
# encoding, and the files of real projects.
CORPUS = sorted(p for p in DATA.rglob("*") if p.is_file() and p.suffix.lower() != ".tsv")
LAYOUTS = ["auto", "long", "short"]


def same_outcome(from_file, from_memory, path):
    """Equal results, or the same exception whose message names `<memory>` for the path."""
    kind, value = from_file
    if kind == "value":
        assert from_memory == from_file
    else:
        assert from_memory == (kind, value.replace(str(path), "<memory>"))


def as_plain(result):
    """Vectors with their arrays as lists, so that outcomes compare with ==."""
    return tuple(v.tolist() if isinstance(v, np.ndarray) else v for v in result)


@pytest.mark.parametrize("file_type", LAYOUTS)
@pytest.mark.parametrize("strict", [False, True])
def test_loads_equals_reading_the_file(strict, file_type):
    for path in CORPUS:
        data = path.read_bytes()
        same_outcome(outcome(lambda: tavrel.textgrid2data(str(path), strict, file_type)),
                     outcome(lambda: tavrel.loads(data, strict, file_type)), path)
        file_vectors = outcome(lambda: as_plain(tavrel.textgrid2vectors(str(path), strict,
                                                                        file_type)))
        same_outcome(file_vectors,
                     outcome(lambda: as_plain(tavrel.loads_vectors(data, strict, file_type))),
                     path)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview,
                                  lambda b: np.frombuffer(b, dtype=np.uint8),
                                  lambda b: memoryview(b"-" + b + b"-")[1:-1],
                                  lambda b: memoryview(bytes(x for p in zip(b, b) for x in p))[::2],
                                  lambda b: b.decode("utf-8")],
                         ids=["bytes", "bytearray", "memoryview", "numpy", "slice", "strided",
                              "str"])
def test_any_buffer_or_str(wrap):
    path = DATA / "example_long_lf.TextGrid"
    want = tavrel.textgrid2data(str(path), True, "auto")
    assert tavrel.loads(wrap(path.read_bytes()), strict=True) == want
    assert as_plain(tavrel.loads_vectors(wrap(path.read_bytes()))) == as_plain(
        tavrel.textgrid2vectors(str(path), False, "auto"))


def test_large_content_is_read_off_the_calling_thread_and_released():
    items = [(k / 10, (k + 1) / 10, f"w{k}") for k in range(40_000)]
    text = long_text((0.0, 4000.0, [("words", True, items)]))
    content = bytearray(text.encode("utf-8"))
    assert len(content) > 1 << 20
    assert tavrel.loads(content, True)[2][0][2][-1] == items[-1]
    content.extend(b" ")  # the buffer is no longer exported: it may grow again


@pytest.mark.parametrize("call, error, message", [
    (lambda: tavrel.loads(12), TypeError, "argument 'content': expected a bytes-like object or "
                                          "str, not 'int'"),
    (lambda: tavrel.loads(None), TypeError, "argument 'content': expected a bytes-like object"),
    (lambda: tavrel.loads(b"", encoding="latin1"), ValueError, "unknown encoding 'latin1'"),
    (lambda: tavrel.loads_vectors(b"", encoding=None), TypeError, "argument 'encoding'"),
    (lambda: tavrel.loads(b"", strict=1), TypeError, "argument 'strict'"),
    (lambda: tavrel.loads(b"x", file_type=3), TypeError, "argument 'file_type'"),
    (lambda: tavrel.dumps([], file_type=3), TypeError, "argument 'file_type'"),
    (lambda: tavrel.textgrids2table(["a"], contents=[b"", b""]), ValueError,
     "2 contents given for 1 files"),
    (lambda: tavrel.textgrids2table(["a"], contents=[1]), TypeError, "argument 'contents'"),
    (lambda: tavrel.loads(OSError("gone")), TypeError, "argument 'content'"),
    (lambda: tavrel.textgrids2table(["a"], encoding="windows-1252"), ValueError, "unknown encoding"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        call()


def test_unknown_file_type_fails_as_for_files():
    assert outcome(lambda: tavrel.loads(b"", False, "bogus")) == outcome(
        lambda: tavrel.textgrid2data("missing", False, "bogus"))


def test_not_in_all():
    for name in ("loads", "loads_vectors", "dumps", "nest"):
        assert callable(getattr(tavrel, name)) and name not in tavrel.__all__


def random_document(rng):
    tiers = []
    for t in range(rng.randint(0, 3)):
        bounds = sorted(rng.sample(range(1, 500), rng.randint(1, 6)))
        starts = [0] + bounds[:-1]
        if rng.random() < 0.7:
            items = [(s / 7, e / 7, rng.choice(["", "a", 'q"q', "ü\nx"])) for s, e in
                     zip(starts, bounds)]
            tiers.append((rng.choice(["w", "p", "w"]), True, items))
        else:
            tiers.append(("ev", False, [(b / 7, b / 7, "pt") for b in bounds]))
    return tiers


@pytest.mark.parametrize("file_type", ["long", "short", "other"])
def test_dumps_is_what_data2textgrid_writes(tmp_path, file_type):
    seed = random.randrange(1 << 30)
    print(f"seed: {seed}")
    rng = random.Random(seed)
    target = tmp_path / "out.TextGrid"
    for _ in range(30):
        tiers = random_document(rng)
        tmin, tmax = rng.choice([(None, None), (0.0, None), (-1.0, 1000.0), (5.0, 1.0)])
        written = outcome(lambda: tavrel.data2textgrid(tiers, tmin, tmax, str(target), file_type))
        dumped = outcome(lambda: tavrel.dumps(tiers, tmin, tmax, file_type))
        if written[0] == "value":
            assert dumped == ("value", target.read_bytes())
            assert tavrel.loads(dumped[1]) == tavrel.textgrid2data(str(target), False, "auto")
        else:
            assert dumped == written


def test_dumps_defaults_to_the_long_layout():
    data = [("w", True, [(0.0, 1.0, "a")])]
    assert tavrel.dumps(data).startswith(b'File type = "ooTextFile"\r\nObject class = "TextGrid"')
    assert tavrel.dumps(data) == tavrel.dumps(data, None, None, "long")
    assert tavrel.loads(tavrel.dumps(data, file_type="short"), True, "short")[2] == data


def table_rows(table):
    import pyarrow as pa

    return pa.table(table).to_pylist()


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("file_type", LAYOUTS)
def test_table_from_contents_equals_table_from_files(strict, file_type):
    pytest.importorskip("pyarrow")
    files = [str(p) for p in CORPUS]
    want = tavrel.textgrids2table(files, strict, file_type)
    # Every third entry None: read from its file, as without contents.
    got = tavrel.textgrids2table(files, strict, file_type,
                                 contents=[None if k % 3 == 0 else p.read_bytes()
                                           for k, p in enumerate(CORPUS)])
    assert table_rows(got) == table_rows(want)
    assert table_rows(got.reports) == table_rows(want.reports)
    assert got.failures == want.failures


def test_contents_name_the_entries():
    pytest.importorskip("pyarrow")
    data = (DATA / "example_short_lf.TextGrid").read_bytes()
    table = tavrel.textgrids2table(["zip/a.TextGrid", "b"], contents=[data, b"\xff"])
    reports = table_rows(table.reports)
    assert [r["path"] for r in reports] == ["zip/a.TextGrid", "b"]
    assert reports[1]["error"] == ("Failed to read TextGrid file b because: stream did not "
                                   "contain valid UTF-8")
    assert {row["file"] for row in table_rows(table)} == {"zip/a.TextGrid"}


@pytest.mark.parametrize("position", [0, 1, 2])
def test_an_exception_in_contents_fails_its_entry_without_reading_the_file(tmp_path, position):
    data = (DATA / "example_short_lf.TextGrid").read_bytes()
    names = [str(tmp_path / f"f{k}.TextGrid") for k in range(3)]
    for name in names:  # files of those names are there, and must not be read
        with open(name, "wb") as stream:
            stream.write(data)
    contents = [data, None, data]
    contents[position] = ConnectionError("HTTP 500 Internal Server Error")
    why = f"Failed to read TextGrid file {names[position]} because: HTTP 500 Internal Server Error"
    reports = [dict(zip(columns, row)) for columns in [tavrel.textgrids2table(
        names, contents=contents).reports._columns()] for row in zip(*columns.values())]
    assert [report["ok"] for report in reports] == [k != position for k in range(3)]
    assert (reports[position]["error_kind"], reports[position]["error"]) == ("open", why)
    problems = tavrel._diagnose(names, contents=contents)
    assert problems[position] == [("open", None, None, None, "HTTP 500 Internal Server Error")]
    targets = [str(tmp_path / f"out{k}.TextGrid") for k in range(3)]
    outcomes = tavrel._convert_files(names, targets, True, True, contents)
    assert outcomes[position] == ("open", why) and not os.path.exists(targets[position])
    assert [outcome is None for outcome in outcomes] == [k != position for k in range(3)]


def test_interrupted_table_read_lets_go_of_the_contents_once_the_work_ends():
    """Ctrl-C returns at once; the abandoned work still reads the buffers, which stay
    exported (a bytearray cannot grow) until it ends and the interpreter releases them."""
    import os
    import signal
    import threading
    import time

    items = [(k / 10, (k + 1) / 10, "word") for k in range(100_000)]
    content = bytearray(long_text((0.0, 10_000.0, [("words", True, items)])).encode())
    timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tavrel.textgrids2table([f"f{k}" for k in range(200)], contents=[content] * 200)
    finally:
        timer.join()
    deadline = time.monotonic() + 60
    while True:
        try:
            content.extend(b" ")
            break
        except BufferError:
            assert time.monotonic() < deadline, "the contents were never released"
            time.sleep(0.02)


def interleaved(data, every, dtype=np.uint8):
    """`data` as every `every`-th element of a larger array: a view that is not contiguous."""
    items = np.frombuffer(data, dtype=dtype)
    spread = np.zeros(len(items) * every, dtype=dtype)
    spread[::every] = items
    return spread[::every]


def even(data):
    return data + b" " * (len(data) % 8 and 8 - len(data) % 8)  # whole 2-, 4- and 8-byte items


# Views whose bytes in C order are the file's bytes (padded with blanks where the dtype needs it).
STRIDED = {
    "numpy step 2": lambda b: interleaved(b, 2),
    "numpy step 7": lambda b: interleaved(b, 7),
    "numpy reversed": lambda b: np.frombuffer(b[::-1], dtype=np.uint8)[::-1],
    "numpy uint16 step 3": lambda b: interleaved(even(b), 3, np.uint16),
    "numpy float64 step 2": lambda b: interleaved(even(b), 2, np.float64),
    "numpy column of 2-d": lambda b: np.stack([np.frombuffer(b, np.uint8)] * 3, axis=1)[:, 1],
    "numpy fortran 2-d": lambda b: np.asfortranarray(np.frombuffer(even(b), np.uint8).reshape(-1, 8)),
    "numpy 2-d rows skipped": lambda b: np.repeat(np.frombuffer(even(b), np.uint8).reshape(-1, 8),
                                                  2, axis=0)[::2],
    "memoryview of numpy step 2": lambda b: memoryview(interleaved(b, 2)),
    "memoryview cast uint16 step 2": lambda b: memoryview(interleaved(even(b), 2, np.uint16)),
}


@pytest.mark.parametrize("wrap", list(STRIDED.values()), ids=list(STRIDED))
def test_a_strided_buffer_reads_as_its_bytes(wrap, tmp_path):
    pa = pytest.importorskip("pyarrow")
    path = DATA / "example_long_lf.TextGrid"
    view = wrap(path.read_bytes())
    data = bytes(view)
    assert data.rstrip(b" ") == path.read_bytes().rstrip(b" ")
    copy = tmp_path / "copy.TextGrid"
    copy.write_bytes(data)
    assert tavrel.loads(view, True) == tavrel.textgrid2data(str(copy), True, "auto")
    assert as_plain(tavrel.loads_vectors(view)) == as_plain(tavrel.loads_vectors(data))
    from_view = pa.table(tavrel.textgrids2table([str(copy)], contents=[view]))
    assert from_view.to_pylist() == pa.table(tavrel.textgrids2table([str(copy)])).to_pylist()
    assert tavrel._diagnose([str(copy)], True, contents=[view]) == [[]]
