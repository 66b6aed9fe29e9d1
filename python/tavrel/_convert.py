"""Converting files for the command line: each input's output path (never an input,
never shared by two inputs), then the conversion itself, chunk by chunk, by the
module's pool, which rewrites each document as it was read."""

import os

import tavrel

from . import _corpus
from . import sources as _sources
from ._corpus import UsageError


def skipped(out):
    """The output folder's identity, when it exists: a folder walk does not enter it,
    so that a second run does not take the first run's output for input."""
    key = _corpus.identity_or_none(out) if os.path.isdir(out) else None
    return frozenset([key]) if key else frozenset()


def targets(found, out):
    """((input, output) pairs, refusal reports) for the (path, place) pairs `found`, into
    folder `out` (None: in place). Each output lies below `out` at the input's place
    (its path below the argument it was found under); an input whose place would not
    lie below `out` is refused, with a report. Refuses, before anything is written, to
    overwrite an input (under any of its names) and to write two inputs to one output.
    A file found through two overlapping folder arguments gets the output of each."""
    if out is None:
        if any(_sources.is_virtual(path) for path, _ in found):
            raise UsageError("--in-place cannot rewrite files inside an archive or at a URL; "
                             "use --out")
        return _once_each([(path, path) for path, _ in found]), []
    if os.path.exists(out) and not os.path.isdir(out):
        raise UsageError(f"--out {out} exists and is not a folder")
    inputs = _corpus.identities(path for path, _ in found)
    pairs, refused, sources = [], [], {}
    for path, place in found:
        below = _sources.path_below(place) if place is not None else None
        if below is None:
            refused.append(_refusal(path, place, out))
            continue
        target = os.path.join(out, *below.split("/"))
        overwritten = inputs.get(_corpus.identity_or_none(target))
        if overwritten is not None:
            raise UsageError(f"converting {path} would overwrite the input {overwritten}; "
                             "choose another --out folder, or --in-place")
        real = os.path.realpath(target)
        if real in sources:
            raise UsageError(f"{path} and {sources[real]} would both be written to {target}")
        sources[real] = path
        pairs.append((path, target))
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot write into {out}: {error.strerror or error}") from None
    if not os.access(out, os.W_OK):
        raise UsageError(f"cannot write into {out}: permission denied")
    return pairs, refused


def _refusal(path, place, out):
    where = (f"its path {place!r} climbs out of the folder it was found in" if place is not None
             else "it lies outside the folder it was found in")
    return _report(path, ("write", f"Failed to write TextGrid file {path} because: refused, "
                                   f"{where}: it would not be written below {out}"))


def _once_each(pairs):
    """The pairs without repeats of one file (named by two arguments)."""
    seen, kept = set(), []
    for pair in pairs:
        key = _corpus.identity_or_none(pair[0]) or pair[0]
        if key not in seen:
            seen.add(key)
            kept.append(pair)
    return kept


def convert(pairs, strict, long_format, progress, encoding="utf-8"):
    """One report per pair: each input read once (in `encoding`) and written to its output."""
    reports, there, created = [], set(), []
    try:
        for _, chunk in _corpus.chunks(pairs):
            ready, outcomes = _make_folders(chunk, there, created)
            written = tavrel._convert_files([source for source, _ in ready],
                                            [target for _, target in ready], strict,
                                            long_format, _contents(ready), encoding)
            outcomes.update(zip(ready, written))
            reports.extend(_report(pair[0], outcomes[pair]) for pair in chunk)
            progress.update(len(chunk))
    finally:
        _remove_empty(created)
    return reports


def _contents(pairs):
    """The bytes of each archive member or URL among the sources (fetched here; a
    SourceError where they cannot be had), None for a local file, which the module
    reads itself; None when all are local."""
    if not any(_sources.is_virtual(source) for source, _ in pairs):
        return None
    return _sources.contents_of([source for source, _ in pairs])


def _make_folders(pairs, there, created):
    """The pairs whose output folder is there (made if need be), and the failed
    outcome of each other pair. `there` remembers the folders known to be there,
    `created` those made here."""
    ready, failed = [], {}
    for pair in pairs:
        folder = os.path.dirname(pair[1]) or "."
        if folder not in there:
            missing = _missing_folders(folder)
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as error:
                failed[pair] = ("write", f"Failed to write TextGrid file {pair[1]}: cannot "
                                f"create the folder {folder}: {error.strerror or error}")
                continue
            created.extend(missing)
            there.add(folder)
        ready.append(pair)
    return ready, failed


def _missing_folders(folder):
    """The folders makedirs(folder) would create, deepest first."""
    missing = []
    while folder and not os.path.exists(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        folder = parent if parent != folder else ""
    return missing


def _remove_empty(created):
    """Removes the folders made for outputs that then failed (deepest first), so
    that only converted files leave a trace."""
    for folder in sorted(set(created), key=lambda path: path.count(os.sep), reverse=True):
        try:
            os.rmdir(folder)
        except OSError:  # holds a converted file
            pass


def _report(path, outcome):
    """A report as reading gives it: None is success, else (error_kind, error)."""
    report = dict.fromkeys(_corpus.REPORT_FIELDS)
    report.update(path=path, ok=outcome is None)
    if outcome is not None:
        report["error_kind"], report["error"] = outcome
    return report
