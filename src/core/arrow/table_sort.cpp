// Putting the read keys in event order: partitions ranked in their own order, events counted
// into their partitions and sorted by timestamp only where a partition's did not ascend; then
// the events built in that order, into one block, so that passes over them read memory in order.
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "arrow/table_reader.hpp"
#include "tuning.hpp"

namespace vashlet::table_reading {

SortedEvents TableReader::finish() {
  for (std::size_t t = 0; t < types_.size() && first_row_ > 0; ++t) {
    if (!type_met_[t]) Build::absent_types(result_).push_back(types_[t]);
  }
  PartitionValues& values = Build::values(result_);
  // Rank the partitions in their own order: strings byte-wise, integers by value.
  const std::size_t count = values.size();
  std::vector<std::uint32_t> by_rank(count);
  if (values.holds_strings()) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(count);
    for (std::uint32_t i = 0; i < count; ++i) keyed[i] = {byte_order_prefix(values.strings[i]), i};
    std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return compare_bytes(values.strings[a.second], values.strings[b.second]) < 0;
    });
    for (std::uint32_t r = 0; r < count; ++r) by_rank[r] = keyed[r].second;
  } else {
    for (std::uint32_t i = 0; i < count; ++i) by_rank[i] = i;
    std::sort(by_rank.begin(), by_rank.end(),
              [&](std::uint32_t a, std::uint32_t b) { return values.ints[a] < values.ints[b]; });
  }
  std::vector<std::uint32_t> rank(count);
  for (std::uint32_t r = 0; r < count; ++r) rank[by_rank[r]] = r;

  if (in_event_order(rank)) {  // often so: a stream of one partition, or a sorted table
    build_events(rank, [](std::size_t n) { return n; }, partition_of_);
    Build::partitions(result_) = std::move(partition_of_);
    if (id_ >= 0) {
      Build::ids(result_) = std::move(id_values_);
    }
    return std::move(result_);
  }
  EventOrder order = sorted_positions(rank);
  const FillLaterVector<std::size_t>& keys = order.positions;
  build_events(rank, [&](std::size_t n) { return keys[n]; }, order.partitions);
  Build::partitions(result_) = std::move(order.partitions);
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

Value TableReader::value_of(const Cell& cell) {
  switch (cell.kind()) {
    case ValueKind::Int: return Value::integer(static_cast<std::int64_t>(cell.payload));
    case ValueKind::Float: {
      double number;
      std::memcpy(&number, &cell.payload, sizeof number);
      return Value::floating(number);
    }
    case ValueKind::Bool: return Value::boolean(cell.payload != 0);
    case ValueKind::String:
      return Value::string(std::string(reinterpret_cast<const char*>(cell.payload), cell.size()));
    case ValueKind::Null: break;
  }
  return Value::null();
}

