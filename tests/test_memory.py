"""Repeated calls must not leak, on success and on every error path, and the
arrays must free the core's buffers when they go."""

import ctypes
import gc
import os
import tracemalloc

import numpy as np
import pytest

import tavrel
from textgrid_samples import EXAMPLE, flat_entries, write_long

# Under the sanitizers' allocator the heap figures mean nothing.
pytestmark = pytest.mark.skipif(bool(os.environ.get("TAVREL_SANITIZED")),
                                reason="memory is not measurable in a sanitized build")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def c_heap_probe():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        pytest.skip("needs glibc's mallinfo2 to measure the C heap")
    mallinfo2.restype = MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd  # heap chunks plus mmapped chunks
    return in_use


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("memory")
    path = write_long(folder / "a.TextGrid")
    # Writing to /dev/null measures the writers without the file system's cost.
    return {"path": path, "missing": str(folder / "missing.TextGrid"), "out": "/dev/null"}


def calls(files):
    path, missing, out = files["path"], files["missing"], files["out"]
    vectors = flat_entries(EXAMPLE)
    numpy_vectors = (np.array(vectors[0]), np.array(vectors[1]), vectors[2], vectors[3],
                     np.array(vectors[4]))
    return {
        "textgrid2data": lambda: tavrel.textgrid2data(path, True, "long"),
        "textgrids2data": lambda: tavrel.textgrids2data([path, missing], True, "long"),
        "textgrid2vectors": lambda: tavrel.textgrid2vectors(path, True, "long"),
        "textgrids2vectors": lambda: tavrel.textgrids2vectors([path, missing], True, "long"),
        "data2textgrid": lambda: tavrel.data2textgrid(EXAMPLE[2], 0.0, 2.5, out, "short"),
        "vectors2textgrid": lambda: tavrel.vectors2textgrid(*numpy_vectors, 0, 2.5, out, "long"),
        # Error paths: OSError, a prefixed TypeError with its cause, PanicException.
        "missing file": lambda: tavrel.textgrid2vectors(missing, True, "long"),
        "invalid data": lambda: tavrel.data2textgrid([("t", True, [(1.0, 0.0, "a")])], None,
                                                     None, out, "long"),
        "bad element": lambda: tavrel.vectors2textgrid([0.0], [1.0], ["a"], ["t"], [1], None,
                                                       None, out, "long"),
        "unknown file type": lambda: tavrel.textgrids2data([path], True, "LONG"),
    }


def run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # the error paths are measured as well
            pass


@pytest.mark.parametrize("name", list(calls({"path": "", "missing": "", "out": ""})))
def test_repeated_calls_keep_memory_flat(files, capfd, name):
    call = calls(files)[name]
    in_use = c_heap_probe()
    run(call, 500)  # warm up caches, the worker pool and NumPy
    gc.collect()
    tracemalloc.start()
    try:
        heap_before = in_use()
        python_before = tracemalloc.get_traced_memory()[0]
        run(call, 10_000)
        gc.collect()
        python_growth = tracemalloc.get_traced_memory()[0] - python_before
        heap_growth = in_use() - heap_before
    finally:
        tracemalloc.stop()
    capfd.readouterr()  # the failure reports of the panicking case
    # A leak of one small object per call would exceed these by far.
    assert python_growth < 64 * 1024
    assert heap_growth < 256 * 1024


@pytest.mark.parametrize("position, item_size", [(0, 8), (1, 8), (4, 1), (5, 4)],
                         ids=["tmins", "tmaxs", "is_intervals", "file_ids"])
def test_dropping_an_array_frees_its_buffer(tmp_path, position, item_size):
    in_use = c_heap_probe()
    items = [(i * 1.0, i + 1.0, "w") for i in range(1000)]
    path = write_long(tmp_path / "big.TextGrid", (0.0, 1000.0, [("t", True, items)]))
    result = list(tavrel.textgrids2vectors([path] * 400, True, "long"))
    array = result[position]
    assert len(array) == 400_000 and type(array.base).__name__ == "PySliceContainer"
    del result
    view = array[::2]
    gc.collect()
    before = in_use()
    del array
    gc.collect()
    assert abs(before - in_use()) < 4096  # the view keeps the buffer alive
    del view
    gc.collect()
    assert before - in_use() >= 400_000 * item_size * 0.99
