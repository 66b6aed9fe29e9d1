"""Writing a corpus as one table file: CSV and TSV (with pyarrow's writer when it is
installed, else with the standard library), Parquet and Arrow IPC with pyarrow. The
bytes go through the module's own safe save, as TextGrid files do: the file appears
only when complete and flushed to disk, a symbolic link is written through, the old
file's permissions stay, and a FIFO or device is written in place."""

import csv
import io
import os
from contextlib import contextmanager

import tavrel

from . import _corpus

FORMATS = {".csv": "csv", ".tsv": "tsv", ".parquet": "parquet", ".arrow": "arrow",
           ".feather": "arrow", ".ipc": "arrow"}
COLUMNS = ("file_id", "file", "tier_name", "tier_index", "is_interval", "tmin", "tmax", "label")

# Files per batch call while tabulating: enough for the reader's record batches to
# hold several files each, few enough for the progress bar to move.
TABLE_CHUNK_FILES = 1024
# Bytes handed to the save at a time (pyarrow writes many small pieces).
SAVE_PIECE = 1 << 20
# Rows per record batch of an Arrow file, at most (whole chunks are merged).
IPC_BATCH_ROWS = 1 << 18


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
    if not _have_pyarrow():
        raise _corpus.UsageError(f"writing {fmt} needs pyarrow (pip install 'tavrel[arrow]'); "
                                 "CSV and TSV work without it")


def _have_pyarrow():
    try:
        import pyarrow.csv  # noqa: F401
    except ImportError:
        return False
    return True


class SafeOutput(io.RawIOBase):
    """A binary file written through the module's safe save. Nothing reaches the
    target before finish(); discard() (or an error) leaves it as it was."""

    def __init__(self, path):
        super().__init__()
        self._output = tavrel._output_open(path)
        self._pending = bytearray()
        self._position = 0

    def writable(self):
        return True

    def write(self, data):
        with memoryview(data) as view:
            size = view.nbytes
            self._pending += view.cast("B")
        self._position += size
        if len(self._pending) >= SAVE_PIECE:
            self._send()
        return size

    def tell(self):
        return self._position

    def _send(self):
        tavrel._output_write(self._output, self._pending)
        self._pending = bytearray()

    def finish(self):
        self._send()
        tavrel._output_finish(self._output)
        super().close()

    def discard(self):
        tavrel._output_discard(self._output)
        super().close()

    def close(self):
        # Only finish() puts the file in place: a writer closing its sink must not.
        pass


@contextmanager
def safe_output(path):
    """A SafeOutput at `path`, finished when the block succeeds."""
    try:
        output = SafeOutput(path)
    except OSError as error:
        raise _corpus.UsageError(f"cannot write {path}: {error.strerror or error}") from None
    try:
        yield output
        output.finish()
    except BaseException:
        output.discard()
        raise


def write_table(paths, strict, out, fmt, progress, encoding="utf-8"):
    """Reads `paths` chunk by chunk into `out`; returns every file's report."""
    reading = (strict, encoding)
    if fmt in ("csv", "tsv"):
        writer = _write_delimited_arrow if _have_pyarrow() else _write_delimited
    else:
        writer = {"parquet": _write_parquet, "arrow": _write_ipc}[fmt]
    with safe_output(out) as output:
        return writer(paths, reading, output, fmt, progress)


def _tables(paths, reading, progress, reports):
    """Each chunk's (table, first file id), collecting reports as it goes."""
    for start, chunk in _corpus.chunks(paths, TABLE_CHUNK_FILES):
        table, chunk_reports = _corpus.read_chunk(chunk, *reading)
        reports.extend(chunk_reports)
        progress.update(len(chunk))
        yield table, start


def _header(fmt):
    return (("," if fmt == "csv" else "\t").join(COLUMNS) + "\n").encode()


def _write_delimited(paths, reading, output, fmt, progress):
    reports = []
    output.write(_header(fmt))
    for table, start in _tables(paths, reading, progress, reports):
        columns = table._columns()
        columns["file_id"] = [start + i for i in columns["file_id"]]
        columns["is_interval"] = ["true" if flag else "false" for flag in columns["is_interval"]]
        for name in ("tmin", "tmax"):
            columns[name] = list(map(repr, columns[name]))
        # The writer quotes texts holding "\n" but not "\r", which readers also take
        # for a line end: a chunk with one is written with every field quoted.
        carriage_return = any("\r" in "".join(columns[name])
                              for name in ("file", "tier_name", "label"))
        text = io.StringIO()
        csv.writer(text, delimiter="," if fmt == "csv" else "\t", lineterminator="\n",
                   quoting=csv.QUOTE_ALL if carriage_return else csv.QUOTE_MINIMAL,
                   ).writerows(zip(*(columns[name] for name in COLUMNS)))
        output.write(text.getvalue().encode("utf-8", "surrogateescape"))
    return reports


