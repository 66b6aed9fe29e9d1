// The piecewise save and the document-to-document conversion: what reaches the
// disk, what stays when a save is given up, and each file's outcome.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "textgrid/writing/convert_files.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/writing/safe_save.hpp"

using namespace textgrid;
namespace fs = std::filesystem;

namespace {

// A fresh empty folder of the system's temporary folder.
fs::path empty_folder(const char* name) {
  fs::path folder = fs::temp_directory_path() / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void put(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::size_t entries(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

constexpr const char* point_tier_grid =
    "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n0\n1\n<exists>\n1\n"
    "\"TextTier\"\n\"p\"\n0.1\n0.9\n1\n0.5\n\"x\"\n";

}  // namespace

TEST(a_saver_puts_its_pieces_in_place_only_when_finished) {
  fs::path folder = empty_folder("tavrel_file_saver");
  fs::path target = folder / "t.csv";
  put(target, "old");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  {
    FileSaver saver(target.string());
    saver.write("a,");
    saver.write("b\n");
    CHECK_EQ(contents(target), std::string("old"));
    saver.finish();
  }
  CHECK_EQ(contents(target), std::string("a,b\n"));
  CHECK(fs::status(target).permissions() == (fs::perms::owner_read | fs::perms::owner_write));
  {
    FileSaver abandoned(target.string());
    abandoned.write("never");
  }
  CHECK_EQ(contents(target), std::string("a,b\n"));
  CHECK_EQ(entries(folder), std::size_t{1});  // no temporary file left
  fs::remove_all(folder);
}

TEST(a_saver_failure_keeps_the_system_error) {
  fs::path missing = fs::temp_directory_path() / "tavrel_no_such_folder" / "t.csv";
  int code = 0;
  try {
    FileSaver saver(missing.string());
  } catch (const SaveFailure& failure) {
    code = failure.os_code();
  }
  CHECK_EQ(code, ENOENT);
}

TEST(conversions_keep_tier_bounds_and_report_each_file) {
  fs::path folder = empty_folder("tavrel_convert_files");
  put(folder / "points.TextGrid", point_tier_grid);
  put(folder / "overlap.TextGrid",
      "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n0\n2\n<exists>\n1\n"
      "\"IntervalTier\"\n\"w\"\n0\n2\n2\n0\n1.5\n\"a\"\n1\n2\n\"b\"\n");
  std::vector<std::string> sources, targets;
  for (const char* name : {"points", "overlap", "missing"}) {
    sources.push_back((folder / (std::string(name) + ".TextGrid")).string());
    targets.push_back((folder / (std::string(name) + ".long")).string());
  }
  std::vector<ConvertOutcome> outcomes = convert_files(sources, targets, false, true);
  CHECK(!outcomes[0].error_kind);
  CHECK_EQ(outcomes[1].error_kind.value_or(""), std::string("write"));
  CHECK_EQ(outcomes[1].error.value_or(""),
           std::string("Failed to create TextGrid because: Items 0 and 1 overlap in tier w"));
  CHECK_EQ(outcomes[2].error_kind.value_or(""), std::string("open"));
  CHECK(!fs::exists(targets[1]) && !fs::exists(targets[2]));
  Result<TextGrid> written = read_from_file(targets[0], true, "long");
  CHECK(written.has_value());
  if (written) {
    CHECK_EQ(written->tiers.at(0).tmin, 0.1);
    CHECK_EQ(written->tiers.at(0).tmax, 0.9);
  }
  fs::remove_all(folder);
}
