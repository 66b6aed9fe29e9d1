// Locating the problems of a file that failed: it is read once more with the
// readers' recording instantiations, and its faults are described with the
// tier's name, the items' numbers as the file gives them, their times and the
// line each stands on. Plain reading never comes here.
#include "textgrid/reading/diagnostics.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <filesystem>
#include <system_error>
#include <new>

#include "textgrid/model/failure.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/reading/text_parsers.hpp"
#include "textgrid/reading/praat_formats.hpp"
#include "textgrid/reading/source_map.hpp"
#include "readable_text.hpp"

namespace textgrid {
namespace {

std::string time_text(double value) {
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc{} ? std::string(buffer, end) : std::string("?");
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + string.
std::string span(double tmin, double tmax) {
  std::string text = "(";
  text += time_text(tmin);
  text += "\u2013";
  text += time_text(tmax);
  text += ')';
  return text;
}

std::string span(const Item& item, bool interval) {
  if (interval) return span(item.tmin, item.tmax);
  std::string text = "(";
  text += time_text(item.tmin);
  text += ')';
  return text;
}

// What is wrong with bounds the model refuses, from the values themselves:
// an end at 0 is no negative time but one that does not come after its start.
struct BoundsProblem {
  bool at_start;  // the start is at fault, else the end
  std::string text;
};

std::string not_finite_text(const char* verb, double value) {
  return std::string(verb) + " at " + time_text(value) +
         (std::isnan(value) ? ", not a number" : ", not a finite time");
}

BoundsProblem bounds_problem(double tmin, double tmax) {
  if (!std::isfinite(tmin)) return {true, not_finite_text("starts", tmin)};
  if (!std::isfinite(tmax)) return {false, not_finite_text("ends", tmax)};
  if (tmin < 0.0) return {true, "starts at " + time_text(tmin) + ", before 0"};
  return {false, "ends at " + time_text(tmax) + ", not after its start " + time_text(tmin)};
}

std::size_t bound_line(const BoundsProblem& problem, std::size_t tmin_line,
                       std::size_t tmax_line) noexcept {
  return problem.at_start ? tmin_line : tmax_line;
}

std::string quoted_name(std::string_view name) { return "\"" + readable_text(name) + "\""; }

std::string count_text(std::size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

class Collector {
 public:
  explicit Collector(bool all) : all_(all) {}
  bool done() const noexcept { return !all_ && !problems_.empty(); }
  void add(std::size_t line, std::size_t tier, std::size_t item, std::string message) {
    problems_.push_back({"validation", line, tier, item, std::move(message)});
  }
  std::vector<Problem> take() && { return std::move(problems_); }

 private:
  bool all_;
  std::vector<Problem> problems_;
};

// How the file numbers a tier's items, and where they stand.
struct TierPlace {
  const TierLines* lines;
  std::size_t tier;  // the tier's number
  std::string name;  // quoted, for messages
  const char* word;  // "intervals" or "points"

  std::size_t number(std::size_t i) const noexcept {
    return lines && i < lines->numbers.size() ? lines->numbers[i] : i + 1;
  }
  std::size_t line(std::size_t i) const noexcept {
    return lines && i < lines->items.size() ? lines->items[i] : 0;
  }
};

void check_items(const Tier& tier, const TierPlace& at, Collector& found) {
  const auto& items = tier.items;
  for (std::size_t i = 0; i < items.size() && !found.done(); ++i) {
    std::string item = std::string(at.word) + " [" + std::to_string(at.number(i)) + "] ";
    if (tier.is_interval) {
      if (time_bounds_fault(items[i].tmin, items[i].tmax) != BoundsFault::none)
        found.add(at.line(i), at.tier, at.number(i),
                  item + span(items[i], true) + " in tier " + at.name + ": " +
                      bounds_problem(items[i].tmin, items[i].tmax).text);
    } else if (!std::isfinite(items[i].tmin) || !std::isfinite(items[i].tmax)) {
      double time = std::isfinite(items[i].tmin) ? items[i].tmax : items[i].tmin;
      found.add(at.line(i), at.tier, at.number(i),
                item + span(items[i], false) + " in tier " + at.name + ": " +
                    not_finite_text("is", time));
    } else if (std::abs(items[i].tmin - items[i].tmax) > time_bound_tolerance) {
      found.add(at.line(i), at.tier, at.number(i),
                item + span(items[i], true) + " in tier " + at.name + ": tmin should equal tmax");
    }
    if (found.done() || i + 1 >= items.size() || !overlaps_next(items[i], items[i + 1])) continue;
    // The later item is the one that starts too early: its line is given.
    std::string pair = item + span(items[i], tier.is_interval) + " and [" +
                       std::to_string(at.number(i + 1)) + "] " +
                       span(items[i + 1], tier.is_interval);
    found.add(at.line(i + 1), at.tier, at.number(i + 1),
              pair + (tier.is_interval ? " overlap in tier " : " are out of time order in tier ") +
                  at.name);
  }
}

void check_tier(const Tier& tier, std::size_t index, const SourceMap& map, Collector& found) {
  const TierLines* lines = index < map.tiers.size() ? &map.tiers[index] : nullptr;
  TierPlace at{lines, lines ? lines->number : index + 1, quoted_name(tier.name),
               tier.is_interval ? "intervals" : "points"};
  if (tier.size != tier.items.size()) {
    std::size_t line = lines ? (lines->size ? lines->size : lines->header) : 0;
    found.add(line, at.tier, 0,
              "tier " + at.name + " declares " +
                  count_text(static_cast<std::size_t>(tier.size), tier.is_interval ? "interval" : "point") +
                  " but holds " + std::to_string(tier.items.size()));
    if (found.done()) return;
  }
  if (time_bounds_fault(tier.tmin, tier.tmax) != BoundsFault::none) {
    BoundsProblem problem = bounds_problem(tier.tmin, tier.tmax);
    std::size_t line = lines ? bound_line(problem, lines->tmin, lines->tmax) : 0;
    found.add(line ? line : (lines ? lines->header : 0), at.tier, 0,
              "tier " + at.name + " " + span(tier.tmin, tier.tmax) + ": " + problem.text);
    if (found.done()) return;
  }
  check_items(tier, at, found);
}

Problem unlocated(std::string_view bytes, const DiagnoseOptions& options) {
  SourceInfo info;
  try {
    Result<TextGrid> read = read_from_bytes(bytes, {}, options.read, &info);
    if (read) return {};
    const char* kind = read.error().kind != ErrorKind::InvalidData ? "open"
                       : info.layout.empty()                       ? "encoding"
                                                                   : "validation";
    return {kind, 0, 0, 0, readable_text(read.error().message, message_characters)};
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& failure) {
    return {"structure", 0, 0, 0, readable_text(failure.what(), message_characters)};
  }
}

TextGrid locate(TextReader reader, std::string_view text, SourceMap& map) {
  switch (reader) {
    case TextReader::long_text:
      return locate_long_text(text, map);
    case TextReader::free_text:
    case TextReader::short_without_blank:
      return locate_free_text(text, map);
    default:
      return locate_short_text(text, map);
  }
}

// Where a reading stopped: the tier and item last begun.
Problem structure_problem(const SourceMap& map, std::string_view message) {
  Problem problem{"structure", std::max<std::size_t>(map.stopped, 1), 0, 0,
                  readable_text(message, message_characters)};
  if (!map.tiers.empty()) {
    problem.tier = map.tiers.back().number;
    if (!map.tiers.back().numbers.empty()) problem.item = map.tiers.back().numbers.back();
  }
  return problem;
}

// Bytes the encoding asked for cannot read. The reader's message alone stands
// for text that Latin-1 reads (callers may say how to ask for it); the two
// cases that no encoding reads say why.
Problem undecodable(std::string_view bytes, const std::string& message) {
  std::size_t line = line_at(bytes, first_undecodable_byte(bytes));
  if (byte_order_mark(bytes) == Encoding::utf8_sig)
    return {"encoding", line, 0, 0, message + " after its UTF-8 byte-order mark"};
  std::string converted;
  std::string_view text = bytes;
  if (!decode_text(text, converted, TextEncoding::latin1))  // NUL in every other byte
    return {"encoding", 1, 0, 0, message + ": it is UTF-16 without a byte-order mark"};
  return {"encoding", line, 0, 0, message};
}

std::vector<Problem> diagnose_text(std::string_view bytes, const DiagnoseOptions& options) {
  const bool automatic = options.read.file_type == FileType::automatic;
  if (automatic && is_binary_textgrid(bytes)) return {};
  std::string converted;
  std::string_view text = bytes;
  if (Result<Encoding> decoded = decode_text(text, converted, options.read.encoding); !decoded)
    return {undecodable(bytes, decoded.error().message)};
  TextReader reader = choose_text_reader(text, options.read.file_type);
  if (reader == TextReader::chronological) return {};
  SourceMap map;
  TextGrid grid;
  try {
    grid = locate(reader, text, map);
  } catch (const InternalFailure& failure) {
    if (reader == TextReader::blank) return {structure_problem(map, empty_file_message)};
    if (!has_textgrid_header(text)) return {{"format", 0, 0, 0, not_a_textgrid_message}};
    return {structure_problem(map, failure.message())};
  }
  if (!options.read.strict) return {};
  return validation_problems(grid, map, options.all);
}

}  // namespace

std::vector<Problem> validation_problems(const TextGrid& grid, const SourceMap& map, bool all) {
  Collector found(all);
  if (grid.size != grid.tiers.size()) {
    found.add(map.size, 0, 0,
              "the TextGrid declares " + count_text(static_cast<std::size_t>(grid.size), "tier") +
                  " but holds " + std::to_string(grid.tiers.size()));
  }
  if (!found.done() && time_bounds_fault(grid.tmin, grid.tmax) != BoundsFault::none) {
    BoundsProblem problem = bounds_problem(grid.tmin, grid.tmax);
    found.add(bound_line(problem, map.tmin, map.tmax), 0, 0,
              "TextGrid " + span(grid.tmin, grid.tmax) + ": " + problem.text);
  }
  for (std::size_t t = 0; t < grid.tiers.size() && !found.done(); ++t)
    check_tier(grid.tiers[t], t, map, found);
  return std::move(found).take();
}

std::vector<Problem> diagnose_bytes(std::string_view bytes, const DiagnoseOptions& options) {
  std::vector<Problem> problems;
  try {
    problems = diagnose_text(bytes, options);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& failure) {  // a stray library exception
    problems = {{"structure", 0, 0, 0, readable_text(failure.what(), message_characters)}};
  }
  if (problems.empty()) {
    // A fault this reading cannot place (the binary and chronological formats).
    if (Problem found = unlocated(bytes, options); !found.kind.empty()) problems.push_back(found);
  }
  return problems;
}

std::vector<Problem> diagnose_file(std::string_view path, const DiagnoseOptions& options) {
  // A second reading of a pipe or a device would wait for more, or read
  // something else: only regular files are read again.
  std::error_code error;
  if (path.find('\0') != std::string_view::npos ||
      !std::filesystem::is_regular_file(std::filesystem::path(path), error))
    return {};
  Result<std::string> bytes = read_bytes(path);
  if (!bytes) return {{"open", 0, 0, 0, bytes.error().message}};
  return diagnose_bytes(*bytes, options);
}

}  // namespace textgrid
