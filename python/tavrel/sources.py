"""TextGrid files wherever they are: local files and folders, members of zip and tar
archives (read without extracting them), and, with the `remote` extra (fsspec), URLs
of object stores and other file systems (s3://, gs://, https://, zip://, ...).

Every file found has one name: a path, `archive.zip/inner/path.TextGrid` for an
archive member, or its URL. `find` lists the names below a location, `read_bytes`
fetches their bytes, and `read_table` (or `read_names`, for names already found) reads
them into one table with `tavrel.textgrids2table(names, contents=...)`, so that each
file's bytes go through the same reading as a local file's. A member or URL whose
bytes cannot be had fails on its own, with the reason (`HTTP 500 Internal Server
Error`, `the member is damaged: ...`); nothing is ever read from the local disk in
its place.
"""

import os
import posixpath
import re

import tavrel

from . import _archives
from ._fetching import SourceError, base_name, fetch_urls, filesystem, reason_of

__all__ = ["ARCHIVE_SUFFIXES", "SourceError", "find", "is_archive", "is_url", "path_below",
           "read_bytes", "read_data", "read_names", "read_table"]

ARCHIVE_SUFFIXES = _archives.ARCHIVE_SUFFIXES
# A protocol, then :// (or :: for fsspec's chained URLs such as zip::https://...).
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*(://|::)")

path_below = _archives.path_below

# Names that URL listings gave: files of a remote folder, not members of an archive,
# whatever their name.
_listed_urls = set()


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


def _is_local_folder(location):
    return not is_url(location) and os.path.isdir(location)


def _open_archive(location):
    """The archive as a file object. A remote archive is fetched whole at each read
    (servers need not answer range requests), so a changed archive is read anew."""
    if is_url(location):
        (content,) = fetch_urls([location])
        if isinstance(content, SourceError):
            raise content
        return _archives.in_memory(content)
    return open(location, "rb")


def _find_archive(location):
    """((name, place) pairs of the archive's TextGrid members, [(archive, why its listing
    stopped early)] or [] when it was read to its end)."""
    if not is_url(location) and not os.path.isfile(location):
        raise SourceError(f"no such file or folder: {location}")
    try:
        stream = _open_archive(location)
    except SourceError as error:  # a remote archive that could not be fetched
        if str(error).startswith("not found"):
            raise SourceError(f"no such file or folder: {location}") from None
        return [], [(location, f"the archive could not be fetched: {error}")]
    except OSError as error:
        raise SourceError(f"cannot read the archive {location}: {reason_of(error)}") from None
    try:
        with stream:
            inners, failure = _archives.list_members(stream, location)
    except _archives.ARCHIVE_ERRORS as error:
        raise SourceError(f"cannot read the archive {location}: {reason_of(error)}") from None
    top = str(location).rstrip("/")
    pairs = [(f"{top}/{inner}", inner) for inner in inners if _is_textgrid(inner)]
    return pairs, [] if failure is None else [(location, failure)]


def _find_url(url):
    """((name, place) pairs of the TextGrid files at a URL of a file or folder, the
    (folder, reason) of each folder below it that could not be listed)."""
    fs, path = filesystem(url)
    try:
        folder = fs.isdir(path)
    except Exception:  # a listing that fails: the URL is one file, whose reading says why
        return [(url, base_name(url))], []
    if not folder:
        if _exists(fs, path, url):
            return [(url, base_name(url))], []
        raise SourceError(f"no such file or folder: {url}")
    listed, failures = _walk_url(fs, path)
    top = path.rstrip("/") + "/" if path.strip("/") else ""
    in_archive = _is_archive_filesystem(fs)
    found = []
    for name in listed:
        if not _is_textgrid(name):
            continue
        if in_archive:  # members that climb out of the archive are left out, as in archives
            place = path_below(name[len(top):] if name.startswith(top) else name)
            if place is None:
                continue
        else:  # a listing may name files beside or above the folder: they have no place in it
            place = name[len(top):] if name.startswith(top) else None
        found.append((_as_url(fs, name, url), place))
    found.sort(key=lambda pair: _archives.walk_order(pair[1] or pair[0]))
    _listed_urls.update(name for name, _ in found)
    return found, [(_as_url(fs, where, url), reason) for where, reason in failures]


def _walk_url(fs, path):
    """(names of the files below a folder of a file system, (folder, reason) of each
    folder that could not be listed). A folder is listed once, however many listings
    name it (./, sub/../, a link back up)."""
    files, failures, seen, pending = [], [], set(), [path]
    while pending:
        folder = pending.pop()
        if _folder_key(folder) in seen:
            continue
        seen.add(_folder_key(folder))
        try:
            entries = fs.ls(folder, detail=True)
        except Exception as error:
            failures.append((folder, reason_of(error)))
            continue
        for entry in entries:
            if entry.get("type") == "directory":
                pending.append(entry["name"])
            else:
                files.append(entry["name"])
    return files, failures


def _folder_key(name):
    """A folder's name with its . and .. parts resolved (as an HTTP client resolves
    them) and no trailing /."""
    scheme, found, rest = name.partition("://")
    if not found:
        scheme, rest = "", name
    host, slash, inner = rest.partition("/")
    inner = posixpath.normpath("/" + inner).lstrip("/") if slash else ""
    return scheme, host, inner


def _exists(fs, path, url):
    """True unless the URL is not there; a URL that fails otherwise is taken as a file,
    whose reading then says why."""
    try:
        if fs.exists(path):
            return True
    except Exception:
        return True
    (content,) = fetch_urls([url])
    return not (isinstance(content, SourceError) and str(content).startswith("not found"))


def _is_archive_filesystem(fs):
    try:
        from fsspec.archive import AbstractArchiveFileSystem
    except ImportError:
        return False
    return isinstance(fs, AbstractArchiveFileSystem)


def _as_url(fs, name, url):
    """A path found by a file system as a URL of the same protocol."""
    protocol = url.split("://", 1)[0]
    if "://" in name:
        return name
    if "::" in url:  # a chained URL: the inner file system's path, then the same chain
        return f"{protocol}://{name.lstrip('/')}::{url.split('::', 1)[1]}"
    unstripped = fs.unstrip_protocol(name)
    return unstripped if unstripped.startswith(protocol) else f"{protocol}://{name}"


def find_below(location):
    """(pairs, failures) for an archive or a URL: (name, place) pairs, where the place is
    the name's /-separated path below the location (None when it has none: a file that
    a listing names beside or above its folder), and a (location, reason) pair for each
    part that could not be listed (a folder below a URL, an archive damaged part-way).
    A URL of a file has its base name as its place."""
    if is_archive(location) and not _is_local_folder(location):
        return _find_archive(location)
    return _find_url(location)


def find(location):
    """Names of the TextGrid files at a location: a file, a folder (searched
    recursively for *.TextGrid, any letter case, whatever the folder's name), an
    archive (.zip, .tar, .tar.gz, .tgz: its *.TextGrid members) or a URL of a file or
    folder; in the order of a folder walk (a folder's files by name, then its subfolders
    by name). Of an archive damaged part-way, the members listed before the damage, and
    of a remote folder, the files of the folders that could be listed (`read_table`
    reports the others). Raises SourceError for a location that is not
    there or cannot be read at all (a remote archive that cannot be fetched, say)."""
    location = os.fspath(location)
    if _is_local_folder(location):
        found = []
        for top, folders, files in os.walk(location):
            folders.sort()
            found += [os.path.join(top, name) for name in sorted(files) if _is_textgrid(name)]
        return found
    if is_archive(location) or is_url(location):
        pairs, failures = find_below(location)
        if failures and not pairs:
            raise SourceError(f"cannot read {failures[0][0]}: {failures[0][1]}")
        return [name for name, _ in pairs]
    if os.path.exists(location):
        return [location]
    raise SourceError(f"no such file or folder: {location}")


def _member_of(name):
    """(archive, inner name) when the name is that of an archive member (the archive is
    a local file, or the name a URL that no listing gave as a file of its own), else
    None. Works for names found in another process too (a Dask worker's)."""
    if name in _listed_urls or "::" in name:
        return None
    lowered, url = name.lower(), is_url(name)
    ends = sorted(at + len(suffix) for suffix in ARCHIVE_SUFFIXES
                  for at in _occurrences(lowered, suffix + "/"))
    for end in ends:
        archive = name[:end]
        if url or os.path.isfile(archive):
            return archive, name[end + 1:]
    return None


def _occurrences(text, part):
    at = text.find(part)
    while at >= 0:
        yield at
        at = text.find(part, at + 1)


def is_virtual(name):
    """True for a name whose bytes are not a local file: an archive member or a URL."""
    return is_url(name) or _member_of(name) is not None


def fetch(names):
    """The bytes of each name, or a SourceError saying why they could not be had: archive
    members in one pass per archive, URLs together (concurrently where the protocol
    allows), local files from disk."""
    contents = [None] * len(names)
    by_archive, urls = {}, []
    for k, name in enumerate(names):
        member = _member_of(name)
        if member is not None:
            by_archive.setdefault(member[0], []).append((k, member[1]))
        elif is_url(name):
            urls.append(k)
        else:
            contents[k] = _read_local(name)
    for archive, entries in by_archive.items():
        found = _read_members(archive, [inner for _, inner in entries])
        for k, inner in entries:
            contents[k] = found[inner]
    for k, content in zip(urls, fetch_urls([names[k] for k in urls])):
        contents[k] = content
    return contents


def _read_local(name):
    try:
        with open(name, "rb") as stream:
            return stream.read()
    except OSError as error:
        return SourceError(reason_of(error))


def _read_members(archive, inners):
    """{inner name: bytes or SourceError} of members of one archive."""
    try:
        with _open_archive(archive) as stream:
            return _archives.read_members(stream, archive, inners)
    except SourceError as error:
        failure = error
    except _archives.ARCHIVE_ERRORS as error:
        failure = SourceError(f"cannot read the archive: {reason_of(error)}")
    return {inner: failure for inner in inners}


def read_bytes(names):
    """The bytes of each name (from `find`), in order: archive members in one pass per
    archive, URLs together through fsspec (concurrently where the protocol allows), local
    files from disk. A name that cannot be read gives None (`read_names` says why)."""
    return [None if isinstance(content, SourceError) else content for content in fetch(names)]


def read_table(locations, strict=False, file_type="auto", encoding="utf-8"):
    """Every TextGrid file at the locations (see `find`) read into one table by
    `tavrel.textgrids2table`: the `file` column and the reports name each file as
    `find` does. A file whose bytes cannot be fetched gives no rows and an "open"
    failure in the reports, with the reason; so does each part that could not be
    listed (an archive damaged part-way, named as the archive, after the members
    listed before the damage; a folder below a URL)."""
    if isinstance(locations, (str, os.PathLike)):
        locations = [locations]
    names, failures = [], {}
    for location in map(os.fspath, locations):
        if (is_archive(location) or is_url(location)) and not _is_local_folder(location):
            pairs, unlisted = find_below(location)
            names += [name for name, _ in pairs]
            for where, reason in unlisted:
                failures[len(names)] = SourceError(reason)
                names.append(where)
        else:
            names += find(location)
    contents = contents_of(names)
    for k, failure in failures.items():
        contents[k] = failure
    return tavrel.textgrids2table(names, strict, file_type, contents=contents, encoding=encoding)


def read_names(names, strict=False, file_type="auto", encoding="utf-8"):
    """textgrids2table of the named files (from `find`): archive members' and URLs'
    bytes fetched as `read_bytes` fetches them, local files read by the module as it
    reads any file. An entry whose bytes cannot be fetched gives no rows and an "open"
    failure in the reports, whose message says why (`not found (HTTP 404)`, `the body
    ended after 10 of 2000 bytes`, `the member is encrypted ...`)."""
    return tavrel.textgrids2table(names, strict, file_type, contents=contents_of(names),
                                  encoding=encoding)


def contents_of(names):
    """The `contents` argument for the named files: the bytes of archive members and
    URLs (a SourceError where they cannot be had), None for local files."""
    virtual = [k for k, name in enumerate(names) if is_virtual(name)]
    contents = [None] * len(names)
    for k, data in zip(virtual, fetch([names[k] for k in virtual])):
        contents[k] = data
    return contents


def read_data(name, strict=False, file_type="auto"):
    """The nested form of one named file (see `find`), as `tavrel.textgrid2data` gives it
    for a local file. Raises SourceError, with the reason, when its bytes cannot be had."""
    if not is_virtual(name):
        return tavrel.textgrid2data(name, strict, file_type)
    (content,) = fetch([name])
    if isinstance(content, SourceError):
        raise SourceError(f"cannot read {name}: {content}")
    return tavrel.loads(content, strict, file_type)
