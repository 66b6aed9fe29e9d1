#pragma once
// Docstrings of the module and its functions. Each function's text starts with
// its signature line and "--" so that Python derives __text_signature__ from it.

namespace tavrel::docs {

inline constexpr const char module[] =
    "Python module for TextGrid file manipulation.\n"
    "It offers fast reading, writing and converting of Praat TextGrid files, supports both the "
    "long and the short text format, and offers efficient batch processing of many files in "
    "parallel.";

inline constexpr const char textgrid2vectors[] =
    "textgrid2vectors(file, strict, file_type)\n--\n\n"
    "Read one TextGrid file into flat parallel vectors, one entry per interval or point.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `file` - path of the TextGrid file (str, bytes or os.PathLike), used exactly as given.\n"
    "* `strict` - validate the TextGrid after reading (bool).\n"
    "* `file_type` - \"long\", \"short\" or \"auto\" (decide by looking at the text).\n"
    "\n"
    "# Returns\n"
    "\n"
    "A tuple (tmins, tmaxs, labels, tier_names, is_intervals): tmins and tmaxs are float64 "
    "NumPy arrays, labels and tier_names lists of str, is_intervals a bool NumPy array; all "
    "of the same length, tier by tier in file order.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `OSError` - the file cannot be read, is not UTF-8, or fails validation.\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `PanicException` - an unknown file_type or a structurally broken file.";

inline constexpr const char textgrids2vectors[] =
    "textgrids2vectors(files, strict, file_type)\n--\n\n"
    "Read many TextGrid files in parallel and concatenate their vectors.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `files` - a sequence of paths (str, bytes or os.PathLike); not a single str.\n"
    "* `strict` - validate each TextGrid after reading (bool).\n"
    "* `file_type` - \"long\", \"short\" or \"auto\", used for every file.\n"
    "\n"
    "# Returns\n"
    "\n"
    "A tuple (tmins, tmaxs, labels, tier_names, is_intervals, file_ids) as for "
    "textgrid2vectors, plus file_ids, a uint32 NumPy array holding for each entry the position "
    "in `files` of the file it came from.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* A file that cannot be read or validated contributes no entries; no OSError is raised.\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `PanicException` - an unknown file_type or a structurally broken file.";

inline constexpr const char textgrid2data[] =
    "textgrid2data(file, strict, file_type)\n--\n\n"
    "Read one TextGrid file into nested tuples and lists.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `file` - path of the TextGrid file (str, bytes or os.PathLike), used exactly as given.\n"
    "* `strict` - validate the TextGrid after reading (bool).\n"
    "* `file_type` - \"long\", \"short\" or \"auto\" (decide by looking at the text).\n"
    "\n"
    "# Returns\n"
    "\n"
    "(tmin, tmax, tiers), where tiers is a list of (name, is_interval, items) and items a "
    "list of (tmin, tmax, label), in file order.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `OSError` - the file cannot be read, is not UTF-8, or fails validation.\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `PanicException` - an unknown file_type or a structurally broken file.";

inline constexpr const char textgrids2data[] =
    "textgrids2data(files, strict, file_type)\n--\n\n"
    "Read many TextGrid files in parallel into nested tuples and lists.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `files` - a sequence of paths (str, bytes or os.PathLike); not a single str.\n"
    "* `strict` - validate each TextGrid after reading (bool).\n"
    "* `file_type` - \"long\", \"short\" or \"auto\", used for every file.\n"
    "\n"
    "# Returns\n"
    "\n"
    "A list with one (tmin, tmax, tiers) entry per path, in the order of `files`, shaped as "
    "textgrid2data returns it.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* A file that cannot be read or validated gives the entry (0.0, 0.0, []); no OSError.\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `PanicException` - an unknown file_type or a structurally broken file.";

inline constexpr const char data2textgrid[] =
    "data2textgrid(data, tmin, tmax, output_file, file_type)\n--\n\n"
    "Build a TextGrid from nested tuples and lists, validate it and write it to a file.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `data` - a sequence of tier tuples (name, is_interval, items), items a sequence of "
    "(tmin, tmax, label) tuples.\n"
    "* `tmin`, `tmax` - the global bounds, or None to compute them from the items.\n"
    "* `output_file` - path of the file to write (str, bytes or os.PathLike).\n"
    "* `file_type` - exactly \"long\" writes the long format; any other word the short one.\n"
    "\n"
    "# Returns\n"
    "\n"
    "None.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `OSError` - the TextGrid is invalid; nothing is written.\n"
    "* `TypeError` - an argument has the wrong type; `ValueError` - a tuple is not of length 3.\n"
    "* `PanicException` - the file cannot be written.\n"
    "\n"
    "# Type Conversions\n"
    "\n"
    "Tiers and items must be tuples; the lists may be any sequence but str. Times accept "
    "anything convertible to float; flags True/False or NumPy booleans (not 0 or 1); names and "
    "labels must be str.";

inline constexpr const char vectors2textgrid[] =
    "vectors2textgrid(tmins, tmaxs, labels, tier_names, is_intervals, tmin, tmax, "
    "output_file, file_type)\n--\n\n"
    "Build a TextGrid from flat parallel vectors, validate it and write it to a file.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `tmins`, `tmaxs` - start and end time of each interval or point.\n"
    "* `labels` - the text of each interval or point (str).\n"
    "* `tier_names` - the name of the tier of each entry (str).\n"
    "* `is_intervals` - whether the entry's tier is an interval tier.\n"
    "* `tmin`, `tmax` - the global bounds, or None to compute them from the items.\n"
    "* `output_file` - path of the file to write (str, bytes or os.PathLike).\n"
    "* `file_type` - exactly \"long\" writes the long format; any other word the short one.\n"
    "\n"
    "# Returns\n"
    "\n"
    "None.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `OSError` - vectors of unequal length or an invalid TextGrid (a NaN start time included); "
    "nothing is written.\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `PanicException` - the file cannot be written.\n"
    "\n"
    "# Type Conversions\n"
    "\n"
    "The vectors may be any sequence but str, NumPy arrays included (they are copied). Times "
    "accept anything convertible to float; flags True/False or NumPy booleans (not 0 or 1).\n"
    "\n"
    "# Notes\n"
    "\n"
    "Entries are grouped into tiers by name, in order of first appearance; the first entry of "
    "a tier decides whether it is an interval tier. Items are sorted by start time within "
    "their tier. Tiers without entries cannot be expressed.";

inline constexpr const char textgrids2table[] =
    "textgrids2table(files, strict=False, file_type=\"auto\", *, contents=None, "
    "encoding=\"utf-8\")\n--\n\n"
    "Read many TextGrid files in parallel into one Arrow table, with one report per file.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `files` - paths of the TextGrid files (a sequence of str), used exactly as given.\n"
    "* `strict` - validate each TextGrid after reading (bool).\n"
    "* `file_type` - \"long\", \"short\" or \"auto\" (decide per file by looking at the text).\n"
    "* `contents` - None, or one buffer per entry of `files` (bytes, bytearray, memoryview, any "
    "buffer, or a str taken as its UTF-8): file i's bytes are then contents[i], and files[i] "
    "only names it in the table and the reports; a None entry is read from the file files[i].\n"
    "* `encoding` - \"utf-8\" (UTF-8, or UTF-16 with a byte-order mark).\n"
    "\n"
    "# Returns\n"
    "\n"
    "A TextGridTable: one row per interval or point, in the order of `textgrids2vectors`, with "
    "the columns file_id (uint32, the file's position in `files`), file (dictionary of the "
    "paths), tier_name (dictionary), tier_index (uint32, the tier's 0-based position in its "
    "file), is_interval (bool), tmin, tmax (float64) and label (utf8; "
    "large_utf8 when the labels pass 2 GiB). It implements the Arrow PyCapsule interface, so "
    "`pyarrow.table(t)`, `polars.DataFrame(t)` and DuckDB read it without a copy. Its `reports` "
    "hold one row per file: file_id, path, ok, layout, encoding, tmin, tmax, tiers, items, "
    "error_kind (\"open\", \"encoding\", \"validation\" or \"structure\") and error (the message "
    "`textgrid2data` would give).\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `ValueError` - an unknown encoding, or `contents` of another length than `files`; "
    "raised before anything is read.\n"
    "* `PanicException` - an unknown file_type.\n"
    "\n"
    "A file that cannot be read never raises: it gives no rows and a report saying why.";

inline constexpr const char vectors2textgrids[] =
    "vectors2textgrids(tmins, tmaxs, labels, tier_names, is_intervals, file_ids, output_files, "
    "file_type=\"long\", tmin=None, tmax=None, tier_indices=None)\n--\n\n"
    "Write many TextGrid files in parallel from vectors, one output file per file id.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `tmins` ... `is_intervals` - the columns `textgrids2vectors` returns.\n"
    "* `file_ids` - for each entry, the position of its file in `output_files` (integers).\n"
    "* `output_files` - paths of the files to write (a sequence of str).\n"
    "* `file_type` - \"long\" or \"short\".\n"
    "* `tmin`, `tmax` - None (each file's items decide), one number for every file, or a "
    "sequence of one bound (or None) per output file.\n"
    "* `tier_indices` - None, or for each entry the 0-based position of its tier in its file "
    "(integers): tiers are then built per (file, tier index), in index order, so that tiers "
    "sharing a name stay apart and keep their order.\n"
    "\n"
    "# Returns\n"
    "\n"
    "A TextGridReports with one row per output file: file_id, path, ok, tiers, items, "
    "error_kind (\"validation\" or \"write\") and error (the message `vectors2textgrid` would "
    "give). Each file is grouped, sorted, validated and saved as `vectors2textgrid` does; an "
    "output file without entries is built as `vectors2textgrid` builds empty vectors: a "
    "TextGrid without tiers when its bounds are given, otherwise a validation failure (it "
    "would span 0 to 0).\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `ValueError` - vectors of unequal length, a file id without an output file, a wrong "
    "file_type or bound count; nothing is written.\n"
    "* `TypeError` - an argument has the wrong type.";

inline constexpr const char table2textgrids[] =
    "table2textgrids(table, output_files, file_type=\"long\", bounds=None, tier_indices=None)"
    "\n--\n\n"
    "Write many TextGrid files in parallel from any Arrow table of TextGrid rows.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `table` - an object with `__arrow_c_stream__` (a TextGridTable, a pyarrow table, a "
    "polars or pandas frame through pyarrow, ...) with the columns file_id (integers), "
    "tier_name, is_interval, tmin, tmax and label; other columns are ignored. Texts may be "
    "utf8, large_utf8, utf8_view or dictionary-encoded; a null label is an empty text.\n"
    "* `output_files` - paths of the files to write, one per file id.\n"
    "* `file_type` - \"long\" or \"short\".\n"
    "* `bounds` - None, or an Arrow object with file_id, tmin and tmax (such as the reports of "
    "`textgrids2table`) giving each file's global bounds; null bounds are left to the items.\n"
    "* `tier_indices` - None (the table's tier_index column, when it has one), or one integer "
    "per row: with tier indices, tiers are built per (file, tier index) in index order, so "
    "that tiers sharing a name stay apart and keep their order.\n"
    "\n"
    "# Returns\n"
    "\n"
    "A TextGridReports, as `vectors2textgrids` gives.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `ValueError` - a missing column, a column of another type, a null outside the labels, "
    "a file id without an output file; nothing is written.\n"
    "* `TypeError` - an argument has the wrong type or no `__arrow_c_stream__`.";

inline constexpr const char loads[] =
    "loads(content, strict=False, file_type=\"auto\", encoding=\"utf-8\")\n--\n\n"
    "Read one TextGrid from bytes in memory into nested tuples and lists, as `textgrid2data` "
    "reads a file holding the same bytes.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `content` - bytes, bytearray, memoryview or any buffer; a str is read as its UTF-8.\n"
    "* `strict` - validate the TextGrid after reading (bool).\n"
    "* `file_type` - \"long\", \"short\" or \"auto\" (decide by looking at the text).\n"
    "* `encoding` - \"utf-8\" (UTF-8, or UTF-16 with a byte-order mark).\n"
    "\n"
    "# Returns\n"
    "\n"
    "(tmin, tmax, [(name, is_interval, [(tmin, tmax, label)])]), as `textgrid2data` gives.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `OSError` - the bytes are not UTF-8 or fail validation; the message names the source "
    "as `<memory>`.\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `ValueError` - an unknown encoding, before anything is read.\n"
    "* `PanicException` - an unknown file_type or a structurally broken text.";

inline constexpr const char loads_vectors[] =
    "loads_vectors(content, strict=False, file_type=\"auto\", encoding=\"utf-8\")\n--\n\n"
    "Read one TextGrid from bytes in memory into flat parallel vectors, as `textgrid2vectors` "
    "reads a file holding the same bytes.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "As for `loads`.\n"
    "\n"
    "# Returns\n"
    "\n"
    "(tmins, tmaxs, labels, tier_names, is_intervals), as `textgrid2vectors` gives.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `OSError` - the bytes are not UTF-8 or fail validation; the message names the source "
    "as `<memory>`.\n"
    "* `TypeError` - an argument has the wrong type.\n"
    "* `ValueError` - an unknown encoding, before anything is read.\n"
    "* `PanicException` - an unknown file_type or a structurally broken text.";

inline constexpr const char dumps[] =
    "dumps(data, tmin=None, tmax=None, file_type=\"long\")\n--\n\n"
    "Build a TextGrid from nested data, validate it and return the bytes `data2textgrid` would "
    "write.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `data`, `tmin`, `tmax` - as for `data2textgrid`.\n"
    "* `file_type` - exactly \"long\" selects the long format, any other word the short one.\n"
    "\n"
    "# Returns\n"
    "\n"
    "bytes (UTF-8 text).\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `OSError` - validation fails (\"Failed to create TextGrid because: ...\").\n"
    "* `TypeError` - an argument has the wrong type.";

inline constexpr const char nest[] =
    "nest(table, parent, child)\n--\n\n"
    "Give every item of tier `child` the item of tier `parent` of the same file that contains "
    "it (phones in words).\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `table` - any object with `__arrow_c_stream__` (a TextGridTable, a pyarrow table, a "
    "polars frame, a DuckDB result, ...) with the columns file_id, tier_name, tmin, tmax and "
    "label.\n"
    "* `parent`, `child` - tier names (str).\n"
    "\n"
    "# Returns\n"
    "\n"
    "An Arrow table (Arrow PyCapsule interface) with the child tier's rows, in the table's "
    "order, and the table's columns, plus parent_label, parent_tmin, parent_tmax and "
    "parent_index (the parent's 0-based position among the parent tier's items of its file): "
    "null when no parent contains the child. A child [a, b] lies in a parent [c, d] when "
    "c <= a and b <= d, with the file's own times; when several parents contain it, the "
    "earliest counts.\n"
    "\n"
    "# Errors\n"
    "\n"
    "* `ValueError` - a missing column, or a column of a type that cannot be carried over.\n"
    "* `TypeError` - an argument has the wrong type or no `__arrow_c_stream__`.";

inline constexpr const char nested_table[] =
    "Rows of a computed table, as an Arrow table (Arrow PyCapsule interface).";

inline constexpr const char textgrid_table[] =
    "Rows of many TextGrid files as an Arrow table (see textgrids2table). Read it with "
    "pyarrow, polars, pandas or DuckDB through the Arrow PyCapsule interface; `reports` holds "
    "one row per input file.";

inline constexpr const char textgrid_reports[] =
    "One row per file of a batch call, as an Arrow table (Arrow PyCapsule interface); "
    "`failures` counts the files that failed.";

inline constexpr const char arrow_c_schema[] =
    "__arrow_c_schema__($self, /)\n--\n\nThe table's schema as an \"arrow_schema\" PyCapsule.";

inline constexpr const char arrow_c_stream[] =
    "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
    "The table as an \"arrow_array_stream\" PyCapsule; its buffers are shared, not copied. A "
    "requested schema is not applied: the columns keep their types.";

// The command line's private functions.
inline constexpr const char read_files[] =
    "_read_files(files, strict=False, file_type='auto', contents=None)\n--\n\n"
    "textgrids2table, keeping each file's tiers for the table's _tiers().";
inline constexpr const char convert_files[] =
    "_convert_files(sources, targets, strict, long_format, contents=None)\n--\n\n"
    "Rewrite each source at its target; per file None, or (error_kind, error).";
inline constexpr const char output_open[] =
    "_output_open(path, /)\n--\n\nStart saving a file (an opaque handle).";
inline constexpr const char output_write[] =
    "_output_write(output, data)\n--\n\nAppend bytes; the number written.";
inline constexpr const char output_finish[] =
    "_output_finish(output, /)\n--\n\nFlush to disk and put the file in place.";
inline constexpr const char output_discard[] =
    "_output_discard(output, /)\n--\n\nGive up: the path keeps what it held.";

}  // namespace tavrel::docs
