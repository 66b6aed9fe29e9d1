"""TextGrid files wherever they are: local files and folders, members of zip and tar
archives (read without extracting them), and, with the `remote` extra (fsspec), URLs
of object stores and other file systems (s3://, gs://, https://, zip://, ...).

Every file found has one name: a path, `archive.zip/inner/path.TextGrid` for an
archive member, or its URL. `find` lists the names below a location, `read_bytes`
fetches their bytes, and `read_table` reads them into one table with
`tavrel.textgrids2table(names, contents=...)`, so that each file's bytes go through
the same reading as a local file's.
"""

import io
import os
import posixpath
import re
import tarfile
import zipfile

import tavrel

__all__ = ["ARCHIVE_SUFFIXES", "find", "is_archive", "is_url", "read_bytes", "read_table"]

ARCHIVE_SUFFIXES = (".zip", ".tar", ".tar.gz", ".tgz")
# A protocol, then :// (or :: for fsspec's chained URLs such as zip::https://...).
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*(://|::)")


class SourceError(Exception):
    """A location that cannot be read as a file, a folder, an archive or a URL."""


def is_url(location):
    """True for a URL such as s3://bucket/key or https://host/path (not a local path)."""
    return isinstance(location, str) and _URL.match(location) is not None


def is_archive(location):
    """True when the name ends in .zip, .tar, .tar.gz or .tgz (any letter case); not
    for fsspec's chained URLs (zip://inner::outer.zip), whose file system opens it."""
    location = str(location)
    return location.lower().endswith(ARCHIVE_SUFFIXES) and "::" not in location


def _is_textgrid(name):
    return name.lower().endswith(".textgrid")


def _walk_order(relative):
    """Sort key that puts paths in the order of a folder walk: a folder's files (by
    name) before its subfolders (by name), as the command line lists a folder."""
    *folders, name = relative.split("/")
    return [(1, folder) for folder in folders] + [(0, name)]


def _inner_name(name):
    """An archive member's path inside the archive (an absolute one taken below it), or
    None when it climbs out of the archive's tree with ..."""
    inner = posixpath.normpath(name.replace("\\", "/")).lstrip("/")
    if inner in ("", ".") or inner == ".." or inner.startswith("../"):
        return None
    return inner


# Archives seen so far: archive location -> {inner name: member}; member names map
# back to (archive, inner name).
_archives = {}
_members = {}


_remote_archives = {}


def _open_archive(location):
    """The archive as a file object: local archives by path; remote ones fetched whole
    once (servers need not answer range requests) and kept in memory."""
    if is_url(location):
        if location not in _remote_archives:
            fs, path = _filesystem(location)
            _remote_archives[location] = fs.cat_file(path)
        return io.BytesIO(_remote_archives[location])
    return open(location, "rb")


def _list_archive(location):
    """The *.TextGrid members (any letter case) of an archive, in folder-walk order."""
    inner_names = []
    with _open_archive(location) as stream:
        if str(location).lower().endswith(".zip"):
            with zipfile.ZipFile(stream) as archive:
                inner_names = [info.filename for info in archive.infolist() if not info.is_dir()]
        else:
            with tarfile.open(fileobj=stream, mode="r:*") as archive:
                inner_names = [info.name for info in archive if info.isfile()]
    found = {}
    for name in inner_names:
        inner = _inner_name(name)
        if inner is not None and _is_textgrid(inner):
            found.setdefault(inner, name)
    _archives[location] = found
    names = []
    for inner in sorted(found, key=_walk_order):
        member = f"{str(location).rstrip('/')}/{inner}"
        _members[member] = (location, inner)
        names.append(member)
    return names


def _read_members(location, inners):
    """{inner name: bytes} of the archive's members, in one pass over the archive."""
    wanted = {_archives[location][inner]: inner for inner in inners}
    found = {}
    with _open_archive(location) as stream:
        if str(location).lower().endswith(".zip"):
            with zipfile.ZipFile(stream) as archive:
                for name, inner in wanted.items():
                    found[inner] = archive.read(name)
        else:
            with tarfile.open(fileobj=stream, mode="r:*") as archive:
                for info in archive:  # in archive order: a compressed stream is read once
                    if info.name in wanted and info.isfile():
                        found[wanted[info.name]] = archive.extractfile(info).read()
    return found


def _filesystem(url):
    """(fsspec file system, path within it) of a URL."""
    try:
        import fsspec
    except ImportError:
        raise SourceError(f"reading {url} needs fsspec (pip install 'tavrel[remote]')") from None
    try:
        return fsspec.core.url_to_fs(url)
    except (ImportError, ValueError) as error:
        raise SourceError(f"cannot read {url}: {error}") from None


def _find_url(url):
    fs, path = _filesystem(url)
    protocol = url.split("://", 1)[0]
    try:
        if fs.isdir(path):
            top = path.rstrip("/") + "/"
            names = sorted((name for name in fs.find(path) if _is_textgrid(name)),
                           key=lambda name: _walk_order(name[len(top):]))
            return [_unstrip(fs, name, protocol, url) for name in names], url
        if fs.exists(path) or fs.isfile(path):
            return [url], None
    except OSError as error:
        raise SourceError(f"cannot read {url}: {error}") from None
    raise SourceError(f"no such file or folder: {url}")


def _unstrip(fs, name, protocol, url):
    """A path found by a file system as a URL of the same protocol."""
    if "://" in name:
        return name
    if "::" in url:  # a chained URL: the inner file system's path, then the same chain
        return f"{protocol}://{name.lstrip('/')}::{url.split('::', 1)[1]}"
    unstripped = fs.unstrip_protocol(name)
    return unstripped if unstripped.startswith(protocol) else f"{protocol}://{name}"


def find_with_roots(location):
    """(name, root) pairs below one location: the root is the folder or archive the name
    was found in (names of a folder or archive stay below it), None for a file named
    directly. Local folders are left to the caller; this takes archives and URLs."""
    if is_archive(location):
        if not is_url(location) and not os.path.isfile(location):
            raise SourceError(f"no such file or folder: {location}")
        try:
            return [(name, str(location).rstrip("/")) for name in _list_archive(location)]
        except (OSError, zipfile.BadZipFile, tarfile.TarError) as error:
            raise SourceError(f"cannot read the archive {location}: {error}") from None
    names, root = _find_url(location)
    return [(name, root) for name in names]


def find(location):
    """Names of the TextGrid files at a location: a file, a folder (searched
    recursively for *.TextGrid, any letter case), an archive (.zip, .tar, .tar.gz,
    .tgz: its *.TextGrid members) or a URL of a file or folder; in the order of a
    folder walk (a folder's files by name, then its subfolders by name)."""
    location = os.fspath(location)
    if is_archive(location) or is_url(location):
        return [name for name, _ in find_with_roots(location)]
    if os.path.isdir(location):
        found = []
        for top, folders, files in os.walk(location):
            folders.sort()
            found += [os.path.join(top, name) for name in sorted(files) if _is_textgrid(name)]
        return found
    if os.path.exists(location):
        return [location]
    raise SourceError(f"no such file or folder: {location}")


def _member_of(name):
    """(archive, inner name) of an archive member's name, also one that this process
    has not listed (a Dask worker gets names that another process found)."""
    if name in _members:
        return _members[name]
    lowered = name.lower()
    for suffix in ARCHIVE_SUFFIXES:
        at = lowered.find(suffix + "/")
        while at >= 0:
            archive = name[:at + len(suffix)]
            if archive not in _archives and (is_url(archive) or os.path.isfile(archive)):
                try:
                    _list_archive(archive)
                except (OSError, zipfile.BadZipFile, tarfile.TarError, SourceError):
                    _archives[archive] = {}
            if archive in _archives:
                return _members.get(name)
            at = lowered.find(suffix + "/", at + 1)
    return None


def is_virtual(name):
    """True for a name whose bytes are not a local file: an archive member or a URL."""
    return _member_of(name) is not None or is_url(name)


def read_bytes(names):
    """The bytes of each name (from `find`), in order: archive members in one pass per
    archive, URLs together through fsspec (concurrently where the protocol allows), local
    files from disk. A name that cannot be read gives None."""
    contents = [None] * len(names)
    by_archive, urls = {}, []
    for k, name in enumerate(names):
        member = _member_of(name)
        if member is not None:
            archive, inner = member
            by_archive.setdefault(archive, []).append((k, inner))
        elif is_url(name):
            urls.append(k)
        else:
            try:
                with open(name, "rb") as stream:
                    contents[k] = stream.read()
            except OSError:
                pass
    for archive, entries in by_archive.items():
        try:
            found = _read_members(archive, [inner for _, inner in entries])
        except (OSError, zipfile.BadZipFile, tarfile.TarError, KeyError):
            found = {}
        for k, inner in entries:
            contents[k] = found.get(inner)
    by_filesystem = {}
    for k in urls:
        fs, path = _filesystem(names[k])
        by_filesystem.setdefault(fs, []).append((k, path))
    for fs, entries in by_filesystem.items():
        fetched = fs.cat([path for _, path in entries], on_error="return")
        for k, path in entries:
            value = fetched.get(path) if isinstance(fetched, dict) else fetched
            contents[k] = value if isinstance(value, bytes) else None
    return contents


def read_table(locations, strict=False, file_type="auto", encoding="utf-8"):
    """Every TextGrid file at the locations (see `find`) read into one table by
    `tavrel.textgrids2table`: the `file` column and the reports name each file as
    `find` does. A file whose bytes cannot be fetched gives no rows and an "open"
    failure in the reports."""
    if isinstance(locations, (str, os.PathLike)):
        locations = [locations]
    names = [name for location in locations for name in find(location)]
    return read_names(names, strict, file_type, encoding)


def read_names(names, strict=False, file_type="auto", encoding="utf-8"):
    """textgrids2table of the named files: archive members' and URLs' bytes fetched by
    `read_bytes`, local files read by the module as it reads any file. An entry whose
    bytes cannot be fetched gives no rows and an "open" failure in the reports."""
    return tavrel.textgrids2table(names, strict, file_type, contents=contents_of(names),
                                  encoding=encoding)


def contents_of(names):
    """The `contents` argument for the named files: the bytes of archive members and
    URLs (None where they cannot be fetched), None for local files."""
    virtual = [k for k, name in enumerate(names) if is_virtual(name)]
    contents = [None] * len(names)
    for k, data in zip(virtual, read_bytes([names[k] for k in virtual])):
        contents[k] = data
    return contents


def read_data(name, strict=False, file_type="auto"):
    """The nested form of one named file (see `find`), as `tavrel.textgrid2data` gives it
    for a local file."""
    if not is_virtual(name):
        return tavrel.textgrid2data(name, strict, file_type)
    (content,) = read_bytes([name])
    if content is None:
        raise SourceError(f"cannot read {name}")
    return tavrel.loads(content, strict, file_type)
