"""Python module for TextGrid file manipulation.
It offers fast reading, writing and converting of Praat TextGrid files, supports
both the long and the short text format, and offers efficient batch processing
of many files in parallel.
"""

import os
from typing import Optional, Protocol, Sequence, SupportsFloat, SupportsIndex, Tuple, Union

import matplotlib.axes
import matplotlib.figure
import numpy as np
import numpy.typing as npt

__all__ = [
    "textgrid2vectors",
    "textgrids2vectors",
    "textgrid2data",
    "textgrids2data",
    "data2textgrid",
    "vectors2textgrid",
]

# Paths as os.fsencode takes them.
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# Anything with a float conversion: float, int, objects with __float__ or __index__.
_Time = Union[SupportsFloat, SupportsIndex]
# True/False, or a NumPy boolean scalar (never the integers 0 and 1).
_Flag = Union[bool, np.bool_]

_Item = Tuple[float, float, str]
_Tier = Tuple[str, bool, list[_Item]]
_Document = Tuple[float, float, list[_Tier]]

_ItemInput = Tuple[_Time, _Time, str]
_TierInput = Tuple[str, _Flag, Sequence[_ItemInput]]

_Vectors = Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    list[str],
    list[str],
    npt.NDArray[np.bool_],
]
_BatchVectors = Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    list[str],
    list[str],
    npt.NDArray[np.bool_],
    npt.NDArray[np.uint32],
]

class PanicException(BaseException):
    """Raised when the module's native code fails internally (an unknown file-type
    word, a structurally broken file, a file that cannot be written)."""

def textgrid2vectors(
    file: _Path, strict: bool, file_type: str, *, encoding: str = "utf-8"
) -> _Vectors:
    """Read one TextGrid file into flat parallel vectors:
    (tmins, tmaxs, labels, tier_names, is_intervals).
    `encoding`: "utf-8" (the default), "latin-1", "cp1252" or "praat" (UTF-8 when valid,
    else Latin-1). Raises OSError (unreadable, not decodable, invalid), TypeError
    (argument types), ValueError (unknown encoding) and PanicException (unknown
    file_type, structurally broken file)."""

def textgrids2vectors(
    files: Sequence[_Path], strict: bool, file_type: str, *, encoding: str = "utf-8"
) -> _BatchVectors:
    """Read many TextGrid files in parallel and concatenate their vectors:
    (tmins, tmaxs, labels, tier_names, is_intervals, file_ids). A file that cannot be
    read contributes no entries. `encoding` as for textgrid2vectors. Raises TypeError
    (argument types), ValueError (unknown encoding) and PanicException (unknown
    file_type, structurally broken file)."""

def textgrid2data(
    file: _Path, strict: bool, file_type: str, *, encoding: str = "utf-8"
) -> _Document:
    """Read one TextGrid file into (tmin, tmax, [(name, is_interval, [(tmin, tmax, label)])]).
    `encoding`: "utf-8" (the default), "latin-1", "cp1252" or "praat" (UTF-8 when valid,
    else Latin-1). Raises OSError (unreadable, not decodable, invalid), TypeError
    (argument types), ValueError (unknown encoding) and PanicException (unknown
    file_type, structurally broken file)."""

def textgrids2data(
    files: Sequence[_Path], strict: bool, file_type: str, *, encoding: str = "utf-8"
) -> list[_Document]:
    """Read many TextGrid files in parallel; one document per path, in order.
    A file that cannot be read gives (0.0, 0.0, []). `encoding` as for textgrid2vectors.
    Raises TypeError (argument types), ValueError (unknown encoding) and PanicException
    (unknown file_type, structurally broken file)."""

def data2textgrid(
    data: Sequence[_TierInput],
    tmin: Optional[_Time],
    tmax: Optional[_Time],
    output_file: _Path,
    file_type: str,
) -> None:
    """Build a TextGrid from nested data, validate it and write it to output_file;
    exactly "long" selects the long format, any other word the short one. Raises
    OSError (invalid TextGrid; nothing written), TypeError (argument types), ValueError
    (a tuple not of length 3) and PanicException (the file cannot be written)."""

def vectors2textgrid(
    tmins: Sequence[_Time] | npt.NDArray[np.floating],
    tmaxs: Sequence[_Time] | npt.NDArray[np.floating],
    labels: Sequence[str],
    tier_names: Sequence[str],
    is_intervals: Sequence[_Flag] | npt.NDArray[np.bool_],
    tmin: Optional[_Time],
    tmax: Optional[_Time],
    output_file: _Path,
    file_type: str,
) -> None:
    """Build a TextGrid from flat parallel vectors (grouped into tiers by name, items
    sorted by start time), validate it and write it to output_file. Raises OSError
    (unequal lengths, invalid TextGrid, a NaN start time included; nothing written),
    TypeError (argument types) and PanicException (the file cannot be written)."""

class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...

