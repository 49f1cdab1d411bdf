#include "ros2/mcap_scan.hpp"

#include <algorithm>
#include <cstring>

#include "base/byte_order.hpp"

namespace korvex {
namespace {

constexpr std::uint8_t kMessageOpcode = 0x05;
constexpr std::uint64_t kRecordHeader = 1 + 8;  // opcode, content length
// channel_id u16, sequence u32, log_time u64, publish_time u64, then the data.
constexpr std::uint64_t kMessageFields = 2 + 4 + 8 + 8;

struct Record {
  std::uint8_t opcode;
  std::uint64_t content;  // offset of the content
  std::uint64_t length;
};

// The record at `at`, or false where its header or content runs past `size`.
[[nodiscard]] bool record_at(std::span<const unsigned char> bytes, std::uint64_t at,
                             Record& out) noexcept {
  const std::uint64_t size = bytes.size();
  if (size - at < kRecordHeader) return false;
  const std::uint64_t length = load_le<std::uint64_t>(bytes.data() + at + 1);
  if (length > size - at - kRecordHeader) return false;
  out = Record{bytes[at], at + kRecordHeader, length};
  return true;
}

struct MessageFields {
  std::uint16_t channel;
  std::uint64_t log_time;
  std::uint64_t data;  // offset of the data
  std::uint64_t data_length;
};

MessageFields message_fields(std::span<const unsigned char> bytes, const Record& record) noexcept {
  const unsigned char* content = bytes.data() + record.content;
  return MessageFields{load_le<std::uint16_t>(content), load_le<std::uint64_t>(content + 6),
                       record.content + kMessageFields, record.length - kMessageFields};
}

// Calls `take(fields)` for every message the selection takes, over the whole
// records before `stop`.
template <class Take>
void each_taken_message(std::span<const unsigned char> bytes, const McapSelection& selection,
                        std::uint64_t stop, Take&& take) noexcept {
  Record record{};
  for (std::uint64_t at = 0; at < stop && record_at(bytes, at, record);
       at = record.content + record.length) {
    if (record.opcode != kMessageOpcode || record.length < kMessageFields) continue;
    const MessageFields fields = message_fields(bytes, record);
    if (selection.takes(fields.channel, fields.log_time)) take(fields);
  }
}

}  // namespace

McapScanCount count_mcap_records(std::span<const unsigned char> bytes,
                                 const McapSelection& selection) {
  McapScanCount count;
  std::uint64_t at = 0;
  std::uint64_t last_time = 0;
  Record record{};
  while (at < bytes.size()) {
    if (!record_at(bytes, at, record)) {
      count.end = McapScanEnd::CutShort;
      break;
    }
    if (record.opcode == kMessageOpcode) {
      if (record.length < kMessageFields) {
        count.end = McapScanEnd::Malformed;
        break;
      }
      const MessageFields fields = message_fields(bytes, record);
      if (selection.takes(fields.channel, fields.log_time)) {
        if (count.messages != 0 && fields.log_time < last_time) count.in_time_order = false;
        last_time = fields.log_time;
        ++count.messages;
        count.payload_bytes += fields.data_length;
      }
    } else {
      count.others.push_back(McapRecordPlace{record.opcode, record.content, record.length});
    }
    at = record.content + record.length;
  }
  count.stop = at;
  return count;
}

void copy_mcap_messages(std::span<const unsigned char> bytes, const McapSelection& selection,
                        const McapScanCount& count, const McapScanOutput& out) noexcept {
  std::uint64_t index = 0;
  std::uint64_t written = 0;
  out.offsets[0] = 0;
  each_taken_message(bytes, selection, count.stop, [&](const MessageFields& fields) {
    if (fields.data_length != 0) {
      std::memcpy(out.payload + written, bytes.data() + fields.data, fields.data_length);
    }
    written += fields.data_length;
    out.log_times[index] = static_cast<std::int64_t>(fields.log_time);
    out.channels[index] = fields.channel;
    ++index;
    out.offsets[index] = static_cast<std::int64_t>(written);
  });
}

Vector<McapChannelTally> tally_mcap_messages(std::span<const unsigned char> bytes,
                                             const McapSelection& selection,
                                             const McapScanCount& count) {
  Vector<McapChannelTally> tallies;
  // The slot of each channel in `tallies` plus one (0: not seen yet); a
  // recording has at most 65536 channels.
  Vector<std::uint32_t> slot_of;
  each_taken_message(bytes, selection, count.stop, [&](const MessageFields& fields) {
    if (slot_of.empty()) slot_of.assign(65536, 0);
    std::uint32_t& slot = slot_of[fields.channel];
    if (slot == 0) {
      tallies.push_back(McapChannelTally{fields.channel, 0, fields.log_time, fields.log_time});
      slot = static_cast<std::uint32_t>(tallies.size());
    }
    McapChannelTally& tally = tallies[slot - 1];
    ++tally.messages;
    tally.first_time = std::min(tally.first_time, fields.log_time);
    tally.last_time = std::max(tally.last_time, fields.log_time);
  });
  return tallies;
}

McapIndexTally tally_message_index(std::span<const unsigned char> entries) noexcept {
  constexpr std::size_t kEntry = 8 + 8;
  McapIndexTally tally{entries.size() / kEntry, 0, 0};
  for (std::size_t index = 0; index < tally.entries; ++index) {
    const std::uint64_t time = load_le<std::uint64_t>(entries.data() + index * kEntry);
    if (index == 0 || time < tally.first_time) tally.first_time = time;
    if (index == 0 || time > tally.last_time) tally.last_time = time;
  }
  return tally;
}

}  // namespace korvex
