// The records of an MCAP byte range (a decompressed chunk, or a region of an
// uncompressed file): which message records a reader wants, where they lie,
// and everything else that is there.
//
// Works on bytes alone, without Python, so that the caller can run it with
// the GIL released.  Every length is checked against the bytes before it is
// used: a record that claims more than remains stops the walk, and nothing is
// allocated beyond what the bytes hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/memory.hpp"

namespace korvex {

// Which messages a scan takes: those of the wanted channels whose log time
// lies in [start, end).
class McapSelection {
 public:
  // Every channel, every time.
  McapSelection() noexcept = default;

  void want_only_listed() noexcept { all_channels_ = false; }
  void want_channel(std::uint16_t channel) noexcept {
    if (wanted_.empty()) wanted_.assign(kWords, 0);
    wanted_[channel / 64] |= std::uint64_t{1} << (channel % 64);
  }
  void set_start(std::uint64_t start) noexcept { start_ = start; }
  void set_end(std::uint64_t end) noexcept {
    end_ = end;
    has_end_ = true;
  }

  bool takes(std::uint16_t channel, std::uint64_t log_time) const noexcept {
    if (log_time < start_ || (has_end_ && log_time >= end_)) return false;
    if (all_channels_) return true;
    return !wanted_.empty() && ((wanted_[channel / 64] >> (channel % 64)) & 1) != 0;
  }

 private:
  static constexpr std::size_t kWords = 65536 / 64;
  Vector<std::uint64_t> wanted_;  // one bit per channel id, allocated on first use
  bool all_channels_ = true;
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
  bool has_end_ = false;
};

// How a walk ended.
enum class McapScanEnd : std::uint8_t {
  Complete,   // every byte belonged to a whole record
  CutShort,   // the record at `stop` runs past the end of the bytes
  Malformed,  // the message record at `stop` is too short for its fields
};

// A record that is not a message: its opcode and where its content lies.
struct McapRecordPlace {
  std::uint8_t opcode;
  std::uint64_t content_offset;
  std::uint64_t content_length;
};

// What a walk found, before anything is copied.
struct McapScanCount {
  McapScanEnd end = McapScanEnd::Complete;
  std::uint64_t stop = 0;           // the first byte not read as a whole record
  std::uint64_t messages = 0;       // messages the selection takes
  std::uint64_t payload_bytes = 0;  // the sum of their data lengths
  bool in_time_order = true;        // their log times never decrease
  Vector<McapRecordPlace> others;   // every other record, in order
};

// Pass one: walks the records of `bytes`, counts what `selection` takes.
McapScanCount count_mcap_records(std::span<const unsigned char> bytes,
                                 const McapSelection& selection);

// Where pass two writes: arrays sized from the count (payload_bytes,
// messages + 1, messages, messages).
struct McapScanOutput {
  unsigned char* payload;
  std::int64_t* offsets;
  std::int64_t* log_times;
  std::uint16_t* channels;
};

// Pass two: copies the data, starts, log times and channels of the messages
// `selection` takes, over the whole records up to `count.stop`.
void copy_mcap_messages(std::span<const unsigned char> bytes, const McapSelection& selection,
                        const McapScanCount& count, const McapScanOutput& out) noexcept;

// Per channel, the messages of a walk: how many and their first and last
// log time (for the inventory of a recording without a summary).
struct McapChannelTally {
  std::uint16_t channel;
  std::uint64_t messages;
  std::uint64_t first_time;
  std::uint64_t last_time;
};

// The tally of every message `selection` takes, channels in order of first
// appearance, over the whole records up to `count.stop`.
Vector<McapChannelTally> tally_mcap_messages(std::span<const unsigned char> bytes,
                                             const McapSelection& selection,
                                             const McapScanCount& count);

// The entries of a Message Index record ((log_time u64, offset u64) each,
// in any order): how many whole ones there are and their least and greatest
// log time (0 and 0 for none).
struct McapIndexTally {
  std::uint64_t entries;
  std::uint64_t first_time;
  std::uint64_t last_time;
};

McapIndexTally tally_message_index(std::span<const unsigned char> entries) noexcept;

}  // namespace korvex
