"""The command line against what a careless or hostile user puts in its way: outputs
that are inputs, links, FIFOs, devices and protected files; folders that link, loop,
overlap or cannot be searched; and stopping signals."""

import ctypes
import os
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tavrel
from test_cli import ENV, corpus, run, snapshot  # noqa: F401 (corpus is a fixture)
from textgrid_samples import EXAMPLE, long_text

ROWS = 9  # rows of the three files of `corpus` that read leniently
# A label of each kind a delimited file must quote (a "\r" comes in the file name:
# reading a TextGrid makes it a "\n" in labels).
AWKWARD = ["", 'say "hi"', "a,b", "tab\there", "line\nbreak", "wörld"]
AWKWARD_NAME = "cr\rname.TextGrid"


def table_rows(path, fmt):
    """(file, label) of every row of a written table."""
    if fmt in ("csv", "tsv"):
        import csv

        with open(path, newline="", encoding="utf-8") as stream:
            header, *lines = csv.reader(stream, delimiter="," if fmt == "csv" else "\t")
        file, label = header.index("file"), header.index("label")
        return [(line[file], line[label]) for line in lines]
    import pyarrow.feather
    import pyarrow.parquet

    table = (pyarrow.parquet.read_table(path) if fmt == "parquet"
             else pyarrow.feather.read_table(path))
    return list(zip(table["file"].to_pylist(), table["label"].to_pylist()))


def without_pyarrow(tmp_path):
    """An environment in which `import pyarrow` fails."""
    shadow = tmp_path / "shadow"
    shadow.mkdir()
    (shadow / "pyarrow.py").write_text("raise ImportError('hidden for the test')\n")
    return dict(ENV, PYTHONPATH=os.pathsep.join([ENV["PYTHONPATH"], str(shadow)]))


