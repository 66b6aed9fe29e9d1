"""Faulty and hostile archives and servers: a member or URL that cannot be had fails on
its own with a reason that names the fault (never a traceback, never a local file read
in its place), and nothing derived from an input's name is written outside --out."""

import http.server
import io
import os
import struct
import subprocess
import sys
import tarfile
import threading
import zipfile
import zlib

import pytest

from tavrel import sources
from textgrid_samples import EXAMPLE, long_text

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep)
    if entry))
GOOD = long_text(EXAMPLE).encode()
OTHER = long_text((0.0, 3.0, [("w", True, [(0.0, 3.0, "other")])])).encode()


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", "tavrel", *args], cwd=cwd, env=ENV,
                          capture_output=True, text=True, timeout=120)


def files_below(folder):
    return sorted(str(path.relative_to(folder)).replace(os.sep, "/")
                  for path in folder.rglob("*") if path.is_file())


def reports_of(table):
    columns = table.reports._columns()
    return [dict(zip(columns, row)) for row in zip(*columns.values())]


class Server:
    """A loopback HTTP server whose answers the test sets per path: (status, headers,
    body), where a Content-Length header may lie about the body."""

    def __init__(self):
        self.routes = {}
        routes = self.routes

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802 (the name http.server calls)
                status, headers, body = routes.get(self.path, (404, {}, b"missing"))
                self.send_response(status)
                headers = {"Content-Length": str(len(body)), **headers}
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.http.server_address[1]}"
        self.thread = threading.Thread(target=self.http.serve_forever, daemon=True)
        self.thread.start()

    def listing(self, path, links):
        html = "".join(f'<a href="{link}">{link}</a>\n' for link in links)
        self.routes[path] = (200, {"Content-Type": "text/html"}, html.encode())

    def close(self):
        self.http.shutdown()
        self.thread.join()


@pytest.fixture
def server():
    pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")
    serving = Server()
    yield serving
    serving.close()


FAULTS = {
    "500": ((500, {}, b"oops"), "HTTP 500 Internal Server Error"),
    "404": ((404, {}, b"gone"), "not found (HTTP 404)"),
    "short body": ((200, {"Content-Length": "2000"}, GOOD[:10]), "the body ended after 10 of 2000 bytes"),
    "redirect loop": ((302, {"Location": "/d/x.TextGrid"}, b""), "too many redirects"),
}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("how", ["read_names", "read_table", "check", "table", "convert"])
def test_a_failed_fetch_fails_that_file_alone(tmp_path, server, fault, how):
    answer, message = FAULTS[fault]
    server.listing("/d/", ["x.TextGrid", "ok.TextGrid"])
    server.routes["/d/x.TextGrid"] = answer
    server.routes["/d/ok.TextGrid"] = (200, {}, GOOD)
    # A local file whose path spells the URL must never be read in its place.
    decoy = tmp_path / server.url.replace("://", ":/") / "d" / "x.TextGrid"
    decoy.parent.mkdir(parents=True)
    decoy.write_bytes(GOOD)
    location, bad = f"{server.url}/d/", f"{server.url}/d/x.TextGrid"
    if how in ("read_names", "read_table"):
        os.chdir(tmp_path)
        table = (sources.read_table(location) if how == "read_table"
                 else sources.read_names([bad, f"{server.url}/d/ok.TextGrid"]))
        by_path = {report["path"]: report for report in reports_of(table)}
        assert by_path[f"{server.url}/d/ok.TextGrid"]["ok"]
        assert by_path[bad]["error_kind"] == "open" and message in by_path[bad]["error"]
        assert sources.read_bytes([bad]) == [None]
        return
    args = {"check": ["check", location], "table": ["table", location, "--out", "t.csv"],
            "convert": ["convert", location, "--to", "short", "--out", "out"]}[how]
    result = run(args, tmp_path)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert f"{bad}: open: {message}" in result.stdout
    assert ("1 passed, 1 failed" in result.stdout) == (how == "check")
    if how == "convert":
        assert files_below(tmp_path / "out") == ["ok.TextGrid"]


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("path", ["/d/x.TextGrid", "/c.zip", "/c.tar.gz"])
def test_a_url_named_directly_that_fails_is_one_line(tmp_path, server, fault, path):
    (status, headers, body), message = FAULTS[fault]
    server.routes[path] = (status, {**headers, "Location": path} if "Location" in headers else headers, body)
    result = run(["check", server.url + path], tmp_path)
    assert "Traceback" not in result.stderr
    if fault == "404":  # as a local path that is not there
        assert result.returncode == 2 and "no such file or folder" in result.stderr
    else:
        assert result.returncode == 1 and message in result.stdout
        assert result.stdout.startswith(f"{server.url}{path}: open: ")


