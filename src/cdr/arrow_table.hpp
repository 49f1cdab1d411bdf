// The columns of one decode_table call, shared by every Arrow stream and
// array exported from them (the Arrow C data interface,
// base/arrow_c_data.hpp).
//
// A TableData is immutable once made and counts its references atomically:
// the Python Table holds one, every exported stream and array node another,
// and each release callback drops its own, on whatever thread the consumer
// calls it and without the GIL.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/arrow_c_data.hpp"
#include "base/memory.hpp"
#include "cdr/columns.hpp"

namespace korvex {

// A column of the table: a field of the message, or with flatten a field
// of a nested message ("pose.position.x"), reached from the message's
// column by the child indices of `path`; or the log times a recording
// gives its messages (`log_time`, no path).
struct TableColumn {
  String name;
  const ColumnType* type;
  Vector<std::size_t> path;
  bool log_time = false;
};

class TableData : public AbortingNew {
 public:
  // Takes the batches decode_columns filled; with `flatten`, nested
  // messages are replaced by their fields, named "outer.inner", until none
  // is left (lists of messages stay).  With `log_times` (one per row), the
  // first column is "log_time", timestamp[ns, UTC], cut into the same
  // record batches as the rows.  One reference, the caller's.
  [[nodiscard]] static TableData* make(String type_name, ColumnType root,
                                       Vector<ColumnData> batches, bool flatten,
                                       const Vector<std::int64_t>* log_times = nullptr);

  void retain() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  std::string_view type_name() const noexcept { return type_name_; }
  std::int64_t rows() const noexcept { return rows_; }
  const Vector<TableColumn>& columns() const noexcept { return columns_; }
  std::size_t batch_count() const noexcept { return batches_.size(); }

  // Fill an empty struct; the consumer calls its release once.
  void export_schema(ArrowSchema* out) const;
  void export_batch(std::size_t index, ArrowArray* out);
  void export_stream(ArrowArrayStream* out);

 private:
  TableData() = default;
  void add_columns(const ColumnType& type, const String& prefix, Vector<std::size_t>& path,
                   bool flatten);

  std::atomic<std::int64_t> references_{1};
  String type_name_;
  ColumnType root_;
  Vector<ColumnData> batches_;
  // The log_time column's type and its values in each record batch, when
  // the table has one.
  ColumnType log_time_type_;
  Vector<ColumnData> log_time_batches_;
  Vector<TableColumn> columns_;
  std::int64_t rows_ = 0;
};

}  // namespace korvex
