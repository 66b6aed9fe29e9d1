#pragma once
// Reading tables that other libraries produce, through the Arrow C stream
// interface: the columns of TextGrid rows, and per-file bounds.
#include <cstddef>
#include <string_view>

#include "textgrid/arrow.hpp"
#include "textgrid/corpus.hpp"
#include "textgrid/error.hpp"

namespace textgrid::arrow {

// Both take over the stream (and release it). Columns are found by name;
// text columns may be utf8, large_utf8, utf8_view or dictionary-encoded of
// those; ids any integer type; times float64 (or float32 or integers); tier
// classes bool. A null label reads as an empty text; other nulls, missing
// columns and other types are an error value.
// With `tier_indices`, the integer column tier_index is read too.
Result<CorpusColumns> read_corpus_columns(ArrowArrayStream& stream, bool tier_indices = false);

// Whether the stream's schema has a column of that name (the stream stays
// unread); false when the schema cannot be had.
bool has_column(ArrowArrayStream& stream, std::string_view name);

// Columns file_id, tmin and tmax; a null time leaves that bound unset. Ids
// at or beyond `files` are an error value.
Result<FileBounds> read_file_bounds(ArrowArrayStream& stream, std::size_t files);

}  // namespace textgrid::arrow
