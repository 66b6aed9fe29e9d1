#pragma once
// Reading tables that other libraries produce, through the Arrow C stream
// interface: the columns of TextGrid rows, and per-file bounds.
#include <cstddef>
#include <string>

#include "textgrid/tables/arrow.hpp"
#include "textgrid/tables/corpus.hpp"
#include "textgrid/model/error.hpp"

namespace textgrid::arrow {

// Both take over the stream (and release it). Columns are found by name;
// text columns may be utf8, large_utf8, utf8_view or dictionary-encoded of
// those; ids any integer type; times float64 (or float32 or integers); tier
// classes bool. A null label reads as an empty text; other nulls, missing or
// repeated columns and other types are an error value. Nothing the producer
// hands over is trusted: a record batch that does not match the schema, or a
// text offset, view or dictionary index outside its buffers, is an error
// value too (messages number batches and rows from 0).
// With TierIndices::when_present, a tier_index column (integers), when the
// table has one, is read into `tier_indices` too.
enum class TierIndices { ignore, when_present };
Result<CorpusColumns> read_corpus_columns(ArrowArrayStream& stream,
                                          TierIndices tier_indices = TierIndices::ignore);

// Columns file_id, tmin and tmax; a null time leaves that bound unset. Ids
// at or beyond `files` are an error value.
Result<FileBounds> read_file_bounds(ArrowArrayStream& stream, std::size_t files);

// A stream of one record batch (an exported struct array and its schema),
// both moved in; for producers that offer a single array, not a stream.
void single_batch_stream(ArrowSchema& schema, ArrowArray& batch, ArrowArrayStream& out);

// A field's type in words, as Arrow libraries name it ("float64",
// "timestamp[ms]", "dictionary<values=string, indices=int32>"), for messages.
std::string describe_type(const ArrowSchema& field);

}  // namespace textgrid::arrow
