// decode_table's walk: a batch of CDR messages, each with its own
// encapsulation header, appended value by value to the buffers of their
// columns (cdr/columns.hpp), in record batches whose int32 offsets cannot
// overflow.
#pragma once

#include <cstdint>
#include <span>

#include "base/memory.hpp"
#include "cdr/columns.hpp"

namespace korvex {

using MessageBytes = std::span<const unsigned char>;

// The most bytes (and values that occupy none) a record batch takes in: no
// offset of any of its columns can grow past it.  The test-only module
// lowers it to reach the start of a new batch with small inputs.
#ifndef KORVEX_BATCH_INPUT_LIMIT
#define KORVEX_BATCH_INPUT_LIMIT 0x7FFFFFFF
#endif
inline constexpr std::uint64_t kBatchInputLimit = KORVEX_BATCH_INPUT_LIMIT;
static_assert(kBatchInputLimit <= 0x7FFFFFFF);

// Where a decode that takes its messages in several parts stands: the
// messages before this part, and the input the last record batch has
// taken in.
struct ColumnDecodeProgress {
  std::uint64_t messages = 0;
  std::uint64_t batch_input = 0;
};

// Decodes every message of `messages` into `batches` (one ColumnData of
// `root` per record batch, its length the batch's rows), after what
// `progress` says earlier calls appended (a first call finds `batches`
// empty).  False with the reason in `failure` ("message 3, field
// 'pose.position.x': ...", counted from the first part) when a message is
// malformed; the batches are then partly filled and only fit to be dropped.
[[nodiscard]] bool decode_columns(const ColumnType& root, std::span<const MessageBytes> messages,
                                  Vector<ColumnData>& batches, String& failure,
                                  ColumnDecodeProgress& progress);

}  // namespace korvex
