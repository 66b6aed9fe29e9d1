"""Corpus helpers of the command line: finding TextGrid files, reading them in
chunks with per-file reports, and a progress bar on terminals."""

import os
import re
import sys

import tavrel

from . import sources

REPORT_FIELDS = ("path", "ok", "layout", "encoding", "tmin", "tmax", "tiers", "items",
                 "error_kind", "error")

# The encodings text files may be read in (see textgrids2table).
ENCODINGS = ("utf-8", "latin-1", "cp1252", "praat")

# Files per batch call: large enough to keep every worker busy, small enough for
# the progress bar to move and for one chunk's table to stay a modest size.
CHUNK_FILES = 256


class UsageError(Exception):
    """A mistake on the command line (exit status 2, one line, no traceback)."""


def find_textgrids(paths, skip=frozenset()):
    """(found, unsearchable): `found` holds (path, place) pairs, each file argument as
    given (place: its base name) and every *.TextGrid file (any letter case) below each
    folder, archive or URL argument (place: its /-separated path below that argument;
    None for a file a URL's listing names outside its folder); `unsearchable` holds a
    failure report for each folder that could not be searched (a remote one too) and
    each archive that could not be read to its end. `skip`: identities (see identity()) of folders never
    to enter below a folder argument (an output folder)."""
    found, unsearchable = [], []
    for path in paths:
        if not sources.is_url(path) and os.path.isdir(path):  # a URL is never a local path
            found.extend((name, os.path.relpath(name, path).replace(os.sep, "/"))
                         for name in walk_folder(path, unsearchable, skip))
        elif sources.is_archive(path) or sources.is_url(path):
            try:
                pairs, failures = sources.find_below(path)
            except sources.SourceError as error:
                raise UsageError(str(error)) from None
            found.extend(pairs)
            unsearchable.extend(unlisted_report(where, reason) for where, reason in failures)
        elif os.path.exists(path):
            found.append((path, os.path.basename(path)))
        else:
            raise UsageError(f"no such file or folder: {path}")
    return found, unsearchable


def walk_folder(folder, unsearchable, skip=frozenset()):
    """Every *.TextGrid file below `folder`: a folder's files (sorted) before its
    subfolders (sorted, each searched in turn). Symbolic links are followed; a
    folder or file met again through another link (or a link that loops back) is
    not visited again. Folders that cannot be searched are added to `unsearchable`
    as failure reports."""
    names, seen = [], set()
    pending = [(folder, True)]
    while pending:
        top, is_root = pending.pop()
        try:
            key = identity(top)
            if key in seen or (not is_root and key in skip):
                continue
            seen.add(key)
            with os.scandir(top) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as error:
            unsearchable.append(folder_report(top, error))
            continue
        subfolders = []
        for entry in entries:
            try:
                if entry.is_dir():
                    subfolders.append(entry.path)
                elif entry.name.lower().endswith(".textgrid") and entry.is_file():
                    key = identity(entry.path)
                    if key not in seen:
                        seen.add(key)
                        names.append(entry.path)
            except OSError:  # gone meanwhile, or a link that leads nowhere
                continue
        pending.extend((path, False) for path in reversed(subfolders))
    return names


def identity(path):
    """What tells a file or folder apart whatever the path to it (links followed)."""
    status = os.stat(path)
    return status.st_dev, status.st_ino


def identity_or_none(path):
    try:
        return identity(path)
    except OSError:
        return None


def identities(paths):
    """{identity: path} of those of the paths that exist (the first path of each)."""
    found = {}
    for path in paths:
        found.setdefault(identity_or_none(path), path)
    found.pop(None, None)
    return found


def folder_report(folder, error):
    """The failure report of a folder that could not be searched (marked `folder`)."""
    report = dict.fromkeys(REPORT_FIELDS)
    reason = error.strerror or str(error)
    report.update(path=folder, ok=False, error_kind="open", folder=True,
                  error=f"Failed to search folder {folder} because: the folder could "
                  f"not be searched: {reason}")
    return report


def unlisted_report(location, reason):
    """The failure report of an archive damaged part-way or a remote folder that could
    not be listed (counted as a folder)."""
    report = dict.fromkeys(REPORT_FIELDS)
    report.update(path=location, ok=False, error_kind="open", folder=True,
                  error=f"Failed to search {location} because: {reason}")
    return report


def chunks(items, size=CHUNK_FILES):
    for start in range(0, len(items), size):
        yield start, items[start:start + size]


def read_reports(paths, strict, progress, encoding="utf-8"):
    """One report per path (a dict with REPORT_FIELDS), in order."""
    reports = []
    for _, chunk in chunks(paths):
        reports.extend(read_chunk(chunk, strict, encoding)[1])
        progress.update(len(chunk))
    return reports