@pytest.mark.parametrize("fmt", ["csv", "tsv"])
@pytest.mark.parametrize("with_pyarrow", [True, False])
def test_delimited_tables_keep_every_label(tmp_path, fmt, with_pyarrow):
    if with_pyarrow:
        pytest.importorskip("pyarrow")
    tiers = [("w", True, [(k, k + 1.0, label) for k, label in enumerate(AWKWARD)])]
    tavrel.data2textgrid(tiers, None, None, str(tmp_path / AWKWARD_NAME), "long")
    env = ENV if with_pyarrow else without_pyarrow(tmp_path)
    result = subprocess.run([sys.executable, "-m", "tavrel", "table", AWKWARD_NAME, "--out",
                             f"t.{fmt}"], cwd=tmp_path, env=env, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert table_rows(tmp_path / f"t.{fmt}", fmt) == [(AWKWARD_NAME, label) for label in AWKWARD]


def replace_by(kind, target, tmp_path):
    """Puts a `kind` of thing at `target`; returns what must hold afterwards."""
    if kind == "symlink":
        (tmp_path / "real.csv").write_text("old\n")
        target.symlink_to("real.csv")
        return lambda: target.is_symlink() and (tmp_path / "real.csv").read_text().count(
            "\n") == ROWS + 1
    if kind == "private file":
        target.write_text("old\n")
        target.chmod(0o600)
        return lambda: stat.S_IMODE(target.stat().st_mode) == 0o600 and "label" in \
            target.read_text()
    if kind == "device":
        if os.geteuid() != 0:
            pytest.skip("making a device node needs root")
        os.mknod(target, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # as /dev/null
        return lambda: stat.S_ISCHR(target.lstat().st_mode)
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["symlink", "private file", "device"])
def test_table_output_is_saved_as_textgrids_are(corpus, kind):  # noqa: F811
    target = corpus / "t.csv"
    holds = replace_by(kind, target, corpus)
    result = run(["table", "corpus", "--lenient", "--out", "t.csv"], corpus)
    assert result.returncode == 1 and f"wrote {ROWS} rows" in result.stdout
    assert holds()
    assert sorted(os.listdir(corpus)) == sorted(["corpus", "empty", "t.csv"] +
                                                (["real.csv"] if kind == "symlink" else []))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_table_output_to_a_fifo_reaches_its_reader(corpus):  # noqa: F811
    fifo = corpus / "t.csv"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    result = run(["table", "corpus", "--lenient", "--out", "t.csv"], corpus)
    received = reader.communicate(timeout=60)[0].decode()
    assert result.returncode == 1 and stat.S_ISFIFO(fifo.lstat().st_mode)
    assert received.startswith("file_id,") and received.count("\n") == ROWS + 1


@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hard link"])
def test_table_refuses_an_input_as_output(corpus, spelling):  # noqa: F811
    source = "corpus/a.TextGrid"
    out = {"same": source, "dotted": "./corpus/../corpus/a.TextGrid",
           "symlink": "link.csv", "hard link": "hard.csv"}[spelling]
    if spelling == "symlink":
        (corpus / out).symlink_to(source)
    elif spelling == "hard link":
        os.link(corpus / source, corpus / out)
    before = snapshot(corpus)
    result = run(["table", "corpus", "--out", out, "--format", "csv"], corpus)
    assert result.returncode == 2 and "would overwrite the input" in result.stderr
    assert snapshot(corpus) == before


def test_table_to_a_full_device_fails_cleanly(corpus):  # noqa: F811
    out = "/dev/full"
    if os.geteuid() == 0:  # a node of its own: a regression must not replace the system's
        out = "full"
        os.mknod(corpus / out, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
    elif not os.path.exists(out):
        pytest.skip("no /dev/full")
    result = run(["table", "corpus", "--lenient", "--out", out, "--format", "csv"], corpus)
    assert result.returncode == 2 and f"cannot write {out}: No space left" in result.stderr
    assert "Traceback" not in result.stderr


def test_arrow_file_merges_the_batches_of_many_files(tmp_path):
    pa = pytest.importorskip("pyarrow")
    from tavrel import _export, cli

    for k in range(40):
        tavrel.data2textgrid([("w", True, [(0.0, 1.0, str(k))])], None, None,
                             str(tmp_path / f"{k:02}.TextGrid"), "long")
    chunk_files = _export.TABLE_CHUNK_FILES
    _export.TABLE_CHUNK_FILES = 8  # five chunks, each of several reader batches
    try:
        assert cli.main(["table", str(tmp_path), "--quiet", "--out",
                         str(tmp_path / "t.arrow")]) == 0
    finally:
        _export.TABLE_CHUNK_FILES = chunk_files
    with pa.ipc.open_file(tmp_path / "t.arrow") as reader:
        assert reader.num_record_batches == 1
        table = reader.read_all()
    assert table["label"].to_pylist() == [str(k) for k in range(40)]
    assert table["file_id"].to_pylist() == list(range(40))


# Folder walks below "top", which holds a/x.TextGrid: (case, what to add, files read)
def outside_folder(top):
    (top.parent / "outside").mkdir()
    tavrel.data2textgrid([("w", True, [(0.0, 1.0, "y")])], None, None,
                         str(top.parent / "outside" / "y.TextGrid"), "long")
    os.symlink("../outside", top / "link")


WALKS = [
    ("folder argument is a link", lambda top: None, ["linked/a/x.TextGrid"]),
    ("link to a folder outside", outside_folder, ["top/a/x.TextGrid", "top/link/y.TextGrid"]),
    ("loop", lambda top: os.symlink("..", top / "a" / "up"), ["top/a/x.TextGrid"]),
    ("two links to one folder",
     lambda top: (os.symlink("a", top / "b"), os.symlink("a", top / "c")), ["top/a/x.TextGrid"]),
    ("link to a file", lambda top: os.symlink("x.TextGrid", top / "a" / "y.TextGrid"),
     ["top/a/x.TextGrid"]),
]


@pytest.mark.parametrize("name, make, read", WALKS, ids=[walk[0] for walk in WALKS])
def test_folder_walks_follow_links_and_read_each_file_once(tmp_path, name, make, read):
    top = tmp_path / "top"
    (top / "a").mkdir(parents=True)
    tavrel.data2textgrid([("w", True, [(0.0, 1.0, "x")])], None, None,
                         str(top / "a" / "x.TextGrid"), "long")
    make(top)
    argument = "top"
    if name == "folder argument is a link":
        (tmp_path / "linked").symlink_to("top", target_is_directory=True)
        argument = "linked"
    result = run(["check", "--json", "--quiet", argument], tmp_path)
    assert result.returncode == 0, result.stderr
    assert [line.split('"')[3] for line in result.stdout.splitlines()] == read


def without_permission_override():
    """For a child process run as root: gives up the capabilities that let root
    ignore file permissions, so that permissions apply to it as to anyone."""
    if os.geteuid() != 0:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            os._exit(99)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="drops Linux capabilities")
@pytest.mark.parametrize("command, summary", [
    (["check"], "checked 3 files and 1 folder: 1 passed, 3 failed"),
    (["convert", "--to", "short", "--out", "out"], "converted 1 of 3 files and 1 folder"),
    (["table", "--out", "t.csv"], "wrote 3 rows from 1 of 3 files and 1 folder"),
])
def test_folders_that_cannot_be_searched_are_reported(corpus, command, summary):  # noqa: F811
    (corpus / "corpus" / "deep").chmod(0)
    try:
        result = subprocess.run(
            [sys.executable, "-m", "tavrel", command[0], "corpus", "--lenient", *command[1:]],
            cwd=corpus, env=ENV, capture_output=True, text=True, timeout=120,
            preexec_fn=without_permission_override)
    finally:
        (corpus / "corpus" / "deep").chmod(0o755)
    if result.returncode == 99:
        pytest.skip("cannot give up root's permission override here")
    assert result.returncode == 1, result.stderr
    assert "corpus/deep: open: the folder could not be searched: Permission denied" in \
        result.stdout
    assert summary in result.stdout


def test_convert_writes_every_target_of_overlapping_folders(corpus):  # noqa: F811
    result = run(["convert", "corpus", "corpus/deep", "--lenient", "--to", "short", "--out",
                  "out"], corpus)
    written = sorted(str(p.relative_to(corpus / "out")) for p in (corpus / "out").rglob("*.*"))
    assert written == ["a.TextGrid", "b.TEXTGRID", "deep/b.TEXTGRID"]
    # The overlapping file (twice) and the two broken ones fail.
    assert "converted 3 of 7 files to the short layout into out; 4 failed" in result.stdout


def test_convert_never_reads_its_own_output(corpus):  # noqa: F811
    for _ in range(2):
        result = run(["convert", "corpus", "--to", "long", "--out", "corpus/long"], corpus)
        assert result.returncode == 1 and "converted 2 of 5 files" in result.stdout


POINT_TIER = """File type = "ooTextFile"
Object class = "TextGrid"

xmin = 0
xmax = 1
tiers? <exists>
size = 2
item []:
    item [1]:
        class = "TextTier"
        name = "p"
        xmin = 0.1
        xmax = 0.9
        points: size = 1
        points [1]:
            number = 0.5
            mark = "x"
    item [2]:
        class = "IntervalTier"
        name = "w"
        xmin = 0
        xmax = 1
        intervals: size = 0
"""


@pytest.mark.parametrize("lenient", [False, True])
def test_convert_keeps_what_the_file_holds(tmp_path, lenient):
    (tmp_path / "in.TextGrid").write_text(POINT_TIER.replace("size = 2", "size = 3")
                                          if lenient else POINT_TIER)
    flags = ["--lenient"] if lenient else []
    for layout, source, out in [("short", "in.TextGrid", "s"), ("long", "s/in.TextGrid", "l")]:
        result = run(["convert", source, *flags, "--to", layout, "--out", out], tmp_path)
        assert result.returncode == 0, result.stdout
    # Declared counts follow what the file holds; everything else comes back as it was.
    assert (tmp_path / "l" / "in.TextGrid").read_text().replace("\r\n", "\n").split() == \
        POINT_TIER.split()


SIGNALS = [(signal.SIGTERM, False), (signal.SIGHUP, False), (signal.SIGHUP, True)]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
@pytest.mark.parametrize("number, ignored", SIGNALS,
                         ids=["SIGTERM", "SIGHUP", "SIGHUP ignored (nohup)"])
@pytest.mark.parametrize("command", [["table", "--out", "t.parquet"],
                                     ["table", "--out", "t.csv"],
                                     ["convert", "--to", "short", "--out", "out"]])
def test_stopping_signals_leave_nothing_behind(tmp_path, number, ignored, command):
    if command[-1].endswith(".parquet"):
        pytest.importorskip("pyarrow")
    (tmp_path / "a.TextGrid").write_text(long_text(EXAMPLE))
    fifo = tmp_path / "stuck.TextGrid"
    os.mkfifo(fifo)
    process = subprocess.Popen([sys.executable, "-m", "tavrel", command[0], "a.TextGrid",
                                fifo.name, *command[1:]], cwd=tmp_path, env=ENV,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(
                                   number, signal.SIG_IGN if ignored else signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while True:  # until the command waits for the FIFO's content
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.05)
    try:
        time.sleep(0.3)
        process.send_signal(number)
        time.sleep(0.3)
    finally:
        os.close(writer)  # an ignored signal: the command goes on and meets an empty file
    try:
        _, stderr = process.communicate(timeout=10)
    finally:
        process.kill()
    left = {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file()}
    if ignored:
        assert process.returncode == 1, stderr
        return
    assert process.returncode == 128 + number, stderr
    assert stderr.strip().splitlines()[-1] == f"tavrel: interrupted by {number.name}"
    # A conversion may have finished the good file before the signal came.
    assert left - {"out/a.TextGrid"} == {"a.TextGrid"}