def _write_delimited_arrow(paths, reading, output, fmt, progress):
    import pyarrow as pa
    import pyarrow.csv as pa_csv

    options = pa_csv.WriteOptions(include_header=False, delimiter="," if fmt == "csv" else "\t",
                                  quoting_style="needed")
    sink = pa.PythonFile(output, mode="w")
    reports = []
    output.write(_header(fmt))
    for table, start in _tables(paths, reading, progress, reports):
        table = _global_ids(table, start)
        if table.num_rows:
            pa_csv.write_csv(table, sink, options)
    return reports


def _global_ids(table, start):
    """The chunk's table (in pyarrow) with file ids counted over the whole corpus.
    Built from NumPy and Arrow buffers: pa.table(), pa.array(), pa.scalar() and
    to_numpy() all import pandas (50 MB) to look for its types."""
    import numpy as np
    import pyarrow as pa

    table = pa.RecordBatchReader.from_stream(table).read_all()
    chunks = [np.frombuffer(chunk.buffers()[1], np.uint32, chunk.offset + len(chunk))[chunk.offset:]
              for chunk in table.column("file_id").chunks]
    ids = np.concatenate(chunks) if chunks else np.zeros(0, np.uint32)
    ids = ids + np.uint32(start)
    column = pa.Array.from_buffers(pa.uint32(), len(ids), [None, pa.py_buffer(ids)])
    return table.set_column(table.schema.get_field_index("file_id"), "file_id", column)


def _write_parquet(paths, reading, output, fmt, progress):
    import pyarrow.parquet as pq

    reports, writer = [], None
    try:
        for table, start in _tables(paths, reading, progress, reports):
            table = _global_ids(table, start).combine_chunks()
            writer = writer or pq.ParquetWriter(output, table.schema)
            writer.write_table(table)
    finally:
        if writer is not None:
            writer.close()
    return reports


def _write_ipc(paths, reading, output, fmt, progress):
    # The IPC file format allows one dictionary per column for the whole file (and
    # other readers take no dictionary deltas), so each chunk is kept as one compact
    # batch, and the dictionaries are unified once all are read.
    import pyarrow as pa

    reports = []
    tables = [_detached(_global_ids(table, start).combine_chunks())
              for table, start in _tables(paths, reading, progress, reports)]
    table = pa.concat_tables(tables).unify_dictionaries()
    del tables
    with pa.ipc.new_file(output, table.schema) as writer:
        for batch in _merged_batches(table, IPC_BATCH_ROWS):
            writer.write_batch(batch)
    return reports


def _detached(table):
    """The table in one buffer of its own. Each array the module exports keeps the
    whole table it came from alive, and combine_chunks() passes some arrays through
    uncopied (a column of one chunk, a dictionary shared by all chunks)."""
    import pyarrow as pa

    size = pa.MockOutputStream()  # first the exact size: a growing buffer has slack
    with pa.ipc.new_stream(size, table.schema) as writer:
        writer.write_table(table)
    buffer = pa.allocate_buffer(size.size())
    with pa.ipc.new_stream(pa.FixedSizeBufferWriter(buffer), table.schema) as writer:
        writer.write_table(table)
    return pa.ipc.open_stream(buffer).read_all()


def _merged_batches(table, rows):
    """The table's batches, consecutive ones merged up to `rows` rows (a larger one
    stays whole)."""
    group, count = [], 0
    for batch in table.to_batches():
        if group and count + batch.num_rows > rows:
            yield _merge(group, table.schema)
            group, count = [], 0
        group.append(batch)
        count += batch.num_rows
    if group:
        yield _merge(group, table.schema)


def _merge(batches, schema):
    import pyarrow as pa

    if len(batches) == 1:
        return batches[0]
    return pa.Table.from_batches(batches, schema).combine_chunks().to_batches()[0]
