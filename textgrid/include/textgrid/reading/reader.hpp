#pragma once
// Entry points for reading: one file, or bytes already in memory, or a batch
// of files on the worker pool. A file is read into memory and then takes the
// same path as bytes given by the caller.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/model/error.hpp"
#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/model/textgrid.hpp"
#include "textgrid/reading/item_sink.hpp"

namespace textgrid {

// Reads a whole file as UTF-8 text. UTF-16 with a byte-order mark is decoded
// and a UTF-8 byte-order mark dropped; any other bytes must be valid UTF-8.
Result<std::string> read_text(std::string_view path);

// The bytes of a file, as they are; or into `bytes`, reusing its storage.
Result<std::string> read_bytes(std::string_view path);
Status read_bytes_into(std::string_view path, std::string& bytes);

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

// How the text of a file is told apart: one layout, or decided by looking.
enum class FileType { long_text, short_text, automatic };

// "long", "short" or "auto"; any other word is an internal failure.
FileType reading_file_type(std::string_view word);

// How bytes become text. A byte-order mark (UTF-8, UTF-16) always wins; then
// `utf8`: UTF-8 or an error; `latin1`, `cp1252`: every byte one character of
// that code page; `praat`: UTF-8 when valid, else ISO Latin-1, as Praat reads
// 8-bit text.
enum class TextEncoding { utf8, latin1, cp1252, praat };

// The words callers name the encodings by, in the order messages list them.
struct EncodingWord {
  std::string_view word;
  TextEncoding encoding;
};
inline constexpr EncodingWord encoding_words[] = {{"utf-8", TextEncoding::utf8},
                                                   {"latin-1", TextEncoding::latin1},
                                                   {"cp1252", TextEncoding::cp1252},
                                                   {"praat", TextEncoding::praat}};

// The encoding a word names; nothing for an unknown word.
std::optional<TextEncoding> encoding_from_word(std::string_view word) noexcept;

// The UTF-8 text of a text file's bytes, read in `encoding`: `bytes` is left
// viewing the text, in place or in `converted` when the bytes had to be turned
// into UTF-8; returns the encoding used. All decoding goes through here. Bytes
// that `encoding` cannot read, and UTF-16 without a byte-order mark (whose NUL
// bytes are valid UTF-8), are the error "stream did not contain valid UTF-8".
Result<Encoding> decode_text(std::string_view& bytes, std::string& converted,
                             TextEncoding encoding = TextEncoding::utf8);

struct ReadOptions {
  bool strict = false;
  FileType file_type = FileType::automatic;
  TextEncoding encoding = TextEncoding::utf8;
};

// How per-file reports name a failed read: "Failed to read TextGrid file
// <path> because: <message>", the path made valid UTF-8.
std::string read_failure_message(std::string_view path, const Error& error);

// The report kind of a failed read: "open" when the bytes could not be had,
// "encoding" when they did not decode, "validation" after that.
const char* read_error_kind(const Error& error, const SourceInfo& info);

// The document when it need not be valid or is; else the validation's error.
Result<TextGrid> validated(TextGrid grid, bool strict);

// The one reading path: decode, tell the layout, parse, validate when strict.
// `name` becomes the TextGrid's name. `info`, when given, receives what was
// found even when reading then fails. With a sink, a file read without
// validation in the long or short layout hands its items there, in order,
// and its tiers hold none; a sink may have taken some items of a file whose
// reading then fails.
Result<TextGrid> read_from_bytes(std::string_view bytes, std::string name,
                                 const ReadOptions& options, SourceInfo* info = nullptr,
                                 ItemSink* sink = nullptr);

// The file's bytes, then read_from_bytes (named after the file's stem).
Result<TextGrid> read_from_file(std::string_view path, const ReadOptions& options,
                                SourceInfo* info = nullptr, ItemSink* sink = nullptr);

// The same, with the layout as its word (see reading_file_type).
Result<TextGrid> read_from_file(std::string_view path, bool strict, std::string_view file_type,
                                SourceInfo* info = nullptr);

}  // namespace textgrid