class TextGridReports:
    """One row per file of a batch call, as an Arrow table: hand it to
    `pyarrow.table`, `polars.DataFrame` or DuckDB (Arrow PyCapsule interface).

    Reading gives the columns file_id (uint32), path, ok (bool), layout and
    encoding (null when not known), tmin and tmax (null on failure), tiers
    (uint32), items (uint64), error_kind ("open", "encoding", "format" for a text
    that is no TextGrid, "validation" or "structure"; null when ok) and error (the
    message `textgrid2data` would give; "not a TextGrid file" for "format").
    Writing gives file_id, path, ok, tiers, items, error_kind ("validation" or
    "write") and error (the message `vectors2textgrid` would
    give). The repr shows the failure count and the first failures."""

    @property
    def num_rows(self) -> int: ...
    @property
    def failures(self) -> int:
        """Number of files that failed."""
    @property
    def reports(self) -> None: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """An "arrow_array_stream" PyCapsule; the buffers are shared, not copied."""

class TextGridTable:
    """The rows of many TextGrid files as an Arrow table (see `textgrids2table`),
    readable without a copy by pyarrow, polars, pandas (through pyarrow) and
    DuckDB through the Arrow PyCapsule interface."""

    @property
    def num_rows(self) -> int: ...
    @property
    def failures(self) -> int:
        """Number of input files that could not be read."""
    @property
    def reports(self) -> TextGridReports:
        """One report row per input file."""
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """An "arrow_array_stream" PyCapsule; the buffers are shared, not copied."""

# Bytes in memory: bytes, bytearray, memoryview or any buffer; a str is read as its UTF-8.
_Content = Union[bytes, bytearray, memoryview, str, "_Buffer"]

class _Buffer(Protocol):
    def __buffer__(self, flags: int, /) -> memoryview: ...

def textgrids2table(
    files: Sequence[str],
    strict: bool = False,
    file_type: str = "auto",
    *,
    contents: Optional[Sequence[Union[_Content, BaseException, None]]] = None,
    encoding: str = "utf-8",
) -> TextGridTable:
    """Read many TextGrid files in parallel into one Arrow table.

    One row per interval or point, in the order of `textgrids2vectors`, with the
    columns file_id (uint32, the file's position in `files`), file (the path,
    dictionary-encoded), tier_name (dictionary-encoded), tier_index (uint32, the
    tier's 0-based position in its file), is_interval (bool),
    tmin, tmax (float64) and label (utf8; large_utf8 beyond 2 GiB of labels).
    A file that cannot be read gives no rows and never raises: its row in
    `reports` says why. With `contents` (one buffer per entry of `files`), file
    i's bytes are contents[i] and files[i] only names it in the table and the
    reports; a None entry is read from the file files[i]; an exception instance
    says why file i's bytes could not be had (a failed download, say): file i
    then fails as "open" with the exception's message, and nothing is read in
    its place. `encoding` ("utf-8",
    "latin-1", "cp1252" or "praat": UTF-8 when valid, else ISO Latin-1) is
    what text files are read in; a byte-order mark always wins.
    Raises TypeError for arguments of the wrong type, ValueError for an unknown
    encoding or contents of another length than files (before anything is
    read) and PanicException for an unknown file_type."""

def vectors2textgrids(
    tmins: Sequence[_Time] | npt.NDArray[np.floating],
    tmaxs: Sequence[_Time] | npt.NDArray[np.floating],
    labels: Sequence[str],
    tier_names: Sequence[str],
    is_intervals: Sequence[_Flag] | npt.NDArray[np.bool_],
    file_ids: Sequence[SupportsIndex] | npt.NDArray[np.integer],
    output_files: Sequence[str],
    file_type: str = "long",
    tmin: Optional[_Time] | Sequence[Optional[_Time]] = None,
    tmax: Optional[_Time] | Sequence[Optional[_Time]] = None,
    tier_indices: Optional[Sequence[SupportsIndex] | npt.NDArray[np.integer]] = None,
) -> TextGridReports:
    """Write many TextGrid files in parallel from the columns `textgrids2vectors`
    returns: the entries of file id k go to output_files[k], grouped, sorted,
    validated and saved as `vectors2textgrid` does (a point tier whose points
    all share one time takes the file's bounds). An output file without
    entries is built as `vectors2textgrid` builds empty vectors: a TextGrid
    without tiers when its bounds (at least tmax) are given, else a validation
    failure saying it has no rows. tmin/tmax: None, one bound for every file,
    or one bound (or None) per output file. tier_indices: None, or each entry's
    tier position in its file; tiers are then built per (file, tier index) in
    index order, so that tiers sharing a name stay apart and keep their order.

    One bad file does not stop the others: the reports say what failed. Raises
    ValueError naming the argument (nothing written) for vectors of unequal
    length, a negative file id or one without an output file, two output files
    that name the same file, a file_type other than "long"/"short" or a wrong
    number of bounds, and TypeError for arguments of the wrong type."""

