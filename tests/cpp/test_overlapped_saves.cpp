// Saving a batch with its flushes overlapped: every file complete at its path
// and nothing left beside it, from several threads at once; nothing changed
// when the work is cancelled.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/model/textgrid.hpp"
#include "textgrid/writing/overlapped_saves.hpp"
#include "textgrid/writing/piece_writer.hpp"

using namespace textgrid;
namespace fs = std::filesystem;

namespace {

fs::path fresh_folder(const char* name) {
  fs::path folder = fs::temp_directory_path() / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

std::string read_back(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string text_of(std::size_t file) { return "file " + std::to_string(file) + "\n"; }

}  // namespace

TEST(overlapped_saves_put_every_file_in_place_from_several_threads) {
  const fs::path folder = fresh_folder("tavrel_overlapped_saves");
  constexpr std::size_t files = 300;
  std::vector<std::optional<std::string>> failures(files);
  {
    OverlappedSaves saves;
    auto save_range = [&](std::size_t first) {
      for (std::size_t k = first; k < files; k += 2)
        saves.save((folder / (std::to_string(k) + ".TextGrid")).string(), text_of(k), failures[k]);
    };
    std::thread other(save_range, 1);
    save_range(0);
    other.join();
    saves.wait();
  }
  std::size_t right = 0;
  for (std::size_t k = 0; k < files; ++k)
    right += !failures[k] && read_back(folder / (std::to_string(k) + ".TextGrid")) == text_of(k);
  CHECK_EQ(right, files);
  CHECK_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {})), files);
  fs::remove_all(folder);
}

TEST(overlapped_saves_fail_at_once_where_the_file_cannot_be_written) {
  OverlappedSaves saves;
  std::optional<std::string> failure;
  bool refused = false;
  try {
    saves.save((fs::temp_directory_path() / "tavrel_no_such_folder" / "a.TextGrid").string(), "x",
               failure);
  } catch (const SaveFailure&) {
    refused = true;
  }
  saves.wait();
  CHECK(refused);
  CHECK(!failure);
}

TEST(cancelled_overlapped_saves_leave_the_old_files) {
  const fs::path folder = fresh_folder("tavrel_overlapped_cancel");
  const fs::path target = folder / "kept.TextGrid";
  std::ofstream(target, std::ios::binary) << "old";
  auto token = std::make_shared<CancelToken>();
  bool cancelled = false;
  {
    CancellationScope scope(token);
    OverlappedSaves saves;
    std::optional<std::string> failure;
    token->cancel();
    try {  // the write itself, or the flush, notices
      saves.save(target.string(), "new", failure);
      saves.wait();
    } catch (const Cancelled&) {
      cancelled = true;
    }
  }
  CHECK(cancelled);
  CHECK_EQ(read_back(target), std::string("old"));
  CHECK_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {})),
           std::size_t{1});
  fs::remove_all(folder);
}

TEST(only_small_saves_to_regular_files_are_quick) {
  const fs::path folder = fresh_folder("tavrel_quick_save");
  const fs::path file = folder / "a.TextGrid";
  std::ofstream(file, std::ios::binary) << "old";
  struct Case {
    fs::path path;
    std::size_t items;
    bool quick;
  };
  const Case cases[] = {
      {file, 10, true},
      {folder / "new.TextGrid", quick_save_items, true},
      {folder / "missing" / "a.TextGrid", 10, true},  // fails at once
      {file, quick_save_items + 1, false},
      {folder, 10, false},  // a folder: written in place, which fails
      {"/dev/null", 10, false},
  };
  for (const Case& c : cases) CHECK_EQ(quick_to_save(c.path.string(), c.items), c.quick);
  fs::remove_all(folder);
}

TEST(piece_writer_puts_its_pieces_in_order_and_only_when_finished) {
  const fs::path folder = fresh_folder("tavrel_piece_writer");
  const fs::path path = folder / "a.TextGrid";
  std::ofstream(path) << "old";
  std::string expected;
  {
    PieceWriter writer(path.string());
    for (std::size_t piece = 0; piece < 100; ++piece) {
      std::string text(1000 + piece, static_cast<char>('a' + piece % 26));
      expected += text;
      writer.write(std::move(text));
    }
    CHECK_EQ(read_back(path), std::string("old"));
    writer.finish();
  }
  CHECK_EQ(read_back(path), expected);
  {
    PieceWriter abandoned(path.string());
    abandoned.write("never");
    abandoned.write("seen");
  }
  CHECK_EQ(read_back(path), expected);
  CHECK_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator())),
           std::size_t{1});
  fs::remove_all(folder);
}

// Large enough to be saved in pieces: the file holds the very text of the
// document, in both layouts, tiers of either kind and pieces cut mid-tier.
TEST(documents_saved_in_pieces_hold_their_whole_text) {
  const fs::path folder = fresh_folder("tavrel_saved_in_pieces");
  TextGrid grid;
  grid.tmin = 0.0;
  grid.tmax = 200000.0;
  for (bool interval : {true, false}) {
    Tier tier;
    tier.name = interval ? "words" : "events \"x\"";
    tier.is_interval = interval;
    tier.tmax = grid.tmax;
    const std::size_t count = interval ? 130000 : 5000;
    for (std::size_t i = 0; i < count; ++i) {
      const double start = static_cast<double>(i) * 1.25;
      tier.items.push_back({i % 7 == 0 ? "say \"hi\"" : "w" + std::to_string(i), start,
                            interval ? start + 1.25 : start});
    }
    tier.size = tier.items.size();
    grid.tiers.push_back(std::move(tier));
  }
  grid.size = grid.tiers.size();
  for (bool long_layout : {true, false}) {
    const fs::path path = folder / (long_layout ? "long.TextGrid" : "short.TextGrid");
    grid.save_textgrid(path.string(), long_layout);
    CHECK(read_back(path) ==
          (long_layout ? grid.to_long_textgrid_string() : grid.to_short_textgrid_string()));
  }
  CHECK_THROWS(grid.save_textgrid((folder / "missing" / "x.TextGrid").string(), true));
  fs::remove_all(folder);
}
