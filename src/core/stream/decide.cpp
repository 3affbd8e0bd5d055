// Deciding what a push made final. The partitions that took in events are re-read, their kept
// events laid out as one sorted table, with the one-shot matcher and near-miss analysis; of what
// those find, a start's results are handed back once no later event can change them, and the
// kept events before the earliest start still undecided are let go.
#include <algorithm>
#include <limits>

#include "arrow/table_reader.hpp"
#include "arrow/table_results.hpp"
#include "explain/explain.hpp"
#include "stream/horizon.hpp"
#include "stream/stream_state.hpp"

namespace vashlet::stream {

namespace {

using Layout = LaidOut;

// Where a result of a layout starts: the partition's place and the kept position.
struct Origin {
  std::size_t part;
  std::size_t kept;
};

Origin origin_of(const Layout& layout, std::size_t index) {
  const std::size_t part = layout.part[index];
  return Origin{part, index - layout.base[part] + layout.from[part]};
}

void append_match(FlatMatches& to, const FlatMatches& from, std::size_t m) {
  to.steps = from.steps;
  to.slots = from.slots;
  to.variable = from.variable;
  const std::size_t length = from.length_of(m);
  if (from.variable) {
    to.offsets.push_back(to.indices.size());
    const std::uint32_t* elements = from.elements_of(m);
    to.elements.insert(to.elements.end(), elements, elements + length);
  }
  const std::size_t* indices = from.indices_of(m);
  to.indices.insert(to.indices.end(), indices, indices + length);
  to.ends.push_back(from.ends[m]);
  const Value* const* values = from.values_of(m);
  to.values.insert(to.values.end(), values, values + from.slots);
}

// One match found by the re-read: its part, its number there, and where it starts and ends.
struct Found {
  std::size_t part_index;
  std::size_t m;
  std::size_t start;  // kept position
  std::size_t last;   // kept position of its last event
};

}  // namespace

namespace {

// Lays out the kept events of `numbers` (from kept position `from_of(partition)` on).
template <class From>
Layout lay_out(const std::vector<std::uint32_t>& numbers, std::vector<PartitionState>& partitions,
               const KeyValues& values, const std::vector<std::unique_ptr<Batch>>& batches,
               const std::string& ts_format, const std::string& id_format, bool ids,
               const From& from_of) {
  Layout layout;
  using Build = SortedEventsBuilder;
  FillLaterVector<const Event*>& order = Build::order(layout.events);
  FillLaterVector<std::uint64_t>& rows = Build::rows(layout.events);
  LargeVector<std::uint32_t>& numbers_out = Build::partitions(layout.events);
  KeyValues& local = Build::values(layout.events);
  local.format = values.format;
  KeyValues* id_values = nullptr;
  if (ids) {
    id_values = &Build::ids(layout.events);
    id_values->format = id_format;
  }
  Build::ts_format(layout.events) = ts_format;
  for (std::size_t p = 0; p < numbers.size(); ++p) {
    const PartitionState& partition = partitions[numbers[p]];
    const std::size_t from = from_of(partition);
    layout.base.push_back(order.size());
    layout.from.push_back(from);
    values.holds_strings() ? local.strings.push_back(values.strings[numbers[p]])
                           : local.ints.push_back(values.ints[numbers[p]]);
    for (std::size_t k = from; k < partition.kept.size(); ++k) {
      const Kept& kept = partition.kept[k];
      order.push_back(kept.event);
      rows.push_back(kept.row);
      numbers_out.push_back(static_cast<std::uint32_t>(p));
      layout.part.push_back(static_cast<std::uint32_t>(p));
      if (id_values) {
        const KeyValues& source = *batches[kept.batch]->events.ids();
        source.holds_strings() ? id_values->strings.push_back(source.strings[kept.position])
                               : id_values->ints.push_back(source.ints[kept.position]);
      }
    }
  }
  return layout;
}

}  // namespace

// The matches of the walks completed since the last decision, as flat matches over `layout`.
FlatMatches StreamState::walk_matches(const LaidOut& layout, const std::vector<std::uint32_t>& numbers) {
  const Resolved& resolved = *resolved_;
  // `numbers` is ascending: a partition's place is found by bisection.
  const auto place_of = [&](std::uint32_t number) {
    return static_cast<std::size_t>(std::lower_bound(numbers.begin(), numbers.end(), number) -
                                    numbers.begin());
  };
  const std::vector<std::string> slots = resolved.plan->slot_names();
  FlatMatches flat;
  flat.steps = resolved.pattern.steps.size();
  flat.slots = slots.size();
  flat.variable = resolved.plan->language.has_value();
  for (const CompletedWalk& done : completed_) {
    const std::size_t base = layout.base[place_of(done.partition)];
    if (flat.variable) flat.offsets.push_back(flat.indices.size());
    for (const WalkStep& step : done.walk.path) {
      flat.indices.push_back(base + step.index);
      if (flat.variable) flat.elements.push_back(step.element);
    }
    flat.ends.push_back(layout.events[base + done.walk.last].ts);
    for (const std::string& name : slots) {
      const Value* value = done.walk.bindings.find(name);
      flat.values.push_back(value || flat.variable ? value : &kNull);
    }
  }
  return flat;
}

void StreamState::decide(bool flushing, StreamOutput& out) {
  const Resolved& resolved = *resolved_;
  const Pattern& pattern = resolved.pattern;
  std::vector<std::uint32_t> numbers;
  if (flushing) {
    for (std::uint32_t n = 0; n < partitions_.size(); ++n) numbers.push_back(n);
  } else {
    numbers = std::move(dirty_);
    std::sort(numbers.begin(), numbers.end());
  }
  dirty_.clear();
  std::erase_if(numbers, [&](std::uint32_t n) {
    partitions_[n].dirty = false;
    return partitions_[n].kept.empty();
  });
  const bool ids = options_.columns.id.has_value();
  if (resolved.walks && !options_.explain) {
    // The walks decided every start already: only the partitions with a completed walk are laid
    // out, to write its match.
    std::vector<std::uint32_t> completed;
    for (const CompletedWalk& done : completed_) completed.push_back(done.partition);
    std::sort(completed.begin(), completed.end());
    completed.erase(std::unique(completed.begin(), completed.end()), completed.end());
    const Layout laid = lay_out(completed, partitions_, partition_values_, batches_,
                                resolved.ts_format, id_format_, ids,
                                [](const PartitionState&) { return std::size_t{0}; });
    const std::size_t emitted = completed_.size();
    std::vector<FlatMatches> chosen;
    chosen.push_back(walk_matches(laid, completed));
    out.matches = match_table_of(resolved.match_pattern, *resolved.plan, laid.events,
                                 std::move(chosen), options_.threads, matches_emitted_);
    matches_emitted_ += emitted;
    completed_.clear();
    for (const std::uint32_t number : numbers) trim(partitions_[number]);
    return;
  }
  const MatchConsumption consumption = resolved.match_pattern.consumption;
  const bool non_overlapping = consumption == MatchConsumption::NonOverlapping;
  const Layout whole = lay_out(numbers, partitions_, partition_values_, batches_,
                               resolved.ts_format, id_format_, ids,
                               [](const PartitionState&) { return std::size_t{0}; });
  std::optional<Layout> matched_from;
  if (non_overlapping) {
    // The matcher takes the first event it is given for the partition's first: under `^`, once
    // the partition's first event is decided (matching moved on, or it was let go), nothing
    // is left to match.
    const bool anchored = pattern.anchored_start;
    matched_from = lay_out(numbers, partitions_, partition_values_, batches_, resolved.ts_format,
                           id_format_, ids, [anchored](const PartitionState& p) {
                             return anchored && (p.match_from > 0 || p.closed) ? p.kept.size()
                                                                               : p.match_from;
                           });
  }
  const Layout& for_matching = matched_from ? *matched_from : whole;
  std::vector<FlatMatches> parts;
  if (!resolved.walks) {
    parts = resolved.plan->flat_matches(for_matching.events.view(), options_.threads);
  }
  std::vector<NearMiss> misses;
  if (options_.explain) misses = near_misses(whole.events.view(), pattern, options_.threads);

  // The results of each partition, in the order the one-shot calls give them.
  std::vector<std::vector<Found>> found(numbers.size());
  for (std::size_t p = 0; p < parts.size(); ++p) {
    for (std::size_t m = 0; m < parts[p].size(); ++m) {
      const std::size_t* indices = parts[p].indices_of(m);
      const Origin start = origin_of(for_matching, indices[0]);
      const Origin last = origin_of(for_matching, indices[parts[p].length_of(m) - 1]);
      found[start.part].push_back(Found{p, m, start.kept, last.kept});
    }
  }
  std::vector<std::vector<std::size_t>> missed(numbers.size());
  for (std::size_t k = 0; k < misses.size(); ++k) {
    missed[origin_of(whole, misses[k].start_index).part].push_back(k);
  }

  FlatMatches chosen;
  if (resolved.walks) chosen = walk_matches(whole, numbers);
  std::vector<NearMiss> chosen_misses;
  const bool ends_anchored = pattern.anchored_end;
  const bool match_excludes_miss =
      consumption != MatchConsumption::ExhaustivePerStart || !uses_elements(pattern);
  for (std::size_t place = 0; place < numbers.size(); ++place) {
    PartitionState& partition = partitions_[numbers[place]];
    const std::int64_t mark =
        flushing ? std::numeric_limits<std::int64_t>::max() : watermark(partition);
    // No later event can take part in a match, or a deepest path, of the start at `k`.
    const auto decided = [&](std::size_t k) {
      if (flushing) return true;
      return !ends_anchored && beyond_horizon(partition.kept[k].event->ts, mark, resolved.horizon);
    };
    std::vector<std::uint8_t>& settled = partition.settled;
    const auto emit = [&](const Found& match) {
      append_match(chosen, parts[match.part_index], match.m);
      // A start with a match is no near miss, except that a language pattern's start is
      // explained by its first walk, which may fail where another match of `all` exists.
      if (match_excludes_miss) settled[match.start] |= kMissDecided;
    };
    if (consumption == MatchConsumption::FirstSuccessorPerStart) {
      // A first match is final once its last event is taken, except that `$` needs the
      // partition's last event.
      for (const Found& match : found[place]) {
        if ((settled[match.start] & kMatchDecided) || (ends_anchored && !flushing)) continue;
        emit(match);
        settled[match.start] |= kMatchDecided;
      }
    } else if (consumption == MatchConsumption::ExhaustivePerStart) {
      for (const Found& match : found[place]) {
        if (!(settled[match.start] & kMatchDecided) && decided(match.start)) emit(match);
      }
    } else {
      // Per partition in order: a match stands once every start before it is decided.
      std::size_t cursor = partition.match_from;
      for (const Found& match : found[place]) {
        if (ends_anchored && !flushing) break;
        bool earlier_open = false;
        for (std::size_t k = cursor; k < match.start && !earlier_open; ++k) {
          earlier_open = settled[k] != kSettled && !(settled[k] & kMatchDecided) && !decided(k);
        }
        if (earlier_open) break;
        emit(match);
        cursor = match.last + 1;
      }
      // Starts from there on that are decided have no match to come.
      while (cursor < partition.kept.size() &&
             (settled[cursor] == kSettled || (settled[cursor] & kMatchDecided) ||
              decided(cursor))) {
        ++cursor;
      }
      for (std::size_t k = partition.match_from; k < cursor; ++k) settled[k] |= kMatchDecided;
      partition.match_from = cursor;
    }
    if (consumption != MatchConsumption::NonOverlapping && !resolved.walks) {
      for (std::size_t k = 0; k < settled.size(); ++k) {
        if (settled[k] != kSettled && !(settled[k] & kMatchDecided) && decided(k)) {
          settled[k] |= kMatchDecided;
        }
      }
    }
    if (options_.explain) {
      // A no_successor near miss becomes window_exceeded when a later event of the awaited type
      // comes: it waits for one, or for the end.
      std::vector<char> has_miss(settled.size(), 0);
      for (const std::size_t k : missed[place]) {
        NearMiss& miss = misses[k];
        const std::size_t start = origin_of(whole, miss.start_index).kept;
        has_miss[start] = 1;
        if ((settled[start] & kMissDecided) || !decided(start)) continue;
        if (!flushing && std::holds_alternative<NoSuccessor>(miss.detail)) continue;
        settled[start] |= kMissDecided;
        chosen_misses.push_back(std::move(miss));
      }
      for (std::size_t k = 0; k < settled.size(); ++k) {
        if (!has_miss[k] && decided(k)) settled[k] |= kMissDecided;
      }
    }
  }
  const std::size_t emitted = chosen.size();
  std::vector<FlatMatches> chosen_parts;
  chosen_parts.push_back(std::move(chosen));
  out.matches = match_table_of(resolved.match_pattern, *resolved.plan, for_matching.events,
                               std::move(chosen_parts), options_.threads, matches_emitted_);
  completed_.clear();  // their bindings were the matches' values
  matches_emitted_ += emitted;
  if (options_.explain) out.near_misses = near_miss_table_of(pattern, whole.events, chosen_misses);
  // Only now, with the results written, may their events go.
  for (const std::uint32_t number : numbers) trim(partitions_[number]);
}

void StreamState::trim(PartitionState& partition) {
  std::size_t begin = 0;
  while (begin < partition.kept.size() && partition.settled[begin] == kSettled) ++begin;
  if (resolved_->match_pattern.consumption == MatchConsumption::NonOverlapping) {
    begin = std::min(begin, partition.match_from);
  }
  std::size_t open = 0;
  for (std::size_t k = begin; k < partition.kept.size(); ++k) {
    open += partition.settled[k] != kSettled;
  }
  partition.open = open;
  if (begin == 0) return;
  // `^`: the partition's first event is decided, and no later one can start.
  if (resolved_->pattern.anchored_start) partition.closed = true;
  for (std::size_t k = 0; k < begin; ++k) drop(partition.kept[k]);
  partition.kept.erase(partition.kept.begin(), partition.kept.begin() + begin);
  partition.settled.erase(partition.settled.begin(), partition.settled.begin() + begin);
  partition.match_from -= std::min(begin, partition.match_from);  // only non_overlapping moves it
  partition.events.erase(partition.events.begin(), partition.events.begin() + static_cast<std::ptrdiff_t>(begin));
  for (LiveWalk& entry : partition.walks) {
    if (entry.walk == LiveWalk::kUnbegun) {
      entry.start -= begin;
    } else {
      walk_pool_[entry.walk].shift(begin);
    }
  }
  // A partition that once kept many events gives the room back when it keeps few again.
  if (partition.kept.capacity() > 64 && partition.kept.size() < partition.kept.capacity() / 4) {
    partition.kept.shrink_to_fit();
    partition.events.shrink_to_fit();
    partition.settled.shrink_to_fit();
  }
}

}  // namespace vashlet::stream
