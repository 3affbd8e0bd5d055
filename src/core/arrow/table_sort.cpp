// Putting the read events in event order: partitions ranked in their own order, events counted
// into their partitions and sorted by timestamp only where a partition's did not ascend.
#include <algorithm>
#include <utility>

#include "arrow/table_reader.hpp"

namespace vashlet::table_reading {

SortedEvents TableReader::finish() {
  for (std::size_t t = 0; t < types_.size() && first_row_ > 0; ++t) {
    if (!type_met_[t]) Build::absent_types(result_).push_back(types_[t]);
  }
  PartitionValues& values = Build::values(result_);
  // Rank the partitions in their own order: strings byte-wise, integers by value.
  const std::size_t count = values.size();
  std::vector<std::uint32_t> by_rank(count);
  for (std::uint32_t i = 0; i < count; ++i) by_rank[i] = i;
  if (values.holds_strings()) {
    std::sort(by_rank.begin(), by_rank.end(), [&](std::uint32_t a, std::uint32_t b) {
      return compare_bytes(values.strings[a], values.strings[b]) < 0;
    });
  } else {
    std::sort(by_rank.begin(), by_rank.end(),
              [&](std::uint32_t a, std::uint32_t b) { return values.ints[a] < values.ints[b]; });
  }
  std::vector<std::uint32_t> rank(count);
  for (std::uint32_t r = 0; r < count; ++r) rank[by_rank[r]] = r;

  // The partition as events carry it: the rank, big-endian, so byte order is rank order.
  std::size_t base = 0;
  for (LargeVector<Event>& block : Build::owned(result_)) {
    for_slices(block.size(), threads_, kRowsPerSlice, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint32_t r = rank[partition_of_[base + i]];
        const char bytes[4] = {static_cast<char>(r >> 24), static_cast<char>(r >> 16),
                               static_cast<char>(r >> 8), static_cast<char>(r)};
        block[i].partition.assign(bytes, sizeof bytes);
      }
    });
    base += block.size();
  }
  if (in_event_order(rank)) {  // often so: a stream of one partition, or a sorted table
    Build::order(result_) = std::move(events_);
    Build::rows(result_) = std::move(rows_);
    Build::partitions(result_) = std::move(partition_of_);
    if (id_ >= 0) {
      Build::ids(result_) = std::move(id_values_);
    }
    return std::move(result_);
  }
  const LargeVector<std::size_t> keys = sorted_positions(rank);
  LargeVector<const Event*>& order = Build::order(result_);
  LargeVector<std::uint64_t>& rows = Build::rows(result_);
  LargeVector<std::uint32_t>& partitions = Build::partitions(result_);
  reserve_for(order, keys.size());
  reserve_for(rows, keys.size());
  reserve_for(partitions, keys.size());
  order.resize(keys.size());
  rows.resize(keys.size());
  partitions.resize(keys.size());
  for_slices(keys.size(), threads_, kRowsPerSlice, [&](std::size_t begin, std::size_t end) {
    for (std::size_t n = begin; n < end; ++n) {
      order[n] = events_[keys[n]];
      rows[n] = rows_[keys[n]];
      partitions[n] = partition_of_[keys[n]];
    }
  });
  if (id_ >= 0) {
    KeyValues& ids = Build::ids(result_);
    ids.format = id_values_.format;
    if (id_values_.holds_strings()) {
      ids.strings.reserve(keys.size());
      for (const std::size_t key : keys) ids.strings.push_back(std::move(id_values_.strings[key]));
    } else {
      ids.ints.reserve(keys.size());
      for (const std::size_t key : keys) ids.ints.push_back(id_values_.ints[key]);
    }
  }
  return std::move(result_);
}

bool TableReader::in_event_order(const std::vector<std::uint32_t>& rank) const {
  for (std::size_t i = 1; i < partition_of_.size(); ++i) {
    const std::uint32_t before = rank[partition_of_[i - 1]];
    const std::uint32_t now = rank[partition_of_[i]];
    if (now < before || (now == before && stamps_[i] < stamps_[i - 1])) return false;
  }
  return true;
}

// The input positions of the events in event order. A counting sort by partition keeps the
// input order within each partition; a partition whose timestamps then do not ascend (rare:
// streams arrive in time order) is sorted by timestamp, stably, so ties keep their input
// order.
LargeVector<std::size_t> TableReader::sorted_positions(const std::vector<std::uint32_t>& rank) const {
  const std::size_t count = rank.size();
  std::vector<std::size_t> starts(count + 1, 0);
  for (const std::uint32_t partition : partition_of_) ++starts[rank[partition] + 1];
  for (std::size_t r = 0; r < count; ++r) starts[r + 1] += starts[r];
  LargeVector<std::size_t> positions;
  reserve_for(positions, partition_of_.size());
  positions.resize(partition_of_.size());
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t i = 0; i < partition_of_.size(); ++i) {
    positions[next[rank[partition_of_[i]]]++] = i;
  }
  const auto earlier = [&](std::size_t a, std::size_t b) { return stamps_[a] < stamps_[b]; };
  for (std::size_t r = 0; r < count; ++r) {
    const auto begin = positions.begin() + static_cast<std::ptrdiff_t>(starts[r]);
    const auto end = positions.begin() + static_cast<std::ptrdiff_t>(starts[r + 1]);
    if (!std::is_sorted(begin, end, earlier)) std::stable_sort(begin, end, earlier);
  }
  return positions;
}

}  // namespace vashlet::table_reading
