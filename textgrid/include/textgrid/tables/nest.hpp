#pragma once
// Items of one tier joined to the items of another tier that contain them
// (phones to their words), file by file, over any Arrow stream of TextGrid rows.
#include <memory>
#include <string_view>

#include "textgrid/tables/arrow.hpp"
#include "textgrid/model/error.hpp"

namespace textgrid::arrow {

// Takes over the stream (and releases it). The result has the rows of tier
// `child` in stream order, every column of the stream (texts as utf8, or
// large_utf8 beyond 2 GiB), then parent_label, parent_tmin, parent_tmax and
// parent_index: the earliest item of tier `parent` in the same file (by
// file_id) whose [tmin, tmax] holds the child's, null when none does. A
// missing column, or a column of a type that cannot be carried over, is an
// error value.
Result<std::shared_ptr<const Table>> nest_tiers(ArrowArrayStream& stream, std::string_view parent,
                                                std::string_view child);

}  // namespace textgrid::arrow
