// A stream's state as bytes and back: a versioned header, the options (the pattern as its JSON
// document), then every partition with its held and kept events. Reading checks every length
// against the bytes left, so foreign or damaged bytes are refused, never read past.
#include <algorithm>
#include <cstring>
#include <limits>

#include "arrow/table_reader.hpp"
#include "json/json.hpp"
#include "match/element_walk.hpp"
#include "model/duration.hpp"
#include "stream/stream_state.hpp"

namespace vashlet::stream {

namespace {

constexpr std::string_view kMagic = "vashlet stream snapshot\n";
constexpr std::uint32_t kVersion = 1;

}  // namespace

std::uint64_t snapshot_checksum(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char byte : bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 1099511628211ull;
  }
  return hash;
}

namespace {

}  // namespace

class SnapshotWriter {
 public:
  std::string bytes;

  template <class T>
  void number(T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes.append(raw, sizeof(T));
  }
  void flag(bool value) { number<std::uint8_t>(value); }
  void text(std::string_view value) {
    number<std::uint64_t>(value.size());
    bytes.append(value);
  }
  template <class T>
  void maybe(const std::optional<T>& value) {
    flag(value.has_value());
    if (value) put(*value);
  }
  void put(const std::string& value) { text(value); }
  void put(std::size_t value) { number<std::uint64_t>(value); }

  void value(const Value& value) {
    number<std::uint8_t>(static_cast<std::uint8_t>(value.kind()));
    switch (value.kind()) {
      case ValueKind::String: text(value.as_string()); break;
      case ValueKind::Int: number(value.as_int()); break;
      case ValueKind::Float: number(value.as_float()); break;
      case ValueKind::Bool: flag(value.as_bool()); break;
      case ValueKind::Null: break;
    }
  }

  void kept_event(const StreamState& state, const Kept& kept) {
    const Event& event = *kept.event;
    number(kept.row);
    number(event.ts);
    text(event.typ);
    number<std::uint64_t>(event.attrs.size());
    for (const auto& [name, attribute] : event.attrs) {
      text(name);
      value(attribute);
    }
    if (state.id_format_.empty()) return;
    const KeyValues& ids = *state.batches_[kept.batch]->events.ids();
    ids.holds_strings() ? text(ids.strings[kept.position]) : number(ids.ints[kept.position]);
  }

  void write(const StreamState& state) {
    const StreamOptions& options = state.options_;
    bytes.append(kMagic);
    number(kVersion);
    text(pattern_to_json(options.pattern));
    text(options.columns.partition);
    text(options.columns.ts);
    text(options.columns.type);
    maybe(options.columns.id);
    maybe(options.ts_unit);
    flag(options.exhaustive);
    maybe(options.max_matches);
    number<std::uint64_t>(options.threads);
    if (const Duration* duration = std::get_if<Duration>(&options.lateness)) {
      number<std::uint8_t>(1);
      text(duration_text(*duration));
    } else {
      number<std::uint8_t>(0);
      number(std::get<std::int64_t>(options.lateness));
    }
    number<std::uint8_t>(static_cast<std::uint8_t>(options.late));
    flag(options.explain);
    maybe(options.max_open);

    flag(state.resolved_.has_value());
    if (state.resolved_) text(state.resolved_->ts_format);
    number(state.rows_);
    number(state.matches_emitted_);
    flag(state.flushed_);
    text(state.partition_values_.format);
    text(state.id_format_);
    number<std::uint64_t>(state.partitions_.size());
    for (std::size_t n = 0; n < state.partitions_.size(); ++n) {
      const PartitionState& partition = state.partitions_[n];
      const KeyValues& values = state.partition_values_;
      values.holds_strings() ? text(values.strings[n]) : number(values.ints[n]);
      flag(partition.seen);
      number(partition.max_ts);
      flag(partition.released_any);
      flag(partition.closed);
      number<std::uint64_t>(partition.match_from);
      number<std::uint64_t>(partition.held.size());
      for (const Kept& kept : partition.held) kept_event(state, kept);
      number<std::uint64_t>(partition.kept.size());
      for (std::size_t k = 0; k < partition.kept.size(); ++k) {
        kept_event(state, partition.kept[k]);
        number(partition.settled[k]);
      }
    }
  }
};