// Every value was checked as its batch was read, so nothing here fails but for memory.
template <class Position>
void TableReader::build_events(const std::vector<std::uint32_t>& rank, const Position& position,
                               const LargeVector<std::uint32_t>& in_order) {
  const std::size_t count = events_;
  const std::size_t words = record_words();
  std::size_t most_entries = 0;
  for (const std::vector<std::size_t>& read : attributes_of_type_) {
    most_entries = std::max(most_entries, read.size());
  }
  FillLaterVector<std::uint32_t>& types = Build::types(result_);
  reserve_for(types, count);
  types.resize(count);
  Build::type_names(result_) = types_;
  Build::numbered(result_) = true;
  // The rows in event order, taken as each event is built (its record is read for the event
  // anyway).
  FillLaterVector<std::uint64_t>& rows = Build::rows(result_);
  reserve_for(rows, count);
  rows.resize(count);
  const std::uint32_t* const partitions = in_order.data();
  const auto fill = [&](std::size_t n, void* place, EventBlock::Entries& entries) {
    // In arrival order, each event's record lies at a random place: fetched as visit_events
    // does.
    if (n + tuning::kEventsAhead < count) {
      const std::size_t ahead = position(n + tuning::kEventsAhead);
      prefetch(record(ahead), words * sizeof(std::uint64_t));
    }
    const std::size_t at = position(n);
    const std::uint64_t* const keys = record(at);
    const std::size_t type = static_cast<std::size_t>(keys[kTypeWord]);
    types[n] = static_cast<std::uint32_t>(type);
    rows[n] = keys[kRowWord];
    // The partition as events carry it: the rank, big-endian, so byte order is rank order.
    const std::uint32_t r = rank[partitions[n]];
    const char bytes[4] = {static_cast<char>(r >> 24), static_cast<char>(r >> 16),
                           static_cast<char>(r >> 8), static_cast<char>(r)};
    const EventBlock::Entry* first = entries.next();
    std::size_t held = 0;
    // attributes_ is in name order, and so is each type's list of them.
    for (const std::size_t a : attributes_of_type_[type]) {
      const Cell cell = cell_of(keys, a);
      if (cell.kind() == ValueKind::Null) continue;
      entries.append(attributes_[a].name, value_of(cell));
      ++held;
    }
    const std::string_view type_name =
        type < types_.size() ? std::string_view(types_[type]) : other_types_[at];
    new (place) Event{std::string(bytes, sizeof bytes), ts_of(keys), std::string(type_name),
                      Attributes::borrowing(first, held)};
  };
  // Partitions are four bytes; the rest is known from the names and the columns' kinds.
  bool owns_nothing = !every_type_ && EventBlock::fits_in_place(4);
  for (const std::string& type : types_) owns_nothing &= EventBlock::fits_in_place(type.size());
  for (const Attribute& attribute : attributes_) {
    owns_nothing &= !attribute.is_string && EventBlock::fits_in_place(attribute.name.size());
  }
  Build::block(result_).build(count, most_entries, threads_, tuning::kReaderRowsPerSlice,
                              owns_nothing, fill);
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
// order. The events are counted and placed in slices, on the reader's threads: within a
// partition, each slice's events follow those of the slices before it.
TableReader::EventOrder TableReader::sorted_positions(
    const std::vector<std::uint32_t>& rank) const {
  const std::size_t count = rank.size();
  const std::size_t events = partition_of_.size();
  const std::size_t slices = slices_of(events);
  const auto slice_events = [&](std::size_t s) {
    return std::pair<std::size_t, std::size_t>(events * s / slices, events * (s + 1) / slices);
  };
  // Per slice, the events of each rank; then the position where its first one goes.
  std::vector<std::vector<std::size_t>> next(slices);
  run_slices(slices, [&](std::size_t s) {
    next[s].assign(count, 0);
    const auto [begin, end] = slice_events(s);
    for (std::size_t i = begin; i < end; ++i) ++next[s][rank[partition_of_[i]]];
  });
  std::vector<std::size_t> starts(count + 1, 0);
  for (std::size_t r = 0; r < count; ++r) {
    std::size_t at = starts[r];
    for (std::size_t s = 0; s < slices; ++s) {
      const std::size_t here = next[s][r];
      next[s][r] = at;
      at += here;
    }
    starts[r + 1] = at;
  }
  EventOrder order;
  FillLaterVector<std::size_t>& positions = order.positions;  // each is placed once
  reserve_for(positions, events);
  positions.resize(events);
  LargeVector<std::uint32_t>& partitions = order.partitions;
  reserve_for(partitions, events);
  partitions.resize(events);
  // As each slice places its events, it notes the partitions where one came earlier in time
  // than the one before it: those, and any whose slices meet out of order, are sorted. Telling
  // it here spares a pass over the partitions' timestamps in event order, which lie at random.
  std::vector<std::vector<char>> descends(slices);
  run_slices(slices, [&](std::size_t s) {
    std::size_t* const place = next[s].data();
    std::vector<std::int64_t> latest(count, std::numeric_limits<std::int64_t>::min());
    descends[s].assign(count, 0);
    char* const descending = descends[s].data();
    const auto [begin, end] = slice_events(s);
    constexpr std::size_t kAhead = tuning::kEventsAhead;
    for (std::size_t i = begin; i < end; ++i) {
      // Each partition's places are a stream of their own, too many for the cache to hold
      // them all: the place of an event a little ahead is claimed for writing now (a guess, as
      // events in between may move it on, mostly within the line).
      if (i + kAhead < end) {
        const std::size_t ahead = place[rank[partition_of_[i + kAhead]]];
        prefetch_for_write(&positions[ahead], sizeof(std::size_t));
        prefetch_for_write(&partitions[ahead], sizeof(std::uint32_t));
      }
      const std::uint32_t partition = partition_of_[i];
      const std::uint32_t r = rank[partition];
      partitions[place[r]] = partition;
      positions[place[r]++] = i;
      const std::int64_t ts = stamps_[i];
      descending[r] |= static_cast<char>(ts < latest[r]);
      latest[r] = ts;
    }
  });
  // Where slice s's events of a partition end, slice s + 1's begin (next[s] holds those ends).
  std::vector<char> unsorted(count, 0);
  for (std::size_t r = 0; r < count; ++r) {
    bool out_of_order = false;
    for (std::size_t s = 0; s < slices; ++s) {
      out_of_order |= descends[s][r] != 0;
      const std::size_t meet = next[s][r];
      if (s + 1 < slices && meet > starts[r] && meet < starts[r + 1]) {
        out_of_order |= stamps_[positions[meet]] < stamps_[positions[meet - 1]];
      }
    }
    unsorted[r] = out_of_order;
  }
  const auto earlier = [&](std::size_t a, std::size_t b) { return stamps_[a] < stamps_[b]; };
  // Each slice takes the partitions whose first event lies in its share of the events.
  run_slices(slices, [&](std::size_t s) {
    const auto [first, last] = slice_events(s);
    const auto first_at = [&](std::size_t event) {
      return static_cast<std::size_t>(
          std::lower_bound(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(count),
                           event) -
          starts.begin());
    };
    const std::size_t r_begin = first_at(first);
    const std::size_t r_end = s + 1 == slices ? count : first_at(last);
    for (std::size_t r = r_begin; r < r_end; ++r) {
      if (!unsorted[r]) continue;
      const auto begin = positions.begin() + static_cast<std::ptrdiff_t>(starts[r]);
      const auto end = positions.begin() + static_cast<std::ptrdiff_t>(starts[r + 1]);
      std::stable_sort(begin, end, earlier);
    }
  });
  return order;
}

}  // namespace vashlet::table_reading
