#pragma once
// Praat's other ways of storing a TextGrid: text files in UTF-16, the
// chronological text format and the binary format.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "textgrid/model/error.hpp"
#include "textgrid/model/textgrid.hpp"

namespace textgrid {

// The encodings a text file is read in; their names are Python's codec names.
enum class Encoding { utf8, utf8_sig, utf16_le, utf16_be, latin1, cp1252 };

bool is_valid_utf8(std::string_view text) noexcept;

// Where UTF-8 reading of `bytes` fails (0 for UTF-16 without byte-order
// mark), or their size when it does not.
std::size_t first_undecodable_byte(std::string_view bytes) noexcept;

std::string_view encoding_name(Encoding encoding) noexcept;

// The encoding that a byte-order mark at the start of `bytes` announces, if any.
std::optional<Encoding> byte_order_mark(std::string_view bytes) noexcept;

// Length of the byte-order mark of `encoding` (0 for plain UTF-8).
std::size_t byte_order_mark_size(Encoding encoding) noexcept;

// UTF-16 code units (no byte-order mark) as UTF-8. A lone surrogate reads as
// U+FFFD and an odd final byte is ignored, so every input decodes.
std::string utf16_to_utf8(std::string_view units, bool big_endian);

// The first bytes of a file in Praat's binary format.
inline constexpr std::string_view binary_file_magic = "ooBinaryFile";
// The first line of a file in Praat's chronological text format.
inline constexpr std::string_view chronological_file_header =
    "\"Praat chronological TextGrid text file\"";

bool is_binary_textgrid(std::string_view bytes) noexcept;
bool is_chronological_textgrid(std::string_view text) noexcept;

// Parse a whole file already in memory; `name` becomes the TextGrid's name.
// A damaged file (cut short, impossible counts or lengths) is an internal failure.
TextGrid parse_binary(std::string_view bytes, std::string name);
// `text` is UTF-8 and starts with the chronological header.
TextGrid parse_chronological_text(std::string_view text, std::string name);

}  // namespace textgrid
