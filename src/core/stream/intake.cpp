// Taking a batch into the stream: the checks that refuse it whole (columns that changed type,
// late events, too many open starts), then its events held per partition until the watermark
// releases them in event order.
#include <algorithm>
#include <limits>
#include <string>

#include "json/json.hpp"
#include "match/element_walk.hpp"
#include "model/duration.hpp"
#include "model/value_hash.hpp"
#include "stream/horizon.hpp"
#include "stream/stream_state.hpp"

namespace vashlet::stream {

namespace {

constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
constexpr std::uint32_t kUnnumbered = std::numeric_limits<std::uint32_t>::max();

arrow::InputFailure value_failure(std::string message) {
  return arrow::InputFailure{arrow::FailureKind::Value, std::move(message)};
}

arrow::InputFailure type_failure(std::string message) {
  return arrow::InputFailure{arrow::FailureKind::Type, std::move(message)};
}

// The bytes by which a partition value is known across batches.
std::string_view partition_key(const KeyValues& values, std::uint32_t number) {
  if (values.holds_strings()) return values.strings[number];
  return std::string_view(reinterpret_cast<const char*>(&values.ints[number]), sizeof(std::int64_t));
}

std::string key_text(const KeyValues& values, std::size_t at) {
  if (values.holds_strings()) return "'" + values.strings[at] + "'";
  return std::to_string(values.ints[at]);
}

// `later - earlier` exceeds `limit`, without overflow.
bool more_apart_than(std::int64_t earlier, std::int64_t later, std::int64_t limit) {
  if (later <= earlier) return false;
  const std::uint64_t apart =
      static_cast<std::uint64_t>(later) - static_cast<std::uint64_t>(earlier);
  return apart > static_cast<std::uint64_t>(limit);
}

}  // namespace

void set_partition_bytes(Event& event, std::uint32_t number) {
  const char bytes[4] = {static_cast<char>(number >> 24), static_cast<char>(number >> 16),
                         static_cast<char>(number >> 8), static_cast<char>(number)};
  event.partition.assign(bytes, sizeof bytes);
}

std::int64_t StreamState::watermark(const PartitionState& partition) const {
  if (!partition.seen) return kLowest;
  const std::int64_t lateness = resolved_->lateness;
  if (partition.max_ts < kLowest + lateness) return kLowest;
  return partition.max_ts - lateness;
}

std::optional<arrow::InputFailure> StreamState::resolve(const SortedEvents& batch) {
  Resolved resolved;
  resolved.ts_format = batch.ts_format();
  Result<TimeAxis> axis = time_axis("'" + options_.columns.ts + "'", resolved.ts_format,
                                    options_.ts_unit);
  if (!axis) return value_failure(axis.error());
  Result<Pattern> pattern = resolve_windows(options_.pattern, axis.value());
  if (!pattern) return value_failure(pattern.error());
  resolved.pattern = std::move(pattern.value());
  if (const Duration* duration = std::get_if<Duration>(&options_.lateness)) {
    if (!axis.value().unit) {
      return value_failure("lateness " + duration_text(*duration) + " has a unit, but " +
                           axis.value().name + " counts plain numbers: give ts_unit");
    }
    const std::optional<std::int64_t> ticks = duration_ticks(*duration, *axis.value().unit);
    if (!ticks) return value_failure("lateness " + duration_text(*duration) + " is too long");
    resolved.lateness = *ticks;
  } else {
    resolved.lateness = std::get<std::int64_t>(options_.lateness);
    if (resolved.lateness != 0 && axis.value().temporal) {
      return value_failure("lateness " + std::to_string(resolved.lateness) +
                           " has no unit, but " + axis.value().name +
                           " is a temporal column: give it with a unit, such as \"30s\"");
    }
  }
  if (resolved.lateness < 0) return value_failure("lateness must not be negative");
  resolved.match_pattern = resolved.pattern;
  if (options_.exhaustive) {
    resolved.match_pattern.consumption = MatchConsumption::ExhaustivePerStart;
  }
  resolved.horizon = match_horizon(resolved.pattern);
  resolved.walks = resolved.match_pattern.consumption == MatchConsumption::FirstSuccessorPerStart &&
                   !resolved.pattern.anchored_end;
  resolved_.emplace(std::move(resolved));
  resolved_->plan.emplace(compile(resolved_->match_pattern, options_.max_matches));
  return std::nullopt;
}

std::optional<arrow::InputFailure> StreamState::check_keys(const SortedEvents& batch) const {
  const auto changed = [&](const char* role, const std::string& name, const std::string& now,
                           const std::string& before) {
    return type_failure("the " + std::string(role) + " column '" + name + "' has type " +
                        arrow::describe_format(now) + " in this batch, but " +
                        arrow::describe_format(before) + " in the stream's first batch");
  };
  if (resolved_ && batch.ts_format() != resolved_->ts_format) {
    return changed("ts", options_.columns.ts, batch.ts_format(), resolved_->ts_format);
  }
  if (!partition_values_.format.empty() &&
      batch.partition_values().format != partition_values_.format) {
    return changed("partition", options_.columns.partition, batch.partition_values().format,
                   partition_values_.format);
  }
  if (batch.ids() && !id_format_.empty() && batch.ids()->format != id_format_) {
    return changed("id", *options_.columns.id, batch.ids()->format, id_format_);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> StreamState::known_partition(const SortedEvents& batch,
                                                          std::size_t index) const {
  return partition_numbers_.find(partition_key(batch.partition_values(), batch.partition(index)));
}

std::uint32_t StreamState::partition_number(const SortedEvents& batch, std::size_t index) {
  const KeyValues& values = batch.partition_values();
  const std::uint32_t local = batch.partition(index);
  return partition_numbers_.number(partition_key(values, local), [&] {
    if (partitions_.size() == std::numeric_limits<std::uint32_t>::max()) {
      invariant_failure("a stream has at most 2^32 - 1 partitions");
    }
    partitions_.emplace_back();
    if (values.holds_strings()) {
      partition_values_.strings.push_back(values.strings[local]);
    } else {
      partition_values_.ints.push_back(values.ints[local]);
    }
  });
}

std::optional<std::uint32_t> StreamState::start_branch(const PartitionState& partition,
                                                       const Event& event) const {
  const Pattern& pattern = resolved_->pattern;
  if (pattern.anchored_start && partition.released_any) return std::nullopt;
  return passing_branch(pattern.steps.front(), event, Bindings{});
}

void StreamState::drop(const Kept& kept) {
  std::unique_ptr<Batch>& batch = batches_[kept.batch];
  if (kept.event) --needed_events_;  // (none: the hold of the batch being taken in)
  if (--batch->live == 0) {
    batch_events_ -= batch->events.size();
    batch.reset();
    free_slots_.push_back(kept.batch);
  }
}

void StreamState::release(PartitionState& partition, std::uint32_t number,
                          std::int64_t watermark) {
  release_from(partition.held, partition, number, watermark);
}

// Releases the events of `events` (in event order, after every kept one) up to the watermark,
// and lets them go from there.
void StreamState::release_from(std::vector<Kept>& events, PartitionState& partition,
                               std::uint32_t number, std::int64_t watermark) {
  std::size_t released = 0;
  for (; released < events.size(); ++released) {
    const Kept& kept = events[released];
    if (kept.event->ts > watermark) break;
    if (partition.closed) {
      drop(kept);
      continue;
    }
    const std::optional<std::uint32_t> start = start_branch(partition, *kept.event);
    partition.released_any = true;
    partition.kept.push_back(kept);
    partition.events.push_back(kept.event);
    partition.settled.push_back(!start ? kSettled : options_.explain ? 0 : kMissDecided);
    partition.open += start.has_value();
    if (!partition.dirty) dirty_.push_back(number);
    partition.dirty = true;
    if (resolved_->walks) read_on(partition, number, start);
  }
  events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(released));
  if (resolved_->walks) end_walks(partition, watermark, false);
}

// The walks read the partition's newest kept event; a start (by its first element's `start`
// branch) begins a walk of its own. A walk whose deadline the event is past is over before it
// reads it: neither it nor a later event can be taken, and a long push would otherwise feed every
// later event to every such walk. A walk keyed by a value the event does not carry skips it
// unread, as reading it would.
void StreamState::read_on(PartitionState& partition, std::uint32_t number,
                          std::optional<std::uint32_t> start) {
  const Pattern& pattern = resolved_->pattern;
  const EventView events(partition.events.data(), partition.events.size());
  const Run run{0, events.size()};
  const std::size_t newest = events.size() - 1;
  const Event& event = events[newest];
  const std::int64_t ts = event.ts;
  // The event's value under the attribute last asked for, hashed once for every walk keyed so.
  const std::string* hashed = nullptr;
  std::uint64_t hash = 0;
  const auto differs = [&](const LiveWalk& entry) {
    if (entry.key_attribute != hashed) {
      const Value* value = event.attrs.find(*entry.key_attribute);
      hash = ValueHash{}(value ? *value : kNull);
      hashed = entry.key_attribute;
    }
    keyed_skips_ = keyed_skips_ || hash != entry.key_hash;
    return hash != entry.key_hash;
  };
  std::int64_t earliest = kNoDeadline;
  std::size_t live = 0;
  std::vector<LiveWalk>& walks = partition.walks;
  for (std::size_t w = 0; w < walks.size(); ++w) {
    LiveWalk entry = walks[w];
    if (ts > entry.deadline) {
      partition.settled[start_of(entry)] |= kMatchDecided;
      if (entry.walk != LiveWalk::kUnbegun) end_walk(entry.walk);
      continue;
    }
    if (entry.walk == LiveWalk::kUnbegun && (!entry.key_attribute || !differs(entry)) &&
        FirstWalk::fresh_may_take(pattern, event)) {
      entry.walk = begin_walk(events, entry.start, entry.branch);
    }
    if (entry.walk != LiveWalk::kUnbegun && (!entry.key_attribute || !differs(entry))) {
      FirstWalk& walk = walk_pool_[entry.walk];
      const std::size_t taken = walk.walk().path.size();
      if (walk.read(pattern, events, run, newest)) {
        partition.settled[walk.start()] |= kSettled;
        completed_.push_back(CompletedWalk{number, std::move(walk).result()});
        end_walk(entry.walk);
        continue;
      }
      if (walk.walk().path.size() != taken) {
        const std::optional<std::int64_t> deadline = walk.deadline(pattern, events);
        const std::optional<WalkKey> key = walk.key(pattern);
        entry.deadline = deadline.value_or(kNoDeadline);
        entry.key_attribute = key ? key->attribute : nullptr;
        entry.key_hash = key ? key->hash : 0;
      }
    }
    earliest = std::min(earliest, entry.deadline);
    walks[live++] = entry;
  }
  walks.resize(live);
  partition.earliest_deadline = earliest;
  if (!start) return;
  if (!element_complete(pattern, 0, 1)) {
    const std::optional<WalkKey> key = FirstWalk::fresh_key(pattern, event, *start);
    LiveWalk entry{FirstWalk::fresh_deadline(pattern, events, newest).value_or(kNoDeadline),
                   key ? key->attribute : nullptr, key ? key->hash : 0, newest, *start,
                   LiveWalk::kUnbegun};
    partition.earliest_deadline = std::min(partition.earliest_deadline, entry.deadline);
    walks.push_back(entry);
    return;
  }
  const std::uint32_t begun = begin_walk(events, newest, *start);
  FirstWalk& walk = walk_pool_[begun];
  walk.mark_complete(true);
  partition.settled[newest] |= kSettled;
  completed_.push_back(CompletedWalk{number, std::move(walk).result()});
  end_walk(begun);
}

void StreamState::track(PartitionState& partition, std::uint32_t walk, const EventView& events) {
  const Pattern& pattern = resolved_->pattern;
  const FirstWalk& tracked = walk_pool_[walk];
  const std::optional<WalkKey> key = tracked.key(pattern);
  LiveWalk entry{tracked.deadline(pattern, events).value_or(kNoDeadline),
                 key ? key->attribute : nullptr, key ? key->hash : 0, tracked.start(), 0, walk};
  partition.earliest_deadline = std::min(partition.earliest_deadline, entry.deadline);
  partition.walks.push_back(entry);
}

std::uint32_t StreamState::begin_walk(const EventView& events, std::size_t start,
                                      std::uint32_t branch) {
  const Pattern& pattern = resolved_->pattern;
  if (free_walks_.empty()) {
    if (walk_pool_.size() == std::numeric_limits<std::uint32_t>::max()) {
      invariant_failure("a stream has at most 2^32 - 1 open walks");
    }
    walk_pool_.emplace_back(pattern, events, start);
    return static_cast<std::uint32_t>(walk_pool_.size() - 1);
  }
  const std::uint32_t walk = free_walks_.back();
  free_walks_.pop_back();
  walk_pool_[walk].begin_at(pattern, events, start, branch);
  return walk;
}

// Walks that no event to come can extend are over: their starts have no match.
void StreamState::end_walks(PartitionState& partition, std::int64_t watermark, bool flushing) {
  if (!flushing && watermark <= partition.earliest_deadline) return;  // none is over
  std::int64_t earliest = kNoDeadline;
  std::size_t live = 0;
  std::vector<LiveWalk>& walks = partition.walks;
  for (std::size_t w = 0; w < walks.size(); ++w) {
    const LiveWalk entry = walks[w];
    if (flushing || watermark > entry.deadline) {
      partition.settled[start_of(entry)] |= kMatchDecided;
      if (entry.walk != LiveWalk::kUnbegun) end_walk(entry.walk);
    } else {
      earliest = std::min(earliest, entry.deadline);
      walks[live++] = entry;
    }
  }
  walks.resize(live);
  partition.earliest_deadline = earliest;
}

std::variant<StreamOutput, arrow::InputFailure> StreamState::push(SortedEvents batch,
                                                                  std::uint64_t input_rows) {
  if (flushed_) return value_failure("the stream was flushed: it takes no more events");
  if (auto failure = check_keys(batch)) return std::move(*failure);
  const bool resolving = !resolved_;
  if (resolving) {
    if (auto failure = resolve(batch)) return std::move(*failure);
  }
  // Nothing below changes the stream until every check has passed.
  const auto refuse = [&](arrow::InputFailure failure) {
    if (resolving) resolved_.reset();
    return failure;
  };
  const std::int64_t lateness = resolved_->lateness;
  std::vector<char> late(batch.size(), 0);
  std::vector<std::size_t> arrival;
  // The stream's number of each of the batch's partitions, where it has one.
  std::vector<std::uint32_t> numbers(batch.partition_values().size(), kUnnumbered);
  for (std::size_t begin = 0; begin < batch.size();) {
    std::size_t end = begin + 1;
    while (end < batch.size() && batch.partition(end) == batch.partition(begin)) ++end;
    const std::optional<std::uint32_t> known = known_partition(batch, begin);
    if (known) numbers[batch.partition(begin)] = *known;
    const PartitionState* state = known ? &partitions_[*known] : nullptr;
    // Lateness is judged in arrival order: against the latest event before it.
    arrival.resize(end - begin);
    for (std::size_t i = begin; i < end; ++i) arrival[i - begin] = i;
    const auto by_row = [&](std::size_t a, std::size_t b) { return batch.row(a) < batch.row(b); };
    if (!std::is_sorted(arrival.begin(), arrival.end(), by_row)) {
      std::sort(arrival.begin(), arrival.end(), by_row);
    }
    bool seen = state && state->seen;
    std::int64_t latest = seen ? state->max_ts : 0;
    std::size_t starts_released = state ? state->open : 0;
    for (const std::size_t i : arrival) {
      const std::int64_t ts = batch[i].ts;
      if (seen && more_apart_than(ts, latest, lateness)) {
        late[i] = 1;
        if (options_.late != LatePolicy::Raise) continue;
        const std::uint64_t row = rows_ + batch.row(i);
        return refuse(value_failure(
            "row " + std::to_string(row) + " is late" +
            (batch.ids() ? " (id " + key_text(*batch.ids(), i) + ")" : std::string()) +
            ": its ts " + std::to_string(ts) +
            " is older than the watermark of its partition " +
            key_text(batch.partition_values(), batch.partition(i)) + ", " +
            std::to_string(latest - lateness) + " (the latest ts there, " +
            std::to_string(latest) + ", less the lateness " + std::to_string(lateness) +
            "): give a larger lateness, or late=\"drop\" or late=\"report\""));
      }
      latest = seen ? std::max(latest, ts) : ts;
      seen = true;
    }
    if (options_.max_open) {
      const std::int64_t mark = latest < kLowest + lateness ? kLowest : latest - lateness;
      const auto counts = [&](const Event& event) {
        return event.ts <= mark &&
               passing_branch(resolved_->pattern.steps.front(), event, Bindings{});
      };
      if (state) {
        for (const Kept& held : state->held) starts_released += counts(*held.event);
      }
      for (std::size_t i = begin; i < end; ++i) starts_released += !late[i] && counts(batch[i]);
      if (starts_released > *options_.max_open) {
        return refuse(value_failure(
            "partition " + key_text(batch.partition_values(), batch.partition(begin)) +
            " would have " + std::to_string(starts_released) + " open starts, more than max_open=" +
            std::to_string(*options_.max_open)));
      }
    }
    begin = end;
  }
  StreamOutput out;
  out.absent_types = batch.absent_types();
  if (partition_values_.format.empty()) partition_values_.format = batch.partition_values().format;
  if (batch.ids() && id_format_.empty()) id_format_ = batch.ids()->format;
  take_in(std::move(batch), input_rows, late, numbers, out);
  decide(false, out);
  compact_if_sparse();
  if (keyed_skips_) {
    PathsTaken taken;
    taken.note(Path::StreamKeyedWalks);
    taken.publish();
    keyed_skips_ = false;
  }
  return out;
}

void StreamState::take_in(SortedEvents taken, std::uint64_t input_rows,
                          const std::vector<char>& late, const std::vector<std::uint32_t>& numbers,
                          StreamOutput& out) {
  std::uint32_t slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
  } else {
    slot = static_cast<std::uint32_t>(batches_.size());
    batches_.emplace_back();
  }
  batches_[slot] = std::make_unique<Batch>();
  Batch& owner = *batches_[slot];
  owner.events = std::move(taken);
  owner.live = 1;  // the intake's own hold, so that the batch outlives the loop below
  // Every event of the batch counts, however it is stored (a table's in one block, a list's
  // copies in owned blocks): the count is what tells when gathering the needed ones pays.
  batch_events_ += owner.events.size();
  const SortedEvents& batch = owner.events;

  std::vector<std::size_t> late_positions;
  std::vector<Kept> incoming;
  for (std::size_t begin = 0; begin < batch.size();) {
    std::size_t end = begin + 1;
    while (end < batch.size() && batch.partition(end) == batch.partition(begin)) ++end;
    const std::uint32_t local = batch.partition(begin);
    const std::uint32_t number =
        numbers[local] != kUnnumbered ? numbers[local] : partition_number(batch, begin);
    PartitionState& partition = partitions_[number];
    incoming.clear();
    for (std::size_t i = begin; i < end; ++i) {
      if (late[i]) {
        if (options_.late == LatePolicy::Report) late_positions.push_back(i);
        continue;
      }
      // The stream owns the batch: its events take the stream's partition bytes.
      Event& event = const_cast<Event&>(batch[i]);
      set_partition_bytes(event, number);
      incoming.push_back(Kept{&event, rows_ + batch.row(i), slot, static_cast<std::uint32_t>(i)});
      partition.max_ts = partition.seen ? std::max(partition.max_ts, event.ts) : event.ts;
      partition.seen = true;
      ++owner.live;
      ++needed_events_;
    }
    const std::size_t before = partition.held.size();
    if (before == 0) {
      // Nothing held: the events the watermark passes go to the kept ones directly.
      release_from(incoming, partition, number, watermark(partition));
      partition.held.insert(partition.held.end(), incoming.begin(), incoming.end());
      begin = end;
      continue;
    }
    // Every new row comes after every held one: merging by (ts, row) keeps event order. Mostly
    // the new events come after the held ones anyway, and there is nothing to merge.
    partition.held.insert(partition.held.end(), incoming.begin(), incoming.end());
    if (!incoming.empty() && in_event_order(incoming.front(), partition.held[before - 1])) {
      std::inplace_merge(partition.held.begin(), partition.held.begin() + before,
                         partition.held.end(), in_event_order);
    }
    release(partition, number, watermark(partition));
    begin = end;
  }
  std::sort(late_positions.begin(), late_positions.end(),
            [&](std::size_t a, std::size_t b) { return batch.row(a) < batch.row(b); });
  if (options_.late == LatePolicy::Report && batch.ids()) {
    const KeyValues& ids = *batch.ids();
    out.late_ids = KeyValues{};
    out.late_ids->format = ids.format;
    for (const std::size_t i : late_positions) {
      ids.holds_strings() ? out.late_ids->strings.push_back(ids.strings[i])
                          : out.late_ids->ints.push_back(ids.ints[i]);
    }
  } else {
    for (const std::size_t i : late_positions) out.late_rows.push_back(rows_ + batch.row(i));
  }
  rows_ += input_rows;
  drop(Kept{nullptr, 0, slot, 0});  // the intake's hold
}

}  // namespace vashlet::stream
