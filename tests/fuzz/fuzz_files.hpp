#pragma once
// Properties of reading and saving real files, checked on a scratch folder:
// reading a file agrees with parsing its text (and "auto" with the parser it
// chose), a batch agrees with single reads, and a save either leaves the
// complete new file or, when it fails, the previous one, with no temporary
// file left behind. Shared with the C++ tests, which replay the corpus.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_canonical.hpp"
#include "fuzz_checks.hpp"
#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/reading/text_parsers.hpp"
#include "textgrid/concurrency/parallel.hpp"

namespace fuzz {

// A folder of its own for this process, emptied before each input.
inline const std::string& scratch_folder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavrel-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return folder;
}

inline std::set<std::string> folder_entries(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
  }
  return names;
}

inline void remove_tree(const std::string& path) {
  struct stat status{};
  if (::lstat(path.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (const std::string& name : folder_entries(path)) remove_tree(path + "/" + name);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

inline const std::string& empty_scratch() {
  const std::string& folder = scratch_folder();
  for (const std::string& name : folder_entries(folder)) remove_tree(folder + "/" + name);
  return folder;
}

inline void put_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::optional<std::string> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Written independently of the reader's own check: every code point well
// formed, no surrogates, nothing beyond U+10FFFF, no overlong forms.
inline bool plain_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80         ? 1
                         : (lead >> 5) == 6  ? 2
                         : (lead >> 4) == 14 ? 3
                         : (lead >> 3) == 30 ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

// One read, as text: the canonical result, the error message, or the
// internal failure's message, each tagged.
template <class Read>
std::string outcome_of(Read read) {
  try {
    textgrid::Result<textgrid::TextGrid> result = read();
    return result ? "ok " + describe(*result) : "error " + result.error().message;
  } catch (const textgrid::InternalFailure& failure) {
    return "failure " + failure.message();
  }
}

// The text a reader sees: the bytes decoded by their byte-order mark, or as
// UTF-8; nothing when they are neither UTF-16 with a mark nor valid UTF-8.
inline std::optional<std::string> decoded_text(std::string_view bytes) {
  std::optional<textgrid::Encoding> mark = textgrid::byte_order_mark(bytes);
  if (mark == textgrid::Encoding::utf16_le || mark == textgrid::Encoding::utf16_be)
    return textgrid::utf16_to_utf8(bytes.substr(2), mark == textgrid::Encoding::utf16_be);
  if (mark) bytes.remove_prefix(textgrid::byte_order_mark_size(*mark));
  if (!plain_utf8(bytes)) return std::nullopt;
  return std::string(bytes);
}

// The short layout's header lines ("File type", "Object class") with its
// values right after them, a number in the third line: Praat reads such a
// file by the free-form rules, and so does "auto".
inline bool short_without_blank_line(std::string_view text) {
  if (!text.starts_with("File type")) return false;
  std::size_t pos = 0;
  std::string_view third;
  for (int line = 0; line < 3; ++line) {
    if (pos == text.size()) return false;  // no third line
    third = textgrid::detail::next_line(text, pos);
  }
  third = textgrid::trim(third);
  return !third.empty() && third.find_first_of("0123456789+-") == 0;
}

// Nothing but white space (Unicode's, as the parsers trim it), or nothing.
inline bool blank_text(std::string_view text) { return textgrid::trim(text).empty(); }

// The parser "auto" must choose by the documented rules, and the layout it
// reports: the chronological header, then the first lines' layout, the short
// layout without its blank line going to the free-form parser.
struct AutoChoice {
  std::string_view layout;
  std::string_view parser;
};

inline AutoChoice auto_choice(std::string_view text) {
  if (textgrid::is_chronological_textgrid(text)) return {"chronological", "chronological"};
  switch (textgrid::detect_text_layout(text)) {
    case textgrid::TextLayout::long_text:
      return {"long", "long"};
    case textgrid::TextLayout::free_text:
      return {"free-form", "free-form"};
    case textgrid::TextLayout::short_text:
      break;
  }
  if (short_without_blank_line(text)) return {"short", "free-form"};
  return {"short", "short"};
}

// What reading `bytes` as `type` must give: the outcome of the parser that the
// file's own header or structure calls for, on the decoded text. An empty or
// blank file in "auto" says that it is empty, unless it has lines enough to
// read as the short layout's zeros. Nothing when the reader reported a layout
// that does not fit.
inline std::optional<std::string> expected_outcome(std::string_view bytes, std::string_view type,
                                                   bool strict, const std::string& name,
                                                   const textgrid::SourceInfo& info) {
  if (type == "auto" && textgrid::is_binary_textgrid(bytes)) {
    if (info.layout != "binary") return std::nullopt;
    return outcome_of([&] { return textgrid::validated(textgrid::parse_binary(bytes, name), strict); });
  }
  std::optional<std::string> text = decoded_text(bytes);
  if (!text) return "error stream did not contain valid UTF-8";
  AutoChoice choice = type == "auto" ? auto_choice(*text) : AutoChoice{type, type};
  if (info.layout != choice.layout) return std::nullopt;
  std::string outcome = outcome_of([&]() -> textgrid::Result<textgrid::TextGrid> {
    std::string_view parser = choice.parser;
    if (parser == "long") return textgrid::validated(textgrid::parse_long_text(*text, name), strict);
    if (parser == "short") return textgrid::validated(textgrid::parse_short_text(*text, name), strict);
    if (parser == "free-form") return textgrid::validated(textgrid::parse_free_text(*text, name), strict);
    return textgrid::validated(textgrid::parse_chronological_text(*text, name), strict);
  });
  if (type == "auto" && blank_text(*text) && outcome.starts_with("failure "))
    return "failure " + std::string(textgrid::empty_file_message);
  return outcome;
}

// Option bits: 0 strict; 1-2 file type (long, short, auto, auto); 3 repeat the
// batch up to the parallel threshold. The files are the parts of the text
// between 0xFF bytes (never valid UTF-8, so nothing is lost by cutting there).
// The batch readers' contract on the core alone: one entry per path, in input
// order, on the pool; a file that reads with an error value gives an empty entry.
inline std::vector<textgrid::TextGridData> files_to_data(std::span<const std::string> files,
                                                         bool strict, std::string_view file_type) {
  return textgrid::ordered_parallel_map(files.size(), [&](std::size_t k) {
    auto grid = textgrid::read_from_file(files[k], strict, file_type);
    return grid ? grid->to_data() : textgrid::TextGridData{0.0, 0.0, {}};
  });
}

inline std::vector<textgrid::Vectors> files_to_vectors(std::span<const std::string> files,
                                                       bool strict, std::string_view file_type) {
  return textgrid::ordered_parallel_map(files.size(), [&](std::size_t k) {
    auto grid = textgrid::read_from_file(files[k], strict, file_type);
    return grid ? grid->to_vectors() : textgrid::Vectors{};
  });
}

inline bool check_read_files(Input input) {
  const std::string& folder = empty_scratch();
  static constexpr std::string_view types[] = {"long", "short", "auto", "auto"};
  std::string_view type = types[(input.options >> 1) & 3];
  std::vector<std::string> paths;
  std::vector<std::string_view> parts;
  for (std::string_view rest = input.text;;) {
    std::size_t cut = rest.find('\xFF');
    parts.push_back(rest.substr(0, cut));
    if (cut == std::string_view::npos || parts.size() == 8) break;
    rest.remove_prefix(cut + 1);
  }
  std::vector<std::string> singles;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    std::string path = folder + "/part" + std::to_string(k) + ".TextGrid";
    put_file(path, parts[k]);
    paths.push_back(path);
    textgrid::SourceInfo info;
    std::string single =
        outcome_of([&] { return textgrid::read_from_file(path, input.strict(), type, &info); });
    std::optional<std::string> expected = expected_outcome(parts[k], type, input.strict(),
                                                           "part" + std::to_string(k), info);
    if (!expected) return false;
    if (single != *expected) return false;
    singles.push_back(single);
  }
  if ((input.options & 8) != 0)
    while (paths.size() < textgrid::parallel_threshold())
      paths.push_back(paths[paths.size() % parts.size()]);
  // The batch: an entry per file (empty for an error value); the earliest
  // internal failure ends it.
  std::string earliest_failure;
  std::vector<std::string> expected_data;
  for (std::size_t k = 0; k < paths.size(); ++k) {
    const std::string& single = singles[k % parts.size()];
    if (single.starts_with("failure ") && earliest_failure.empty()) earliest_failure = single;
    std::optional<TextGrid> grid;
    if (single.starts_with("ok "))
      grid = textgrid::read_from_file(paths[k], input.strict(), type).value();
    expected_data.push_back(
        describe(grid ? grid->to_data() : textgrid::TextGridData{0.0, 0.0, {}}));
  }
  try {
    std::vector<textgrid::TextGridData> batch =
        files_to_data(paths, input.strict(), type);
    if (!earliest_failure.empty() || batch.size() != paths.size()) return false;
    for (std::size_t k = 0; k < paths.size(); ++k)
      if (describe(batch[k]) != expected_data[k]) return false;
  } catch (const textgrid::InternalFailure& failure) {
    if (earliest_failure != "failure " + failure.message()) return false;
  }
  try {
    std::vector<textgrid::Vectors> batch = files_to_vectors(paths, input.strict(), type);
    if (!earliest_failure.empty() || batch.size() != paths.size()) return false;
    for (std::size_t k = 0; k < paths.size(); ++k) {
      const std::string& single = singles[k % parts.size()];
      std::optional<TextGrid> grid;
      if (single.starts_with("ok "))
        grid = textgrid::read_from_file(paths[k], input.strict(), type).value();
      if (describe(batch[k]) != describe(grid ? grid->to_vectors() : textgrid::Vectors{}))
        return false;
    }
  } catch (const textgrid::InternalFailure& failure) {
    if (earliest_failure != "failure " + failure.message()) return false;
  }
  return true;
}

// What stands at the save's path beforehand (option bits 3-5).
enum class Target {
  absent,
  regular,
  link,
  dangling_link,
  folder,
  missing_parent,
  nul_byte,
  under_a_file
};

inline bool save_should_fail(Target target) {
  return target == Target::folder || target == Target::missing_parent ||
         target == Target::nul_byte || target == Target::under_a_file;
}

constexpr std::string_view previous_content = "previous content\n";
constexpr mode_t previous_mode = 0640;

// Sets the scene and returns the path to save to.
inline std::string prepare_target(const std::string& folder, Target target) {
  std::string file = folder + "/out.TextGrid";
  switch (target) {
    case Target::absent:
      return file;
    case Target::regular:
      put_file(file, previous_content);
      ::chmod(file.c_str(), previous_mode);
      return file;
    case Target::link:
      put_file(folder + "/real.TextGrid", previous_content);
      ::chmod((folder + "/real.TextGrid").c_str(), previous_mode);
      (void)::symlink("real.TextGrid", file.c_str());
      return file;
    case Target::dangling_link:
      (void)::symlink("made.TextGrid", file.c_str());
      return file;
    case Target::folder:
      ::mkdir(file.c_str(), 0700);
      return file;
    case Target::missing_parent:
      return folder + "/missing/out.TextGrid";
    case Target::nul_byte:
      return file + std::string(1, '\0') + "x";
    case Target::under_a_file:
      put_file(file, previous_content);
      return file + "/inner.TextGrid";
  }
  return file;
}

inline bool mode_is(const std::string& path, mode_t mode) {
  struct stat status{};
  return ::stat(path.c_str(), &status) == 0 && (status.st_mode & 07777) == mode;
}

// The file that receives the content, and what the folder holds afterwards.
inline bool saved_as_expected(const std::string& folder, Target target,
                              const std::string& rendered) {
  std::string out = folder + "/out.TextGrid";
  auto entries = folder_entries(folder);
  switch (target) {
    case Target::absent:
      return entries == std::set<std::string>{"out.TextGrid"} && file_bytes(out) == rendered;
    case Target::regular:
      return entries == std::set<std::string>{"out.TextGrid"} && file_bytes(out) == rendered &&
             mode_is(out, previous_mode);
    case Target::link:
    case Target::dangling_link: {
      std::string real = folder + (target == Target::link ? "/real.TextGrid" : "/made.TextGrid");
      struct stat status{};
      return entries.size() == 2 && ::lstat(out.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
             file_bytes(real) == rendered &&
             (target != Target::link || mode_is(real, previous_mode));
    }
    default:
      return false;
  }
}

inline bool untouched_after_failure(const std::string& folder, Target target) {
  std::string out = folder + "/out.TextGrid";
  auto entries = folder_entries(folder);
  struct stat status{};
  switch (target) {
    case Target::folder:
      return entries == std::set<std::string>{"out.TextGrid"} && folder_entries(out).empty();
    case Target::missing_parent:
    case Target::nul_byte:
      return entries.empty();
    case Target::under_a_file:
      return entries == std::set<std::string>{"out.TextGrid"} &&
             ::lstat(out.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
             file_bytes(out) == std::string(previous_content);
    default:
      return false;
  }
}

// Option bits: 0 strict, 1 short layout to parse, 2 save in the long layout,
// 3-5 the target. Whatever parses is saved.
inline bool check_save_file(Input input) {
  std::optional<TextGrid> grid = parse(input.text, input.short_layout(), input.strict());
  if (!grid) return true;
  const std::string& folder = empty_scratch();
  Target target = static_cast<Target>((input.options >> 3) & 7);
  std::string path = prepare_target(folder, target);
  bool long_format = (input.options & 4) != 0;
  std::string rendered =
      long_format ? grid->to_long_textgrid_string() : grid->to_short_textgrid_string();
  try {
    grid->save_textgrid(path, long_format);
  } catch (const textgrid::InternalFailure& failure) {
    return save_should_fail(target) &&
           failure.message().starts_with("Failed to write TextGrid file ") &&
           untouched_after_failure(folder, target);
  }
  return !save_should_fail(target) && saved_as_expected(folder, target, rendered);
}

}  // namespace fuzz
