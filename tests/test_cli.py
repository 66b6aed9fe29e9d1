"""The command line as a user runs it: `python -m tavrel` in a subprocess on a small
corpus of good and damaged files; output, exit status and written files."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tavrel
from support import DATA
from textgrid_samples import EXAMPLE, long_text

EXAMPLES = Path(__file__).parent.parent / "examples" / "data"
OVERLAPPING = (0.0, 2.5, [("words", True, [(0.0, 1.5, "a"), (1.0, 2.5, "b")])])
BAD_CLASS = long_text(EXAMPLE).replace('"TextTier"', '"Foo"')

GOOD = ["corpus/a.TextGrid", "corpus/deep/b.TEXTGRID"]
INVALID = "corpus/deep/overlap.TextGrid"  # fails strict reading only
BROKEN = ["corpus/bad/latin1.TextGrid", "corpus/bad/structure.TextGrid"]
ALL = sorted(GOOD + BROKEN + [INVALID])
FAILURE = re.compile(r"^(\S+?)(?::\d+)?: (open|encoding|validation|structure|write): ")


@pytest.fixture
def corpus(tmp_path):
    files = {
        "corpus/a.TextGrid": long_text(EXAMPLE).encode(),
        "corpus/deep/b.TEXTGRID": (EXAMPLES / "example_short.TextGrid").read_bytes(),
        INVALID: long_text(OVERLAPPING).encode(),
        "corpus/bad/latin1.TextGrid": long_text(EXAMPLE).encode("latin-1", "replace"),
        "corpus/bad/structure.TextGrid": BAD_CLASS.encode(),
        "corpus/notes.txt": b"not a TextGrid\n",
    }
    for name, content in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(content)
    (tmp_path / "empty").mkdir()
    return tmp_path


# The subprocesses run in other folders: the module's location must not depend on it.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep)
    if entry))


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", "tavrel", *args], cwd=cwd, env=ENV,
                          capture_output=True, text=True, timeout=120)


def snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file()}


def failure_lines(stdout):
    """The files that the output lists as failing ("path: kind: reason" lines)."""
    found = (FAILURE.match(line) for line in stdout.splitlines())
    return sorted(match.group(1) for match in found if match)


# (arguments, exit status, files named as failing on stdout, other expected text)
CASES = [
    (["check", "corpus"], 1, BROKEN + [INVALID], "checked 5 files: 2 passed, 3 failed"),
    (["check", "--lenient", "corpus"], 1, BROKEN, "checked 5 files: 3 passed, 2 failed"),
    (["check", "-j", "1", *GOOD], 0, [], "checked 2 files: 2 passed, 0 failed"),
    (["check", "--quiet", "corpus/deep"], 1, [INVALID], None),
    (["check", "corpus/bad/structure.TextGrid"], 1, BROKEN[1:], "structure: Unknown tier class"),
    (["check", "corpus/bad/latin1.TextGrid"], 1, BROKEN[:1], "encoding: stream did not contain"),
    (["info", GOOD[0]], 0, [], "2 tiers, 3 items\n   1  IntervalTier  words   2 items\n"
                               "   2  TextTier      events  1 item\n"),
    (["info", "corpus/deep"], 1, [INVALID], "phones  3 items"),
    (["convert", "corpus", "--to", "short", "--out", "out"], 1, BROKEN + [INVALID],
     "converted 2 of 5 files to the short layout into out; 3 failed"),
    # Read leniently, an invalid file is still refused by the writer, which always validates.
    (["convert", "--lenient", *GOOD, INVALID, "--to", "long", "--out", "out"], 1, [INVALID],
     "overlap in tier words\nconverted 2 of 3 files"),
]
USAGE_ERRORS = [
    (["check", "nowhere"], "no such file or folder: nowhere"),
    (["check", "empty"], "no TextGrid files found in empty"),
    (["check"], "the following arguments are required: PATH"),
    (["check", "--jobs", "0", "corpus"], "expected a positive whole number, got '0'"),
    (["frobnicate", "corpus"], "invalid choice: 'frobnicate'"),
    (["convert", "corpus", "--to", "long"], "one of the arguments --out --in-place is required"),
    (["convert", "corpus", "--to", "tall", "--out", "x"], "invalid choice: 'tall'"),
    (["convert", "corpus", "--to", "long", "--out", "corpus"], "would overwrite the input"),
    (["convert", "corpus", "--to", "long", "--out", "corpus/notes.txt"], "is not a folder"),
    (["convert", "corpus/a.TextGrid", "corpus/a.TextGrid", "--to", "long", "--out", "x"],
     "would both be written to"),
    (["convert", "corpus", "--to", "long", "--out", "corpus/notes.txt/x"], "cannot write into"),
    (["table", "corpus", "--out", "corpus.xlsx"], "unknown table format '.xlsx'"),
    (["table", "corpus", "--out", "missing/folder/t.csv"], "cannot write missing/folder/t.csv"),
]


@pytest.mark.parametrize("args, status, failing, expected", CASES,
                         ids=[" ".join(case[0]) for case in CASES])
def test_invocations(corpus, args, status, failing, expected):
    before = snapshot(corpus / "corpus")
    result = run(args, corpus)
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    assert failure_lines(result.stdout) == sorted(failing)
    if expected is not None:
        assert expected in result.stdout
    else:
        assert "checked" not in result.stdout
    assert snapshot(corpus / "corpus") == before  # inputs never change


@pytest.mark.parametrize("args, message", USAGE_ERRORS, ids=[" ".join(a) for a, _ in USAGE_ERRORS])
def test_usage_errors(corpus, args, message):
    before = snapshot(corpus)
    result = run(args, corpus)
    assert result.returncode == 2
    assert message in result.stderr
    assert "Traceback" not in result.stderr and result.stdout == ""
    assert snapshot(corpus) == before  # nothing written


def test_check_json_has_one_record_per_file(corpus):
    result = run(["check", "--json", "corpus"], corpus)
    records = [json.loads(line) for line in result.stdout.splitlines()]
    assert [record["path"] for record in records] == ALL
    assert {r["path"]: r["ok"] for r in records} == {p: p in GOOD for p in ALL}
    kinds = {r["path"]: r["error_kind"] for r in records if not r["ok"]}
    assert kinds == {INVALID: "validation", BROKEN[0]: "encoding", BROKEN[1]: "structure"}
    assert records[0]["tiers"] == 2 and records[0]["items"] == 3
    assert result.stderr.strip().endswith("checked 5 files: 2 passed, 3 failed")
    assert result.returncode == 1


@pytest.mark.parametrize("layout", ["long", "short"])
def test_convert_keeps_content_and_folders(corpus, layout):
    result = run(["convert", *GOOD, "--to", layout, "--out", "out"], corpus)
    assert result.returncode == 0, result.stdout + result.stderr
    # File arguments land directly in --out.
    for source in GOOD:
        target = corpus / "out" / Path(source).name
        assert tavrel.textgrid2data(str(target), False, layout) == \
            tavrel.textgrid2data(str(corpus / source), False, "auto")
        assert (b"xmin = " in target.read_bytes()) == (layout == "long")
    # A folder argument keeps its structure; damaged files get no output.
    result = run(["convert", "corpus", "--to", layout, "--out", "tree"], corpus)
    written = sorted(str(p.relative_to(corpus / "tree")) for p in (corpus / "tree").rglob("*.*"))
    assert written == ["a.TextGrid", "deep/b.TEXTGRID"]


def test_convert_in_place_rewrites_only_good_files(corpus):
    before = snapshot(corpus / "corpus")
    result = run(["convert", "corpus", "--in-place", "--to", "short"], corpus)
    assert result.returncode == 1
    after = snapshot(corpus / "corpus")
    for name in before:
        changed = "corpus/" + name in GOOD and name.endswith("a.TextGrid")
        assert (after[name] != before[name]) == changed, name
    assert tavrel.textgrid2data(str(corpus / GOOD[0]), True, "short") == EXAMPLE


@pytest.mark.parametrize("suffix", ["csv", "tsv", "parquet", "arrow"])
def test_table_files(corpus, suffix):
    if suffix in ("parquet", "arrow"):
        pytest.importorskip("pyarrow")
    result = run(["table", "corpus", "--lenient", "--out", f"t.{suffix}"], corpus)
    assert result.returncode == 1 and failure_lines(result.stdout) == BROKEN
    assert "wrote 9 rows from 3 of 5 files" in result.stdout
    rows = read_table(corpus / f"t.{suffix}", suffix)
    expected = []
    for file_id, path in enumerate(ALL):
        if path in BROKEN:
            continue
        _, _, tiers = tavrel.textgrid2data(str(corpus / path), False, "auto")
        expected += [(file_id, path, name, position, is_interval, *item)
                     for position, (name, is_interval, items) in enumerate(tiers)
                     for item in items]
    assert sorted(rows) == sorted(expected)


def read_table(path, suffix):
    if suffix in ("csv", "tsv"):
        import csv

        with open(path, newline="", encoding="utf-8") as stream:
            lines = list(csv.reader(stream, delimiter="," if suffix == "csv" else "\t"))
        assert lines[0] == ["file_id", "file", "tier_name", "tier_index", "is_interval", "tmin", "tmax", "label"]
        return [(int(i), f, n, int(t), b == "true", float(a), float(z), label)
                for i, f, n, t, b, a, z, label in lines[1:]]
    import pyarrow.feather
    import pyarrow.parquet

    table = (pyarrow.parquet.read_table(path) if suffix == "parquet"
             else pyarrow.feather.read_table(path)).to_pydict()
    return list(zip(*(table[name] for name in
                      ("file_id", "file", "tier_name", "tier_index", "is_interval", "tmin", "tmax", "label"))))


def test_help_and_version():
    result = run(["--help"], None)
    assert result.returncode == 0
    for command in ("info", "check", "convert", "table", "exit status"):
        assert command in result.stdout
    assert run(["--version"], None).stdout.startswith("tavrel ")


def test_console_script(corpus):
    script = shutil.which("tavrel")
    if script is None:
        pytest.skip("the tavrel console script is not installed on PATH")
    result = subprocess.run([script, "check", *GOOD], cwd=corpus, env=ENV, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0 and "2 passed, 0 failed" in result.stdout


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_ctrl_c_exits_130_promptly(tmp_path):
    fifo = tmp_path / "stuck.TextGrid"
    os.mkfifo(fifo)
    process = subprocess.Popen(
        [sys.executable, "-m", "tavrel", "check", fifo.name], cwd=tmp_path, env=ENV,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Once the command has opened the FIFO, it waits for content that never comes.
    deadline = time.monotonic() + 60
    while True:
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:  # no reader yet
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.05)
    try:
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
        start = time.monotonic()
    finally:
        # A reader that cannot be interrupted while it waits is let go with an empty file.
        os.close(writer)
    try:
        _, stderr = process.communicate(timeout=5)
    finally:
        process.kill()
    assert process.returncode == 130 and time.monotonic() - start < 2
    assert stderr.strip().splitlines()[-1] == "tavrel: interrupted"
    assert "Traceback" not in stderr


def corpus_for_columns(tmp_path):
    """Files whose table and reports hold every column type the module's tables use:
    failures (null report fields), a tier without items, empty and non-ASCII labels,
    a file with no tiers."""
    paths = [str(tmp_path / name) for name in ("a.TextGrid", "b.TextGrid", "c.TextGrid")]
    tavrel.data2textgrid([("words", True, [(0.0, 1.0, "wörld ☃"), (1.0, 2.0, "")]),
                          ("empty", True, []), ("events", False, [(0.5, 0.5, 'say "hi"')])],
                         0.0, 2.0, paths[0], "long")
    tavrel.data2textgrid([], 0.0, 1.0, paths[1], "short")
    Path(paths[2]).write_text("not a TextGrid")
    return paths + [str(tmp_path / "missing.TextGrid")]


@pytest.mark.parametrize("which", ["rows", "reports", "nested"])
def test_table_columns_match_arrow(tmp_path, which):
    pa = pytest.importorskip("pyarrow")
    table = tavrel._read_files(corpus_for_columns(tmp_path), False)
    chosen = {"rows": table, "reports": table.reports,
              "nested": tavrel.nest(table, "words", "events")}[which]
    assert chosen._columns() == pa.table(chosen).to_pydict()


def test_read_files_keeps_every_tier_once(tmp_path):
    paths = corpus_for_columns(tmp_path)
    table = tavrel._read_files(paths, True)
    assert table._tiers() == [
        [{"name": "words", "class": "IntervalTier", "items": 2},
         {"name": "empty", "class": "IntervalTier", "items": 0},
         {"name": "events", "class": "TextTier", "items": 1}],
        [], None, None]
    assert tavrel.textgrids2table(paths)._tiers() == []  # kept only when asked for


def run_on_terminal(args, cwd):
    """Output of `python -m tavrel ARGS` run on a pseudo-terminal 100 columns wide."""
    import fcntl
    import pty
    import struct
    import termios

    pid, fd = pty.fork()
    if pid == 0:  # the child: its standard streams are the terminal
        try:
            os.chdir(cwd)
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
            os.execve(sys.executable, [sys.executable, "-m", "tavrel", *args], ENV)
        finally:
            os._exit(127)
    output = b""
    while True:
        try:
            data = os.read(fd, 4096)
        except OSError:  # the child closed the terminal
            break
        if not data:
            break
        output += data
    os.waitpid(pid, 0)
    return output.decode(errors="replace")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs a pseudo-terminal")
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_on_terminals_only(corpus, quiet):
    pytest.importorskip("tqdm")
    args = ["check", "--lenient", *(["--quiet"] if quiet else []), "corpus"]
    shown = run_on_terminal(args, corpus)
    assert ("/5 [" in shown) != quiet, shown  # count of 5 files, then times and rate
    assert ("file/s]" in shown) != quiet
    plain = run(args, corpus)
    assert "/5 [" not in plain.stderr + plain.stdout


@pytest.mark.parametrize("command", [["check", "--json"],
                                     ["convert", "--to", "short", "--out", "o"],
                                     ["table", "--out", "t.csv"]])
def test_file_name_not_utf8(tmp_path, command):
    """Such a name is read, or reported as unopenable in its place, never a traceback;
    the output names it by its own bytes."""
    folder = os.fsencode(tmp_path / "names")
    os.mkdir(folder)
    with open(folder + b"/caf\xe9.TextGrid", "w", encoding="utf-8") as file:
        file.write(long_text(EXAMPLE))
    (tmp_path / "names" / "plain.TextGrid").write_text(long_text(EXAMPLE), encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "tavrel", command[0], "names", *command[1:]],
                            cwd=tmp_path, env=ENV, capture_output=True, timeout=120)
    assert b"Traceback" not in result.stderr and result.returncode in (0, 1)
    if command[0] == "check":
        records = [json.loads(line) for line in result.stdout.splitlines()]
        assert [os.fsencode(r["path"]) for r in records] == [b"names/caf\xe9.TextGrid",
                                                             b"names/plain.TextGrid"]
        assert records[1]["ok"] and (records[0]["ok"] or records[0]["error_kind"] == "open")
        assert result.returncode == (0 if records[0]["ok"] else 1)
