#pragma once
// Names and texts of a file as problem messages quote them: one line whatever
// they hold, and a bounded excerpt however long they are.
#include <cstddef>
#include <string>
#include <string_view>

namespace textgrid {

// Characters of a file's text a message quotes at most, and of a whole
// message that quotes one (the reader's, around a value it could not take).
inline constexpr std::size_t quoted_characters = 200;
inline constexpr std::size_t message_characters = 240;

// `text` with control characters escaped as Python writes them (\n, \t, \x07,
// \x85, \u2028), and, when longer than `limit` characters, its start and end
// joined by an ellipsis.
std::string readable_text(std::string_view text, std::size_t limit = quoted_characters);

}  // namespace textgrid
