// A long-layout text cut off at every byte: each reader of the long grammar
// (the one-pass loops, the general path, a sink, the locating scan) refuses
// exactly the cuts that fall after an item's time lines and before its label,
// with one message naming the last line; every other cut reads.
#include <algorithm>
#include <string>
#include <vector>

#include "../fuzz/fuzz_checks.hpp"
#include "check.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/source_map.hpp"

using namespace textgrid;

namespace {

const std::string whole =
    "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\nxmin = 0\nxmax = 2\n"
    "tiers? <exists>\nsize = 2\nitem []:\n    item [1]:\n        class = \"IntervalTier\"\n"
    "        name = \"w\"\n        xmin = 0\n        xmax = 2\n        intervals: size = 2\n"
    "        intervals [1]:\n            xmin = 0\n            xmax = 1\n"
    "            text = \"a\"\n        intervals [2]:\n            xmin = 1\n"
    "            xmax = 2\n            text = \"b\"\n    item [2]:\n"
    "        class = \"TextTier\"\n        name = \"p\"\n        xmin = 0\n        xmax = 2\n"
    "        points: size = 1\n        points [1]:\n            number = 0.5\n"
    "            mark = \"m\"\n";

// What a cut at `size` bytes fails with, or "" when it reads: the lines of
// the last item begun that the cut keeps (a cut line counts once it holds its
// "="), judged as Praat writes them, time lines first and the label last.
std::string expected_failure(std::size_t size) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < size;) {
    std::size_t end = std::min(whole.find('\n', start), size);
    lines.push_back(whole.substr(start, end - start));
    start = end + 1;
  }
  bool interval = true, start_line = false, end_line = false, label_line = false;
  std::size_t tier = 0;
  bool in_item = false;
  for (const std::string& line : lines) {
    const std::string key = line.substr(line.find_first_not_of(' ') == std::string::npos
                                            ? line.size()
                                            : line.find_first_not_of(' '));
    if (key.starts_with("item [") && !key.starts_with("item []")) ++tier, in_item = false;
    if (key.starts_with("intervals [") || key.starts_with("points [")) {
      interval = key.starts_with("intervals");
      in_item = true, start_line = end_line = label_line = false;
    }
    if (!in_item || line.find('=') == std::string::npos) continue;
    start_line |= key.starts_with("xmin") || key.starts_with("number");
    end_line |= key.starts_with("xmax") || key.starts_with("number");
    label_line |= key.starts_with("text") || key.starts_with("mark");
  }
  if (!in_item || label_line || !(start_line || end_line)) return "";
  std::string missing = interval ? (end_line ? "text line is" : "xmax and text lines are")
                                 : "mark line is";
  return "failure;Long TextGrid ended early: the text ends on line " +
         std::to_string(lines.size()) + ", inside " + (interval ? "an interval" : "a point") +
         " of tier " + std::to_string(tier) + " whose " + missing + " missing";
}

std::string located(std::string_view text, std::size_t& stopped) {
  SourceMap map;
  try {
    return fuzz::describe(locate_long_text(text, map));
  } catch (const InternalFailure& failure) {
    stopped = map.stopped;
    return std::string("failure;") + failure.what();
  }
}

}  // namespace

TEST(long_text_cut_inside_an_item_fails_in_every_reader) {
  std::size_t failures = 0;
  for (std::size_t size = 0; size <= whole.size(); ++size) {
    const std::string text = whole.substr(0, size);
    const std::string general = fuzz::outcome(text, false, Front::general_only);
    CHECK_EQ(fuzz::outcome(text, false, Front::common_spellings), general);
    CHECK_EQ(fuzz::outcome_through_sink(text, false), general);
    std::size_t stopped = 0;
    const std::string located_outcome = located(text, stopped);
    CHECK_EQ(located_outcome.starts_with("failure;"), general.starts_with("failure;"));
    const std::string message = expected_failure(size);
    if (message.empty()) {  // a cut class word fails as it always has
      CHECK(!general.starts_with("failure;Long TextGrid ended early"));
      continue;
    }
    ++failures;
    CHECK_EQ(general, message);
    CHECK_EQ(located_outcome, message);
    const auto breaks = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    CHECK_EQ(stopped, breaks + (text.ends_with('\n') ? 0 : 1));
  }
  CHECK(failures > 100);  // every byte of the cut item lines
}
