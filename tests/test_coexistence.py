"""The module shares a process with other compiled extensions (NumPy, pyarrow,
polars) whatever the import order: its C++ runtime (linked in, in the portable
wheels) must neither take over nor break theirs, and it exports nothing but its
entry point."""

import shutil
import subprocess
import sys
import textwrap

import pytest

import tavrel

# Each library throws and catches C++ exceptions internally (pyarrow's invalid
# casts, tavrel's failures), allocates across calls and hands memory to the
# others; a mixed-up runtime shows as a crash, a wrong catch or a leak report.
USE_ALL = textwrap.dedent("""
    import os, tempfile
    import numpy as np, pyarrow as pa, pyarrow.compute as pc, polars as pl
    import tavrel

    folder = tempfile.mkdtemp()
    paths = []
    for k in range(3):
        path = os.path.join(folder, f"f{k}.TextGrid")
        tavrel.data2textgrid([("words", True, [(0.0, 0.5, "a"), (0.5, 1.25 + k, "bé")])],
                             None, None, path, "long")
        paths.append(path)
    tmins, tmaxs, labels, names, flags = tavrel.textgrid2vectors(paths[2], True, "auto")
    assert np.allclose(np.diff(tmins), [0.5]) and float(tmaxs.sum()) == 3.75
    try:
        tavrel.textgrid2data(os.path.join(folder, "missing.TextGrid"), False, "auto")
    except OSError as error:
        assert "missing.TextGrid" in str(error)
    else:
        raise AssertionError("no error for a missing file")
    try:
        pc.cast(pa.array(["x"]), pa.int64())
    except pa.ArrowInvalid:
        pass
    table = pa.table(tavrel.textgrids2table(paths + [os.path.join(folder, "missing.TextGrid")]))
    assert table.num_rows == 6
    assert pc.sum(table["tmax"]).as_py() == 8.25
    frame = pl.from_arrow(table)
    assert frame.group_by("file_id").len().height == 3
    written = tavrel.table2textgrids(frame, [os.path.join(folder, f"o{k}.TextGrid")
                                             for k in range(3)], "short")
    back = tavrel.textgrids2vectors([os.path.join(folder, f"o{k}.TextGrid") for k in range(3)],
                                    True, "short")
    assert np.array_equal(back[0], table["tmin"].to_numpy())
    print("ok", written is not None)
""")

ORDERS = {
    "tavrel-first": "import tavrel, numpy, pyarrow, polars",
    "others-first": "import numpy, pyarrow, polars, tavrel",
    "between": "import pyarrow, tavrel, polars, numpy",
}


@pytest.mark.parametrize("imports", ORDERS.values(), ids=ORDERS.keys())
def test_works_beside_numpy_pyarrow_and_polars(imports):
    pytest.importorskip("pyarrow")
    pytest.importorskip("polars")
    run = subprocess.run([sys.executable, "-c", imports + "\n" + USE_ALL],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("ok")


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                    reason="ELF dynamic symbols are read with nm on Linux")
def test_module_exports_only_its_entry_point():
    def symbols(*which):
        return subprocess.run(["nm", "-D", *which, tavrel.__file__],
                              capture_output=True, text=True, check=True).stdout
    if "__asan_init" in symbols("--undefined-only"):
        pytest.skip("sanitizer builds keep their runtime's hooks visible")
    listed = symbols("--defined-only")
    exported = [line.split()[-1] for line in listed.splitlines() if line.strip()]
    assert exported == ["PyInit_tavrel"]
