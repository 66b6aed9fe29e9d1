"""Attacks a careless tool would not survive: saves that fail or are killed
half-way, Ctrl-C during long or blocked calls, non-finite times, objects that
change under the conversion, and paths in every form Python programs hold."""

import contextlib
import errno
import math
import os
import pathlib
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tavrel
from support import CREATE_PREFIX, EXAMPLE, is_panic

IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
# How long after SIGINT a call may take to give up; generous for a loaded machine.
ANSWER_WITHIN = 0.5
SMALL = [("words", True, [(0.0, 1.0, "a"), (1.0, 2.0, "b")])]


def big_data(items, label="x"):
    return [("words", True, [(i * 0.5, i * 0.5 + 0.5, label) for i in range(items)])]


def saved_bytes(tmp_path, data, file_type="long"):
    path = tmp_path / f"reference-{file_type}-{len(data[0][2])}.TextGrid"
    tavrel.data2textgrid(data, None, None, str(path), file_type)
    return path.read_bytes()


def leftovers(folder, *expected):
    return sorted(set(os.listdir(folder)) - set(expected))


# --------------------------------------------------------------------------
# Failed saves keep the previous file


@contextlib.contextmanager
def mounted_tmpfs(folder, size, read_only=False):
    folder.mkdir()
    if not IS_ROOT:
        pytest.skip("mounting a file system needs root")
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
                            capture_output=True)
    if result.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        (folder / "out.TextGrid").write_bytes(b"previous\n")
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", str(folder)], check=True)
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=False)


def full_filesystem(tmp_path):
    return mounted_tmpfs(tmp_path / "small", "64k")


def read_only_filesystem(tmp_path):
    return mounted_tmpfs(tmp_path / "frozen", "1m", read_only=True)


@contextlib.contextmanager
def read_only_folder(tmp_path):
    if IS_ROOT:
        pytest.skip("permission bits do not stop root")
    folder = tmp_path / "locked"
    folder.mkdir()
    (folder / "out.TextGrid").write_bytes(b"previous\n")
    folder.chmod(0o555)
    try:
        yield folder
    finally:
        folder.chmod(0o755)


@contextlib.contextmanager
def read_only_file(tmp_path):
    if IS_ROOT:
        pytest.skip("permission bits do not stop root")
    folder = tmp_path / "plain"
    folder.mkdir()
    (folder / "out.TextGrid").write_bytes(b"previous\n")
    (folder / "out.TextGrid").chmod(0o444)
    yield folder


@pytest.mark.parametrize("scene, reason", [
    (full_filesystem, "storage full, No space left on device (os error 28)"),
    (read_only_filesystem, "read-only file system, Read-only file system (os error 30)"),
    (read_only_folder, "permission denied, Permission denied (os error 13)"),
    (read_only_file, "permission denied, Permission denied (os error 13)"),
])
@pytest.mark.parametrize("writer", ["data2textgrid", "vectors2textgrid"])
def test_failed_save_keeps_the_previous_file(tmp_path, scene, reason, writer):
    with scene(tmp_path) as folder:
        target = folder / "out.TextGrid"
        data = big_data(3000)
        if writer == "data2textgrid":
            call = lambda: tavrel.data2textgrid(data, None, None, str(target), "long")  # noqa: E731
        else:
            items = data[0][2]
            call = lambda: tavrel.vectors2textgrid(  # noqa: E731
                [i[0] for i in items], [i[1] for i in items], [i[2] for i in items],
                ["words"] * len(items), [True] * len(items), None, None, str(target), "long")
        with pytest.raises(BaseException) as raised:
            call()
        assert is_panic(raised.value), repr(raised.value)
        assert str(raised.value) == f"Failed to write TextGrid file {target}: {reason}"
        assert target.read_bytes() == b"previous\n"
        assert leftovers(folder, "out.TextGrid") == []


