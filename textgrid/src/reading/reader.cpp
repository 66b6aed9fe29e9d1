// Entry points for reading: a whole file as UTF-8 text, one TextGrid by its
// file-type word, and batches of files on the worker pool.
#include "textgrid/reading/reader.hpp"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/reading/text_parsers.hpp"
#include "textgrid/platform/platform.hpp"

namespace textgrid {
namespace {

// Enough blank lines read as the short layout's zeros, as they always have;
// fewer say that the file holds nothing, rather than which line is missing.
TextGrid parse_blank_text(std::string_view text, std::string&& name) {
  try {
    return parse_short_text(text, std::move(name));
  } catch (const InternalFailure&) {
    fail(empty_file_message);
  }
}

TextGrid parse_by_reader(TextReader reader, std::string_view text, std::string&& name,
                         SourceInfo& info, ItemSink* sink) {
  info.layout = layout_name(reader);
  switch (reader) {
    case TextReader::long_text:
      return parse_long_text(text, std::move(name), Front::common_spellings, sink);
    case TextReader::free_text:
    case TextReader::short_without_blank:
      return parse_free_text(text, std::move(name));
    case TextReader::blank:
      return parse_blank_text(text, std::move(name));
    case TextReader::chronological:
      return parse_chronological_text(text, std::move(name));
    case TextReader::short_text:
      break;
  }
  return parse_short_text(text, std::move(name), Front::common_spellings, sink);
}

}  // namespace

Status read_bytes_into(std::string_view path, std::string& bytes) {
  if (path.find('\0') != std::string_view::npos)
    return std::unexpected(invalid_input("file name contained an unexpected NUL byte"));
  return platform::read_whole_file(std::string(path), bytes);
}

Result<std::string> read_bytes(std::string_view path) {
  std::string bytes;
  if (Status read = read_bytes_into(path, bytes); !read) return std::unexpected(std::move(read.error()));
  return bytes;
}

Result<std::string> read_text(std::string_view path) {
  Result<std::string> bytes = read_bytes(path);
  if (!bytes) return bytes;
  std::string_view text = *bytes;
  std::string converted;
  if (Result<Encoding> decoded = decode_text(text, converted); !decoded)
    return std::unexpected(std::move(decoded.error()));
  return std::string(text);
}

std::string file_stem(std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = component.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(component);
  return std::string(component.substr(0, dot));
}

FileType reading_file_type(std::string_view word) {
  if (word == "long") return FileType::long_text;
  if (word == "short") return FileType::short_text;
  if (word != "auto") fail("Unknown file type: " + std::string(word));
  return FileType::automatic;
}

std::optional<TextEncoding> encoding_from_word(std::string_view word) noexcept {
  for (const EncodingWord& known : encoding_words)
    if (known.word == word) return known.encoding;
  return std::nullopt;
}

std::string read_failure_message(std::string_view path, const Error& error) {
  return "Failed to read TextGrid file " + with_replacement_characters(path) +
         " because: " + error.message;
}

// Reading stops before the layout is decided only when the bytes could not be
// opened or decoded; a data error after that is a failed validation.
const char* read_error_kind(const Error& error, const SourceInfo& info) {
  if (error.kind != ErrorKind::InvalidData) return "open";
  return info.layout.empty() ? "encoding" : "validation";
}

Result<TextGrid> validated(TextGrid grid, bool strict) {
  if (!strict) return grid;
  if (Status valid = grid.assert_valid(); !valid) return std::unexpected(std::move(valid.error()));
  return grid;
}

Result<TextGrid> read_from_bytes(std::string_view bytes, std::string name,
                                 const ReadOptions& options, SourceInfo* info, ItemSink* sink) {
  SourceInfo ignored;
  SourceInfo& found = info ? *info : ignored;
  found = {};
  const bool automatic = options.file_type == FileType::automatic;
  if (automatic && is_binary_textgrid(bytes)) {
    found.layout = found.encoding = "binary";
    return validated(parse_binary(bytes, std::move(name)), options.strict);
  }
  std::string converted;
  std::string_view text = bytes;
  Result<Encoding> encoding = decode_text(text, converted, options.encoding);
  if (!encoding) {
    found.encoding = "unknown";
    return std::unexpected(std::move(encoding.error()));
  }
  found.encoding = encoding_name(*encoding);
  // Validation needs the items in their tiers.
  if (options.strict) sink = nullptr;
  return validated(parse_by_reader(choose_text_reader(text, options.file_type), text,
                                   std::move(name), found, sink),
                   options.strict);
}

Result<TextGrid> read_from_file(std::string_view path, const ReadOptions& options,
                                SourceInfo* info, ItemSink* sink) {
  if (info) *info = {};
  // One read serves both the format decision and the parse. Each thread reads
  // into the storage its last file left, so that a corpus of files is read
  // without fresh memory (and the system's zeroing of it) for each; storage
  // left by a large file is given back.
  constexpr std::size_t kept_bytes = std::size_t{4} << 20;
  thread_local std::string bytes;
  struct Trim {
    ~Trim() {
      if (bytes.capacity() > kept_bytes) std::string().swap(bytes);
    }
  } trim;
  if (Status read = read_bytes_into(path, bytes); !read) return std::unexpected(std::move(read.error()));
  return read_from_bytes(bytes, file_stem(path), options, info, sink);
}

Result<TextGrid> read_from_file(std::string_view path, bool strict, std::string_view file_type,
                                SourceInfo* info) {
  if (info) *info = {};
  return read_from_file(path, ReadOptions{strict, reading_file_type(file_type)}, info);
}

}  // namespace textgrid