def test_a_remote_folder_is_listed_once_and_a_folder_that_fails_is_reported(tmp_path, server):
    server.listing("/d/", ["a.TextGrid", "./", "sub/", "bad/", "sub/../"])
    server.listing("/d/sub/", ["b.TextGrid", "../sub/", "./"])  # links that loop back
    server.routes["/d/bad/"] = (500, {}, b"")
    for path in ("/d/a.TextGrid", "/d/sub/b.TextGrid"):
        server.routes[path] = (200, {}, GOOD)
    location = f"{server.url}/d/"
    assert sources.find(location) == [location + "a.TextGrid", location + "sub/b.TextGrid"]
    reports = reports_of(sources.read_table(location))
    assert [(report["path"], report["ok"]) for report in reports] == [
        (location + "a.TextGrid", True), (location + "sub/b.TextGrid", True), (location + "bad/", False)]
    assert "HTTP 500 Internal Server Error" in reports[2]["error"]
    result = run(["check", location], tmp_path)
    assert result.returncode == 1 and result.stdout.splitlines() == [
        f"{location}bad/: open: HTTP 500 Internal Server Error",
        "checked 2 files and 1 folder: 2 passed, 1 failed"]


def test_a_remote_archive_is_fetched_at_each_read(server):
    def archive(content):
        stream = io.BytesIO()
        with zipfile.ZipFile(stream, "w") as packed:
            packed.writestr("a.TextGrid", content)
        return stream.getvalue()

    server.routes["/c.zip"] = (200, {}, archive(GOOD))
    names = sources.find(f"{server.url}/c.zip")
    assert sources.read_bytes(names) == [GOOD]
    server.routes["/c.zip"] = (200, {}, archive(OTHER))
    assert sources.read_bytes(names) == [OTHER]
    server.routes["/c.zip"] = (500, {}, b"")
    assert "HTTP 500" in reports_of(sources.read_names(names))[0]["error"]


def zip_bytes(members, compression=zipfile.ZIP_STORED):
    stream = io.BytesIO()
    with zipfile.ZipFile(stream, "w", compression) as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return bytearray(stream.getvalue())


def central_entry(data, name):
    """Where the central directory entry of a member starts."""
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        length = struct.unpack_from("<H", data, at + 28)[0]
        if data[at + 46:at + 46 + length] == name.encode():
            return at
        at = data.find(b"PK\x01\x02", at + 1)
    raise KeyError(name)


def member_data(data, name):
    """(start, end) of a member's stored or compressed bytes."""
    info = zipfile.ZipFile(io.BytesIO(bytes(data))).getinfo(name)
    start = info.header_offset + 30 + len(name) + struct.unpack_from(
        "<H", data, info.header_offset + 28)[0]
    return start, start + info.compress_size


def bad_crc(data):
    start, _ = member_data(data, "bad.TextGrid")
    data[start + 5] ^= 0x20
    return data


def flag_encrypted(data):
    data[central_entry(data, "bad.TextGrid") + 8] |= 0x1
    return data


def method_99(data):
    struct.pack_into("<H", data, central_entry(data, "bad.TextGrid") + 10, 99)
    return data


def lost_header(data):  # the directory names a member whose local header is not there
    # Pointed at the central directory itself (its first entry), past every member's
    # data: an offset inside another member would make that member overlap (refused).
    struct.pack_into("<I", data, central_entry(data, "bad.TextGrid") + 42,
                     central_entry(data, "a.TextGrid"))
    return data


def corrupt_deflate(data):
    start, end = member_data(data, "bad.TextGrid")
    data[start:end] = b"\xff" * (end - start)  # a block of the reserved type
    return data