def test_file_size_limit_keeps_the_previous_file(tmp_path):
    target = tmp_path / "out.TextGrid"
    target.write_bytes(b"previous\n")
    script = textwrap.dedent(f"""
        import resource, tavrel
        resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))
        try:
            tavrel.data2textgrid({big_data(3000)!r}, None, None, {str(target)!r}, "long")
        except BaseException as error:
            print(type(error).__name__, error)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=60)
    assert result.stdout.strip() == (f"PanicException Failed to write TextGrid file {target}: "
                                     "file too large, File too large (os error 27)")
    assert target.read_bytes() == b"previous\n"
    assert leftovers(tmp_path, "out.TextGrid") == []


@pytest.mark.parametrize("target_kind", ["missing folder", "folder", "under a file"])
def test_impossible_targets_leave_nothing_behind(tmp_path, target_kind):
    (tmp_path / "file").write_bytes(b"previous\n")
    (tmp_path / "folder").mkdir()
    target = {"missing folder": tmp_path / "missing" / "out.TextGrid",
              "folder": tmp_path / "folder",
              "under a file": tmp_path / "file" / "out.TextGrid"}[target_kind]
    with pytest.raises(BaseException) as raised:
        tavrel.data2textgrid(SMALL, None, None, str(target), "long")
    assert is_panic(raised.value)
    assert str(raised.value).startswith(f"Failed to write TextGrid file {target}: ")
    assert sorted(os.listdir(tmp_path)) == ["file", "folder"]
    assert os.listdir(tmp_path / "folder") == []
    assert (tmp_path / "file").read_bytes() == b"previous\n"


# --------------------------------------------------------------------------
# What a save does to what stands at the path


def test_save_keeps_permission_bits(tmp_path):
    target = tmp_path / "out.TextGrid"
    target.write_bytes(b"previous\n")
    target.chmod(0o640)
    tavrel.data2textgrid(SMALL, None, None, str(target), "short")
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert target.read_bytes() == saved_bytes(tmp_path, SMALL, "short")


def test_new_file_gets_the_usual_permissions(tmp_path):
    mask = os.umask(0o022)
    os.umask(mask)
    target = tmp_path / "new.TextGrid"
    tavrel.data2textgrid(SMALL, None, None, str(target), "long")
    assert stat.S_IMODE(target.stat().st_mode) == 0o666 & ~mask


@pytest.mark.parametrize("link_text", ["real.TextGrid", "{folder}/real.TextGrid", "sub/../real.TextGrid"])
@pytest.mark.parametrize("existing", [True, False])
def test_save_writes_through_a_symbolic_link(tmp_path, link_text, existing):
    (tmp_path / "sub").mkdir()
    real = tmp_path / "real.TextGrid"
    if existing:
        real.write_bytes(b"previous\n")
    link = tmp_path / "link.TextGrid"
    link.symlink_to(link_text.format(folder=tmp_path))
    tavrel.data2textgrid(SMALL, None, None, str(link), "long")
    assert link.is_symlink()
    assert real.read_bytes() == saved_bytes(tmp_path, SMALL)
    assert leftovers(tmp_path, "real.TextGrid", "link.TextGrid", "sub") == [
        name for name in os.listdir(tmp_path) if name.startswith("reference-")]


def test_hard_links_keep_the_previous_content(tmp_path):
    target = tmp_path / "out.TextGrid"
    target.write_bytes(b"previous\n")
    os.link(target, tmp_path / "other.TextGrid")
    tavrel.data2textgrid(SMALL, None, None, str(target), "long")
    assert (tmp_path / "other.TextGrid").read_bytes() == b"previous\n"
    assert target.read_bytes() == saved_bytes(tmp_path, SMALL)


@pytest.mark.parametrize("device", ["/dev/null"])
def test_save_to_a_device_writes_in_place(device):
    tavrel.data2textgrid(SMALL, None, None, device, "long")
    assert os.path.exists(device) and not os.path.isfile(device)


def test_save_to_a_fifo_with_a_reader_streams_the_file(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    tavrel.data2textgrid(SMALL, None, None, str(fifo), "short")
    reader.join(10)
    assert received == [saved_bytes(tmp_path, SMALL, "short")]
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


KILLED_SAVE = textwrap.dedent("""
    import sys, tavrel
    target, rounds = sys.argv[1], 0
    first = [("w", True, [(i * 0.5, i * 0.5 + 0.5, "first") for i in range(40000)])]
    second = [("w", True, [(i * 0.25, i * 0.25 + 0.25, "second") for i in range(40000)])]
    while True:
        tavrel.data2textgrid(first if rounds % 2 else second, None, None, target, "long")
        if rounds == 0:
            print("saving", flush=True)
        rounds += 1
""")


@pytest.mark.parametrize("delay", [0.0, 0.05, 0.13, 0.31])
def test_killed_save_leaves_a_complete_file(tmp_path, delay):
    target = tmp_path / "out.TextGrid"
    target.write_bytes(b"previous\n")
    child = subprocess.Popen([sys.executable, "-c", KILLED_SAVE, str(target)], stdout=subprocess.PIPE,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        assert child.stdout.readline() == b"saving\n"
        time.sleep(delay)
    finally:
        child.kill()
        child.wait()
    content = target.read_bytes()
    document = tavrel.textgrid2data(str(target), True, "long")
    labels = {label for _, _, items in document[2] for _, _, label in items}
    assert labels in ({"first"}, {"second"})
    assert len(document[2][0][2]) == 40000
    assert content.endswith(b'"' + labels.pop().encode() + b'" \r\n')
    # A kill may leave the temporary file (nothing can remove it); never a partial target.
    assert all(name.endswith(".tmp") for name in leftovers(tmp_path, "out.TextGrid"))


# --------------------------------------------------------------------------
# Ctrl-C


class Interrupted(Exception):
    pass


def raise_interrupted(signum, frame):
    raise Interrupted(signum)


@contextlib.contextmanager
def interrupt_after(delay):
    """Sends SIGINT to this process after `delay`; yields a list holding when."""
    sent = []

    def fire():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    timer.start()
    try:
        yield sent
    finally:
        timer.cancel()
        timer.join()


def release_fifo(fifo):
    """Opens the other end once, so that a thread blocked on the FIFO moves on."""
    for flags in (os.O_RDONLY | os.O_NONBLOCK, os.O_WRONLY | os.O_NONBLOCK):
        with contextlib.suppress(OSError):
            os.close(os.open(fifo, flags))


@pytest.fixture
def corpus(tmp_path):
    path = tmp_path / "doc.TextGrid"
    tavrel.data2textgrid(big_data(200), None, None, str(path), "long")
    return str(path)


def blocked_calls(fifo, corpus):
    data = big_data(50)
    items = data[0][2]
    columns = ([i[0] for i in items], [i[1] for i in items], [i[2] for i in items],
               ["words"] * len(items), [True] * len(items))
    return {
        "textgrid2data": lambda: tavrel.textgrid2data(fifo, False, "long"),
        "textgrid2vectors": lambda: tavrel.textgrid2vectors(fifo, False, "auto"),
        # A short batch runs on one thread, a long one on the pool.
        "textgrids2data short": lambda: tavrel.textgrids2data([corpus, fifo], False, "long"),
        "textgrids2data long": lambda: tavrel.textgrids2data([corpus] * 60 + [fifo], False, "long"),
        "textgrids2vectors short": lambda: tavrel.textgrids2vectors([fifo], False, "short"),
        "textgrids2vectors long": lambda: tavrel.textgrids2vectors([fifo] + [corpus] * 60, False,
                                                                   "long"),
        # Streamed: the blocked file is met in the middle, with files parsed ahead after it.
        "textgrids2data streamed": lambda: tavrel.textgrids2data(
            [corpus] * 30 + [fifo] + [corpus] * 300, False, "long"),
        "textgrids2vectors streamed": lambda: tavrel.textgrids2vectors(
            [corpus] * 30 + [fifo] + [corpus] * 300, False, "auto"),
        "data2textgrid": lambda: tavrel.data2textgrid(data, None, None, fifo, "long"),
        "vectors2textgrid": lambda: tavrel.vectors2textgrid(*columns, None, None, fifo, "short"),
        "textgrids2table": lambda: tavrel.textgrids2table([corpus] * 60 + [fifo]),
        "vectors2textgrids": lambda: tavrel.vectors2textgrids(
            *columns, [0] * len(items), [fifo], "short"),
    }


CALLS = ["textgrid2data", "textgrid2vectors", "textgrids2data short", "textgrids2data long",
         "textgrids2vectors short", "textgrids2vectors long", "textgrids2data streamed",
         "textgrids2vectors streamed", "data2textgrid", "vectors2textgrid",
         "textgrids2table", "vectors2textgrids"]


@pytest.mark.parametrize("handler", ["default", "custom"])
@pytest.mark.parametrize("name", CALLS)
def test_ctrl_c_ends_a_blocked_call(tmp_path, corpus, name, handler):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    expected = Interrupted if handler == "custom" else KeyboardInterrupt
    previous = signal.signal(signal.SIGINT, raise_interrupted if handler == "custom"
                             else signal.default_int_handler)
    # Should the call not answer, the FIFO is opened at last, so that the test
    # fails instead of hanging.
    watchdog = threading.Timer(20.0, release_fifo, (fifo,))
    watchdog.start()
    try:
        with pytest.raises(expected), interrupt_after(0.2) as sent:
            blocked_calls(fifo, corpus)[name]()
        answered = time.monotonic() - sent[0]
    finally:
        watchdog.cancel()
        signal.signal(signal.SIGINT, previous)
    try:
        assert answered < ANSWER_WITHIN
        # The thread still blocked on the FIFO does not hold up later calls.
        assert len(tavrel.textgrids2data([corpus] * 60, True, "long")) == 60
        assert tavrel.textgrid2data(corpus, True, "long")[1] == 100.0
    finally:
        release_fifo(fifo)
    assert sorted(os.listdir(tmp_path)) == ["doc.TextGrid", "pipe"]


def test_handler_that_does_not_raise_lets_the_call_finish(tmp_path, corpus):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    seen = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: seen.append(signum))
    releaser = threading.Timer(0.4, lambda: release_fifo_with_text(fifo))
    try:
        with interrupt_after(0.1):
            releaser.start()
            result = tavrel.textgrid2data(fifo, False, "long")
    finally:
        releaser.join()
        signal.signal(signal.SIGINT, previous)
    assert seen == [signal.SIGINT]
    assert result == (0.0, 0.0, [])


def release_fifo_with_text(fifo):
    descriptor = os.open(fifo, os.O_WRONLY)
    os.close(descriptor)


def test_other_threads_run_during_a_blocked_call(tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.005)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        with pytest.raises(KeyboardInterrupt), interrupt_after(0.3):
            tavrel.textgrid2data(fifo, False, "long")
    finally:
        stop.set()
        counter.join()
        release_fifo(fifo)
    assert len(ticks) > 10


# --------------------------------------------------------------------------
# Non-finite times

NON_FINITE = [math.nan, math.inf, -math.inf]


def data_with(position, value):
    """The small document with `value` at one place, and the bounds to pass."""
    interval = [0.0, 1.0]
    point = 0.5
    bounds = [0.0, 2.0]
    if position == "tmin":
        bounds[0] = value
    elif position == "tmax":
        bounds[1] = value
    elif position == "interval start":
        interval[0] = value
    elif position == "interval end":
        interval[1] = value
    elif position == "point":
        point = value
    data = [("words", True, [(interval[0], interval[1], "a"), (1.0, 2.0, "b")]),
            ("marks", False, [(point, point, "p")])]
    return data, bounds


NON_FINITE_MESSAGES = {
    "tmin": "Time bounds should be finite in TextGrid",
    "tmax": "Time bounds should be finite in TextGrid",
    "interval start": "Time bounds should be finite in item 0 in tier words",
    "interval end": "Time bounds should be finite in item 0 in tier words",
    "point": "Item 0 should have a finite time in PointTier marks",
}
# An item's NaN is named as what it is; an infinity only as not finite.
NAN_ITEM_DETAILS = {"interval start": ": tmin is not a number", "interval end": ": tmax is not a number",
                    "point": ": tmin is not a number"}


@pytest.mark.parametrize("value", NON_FINITE, ids=repr)
@pytest.mark.parametrize("position", list(NON_FINITE_MESSAGES))
@pytest.mark.parametrize("writer", ["data2textgrid", "vectors2textgrid"])
def test_non_finite_times_are_refused_when_writing(tmp_path, writer, position, value):
    data, (tmin, tmax) = data_with(position, value)
    target = tmp_path / "out.TextGrid"
    with pytest.raises(OSError) as raised:
        if writer == "data2textgrid":
            tavrel.data2textgrid(data, tmin, tmax, str(target), "long")
        else:
            rows = [(s, e, label, name, is_interval)
                    for name, is_interval, items in data for s, e, label in items]
            tavrel.vectors2textgrid(*map(list, zip(*rows)), tmin, tmax, str(target), "long")
    assert type(raised.value) is OSError
    message = NON_FINITE_MESSAGES[position]
    if writer == "vectors2textgrid" and position == "interval start" and not value < 0:
        # Sorting puts an infinite start, and any NaN start, after the finite one.
        message = "Time bounds should be finite in item 1 in tier words"
    if math.isnan(value) and position in NAN_ITEM_DETAILS:
        message += NAN_ITEM_DETAILS[position]
    assert raised.value.args == (CREATE_PREFIX + message,)
    assert not target.exists()


# Bounds left to the items: the folds that derive them pass a NaN by and turn infinite with
# an infinity; the item's own time is named, never the bounds it spoilt.
DERIVED = [
    ([("t", True, [(0.5, math.nan, "b")])],
     "Time bounds should be finite in item 0 in tier t: tmax is not a number"),
    ([("t", True, [(math.nan, 1.0, "b")])],
     "Time bounds should be finite in item 0 in tier t: tmin is not a number"),
    ([("t", True, [(0.5, math.inf, "b")])],
     "Time bounds should be finite in item 0 in tier t"),
    ([("t", True, [(-math.inf, 1.0, "b")])],
     "Time bounds should be finite in item 0 in tier t"),
    ([("t", True, [(0.0, 1.0, "a"), (1.0, math.nan, "b")])],
     "Time bounds should be finite in item 1 in tier t: tmax is not a number"),
    ([("w", True, [(0.0, 1.0, "a")]), ("p", False, [(math.nan, math.nan, "x")])],
     "Item 0 should have a finite time in PointTier p: tmin is not a number"),
    ([("w", True, [(0.0, 1.0, "a")]), ("p", False, [(math.inf, math.inf, "x")])],
     "Item 0 should have a finite time in PointTier p"),
]


@pytest.mark.parametrize("data, message", DERIVED)
@pytest.mark.parametrize("writer", ["dumps", "data2textgrid", "vectors2textgrid", "vectors2textgrids"])
def test_non_finite_item_times_are_named_when_the_bounds_come_from_the_items(tmp_path, writer, data,
                                                                           message):
    target = tmp_path / "out.TextGrid"
    rows = [(s, e, label, name, flag) for name, flag, items in data for s, e, label in items]
    if writer == "vectors2textgrids":
        columns = [list(column) for column in zip(*rows)]
        reports = tavrel.vectors2textgrids(*columns, [0] * len(rows), [str(target)])
        (report,) = pytest.importorskip("pyarrow").table(reports).to_pylist()
        assert report["error"] == CREATE_PREFIX + message
    else:
        with pytest.raises(OSError) as raised:
            if writer == "dumps":
                tavrel.dumps(data)
            elif writer == "data2textgrid":
                tavrel.data2textgrid(data, None, None, str(target), "long")
            else:
                tavrel.vectors2textgrid(*map(list, zip(*rows)), None, None, str(target), "long")
        assert raised.value.args == (CREATE_PREFIX + message,)
    assert not target.exists()


def test_nan_start_among_many_entries_is_an_ordinary_error(tmp_path):
    starts = [float(i) for i in range(50)]
    starts[20] = math.nan
    with pytest.raises(OSError) as raised:
        tavrel.vectors2textgrid(starts, [s + 0.5 for s in range(50)], ["x"] * 50, ["t"] * 50,
                                [True] * 50, 0.0, 100.0, str(tmp_path / "out.TextGrid"), "long")
    assert raised.value.args == (CREATE_PREFIX + "Time bounds should be finite in item 49 in tier t: "
                                 "tmin is not a number",)


@pytest.mark.parametrize("text", ["NaN", "nan", "inf", "-inf", "Infinity", "1e999"])
@pytest.mark.parametrize("line", ["xmin", "xmax", "tier xmax", "interval xmin", "interval xmax"])
def test_strict_reading_refuses_non_finite_times(tmp_path, line, text):
    values = {"xmin": "0", "xmax": "2", "tier xmax": "2", "interval xmin": "0", "interval xmax": "2"}
    values[line] = text
    content = (
        'File type = "ooTextFile"\nObject class = "TextGrid"\n\n'
        f"xmin = {values['xmin']}\nxmax = {values['xmax']}\ntiers? <exists>\nsize = 1\nitem []:\n"
        '    item [1]:\n        class = "IntervalTier"\n        name = "w"\n'
        f"        xmin = 0\n        xmax = {values['tier xmax']}\n        intervals: size = 1\n"
        f"        intervals [1]:\n            xmin = {values['interval xmin']}\n"
        f"            xmax = {values['interval xmax']}\n            text = \"a\"\n")
    path = tmp_path / "odd.TextGrid"
    path.write_text(content)
    with pytest.raises(OSError) as raised:
        tavrel.textgrid2data(str(path), True, "long")
    assert "should be finite in" in str(raised.value)
    assert str(raised.value).startswith(f"Failed to read TextGrid file {path} because: ")
    lenient = tavrel.textgrid2data(str(path), False, "long")
    assert len(lenient[2][0][2]) == 1


# --------------------------------------------------------------------------
# Objects that change or vanish during conversion


def vanishing_bool():
    cls = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    value = cls()
    tavrel.vectors2textgrid([0.0], [1.0], ["a"], ["t"], [value], None, None, os.devnull, "long")
    del cls.__bool__
    return [value]


def class_swapping_bool():
    class Meta(type):
        @property
        def __module__(cls):
            target.__class__ = Plain
            return "numpy"

    class Plain:
        pass

    swapping = Meta("bool_", (), {"__bool__": lambda self: True})
    target = swapping()
    return [target]


class Shrinking(list):
    def __iter__(self):
        for index in range(3):
            self.clear()
            yield 0.5 * index


def emptied_by_float():
    victims = [0.0, 1.0, 2.0]

    class Thief:
        def __float__(self):
            victims.clear()
            return 3.0

    victims.append(Thief())
    return victims


class FreshLabels(list):
    """Each label exists only while the iteration hands it over."""

    def __iter__(self):
        for index in range(len(self)):
            yield "label-" + str(index) * 40


def vanishing_label():
    return FreshLabels(["a"])


@pytest.mark.parametrize("column, build, error", [
    ("is_intervals", vanishing_bool, TypeError),
    ("is_intervals", class_swapping_bool, TypeError),
    ("tmins", lambda: Shrinking([0.0]), None),
    ("tmins", emptied_by_float, OSError),
    ("labels", vanishing_label, None),
    ("tier_names", lambda: (name for name in ["t"]), TypeError),
])
def test_objects_that_change_during_conversion(tmp_path, column, build, error):
    columns = {"tmins": [0.0], "tmaxs": [1.0], "labels": ["a"], "tier_names": ["t"],
               "is_intervals": [True]}
    columns[column] = build()
    if column == "tmins" and error is None:
        columns.update(tmaxs=[0.5, 1.0, 1.5], labels=["a", "b", "c"], tier_names=["t"] * 3,
                       is_intervals=[True] * 3)
    call = lambda: tavrel.vectors2textgrid(  # noqa: E731
        *columns.values(), None, None, str(tmp_path / "out.TextGrid"), "long")
    if error is None:
        call()
        assert (tmp_path / "out.TextGrid").exists()
    else:
        with pytest.raises(error):
            call()


# --------------------------------------------------------------------------
# Paths as Python programs hold them


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


NON_UTF8 = b"caf\xe9-\xff.TextGrid"
PATH_FORMS = {
    "str": lambda p: str(p),
    "Path": lambda p: pathlib.Path(p),
    "bytes": lambda p: os.fsencode(p),
    "PathLike to str": lambda p: FsPath(str(p)),
    "PathLike to bytes": lambda p: FsPath(os.fsencode(p)),
}


@pytest.mark.parametrize("form", list(PATH_FORMS))
@pytest.mark.parametrize("name", ["plain.TextGrid", "wörld ☃.TextGrid", NON_UTF8])
def test_every_path_form_reads_and_writes(tmp_path, form, name):
    raw = os.fsencode(tmp_path) + b"/" + (name if isinstance(name, bytes) else name.encode())
    given = PATH_FORMS[form](os.fsdecode(raw))
    tavrel.data2textgrid(EXAMPLE[2], EXAMPLE[0], EXAMPLE[1], given, "long")
    assert os.path.exists(raw)
    assert tavrel.textgrid2data(given, True, "auto") == EXAMPLE
    assert tavrel.textgrids2data([given, given], True, "long") == [EXAMPLE, EXAMPLE]
    vectors = tavrel.textgrid2vectors(given, True, "long")
    tavrel.vectors2textgrid(*vectors, EXAMPLE[0], EXAMPLE[1], given, "short")
    assert tavrel.textgrids2vectors([given], True, "short")[2] == vectors[2]


@pytest.mark.parametrize("given, shown", [
    (lambda folder: folder + "/missing.TextGrid", lambda folder: folder + "/missing.TextGrid"),
    (lambda folder: pathlib.Path(folder, "missing.TextGrid"),
     lambda folder: folder + "/missing.TextGrid"),
    (lambda folder: os.fsencode(folder) + b"/m\xff.TextGrid",
     lambda folder: folder + "/m\udcff.TextGrid"),
    (lambda folder: folder + "/m\udcff.TextGrid", lambda folder: folder + "/m\udcff.TextGrid"),
])
def test_messages_show_the_path_as_given(tmp_path, given, shown):
    with pytest.raises(OSError) as raised:
        tavrel.textgrid2data(given(str(tmp_path)), True, "long")
    assert str(raised.value) == (f"Failed to read TextGrid file {shown(str(tmp_path))} because: "
                                 f"No such file or directory (os error {errno.ENOENT})")
    with pytest.raises(BaseException) as failed:
        tavrel.data2textgrid(SMALL, None, None, given(str(tmp_path / "absent")), "long")
    assert is_panic(failed.value)
    assert str(failed.value).startswith(
        "Failed to write TextGrid file " + shown(str(tmp_path / "absent")) + ": not found")


@pytest.mark.parametrize("bad, error", [
    (FsPath(3), TypeError),
    (FsPath(None), TypeError),
    (bytearray(b"a.TextGrid"), TypeError),
    ("a\ud800.TextGrid", UnicodeEncodeError),
])
def test_refused_path_objects(bad, error):
    with pytest.raises(error):
        tavrel.textgrid2data(bad, True, "long")
    with pytest.raises(error):
        tavrel.textgrids2data(["ok.TextGrid", bad], True, "long")


INTERRUPTED_BATCH = """
import os, signal, sys, threading, time, tavrel
function = getattr(tavrel, sys.argv[2])
sent = []
def fire():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(0.3, fire).start()
try:
    function([sys.argv[1]] * 200_000, False, "long")
    print("finished")
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - sent[0])
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("function", ["textgrids2data", "textgrids2vectors"])
def test_ctrl_c_ends_a_long_streamed_batch(corpus, function, threads):
    """With one thread the calling thread parses every file itself and never
    waits, so only its look between files can answer."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS=threads, PYTHONPATH=str(pathlib.Path(tavrel.__file__).parent.parent))
    run = subprocess.run([sys.executable, "-c", INTERRUPTED_BATCH, corpus, function], env=env,
                         capture_output=True, text=True, timeout=120, check=True)
    word, *answered = run.stdout.split()
    assert word == "interrupted" and float(answered[0]) < ANSWER_WITHIN