def read_chunk(paths, strict, encoding="utf-8"):
    """(table, reports) for one batch of files: a failed file raises nothing, its
    report says why. Each report also holds "tier_summaries": the file's tiers
    ({"name", "class", "items"}, tiers without items too), None when it failed."""
    # Archive members' and URLs' bytes (or why they cannot be had), never read from disk.
    contents = _virtual_contents(paths)
    try:
        unnamed = set()
        table = tavrel._read_files(paths, strict, "auto", contents, encoding)
    except UnicodeEncodeError:
        # A module that takes only UTF-8 file names: the others are reported as
        # unopenable, in their place (a path that cannot exist keeps the file ids).
        unnamed = {k for k, path in enumerate(paths) if not _is_utf8(path)}
        table = tavrel._read_files(
            [f"{os.devnull}/{k}" if k in unnamed else path for k, path in enumerate(paths)],
            strict, "auto", contents, encoding)
    columns = table.reports._columns()
    reports = [dict(zip(columns, row)) for row in zip(*columns.values())]
    for k, (report, path) in enumerate(zip(reports, paths)):
        report["path"] = path
        if k in unnamed:
            report.update(error_kind="open", error="the file name is not valid UTF-8")
    return table, [dict({key: report.get(key) for key in REPORT_FIELDS}, tier_summaries=tiers)
                   for report, tiers in zip(reports, table._tiers())]


PROBLEM_FIELDS = ("kind", "line", "tier", "item", "message")


def problems_of(reports, strict, encoding, every):
    """Where each failed file is wrong: {path: [problem dicts]}, the first problem
    (the one its report gives) first; every validation fault with `every`. Files
    that read cost nothing: only the failed ones are read again."""
    failed = [report["path"] for report in reports
              if not report["ok"] and not report.get("folder") and _is_utf8(report["path"])]
    found = {}
    for _, chunk in chunks(failed):
        problems_found = tavrel._diagnose(chunk, strict, encoding=encoding, all=every,
                                          contents=_virtual_contents(chunk))
        for path, problems in zip(chunk, problems_found):
            found[path] = [dict(zip(PROBLEM_FIELDS, problem)) for problem in problems]
    # A file that changed between the two readings keeps what its report says.
    by_path = {report["path"]: report for report in reports}
    return {path: problems for path, problems in found.items()
            if problems and problems[0]["kind"] == by_path[path]["error_kind"]}


def _virtual_contents(paths):
    """The bytes of archive members and URLs among `paths` (a SourceError where they
    cannot be had, None for local files), or None when all are local files."""
    virtual = [k for k, path in enumerate(paths) if sources.is_virtual(path)]
    if not virtual:
        return None
    return sources.contents_of(paths)


# What the reader says of bytes that are not UTF-8; where the problem says no more,
# Latin-1 reads them.
NOT_UTF8 = "stream did not contain valid UTF-8"
ENCODING_HINT = "; --encoding latin-1 or praat reads it"


def problem_line(report, problem):
    """PATH:LINE: KIND: MESSAGE, the form editors and CI systems recognise (no
    LINE where the file has none to point at), on one line whatever the file holds."""
    path = readable(report["path"], None)
    if problem is None:
        return (f"{path}: {report['error_kind'] or 'error'}: "
                f"{readable(reason(report), MESSAGE_CHARACTERS)}")
    where = path + (f":{problem['line']}" if problem["line"] is not None else "")
    return f"{where}: {problem['kind']}: {problem_message(problem)}"


def problem_record(report, problem):
    """A report with where its problem is: line, tier and item (None when not
    known), and the problem's own kind and message."""
    record = dict(report, line=None, tier=None, item=None, message=None)
    if problem is not None:
        record.update(error_kind=problem["kind"], line=problem["line"], tier=problem["tier"],
                      item=problem["item"], message=problem_message(problem))
    return record


def problem_message(problem):
    """The problem's message, saying how to read text that is not UTF-8."""
    hint = problem["kind"] == "encoding" and problem["message"] == NOT_UTF8
    return problem["message"] + (ENCODING_HINT if hint else "")


def encoding_problems(reports, encoding):
    """{path: problem} of the reports that failed to decode (see problems_of)."""
    undecoded = [report for report in reports if report["error_kind"] == "encoding"]
    found = problems_of(undecoded, False, encoding, False) if undecoded else {}
    return {path: problems[0] for path, problems in found.items()}


# Characters that would end a line of output, or hide in one.
_CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
# As the module quotes a file's texts: at most 200 characters of one, 240 of a
# message around one.
QUOTED_CHARACTERS = 200
MESSAGE_CHARACTERS = 240


def readable(text, limit=QUOTED_CHARACTERS):
    """`text` on one line, its control characters escaped as Python writes them,
    and, when longer than `limit` characters, its start and end joined by an
    ellipsis."""
    if limit is not None and len(text) > limit:
        tail = limit // 4
        text = text[:limit - tail - 1] + "\u2026" + text[-tail:]
    return _CONTROLS.sub(lambda found: repr(found.group())[1:-1], text)


def bounded_error(error):
    """A report's error with what it says after the path made readable()."""
    if error is None:
        return None
    head, found, after = error.partition(" because: ")
    return head + found + readable(after, MESSAGE_CHARACTERS) if found else readable(
        error, MESSAGE_CHARACTERS)


def _is_utf8(path):
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def reason(report):
    """The part of a report's message after the path: what went wrong."""
    message = report["error"] or "unknown error"
    _, found, after = message.partition(" because: ")
    return after if found else message


class Progress:
    """A tqdm bar on standard error when it is a terminal (and tqdm is installed);
    otherwise nothing."""

    def __init__(self, total, unit, enabled):
        self.bar = None
        if enabled and total > 1 and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit=unit, file=sys.stderr, leave=False)

    def update(self, count):
        if self.bar is not None:
            self.bar.update(count)

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None
