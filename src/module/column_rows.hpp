// encode_table's column path: the rows of a record batch written as CDR
// straight from the Arrow buffers, through the columns' binding
// (module/column_binding.hpp), with no Python object and without the GIL.
//
// A row is written only where serialize, given the dict the dict path
// builds for it, would write these very bytes: every value is non-null,
// every text valid UTF-8 within its bound, every count within its shape,
// and every offset within what the arrays say they hold.  At anything else
// the walk stops before the row, leaving nothing of it, and encode_table
// takes that row through the dict path, which then gives today's bytes or
// today's error.
#pragma once

#include <cstdint>

#include "base/arrow_c_data.hpp"
#include "cdr/message_buffer.hpp"
#include "module/column_binding.hpp"

namespace korvex {

// Whether the arrays of `batch` are laid out as the binding's Arrow types
// say (buffer and child counts, buffers present, offsets and lengths that
// cannot overflow an index), so that the walk needs to check only indexes
// and the values it reads.  The dict path takes a batch that is not.
[[nodiscard]] bool batch_fits(const ColumnNode& root, const ArrowArray& batch);

struct WrittenRows {
  // The first row not written.
  std::int64_t next = 0;
  // Whether the walk stopped there because the row is not certain (rather
  // than at `end` or because `out` is full).
  bool uncertain = false;
};

// Writes rows [begin, end) of `batch` (one that fits) into `out`, one
// message each, until a row it is not certain of or until `out` holds
// `most_bytes`.  Runs no Python code and needs no GIL.
WrittenRows write_rows(const ColumnNode& root, const ArrowArray& batch, std::int64_t begin,
                       std::int64_t end, MessageBuffer& out, std::size_t most_bytes);

}  // namespace korvex