ZIP_FAULTS = {
    "bad CRC": (bad_crc, zipfile.ZIP_STORED, "the member is damaged: Bad CRC-32"),
    "encrypted": (flag_encrypted, zipfile.ZIP_STORED, "the member is encrypted"),
    "method 99": (method_99, zipfile.ZIP_DEFLATED, "compression method (99) is not supported"),
    "no local header": (lost_header, zipfile.ZIP_STORED, "the member is damaged"),
    "corrupt deflate": (corrupt_deflate, zipfile.ZIP_DEFLATED, "the member is damaged"),
    "not a member": (lambda data: data, zipfile.ZIP_STORED, "no such member in the archive"),
}


@pytest.mark.parametrize("fault", ZIP_FAULTS)
def test_one_bad_zip_member_fails_alone(tmp_path, fault):
    damage, compression, message = ZIP_FAULTS[fault]
    members = {"a.TextGrid": GOOD, "bad.TextGrid": OTHER, "z.TextGrid": GOOD}
    (tmp_path / "c.zip").write_bytes(damage(zip_bytes(members, compression)))
    names = [str(tmp_path / "c.zip" / name) for name in ("a.TextGrid", "bad.TextGrid", "z.TextGrid")]
    if fault == "not a member":
        names[1] = str(tmp_path / "c.zip" / "nothere.TextGrid")
    assert sources.read_bytes(names) == [GOOD, None, GOOD]
    reports = reports_of(sources.read_names(names))
    assert [report["ok"] for report in reports] == [True, False, True]
    assert reports[1]["error_kind"] == "open" and message in reports[1]["error"]
    if fault != "not a member":
        result = run(["check", "c.zip"], tmp_path)
        assert result.returncode == 1 and "Traceback" not in result.stderr
        first = result.stdout.splitlines()[0]
        assert first.startswith("c.zip/bad.TextGrid: open: ") and message in first
        assert "checked 3 files: 2 passed, 1 failed" in result.stdout


def tar_bytes(members, mode="w"):
    """A tar archive of (name, data) members; data b"->target" is a hard link."""
    stream = io.BytesIO()
    with tarfile.open(fileobj=stream, mode=mode) as archive:
        for name, data in members:
            info = tarfile.TarInfo(name)
            if data.startswith(b"->"):
                info.type, info.linkname = tarfile.LNKTYPE, data[2:].decode()
                archive.addfile(info)
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
    return stream.getvalue()


@pytest.mark.parametrize("link, expected", [
    (b"->a.TextGrid", GOOD),            # as tar x gives a hard-linked file
    (b"->./a.TextGrid", GOOD),
    (b"->later.TextGrid", None),        # links only to a member before it
    (b"->not/here.TextGrid", None),
    (b"->/etc/passwd", None),           # never a file outside the archive
])
@pytest.mark.parametrize("suffix", ["tar", "tar.gz"])
def test_tar_hard_links_read_as_their_member(tmp_path, link, expected, suffix):
    members = [("a.TextGrid", GOOD), ("link.TextGrid", link), ("later.TextGrid", OTHER)]
    archive = tmp_path / f"c.{suffix}"
    archive.write_bytes(tar_bytes(members, "w:gz" if suffix == "tar.gz" else "w"))
    names = sources.find(archive)
    assert [name.rsplit("/", 1)[1] for name in names] == ["a.TextGrid", "later.TextGrid",
                                                         "link.TextGrid"]
    assert sources.read_bytes(names) == [GOOD, OTHER, expected]
    if expected is None:
        report = reports_of(sources.read_names(names))[2]
        assert report["error_kind"] == "open" and "a hard link to" in report["error"]


