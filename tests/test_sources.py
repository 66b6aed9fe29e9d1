"""Corpora from archives and URLs: the command line on a zip or tar archive gives what it
gives on the extracted folder, members keep their inner paths, and tavrel.sources reads
a folder served over HTTP on loopback as it reads it on disk."""

import functools
import http.server
import io
import os
import subprocess
import sys
import tarfile
import threading
import zipfile

import pytest

import tavrel
from tavrel import sources
from textgrid_samples import EXAMPLE, long_text

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep)
    if entry))

FILES = {
    "z.TextGrid": long_text(EXAMPLE).encode(),  # listed before the subfolders, as a walk does
    "a.TextGrid": long_text(EXAMPLE).encode(),
    "a.b/c.TextGrid": long_text(EXAMPLE).encode(),
    "deep/b.TEXTGRID": long_text(EXAMPLE).encode("utf-16"),
    "deep/overlap.TextGrid": long_text(
        (0.0, 2.5, [("w", True, [(0.0, 1.5, "a"), (1.0, 2.5, "b")])])).encode(),
    "bad/latin1.textgrid": long_text(EXAMPLE).encode("latin-1", "replace"),
    "bad/structure.TextGrid": long_text(EXAMPLE).replace('"TextTier"', '"Foo"').encode(),
    "notes.txt": b"not a TextGrid\n",
}


def make_archive(path, files):
    if path.name.lower().endswith(".zip"):
        with zipfile.ZipFile(path, "w") as archive:
            for name, data in files.items():
                archive.writestr(name, data)
        return
    mode = "w:gz" if path.name.endswith(("gz", ".tgz")) else "w"
    with tarfile.open(path, mode) as archive:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))


@pytest.fixture
def corpus(tmp_path):
    for name, data in FILES.items():
        (tmp_path / "c" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "c" / name).write_bytes(data)
    return tmp_path


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", "tavrel", *args], cwd=cwd, env=ENV,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("archive", ["c.zip", "c.tar", "c.tar.gz", "c.tgz", "C.ZIP"])
@pytest.mark.parametrize("command", [["check"], ["check", "--json"], ["info", "--lenient"],
                                     ["info", "--json"], ["table", "--out", "t.csv"]])
def test_archive_reads_as_its_folder(corpus, archive, command):
    make_archive(corpus / archive, FILES)
    folder = run([command[0], "c", *command[1:]], corpus)
    if command[0] == "table":
        folder_table = (corpus / "t.csv").read_text()
    packed = run([command[0], archive, *command[1:]], corpus)
    assert packed.returncode == folder.returncode == 1
    assert packed.stdout.replace(archive + "/", "c/") == folder.stdout
    if command[0] == "table":
        assert (corpus / "t.csv").read_text().replace(archive + "/", "c/") == folder_table


def test_convert_writes_members_under_their_inner_paths(corpus):
    make_archive(corpus / "c.tgz", FILES)
    assert run(["convert", "c", "--lenient", "--to", "short", "--out", "from_folder"],
               corpus).returncode == 1
    result = run(["convert", "c.tgz", "--lenient", "--to", "short", "--out", "from_archive"],
                 corpus)
    assert result.returncode == 1 and "converted 4 of 7 files" in result.stdout

    def files(folder):
        return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*")
                if p.is_file()}

    written = files(corpus / "from_archive")
    # The overlap fails to write.
    assert set(written) == {"a.TextGrid", "z.TextGrid", "a.b/c.TextGrid", "deep/b.TEXTGRID"}
    assert written == files(corpus / "from_folder")
    refused = run(["convert", "c.tgz", "--to", "short", "--in-place"], corpus)
    assert refused.returncode == 2 and "--in-place cannot rewrite" in refused.stderr


def test_members_outside_the_archive_tree_are_left_out(corpus):
    make_archive(corpus / "evil.zip", {"../escape.TextGrid": FILES["a.TextGrid"],
                                       "/abs.TextGrid": FILES["a.TextGrid"],
                                       "ok/./x.TextGrid": FILES["a.TextGrid"]})
    assert sources.find(str(corpus / "evil.zip")) == [str(corpus / "evil.zip") + "/abs.TextGrid",
                                                      str(corpus / "evil.zip") + "/ok/x.TextGrid"]
    result = run(["convert", "evil.zip", "--to", "long", "--out", "out"], corpus)
    assert result.returncode == 0 and not (corpus / "escape.TextGrid").exists()
    assert sorted(p.name for p in (corpus / "out").rglob("*.TextGrid")) == ["abs.TextGrid",
                                                                           "x.TextGrid"]


@pytest.mark.parametrize("argument, message", [
    ("missing.zip", "no such file or folder: missing.zip"),
    ("broken.zip", "cannot read the archive broken.zip"),
])
def test_unreadable_archives_are_usage_errors(corpus, argument, message):
    (corpus / "broken.zip").write_bytes(b"PK not really")
    result = run(["check", argument], corpus)
    assert result.returncode == 2 and message in result.stderr


def rows(table):
    pa = pytest.importorskip("pyarrow")
    return pa.table(table).to_pylist()


@pytest.fixture
def served(corpus):
    """The corpus folder on a loopback HTTP server (directory listings included)."""
    pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=str(corpus)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    thread.join()


def test_url_of_a_folder_or_archive_reads_as_the_local_folder(corpus, served):
    make_archive(corpus / "c.zip", FILES)
    local = sources.read_table(str(corpus / "c"))
    for location in (f"{served}/c/", f"{served}/c.zip"):
        remote = sources.read_table(location)
        strip = len(location.rstrip("/")) + 1
        assert [r["path"][strip:] for r in rows(remote.reports)] == \
            [r["path"][len(str(corpus / "c")) + 1:] for r in rows(local.reports)]
        assert [dict(r, file=None) for r in rows(remote)] == [dict(r, file=None)
                                                               for r in rows(local)]
    result = run(["check", f"{served}/c/"], corpus)
    assert result.returncode == 1 and "checked 7 files: 4 passed, 3 failed" in result.stdout


def test_find_and_read_data(corpus):
    make_archive(corpus / "c.tar", FILES)
    names = sources.find(corpus / "c.tar")
    walked = ["a.TextGrid", "z.TextGrid", "a.b/c.TextGrid", "bad/latin1.textgrid",
              "bad/structure.TextGrid", "deep/b.TEXTGRID", "deep/overlap.TextGrid"]
    assert [n.rsplit("c.tar/", 1)[1] for n in names] == walked
    assert sources.find(corpus / "c") == [os.path.join(corpus, "c", *n.split("/")) for n in walked]
    assert sources.read_data(names[0], True) == tavrel.textgrid2data(
        str(corpus / "c" / "a.TextGrid"), True, "auto")
    assert sources.read_bytes(names[2:4]) == [FILES["a.b/c.TextGrid"], FILES["bad/latin1.textgrid"]]
    with pytest.raises(sources.SourceError):
        sources.find(corpus / "nothing here")


def test_entries_that_cannot_be_fetched_are_open_failures(corpus, served):
    make_archive(corpus / "c.zip", FILES)
    names = [f"{served}/c/a.TextGrid", f"{served}/c/gone.TextGrid",
             str(corpus / "c.zip") + "/a.TextGrid", str(corpus / "c" / "a.TextGrid")]
    reports = rows(sources.read_names(names).reports)
    assert [r["ok"] for r in reports] == [True, False, True, True]
    assert reports[1]["error_kind"] == "open" and names[1] in reports[1]["error"]
