// Converting files document to document on the pool, each file read once and
// saved with the one safe save, with one outcome per file.
#include "textgrid/writing/convert_files.hpp"

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/model/textgrid.hpp"
#include "textgrid/reading/diagnostics.hpp"
#include "textgrid/writing/overlapped_saves.hpp"

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

// A source no parser could read: a text without a TextGrid header is no TextGrid.
ConvertOutcome structure_failure(const std::string& source, std::string_view content,
                                 const ReadOptions& options, std::string message) {
  std::vector<Problem> problems = content.data() ? diagnose_bytes(content, {options, false})
                                                 : diagnose_file(source, {options, false});
  if (!problems.empty() && problems.front().kind == "format")
    return failed("format", read_failure_message(source, invalid_data(problems.front().message)));
  return failed("structure", std::move(message));
}

// `content`, when it has data, holds the source's bytes (an archive member, say).
ConvertOutcome convert_one(const std::string& source, std::string_view content,
                           const std::string& target, const ReadOptions& options,
                           bool long_format, OverlappedSaves& saves, std::optional<std::string>& flush_failure) {
  SourceInfo info;
  std::optional<TextGrid> grid;
  try {
    Result<TextGrid> read =
        content.data() ? read_from_bytes(content, file_stem(source), options, &info)
                       : read_from_file(source, options, &info);
    if (!read)
      return failed(read_error_kind(read.error(), info), read_failure_message(source, read.error()));
    grid = std::move(*read);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& failure) {
    return structure_failure(source, content, options, failure.what());
  }
  declare_actual_counts(*grid);
  if (Status valid = grid->assert_valid(); !valid)
    return failed("write", "Failed to create TextGrid because: " + valid.error().message);
  try {
    const std::string text =
        long_format ? grid->to_long_textgrid_string() : grid->to_short_textgrid_string();
    saves.save(target, text, flush_failure);
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
                                          bool long_format,
                                          std::span<const std::string_view> contents,
                                          std::span<const std::optional<std::string>> unavailable,
                                          TextEncoding encoding) {
  if (targets.size() != sources.size() || (!contents.empty() && contents.size() != sources.size()) ||
      (!unavailable.empty() && unavailable.size() != sources.size()))
    fail("convert_files: " + std::to_string(sources.size()) + " sources but " +
         std::to_string(targets.size()) + " targets and " + std::to_string(contents.size()) +
         " contents");
  std::vector<std::optional<std::string>> flush_failures(sources.size());
  OverlappedSaves saves;
  const ReadOptions options{strict, FileType::automatic, encoding};
  std::vector<ConvertOutcome> outcomes = ordered_parallel_map(sources.size(), [&](std::size_t k) {
    if (!unavailable.empty() && unavailable[k])
      return failed("open", read_failure_message(sources[k], Error{ErrorKind::Os, *unavailable[k]}));
    return convert_one(sources[k], contents.empty() ? std::string_view{} : contents[k], targets[k],
                       options, long_format, saves, flush_failures[k]);
  });
  saves.wait();
  for (std::size_t k = 0; k < sources.size(); ++k)
    if (flush_failures[k]) outcomes[k] = failed("write", std::move(*flush_failures[k]));
  return outcomes;
}

}  // namespace textgrid
