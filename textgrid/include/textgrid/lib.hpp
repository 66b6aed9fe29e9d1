#pragma once
// Entry points for reading: one file, or a batch of files on the worker pool.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/error.hpp"
#include "textgrid/formats.hpp"
#include "textgrid/textgrid.hpp"

namespace textgrid {

// Reads a whole file as UTF-8 text. UTF-16 with a byte-order mark is decoded
// and a UTF-8 byte-order mark dropped; any other bytes must be valid UTF-8.
Result<std::string> read_text(std::string_view path);

// The bytes of a file, as they are.
Result<std::string> read_bytes(std::string_view path);

// `bytes` as valid UTF-8: every byte that starts no valid character becomes
// U+FFFD. For showing file names, which need not be UTF-8, in UTF-8 columns.
std::string with_replacement_characters(std::string_view bytes);

// The last path component without its final extension ("data/a.TextGrid" -> "a").
std::string file_stem(std::string_view path);

// What reading found out about a file, for per-file reports. Both stay empty
// when reading stopped before it could tell (a file that cannot be opened).
struct SourceInfo {
  std::string_view layout;    // "long", "short", "chronological" or "binary"
  // "utf-8", "utf-8-sig", "utf-16-le", "utf-16-be", "latin-1", "cp1252" (Python's codec names),
  // "binary" for the binary format, "unknown" for text that did not decode
  std::string_view encoding;
};

// `file_type` is "long", "short" or "auto"; any other word is an internal failure.
// `info`, when given, receives what was found even when reading then fails.
// `encoding` is what text files are read in (binary files are not text).
Result<TextGrid> read_from_file(std::string_view path, bool strict, std::string_view file_type,
                                SourceInfo* info = nullptr,
                                EncodingRequest encoding = EncodingRequest::utf8);

// One entry per path, in input order; a file whose reading returns an error
// value gives an empty entry. Internal failures are raised (earliest file wins).
std::vector<TextGridData> files_to_data(std::span<const std::string> files, bool strict,
                                        std::string_view file_type);
std::vector<Vectors> files_to_vectors(std::span<const std::string> files, bool strict,
                                      std::string_view file_type);

}  // namespace textgrid
