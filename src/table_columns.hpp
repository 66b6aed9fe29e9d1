#pragma once
// The module's own tables as plain Python values, for the command line.
#include "pyref.hpp"

#include <optional>
#include <span>
#include <vector>

#include "textgrid/tables/arrow.hpp"
#include "textgrid/tables/corpus.hpp"

namespace tavrel {

// {column name: list of values} of every batch in turn; None for nulls.
PyRef table_columns(const textgrid::arrow::Table& table);

// Per file None (it failed) or its tiers as [{"name", "class", "items"}].
PyRef tier_summaries(std::span<const std::optional<std::vector<textgrid::TierSummary>>> files);

}  // namespace tavrel
