#include "arrow/event_order.hpp"

#include <algorithm>
#include <cstdint>

#include "match/matcher.hpp"

namespace vashlet {

namespace {

// What the sort compares of one event, kept together so that comparisons seldom read the event:
// its partition's first bytes, big-endian and zero-padded, which order two partitions wherever
// they differ, and the partition's length, which shows when the prefix holds the whole name.
struct SortKey {
  std::uint64_t prefix;
  std::size_t length;
  std::int64_t ts;
  const Event* event;
  std::size_t position;

  SortKey(const Event* e, std::size_t at)
      : prefix(byte_order_prefix(e->partition)), length(e->partition.size()), ts(e->ts),
        event(e), position(at) {}
};

// Event order: partitions byte-wise, then timestamps; ties are left to the stable sort.
bool precedes(const SortKey& left, const SortKey& right) {
  if (left.prefix != right.prefix) return left.prefix < right.prefix;
  if (left.length != right.length || left.length > sizeof left.prefix) {
    const int order = compare_bytes(left.event->partition, right.event->partition);
    if (order != 0) return order < 0;
  }
  return left.ts < right.ts;
}

}  // namespace

std::vector<std::size_t> event_order(const EventView& events) {
  std::vector<std::size_t> order(events.size());
  if (is_sorted_by_partition_time_index(events)) {
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    return order;
  }
  std::vector<SortKey> keys;
  keys.reserve(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) keys.emplace_back(&events[i], i);
  std::stable_sort(keys.begin(), keys.end(), precedes);
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].position;
  return order;
}

}  // namespace vashlet
