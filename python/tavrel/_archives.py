"""Zip and tar archives read in place: their members' names, kept below the archive,
and their bytes, each member failing on its own with its own reason."""

import io
import tarfile
import zipfile
import zlib

from ._fetching import SourceError, reason_of

ARCHIVE_SUFFIXES = (".zip", ".tar", ".tar.gz", ".tgz")

# What reading a damaged archive raises (the zip, tar, gzip, bz2 and lzma readers).
ARCHIVE_ERRORS = (OSError, EOFError, ValueError, RuntimeError, NotImplementedError,
                  zipfile.BadZipFile, tarfile.TarError, zlib.error)
try:
    import lzma

    ARCHIVE_ERRORS += (lzma.LZMAError,)
except ImportError:  # a Python built without lzma reads no .xz member either
    pass


def path_below(relative):
    """The /-separated path `relative` (\\ taken as /) made plain, when it lies below the
    folder it is taken from; None when it does not: empty, absolute, or climbing out
    with `..`. Every path made from an input's name goes through here: the inner paths
    of archive members and the places `convert` writes files to."""
    text = relative.replace("\\", "/")
    if text.startswith("/") or _has_drive(text):
        return None
    parts = []
    for part in text.split("/"):
        if part in ("", "."):
            continue
        if part != "..":
            parts.append(part)
        elif not parts:
            return None
        else:
            parts.pop()
    return "/".join(parts) if parts else None


def _has_drive(text):
    """A Windows drive (C:) at the start, which a join would not keep below its folder."""
    return len(text) >= 2 and text[1] == ":" and text[0].isalpha()


def inner_name(name):
    """An archive member's path inside the archive (an absolute one taken below it), or
    None when it climbs out of the archive's tree with `..`."""
    stripped = name.replace("\\", "/").lstrip("/")
    return path_below(stripped[2:] if _has_drive(stripped) else stripped)


def walk_order(relative):
    """Sort key that puts paths in the order of a folder walk: a folder's files (by
    name) before its subfolders (by name), as the command line lists a folder."""
    *folders, name = relative.split("/")
    return [(1, folder) for folder in folders] + [(0, name)]


def in_memory(content):
    return io.BytesIO(content)


def _is_zip(location):
    return str(location).lower().endswith(".zip")


def list_members(stream, location):
    """(inner names of the file members in folder-walk order, why the listing stopped
    early or None). A tar archive damaged part-way lists the members before the damage;
    a zip archive is listed whole from its directory, or raises."""
    failure = None
    if _is_zip(location):
        with zipfile.ZipFile(stream) as archive:
            names = [info.filename for info in archive.infolist() if not info.is_dir()]
    else:
        names = []
        with tarfile.open(fileobj=stream, mode="r:*") as archive:
            try:
                for info in archive:
                    if info.isfile() or info.islnk():  # a hard link reads as its target
                        names.append(info.name)
            except ARCHIVE_ERRORS as error:
                failure = f"the archive could not be read to its end: {reason_of(error)}"
    inners = {}
    for name in names:
        inner = inner_name(name)
        if inner is not None:
            inners.setdefault(inner, name)  # the first of two members of one name
    return sorted(inners, key=walk_order), failure


def read_members(stream, location, inners):
    """{inner name: bytes or SourceError} of the archive's members."""
    if _is_zip(location):
        with zipfile.ZipFile(stream) as archive:
            by_inner = {}
            for info in archive.infolist():
                inner = inner_name(info.filename)
                if inner is not None and not info.is_dir():
                    by_inner.setdefault(inner, info)
            return {inner: _zip_member(archive, by_inner.get(inner)) for inner in inners}
    return _read_tar(stream, set(inners))


def _zip_member(archive, info):
    if info is None:
        return SourceError("no such member in the archive")
    if info.flag_bits & 0x1:
        return SourceError("the member is encrypted (a password is needed)")
    try:
        return archive.read(info)
    except NotImplementedError:
        return SourceError(f"the member's compression method ({info.compress_type}) "
                           "is not supported")
    except ARCHIVE_ERRORS as error:
        return SourceError(f"the member is damaged: {reason_of(error)}")


def _read_tar(stream, wanted):
    """Members of a tar archive in one pass (a compressed stream is read once)."""
    found = {}
    try:
        with tarfile.open(fileobj=stream, mode="r:*") as archive:
            for info in archive:
                inner = inner_name(info.name)
                if inner in wanted and inner not in found and (info.isfile() or info.islnk()):
                    found[inner] = _tar_member(archive, info)
    except ARCHIVE_ERRORS as error:
        missing = SourceError(f"the archive could not be read this far: {reason_of(error)}")
    else:
        missing = SourceError("no such member in the archive")
    return {inner: found.get(inner, missing) for inner in wanted}


def _tar_member(archive, info):
    """A member's bytes; a hard link's are those of the member it links to, as `tar x`
    gives them, never those of a file outside the archive."""
    try:
        stream = archive.extractfile(info)
    except KeyError:
        return SourceError(f"a hard link to {info.linkname}, which is no member of the "
                           "archive before it")
    except ARCHIVE_ERRORS as error:
        return SourceError(f"the member is damaged: {reason_of(error)}")
    if stream is None:
        return SourceError(f"a hard link to {info.linkname}, which is not a file")
    try:
        return stream.read()
    except ARCHIVE_ERRORS as error:
        return SourceError(f"the member is cut short or damaged: {reason_of(error)}")