std::string StreamState::snapshot() const {
  SnapshotWriter writer;
  writer.write(*this);
  writer.number(snapshot_checksum(writer.bytes));
  return std::move(writer.bytes);
}

// Reads what SnapshotWriter wrote; any shortfall or nonsense is a Damaged failure.
class SnapshotReader {
 public:
  struct Damaged {
    std::string what;
  };

  explicit SnapshotReader(std::string_view bytes) : bytes_(bytes) {}

  template <class T>
  T number() {
    need(sizeof(T), "a number");
    T value;
    std::memcpy(&value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  bool flag() {
    const std::uint8_t value = number<std::uint8_t>();
    if (value > 1) throw Damaged{"a flag of " + std::to_string(value)};
    return value == 1;
  }
  std::string text() {
    const std::uint64_t size = number<std::uint64_t>();
    need(size, "a text");
    std::string value(bytes_.substr(at_, size));
    at_ += size;
    return value;
  }
  std::uint64_t count(std::size_t least_bytes_each) {
    const std::uint64_t value = number<std::uint64_t>();
    if (least_bytes_each && value > (bytes_.size() - at_) / least_bytes_each) {
      throw Damaged{"a count of " + std::to_string(value) + " beyond the bytes left"};
    }
    return value;
  }
  Value value() {
    switch (number<std::uint8_t>()) {
      case static_cast<std::uint8_t>(ValueKind::String): return Value::string(text());
      case static_cast<std::uint8_t>(ValueKind::Int): return Value::integer(number<std::int64_t>());
      case static_cast<std::uint8_t>(ValueKind::Float): return Value::floating(number<double>());
      case static_cast<std::uint8_t>(ValueKind::Bool): return Value::boolean(flag());
      case static_cast<std::uint8_t>(ValueKind::Null): return Value::null();
      default: throw Damaged{"an unknown kind of value"};
    }
  }
  bool done() const { return at_ == bytes_.size(); }
  bool starts_with(std::string_view prefix) const { return bytes_.substr(0, prefix.size()) == prefix; }
  void skip(std::size_t size) { at_ += size; }

 private:
  void need(std::uint64_t size, const char* what) const {
    if (size > bytes_.size() - at_) throw Damaged{std::string(what) + " cut short"};
  }
  std::string_view bytes_;
  std::size_t at_ = 0;
};

// What the matchers take for granted of a partition: its events in event order, kept before
// held, rows below the stream's count, and decisions only about starts.
void StreamState::check_restored(const PartitionState& partition) const {
  const Kept* previous = nullptr;
  for (const std::vector<Kept>* events : {&partition.kept, &partition.held}) {
    for (const Kept& kept : *events) {
      if (kept.row >= rows_) throw SnapshotReader::Damaged{"a row beyond the rows pushed"};
      if (previous && !in_event_order(*previous, kept)) throw SnapshotReader::Damaged{"events out of order"};
      previous = &kept;
      if (!partition.seen || kept.event->ts > partition.max_ts) {
        throw SnapshotReader::Damaged{"an event after its partition's latest"};
      }
    }
  }
  if (partition.match_from > partition.kept.size()) {
    throw SnapshotReader::Damaged{"a partition matched beyond its events"};
  }
  for (std::size_t k = 0; k < partition.kept.size(); ++k) {
    if (partition.settled[k] != kSettled &&
        !passing_branch(resolved_->pattern.steps.front(), *partition.kept[k].event, Bindings{})) {
      throw SnapshotReader::Damaged{"an open start that starts nothing"};
    }
  }
}

// The walks of the undecided starts, read again over the kept events: they read the same events
// before the snapshot was taken, and none of them completed.
void StreamState::replay_walks(PartitionState& partition) {
  const Pattern& pattern = resolved_->pattern;
  const EventView events(partition.events.data(), partition.events.size());
  const Run run{0, events.size()};
  for (std::size_t k = 0; k < partition.kept.size(); ++k) {
    if (partition.settled[k] & kMatchDecided) continue;
    const std::optional<std::uint32_t> branch =
        passing_branch(pattern.steps.front(), *partition.kept[k].event, Bindings{});
    if (!branch) throw SnapshotReader::Damaged{"an open start that starts nothing"};
    const std::uint32_t begun = begin_walk(events, k, *branch);
    FirstWalk& walk = walk_pool_[begun];
    for (std::size_t j = k + 1; j < events.size(); ++j) {
      if (walk.read(pattern, events, run, j)) throw SnapshotReader::Damaged{"a start decided twice"};
    }
    track(partition, begun, events);
  }
}

namespace {

arrow::InputFailure snapshot_failure(std::string message) {
  return arrow::InputFailure{arrow::FailureKind::Value, std::move(message)};
}

template <class T>
std::optional<T> maybe_text(SnapshotReader& in) {
  if (!in.flag()) return std::nullopt;
  return in.text();
}

std::optional<std::size_t> maybe_size(SnapshotReader& in) {
  if (!in.flag()) return std::nullopt;
  return static_cast<std::size_t>(in.number<std::uint64_t>());
}

}  // namespace

std::variant<std::unique_ptr<StreamState>, arrow::InputFailure> StreamState::restore(
    std::string_view bytes) {
  if (bytes.substr(0, kMagic.size()) != kMagic) {
    return snapshot_failure("not a vashlet stream snapshot");
  }
  SnapshotReader in(bytes.substr(0, bytes.size() - std::min(bytes.size(), sizeof(std::uint64_t))));
  in.skip(kMagic.size());
  try {
    const std::uint32_t version = in.number<std::uint32_t>();
    if (version != kVersion) {
      return snapshot_failure("a stream snapshot of version " + std::to_string(version) +
                              ", but this vashlet reads version " + std::to_string(kVersion));
    }
    std::uint64_t stored = 0;
    if (bytes.size() < kMagic.size() + sizeof version + sizeof stored) {
      throw SnapshotReader::Damaged{"cut short"};
    }
    std::memcpy(&stored, bytes.data() + bytes.size() - sizeof stored, sizeof stored);
    if (stored != snapshot_checksum(bytes.substr(0, bytes.size() - sizeof stored))) {
      throw SnapshotReader::Damaged{"its checksum does not match its bytes"};
    }
    StreamOptions options;
    Result<Pattern> pattern = pattern_from_json(in.text());
    if (!pattern) throw SnapshotReader::Damaged{"its pattern: " + pattern.error()};
    options.pattern = std::move(pattern.value());
    options.columns.partition = in.text();
    options.columns.ts = in.text();
    options.columns.type = in.text();
    options.columns.id = maybe_text<std::string>(in);
    options.ts_unit = maybe_text<std::string>(in);
    options.exhaustive = in.flag();
    options.max_matches = maybe_size(in);
    options.threads = static_cast<std::size_t>(in.number<std::uint64_t>());
    const std::uint8_t lateness_kind = in.number<std::uint8_t>();
    if (lateness_kind == 1) {
      const std::optional<Duration> duration = parse_duration(in.text());
      if (!duration) throw SnapshotReader::Damaged{"its lateness"};
      options.lateness = *duration;
    } else if (lateness_kind == 0) {
      options.lateness = in.number<std::int64_t>();
    } else {
      throw SnapshotReader::Damaged{"its lateness"};
    }
    const std::uint8_t late = in.number<std::uint8_t>();
    if (late > static_cast<std::uint8_t>(LatePolicy::Report)) {
      throw SnapshotReader::Damaged{"its late policy"};
    }
    options.late = static_cast<LatePolicy>(late);
    options.explain = in.flag();
    options.max_open = maybe_size(in);

    auto state = std::make_unique<StreamState>(std::move(options));
    if (in.flag()) {
      SortedEvents format_only;
      SortedEventsBuilder::ts_format(format_only) = in.text();
      if (auto failure = state->resolve(format_only)) {
        throw SnapshotReader::Damaged{"its pattern does not resolve: " + failure->message};
      }
    }
    state->rows_ = in.number<std::uint64_t>();
    state->matches_emitted_ = in.number<std::uint64_t>();
    state->flushed_ = in.flag();
    state->partition_values_.format = in.text();
    state->id_format_ = in.text();
    const bool string_keys = state->partition_values_.holds_strings();
    KeyValues ids;
    ids.format = state->id_format_;
    const bool string_ids = ids.holds_strings();
    LargeVector<Event> events;
    struct Place {
      std::uint32_t partition;
      bool held;
      std::uint8_t settled;
      std::uint64_t row;
    };
    std::vector<Place> places;
    const std::uint64_t partitions = in.count(8);
    state->partitions_.resize(partitions);
    for (std::uint64_t n = 0; n < partitions; ++n) {
      PartitionState& partition = state->partitions_[n];
      std::string key;
      if (string_keys) {
        key = in.text();
        state->partition_values_.strings.push_back(key);
      } else {
        const std::int64_t value = in.number<std::int64_t>();
        state->partition_values_.ints.push_back(value);
        key.assign(reinterpret_cast<const char*>(&value), sizeof value);
      }
      bool added = false;
      state->partition_numbers_.number(key, [&] { added = true; });
      if (!added) throw SnapshotReader::Damaged{"a partition given twice"};
      partition.seen = in.flag();
      partition.max_ts = in.number<std::int64_t>();
      partition.released_any = in.flag();
      partition.closed = in.flag();
      partition.match_from = static_cast<std::size_t>(in.number<std::uint64_t>());
      for (const bool held : {true, false}) {
        const std::uint64_t size = in.count(8);
        for (std::uint64_t k = 0; k < size; ++k) {
          Event event;
          const std::uint64_t row = in.number<std::uint64_t>();
          event.ts = in.number<std::int64_t>();
          event.typ = in.text();
          std::vector<NamedValues::Entry> attributes(in.count(9));
          for (auto& [name, value] : attributes) {
            name = in.text();
            value = in.value();
          }
          event.attrs = NamedValues::from_entries(std::move(attributes));
          set_partition_bytes(event, static_cast<std::uint32_t>(n));
          if (!ids.format.empty()) {
            string_ids ? ids.strings.push_back(in.text()) : ids.ints.push_back(in.number<std::int64_t>());
          }
          const std::uint8_t settled = held ? 0 : in.number<std::uint8_t>();
          if (settled > kSettled) throw SnapshotReader::Damaged{"a decision"};
          events.push_back(std::move(event));
          places.push_back(Place{static_cast<std::uint32_t>(n), held, settled, row});
        }
      }
      if (partition.match_from > 0 && !state->resolved_) {
        throw SnapshotReader::Damaged{"a partition matched before any batch"};
      }
    }
    if (!in.done()) throw SnapshotReader::Damaged{"bytes after its end"};
    if (!events.empty()) {
      if (!state->resolved_) throw SnapshotReader::Damaged{"events before any batch"};
      auto batch = std::make_unique<Batch>();
      SortedEventsBuilder::ids(batch->events) = std::move(ids);
      LargeVector<Event>& owned =
          SortedEventsBuilder::owned(batch->events).emplace_back(std::move(events));
      for (std::size_t i = 0; i < owned.size(); ++i) {
        const Place& place = places[i];
        PartitionState& partition = state->partitions_[place.partition];
        const Kept kept{&owned[i], place.row, 0, static_cast<std::uint32_t>(i)};
        if (place.held) {
          partition.held.push_back(kept);
        } else {
          partition.kept.push_back(kept);
          partition.events.push_back(kept.event);
          partition.settled.push_back(place.settled);
          partition.open += place.settled != kSettled;
        }
      }

      batch->live = owned.size();
      state->batch_events_ = state->needed_events_ = owned.size();
      state->batches_.push_back(std::move(batch));
    }
    for (const PartitionState& partition : state->partitions_) state->check_restored(partition);
    if (state->resolved_ && state->resolved_->walks) {
      for (PartitionState& partition : state->partitions_) state->replay_walks(partition);
    }
    return state;
  } catch (const SnapshotReader::Damaged& damaged) {
    return snapshot_failure("a damaged vashlet stream snapshot: " + damaged.what);
  }
}

}  // namespace vashlet::stream