def table2textgrids(
    table: _ArrowStreamExportable,
    output_files: Sequence[str],
    file_type: str = "long",
    bounds: Optional[_ArrowStreamExportable] = None,
    tier_indices: Optional[Sequence[SupportsIndex] | npt.NDArray[np.integer]] = None,
) -> TextGridReports:
    """Write many TextGrid files in parallel from any Arrow table with the columns
    file_id, tier_name, is_interval, tmin, tmax and label (a TextGridTable, a
    pyarrow table, a polars frame, ...; `file` and other columns are ignored).

    Texts may be utf8, large_utf8, utf8_view or dictionary-encoded; a null label
    is an empty text. `bounds`, any Arrow table with file_id, tmin and tmax (the
    reports of `textgrids2table` for instance), gives each file's global bounds,
    so that corpus -> table -> files keeps them. Tier positions come from
    `tier_indices` (one per row) or, when it is None, from the table's
    tier_index column when it has one, so that the round trip keeps duplicate
    tier names and tier order. Reports as in `vectors2textgrids`. Raises ValueError
    (nothing written) for a missing column, a column of another type, a null outside
    the labels or a file id without an output file, and TypeError for arguments of the
    wrong type or a table without `__arrow_c_stream__`; besides, a stream whose record
    batches do not match its schema (or hold offsets, views or dictionary indices
    outside their buffers), a repeated column or capsules of the wrong kind are refused
    (ValueError or TypeError starting "argument 'table': "). The table is read without
    holding the interpreter lock; a KeyboardInterrupt raised in its producer stays one."""

def loads(
    content: _Content, strict: bool = False, file_type: str = "auto", encoding: str = "utf-8"
) -> _Document:
    """Read one TextGrid from bytes in memory, as `textgrid2data` reads a file holding
    the same bytes (same results, same errors; messages name the source `<memory>`).
    `encoding`: "utf-8", "latin-1", "cp1252" or "praat" (UTF-8 when valid, else
    ISO Latin-1); a byte-order mark always wins. Raises ValueError for an unknown
    encoding before anything is read, OSError (not UTF-8, invalid), TypeError (argument
    types) and PanicException (unknown file_type, structurally broken text)."""

def loads_vectors(
    content: _Content, strict: bool = False, file_type: str = "auto", encoding: str = "utf-8"
) -> _Vectors:
    """Read one TextGrid from bytes in memory into vectors, as `textgrid2vectors` reads
    a file holding the same bytes. Raises what `loads` raises: OSError, TypeError,
    ValueError and PanicException."""

def dumps(
    data: Sequence[_TierInput],
    tmin: Optional[_Time] = None,
    tmax: Optional[_Time] = None,
    file_type: str = "long",
) -> bytes:
    """The bytes `data2textgrid` would write for the same arguments, validated the same
    way. Raises OSError ("Failed to create TextGrid because: ...") and TypeError for
    arguments of the wrong type."""

class ArrowTable:
    """Rows computed by the module (see `nest`), as an Arrow table readable by pyarrow,
    polars and DuckDB through the Arrow PyCapsule interface."""

    @property
    def num_rows(self) -> int: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...

def nest(table: _ArrowStreamExportable, parent: str, child: str) -> ArrowTable:
    """For every item of tier `child`, the item of tier `parent` of the same file that
    contains it: the child rows (in the table's order, with the table's columns) plus
    parent_label, parent_tmin, parent_tmax and parent_index (its 0-based position among
    the parent tier's items of the file), null when none contains it. A child [a, b]
    lies in a parent [c, d] when c <= a and b <= d; of several, the earliest counts.
    Raises ValueError for a missing column or one of a type that cannot be carried, and
    TypeError for arguments of the wrong type or a table without `__arrow_c_stream__`."""

def plot(
    source: Union[_Path, bytes, bytearray, memoryview, _Document, Sequence[_TierInput]],
    tmin: Optional[float] = None,
    tmax: Optional[float] = None,
    tiers: Optional[Sequence[str]] = None,
    ax: Optional["matplotlib.axes.Axes"] = None,
) -> "matplotlib.figure.Figure":
    """Draw the tiers of one TextGrid as Praat's TextGrid editor shows them: one band
    per tier with its name at the left, interval boundaries as lines, labels centred
    (shortened with an ellipsis, or left out, when they do not fit), points as marks,
    and a time axis. `source` is a path, the bytes of a TextGrid, or nested data
    (`(tmin, tmax, tiers)` or a list of tiers); `tmin`/`tmax` choose the time window,
    `tiers` the tiers and their order, `ax` the Axes to draw into. Returns the
    Figure. Needs matplotlib (the `plot` extra), imported only when called.
    Raises TypeError (a list of paths, a source of another type), ValueError (an empty
    window, an unknown tier name), OSError (unreadable, not UTF-8) and PanicException
    (a structurally broken file)."""
