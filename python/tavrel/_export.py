"""Writing a corpus as one table file: CSV and TSV with the standard library, Parquet
and Arrow IPC with pyarrow. The file appears only when complete (written beside
its target under a temporary name, then renamed)."""

import csv
import os
import tempfile
from contextlib import contextmanager

from . import _arrow, _corpus

FORMATS = {".csv": "csv", ".tsv": "tsv", ".parquet": "parquet", ".arrow": "arrow",
           ".feather": "arrow", ".ipc": "arrow"}
COLUMNS = ("file_id", "file", "tier_name", "tier_index", "is_interval", "tmin", "tmax", "label")


def format_of(path, chosen=None):
    if chosen:
        return chosen
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in FORMATS:
        raise _corpus.UsageError(
            f"unknown table format {suffix or '(no extension)'!r} of {path}: use .csv, .tsv, "
            ".parquet or .arrow, or --format")
    return FORMATS[suffix]


def require_pyarrow(fmt):
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise _corpus.UsageError(f"writing {fmt} needs pyarrow (pip install 'tavrel[arrow]'); "
                                 "CSV and TSV work without it") from None


@contextmanager
def atomic_output(path):
    """A temporary path beside `path`, renamed over it when the block succeeds."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        handle, temporary = tempfile.mkstemp(prefix=".tavrel-", suffix=".part", dir=folder)
    except OSError as error:
        raise _corpus.UsageError(f"cannot write {path}: {error.strerror or error}") from None
    os.close(handle)
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(temporary, 0o666 & ~umask)  # as a plain open() would create it
    try:
        yield temporary
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write_table(paths, strict, out, fmt, progress):
    """Reads `paths` chunk by chunk into `out`; returns every file's report."""
    writer = {"csv": _write_delimited, "tsv": _write_delimited, "parquet": _write_parquet,
              "arrow": _write_ipc}[fmt]
    with atomic_output(out) as temporary:
        return writer(paths, strict, temporary, fmt, progress)


def _tables(paths, strict, progress, reports):
    """Each chunk's (table, first file id), collecting reports as it goes."""
    for start, chunk in _corpus.chunks(paths):
        table, chunk_reports = _corpus.read_chunk(chunk, strict)
        reports.extend(chunk_reports)
        progress.update(len(chunk))
        yield table, start


def _write_delimited(paths, strict, target, fmt, progress):
    reports = []
    with open(target, "w", newline="", encoding="utf-8", errors="surrogateescape") as stream:
        rows = csv.writer(stream, delimiter="," if fmt == "csv" else "\t",
                          lineterminator="\n")
        rows.writerow(COLUMNS)
        for table, start in _tables(paths, strict, progress, reports):
            columns = _arrow.read_columns(table)
            columns["file_id"] = [start + i for i in columns["file_id"]]
            columns["is_interval"] = ["true" if flag else "false"
                                      for flag in columns["is_interval"]]
            for name in ("tmin", "tmax"):
                columns[name] = [repr(value) for value in columns[name]]
            rows.writerows(zip(*(columns[name] for name in COLUMNS)))
    return reports


def _global_ids(table, start):
    """The chunk's table with file ids counted over the whole corpus."""
    import pyarrow as pa
    import pyarrow.compute as pc

    table = pa.table(table)
    ids = pc.add(table["file_id"], pa.scalar(start, pa.uint32()))
    return table.set_column(table.schema.get_field_index("file_id"), "file_id", ids)


def _write_parquet(paths, strict, target, fmt, progress):
    import pyarrow.parquet as pq

    reports, writer = [], None
    try:
        for table, start in _tables(paths, strict, progress, reports):
            table = _global_ids(table, start)
            writer = writer or pq.ParquetWriter(target, table.schema)
            writer.write_table(table)
    finally:
        if writer is not None:
            writer.close()
    return reports


def _write_ipc(paths, strict, target, fmt, progress):
    # The IPC file format allows one dictionary per column for the whole file, so
    # the chunks are gathered and their dictionaries unified before writing.
    import pyarrow as pa

    reports = []
    tables = [_global_ids(table, start) for table, start in
              _tables(paths, strict, progress, reports)]
    table = pa.concat_tables(tables).unify_dictionaries()
    with pa.OSFile(target, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return reports

