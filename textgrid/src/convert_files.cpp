// Converting files document to document on the pool, each file read once and
// saved with the one safe save, with one outcome per file.
#include "textgrid/convert_files.hpp"

#include <exception>
#include <new>
#include <optional>
#include <string>

#include "textgrid/cancel.hpp"
#include "textgrid/failure.hpp"
#include "textgrid/parallel.hpp"
#include "textgrid/textgrid.hpp"

namespace textgrid {
namespace {

ConvertOutcome failed(const char* kind, std::string message) {
  return {std::string(kind), std::move(message)};
}

// The counts a file declares describe that file; the new one declares what it holds.
void declare_actual_counts(TextGrid& grid) {
  grid.size = grid.tiers.size();
  for (Tier& tier : grid.tiers) tier.size = tier.items.size();
}

ConvertOutcome convert_one(const std::string& source, const std::string& target, bool strict,
                           bool long_format) {
  SourceInfo info;
  std::optional<TextGrid> grid;
  try {
    Result<TextGrid> read = read_from_file(source, strict, "auto", &info);
    if (!read)
      return failed(read_error_kind(read.error(), info),
                    "Failed to read TextGrid file " + with_replacement_characters(source) +
                        " because: " + read.error().message);
    grid = std::move(*read);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& failure) {
    return failed("structure", failure.what());
  }
  declare_actual_counts(*grid);
  if (Status valid = grid->assert_valid(); !valid)
    return failed("write", "Failed to create TextGrid because: " + valid.error().message);
  try {
    grid->save_textgrid(target, long_format);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& failure) {
    return failed("write", with_replacement_characters(failure.what()));
  }
  return {};
}

}  // namespace

std::vector<ConvertOutcome> convert_files(std::span<const std::string> sources,
                                          std::span<const std::string> targets, bool strict,
                                          bool long_format) {
  if (targets.size() != sources.size())
    fail("convert_files: " + std::to_string(sources.size()) + " sources but " +
         std::to_string(targets.size()) + " targets");
  return ordered_parallel_map(sources.size(), [&](std::size_t k) {
    return convert_one(sources[k], targets[k], strict, long_format);
  });
}

}  // namespace textgrid