@pytest.mark.parametrize("suffix", ["tar", "tar.gz"])
def test_a_truncated_tar_reads_what_came_before_the_cut(tmp_path, suffix):
    big = [(f"m{k}.TextGrid", long_text((0.0, 1.0, [("w", True, [(0.0, 1.0, os.urandom(3000).hex())])])).encode())
           for k in range(3)]
    whole = tar_bytes(big, "w:gz" if suffix == "tar.gz" else "w")
    archive = tmp_path / f"c.{suffix}"
    archive.write_bytes(whole)
    names = sources.find(archive)
    archive.write_bytes(whole[:len(whole) // 2])
    contents = sources.read_bytes(names)
    assert contents[0] == big[0][1] and contents[2] is None
    reports = reports_of(sources.read_table(archive))
    assert reports[0]["ok"] and not reports[-1]["ok"]
    assert reports[-1]["path"] == str(archive) and "could not be read to its end" in reports[-1]["error"]
    result = run(["check", archive.name], tmp_path)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert f"{archive.name}: open: the archive could not be read to its end" in result.stdout


def snapshot(folder):
    return {path for path in folder.rglob("*") if path.is_file()}


CONVERTED = {  # location (WORK: the working folder, URL: the server) -> (written below out, status)
    "{URL}/d/": (["ok.TextGrid"], 1),  # the listing also names ../x and sub/../../y
    "{URL}/d/ok.TextGrid": (["ok.TextGrid"], 0),
    # Members that climb out (../up.TextGrid) are left out; fsspec reaches no absolute name.
    "zip://::t.zip": (["ok/b.TextGrid"], 0),
    "zip://::{WORK}/t.zip": (["ok/b.TextGrid"], 0),
    "zip://ok/b.TextGrid::{WORK}/t.zip": (["b.TextGrid"], 0),
    "{WORK}/t.zip": (["abs.TextGrid", "ok/b.TextGrid"], 0),
    "file://corpus/": (["sub/y.TextGrid", "x.TextGrid"], 0),
    "file://{WORK}/corpus": (["sub/y.TextGrid", "x.TextGrid"], 0),
}


@pytest.mark.parametrize("location", CONVERTED)
def test_convert_writes_only_below_out(tmp_path, server, location):
    expected, status = CONVERTED[location]
    work = tmp_path / "a" / "b" / "work"
    (work / "corpus" / "sub").mkdir(parents=True)
    (work / "corpus" / "x.TextGrid").write_bytes(GOOD)
    (work / "corpus" / "sub" / "y.TextGrid").write_bytes(GOOD)
    (work / "t.zip").write_bytes(zip_bytes({"ok/b.TextGrid": GOOD, "../up.TextGrid": GOOD,
                                            "/abs.TextGrid": GOOD}))
    server.listing("/d/", ["ok.TextGrid", "../x.TextGrid", "sub/../../y.TextGrid"])
    for path in ("/d/ok.TextGrid", "/x.TextGrid", "/y.TextGrid"):
        server.routes[path] = (200, {}, GOOD)
    before = snapshot(tmp_path)
    result = run(["convert", location.format(URL=server.url, WORK=work), "--to", "short",
                  "--out", "out"], work)
    assert result.returncode == status and "Traceback" not in result.stderr
    assert files_below(work / "out") == expected
    assert {path for path in snapshot(tmp_path) - before
            if (work / "out") not in path.parents} == set()
    if status:
        refused = [line for line in result.stdout.splitlines() if ": write: refused" in line]
        assert [line.split(":")[2].rsplit("/", 1)[1] for line in refused] == [
            "x.TextGrid", "y.TextGrid"]


@pytest.mark.parametrize("relative, below", [
    ("a.TextGrid", "a.TextGrid"),
    ("./x/./a.TextGrid", "x/a.TextGrid"),
    ("x//y/../a.TextGrid", "x/a.TextGrid"),
    ("x\\a.TextGrid", "x/a.TextGrid"),
    ("../a.TextGrid", None),
    ("x/../../a.TextGrid", None),
    ("..\\a.TextGrid", None),
    ("/etc/a.TextGrid", None),
    ("C:/a.TextGrid", None),
    ("", None),
    (".", None),
    ("x/..", None),
])
def test_path_below(relative, below):
    assert sources.path_below(relative) == below


def test_a_folder_named_like_an_archive_is_a_folder(tmp_path):
    (tmp_path / "corpus.zip" / "sub").mkdir(parents=True)
    (tmp_path / "corpus.zip" / "sub" / "a.TextGrid").write_bytes(GOOD)
    name = str(tmp_path / "corpus.zip" / "sub" / "a.TextGrid")
    assert sources.find(tmp_path / "corpus.zip") == [name]
    assert not sources.is_virtual(name) and sources.read_bytes([name]) == [GOOD]
    assert reports_of(sources.read_table(str(tmp_path / "corpus.zip")))[0]["ok"]
    result = run(["convert", "corpus.zip", "--to", "short", "--out", "out"], tmp_path)
    assert result.returncode == 0 and files_below(tmp_path / "out") == ["sub/a.TextGrid"]
