// The state behind a Stream: the batches whose events are still needed, and per partition its
// watermark, its held events and its kept ones with what has been decided about each start.
// intake.cpp takes batches in, decide.cpp re-reads partitions and hands back what is final,
// snapshot.cpp writes and reads the whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <functional>
#include <limits>
#include <vector>

#include "arrow/key_numbers.hpp"
#include "arrow/table_events.hpp"
#include "match/element_walk.hpp"
#include "match/paths_taken.hpp"
#include "plan/plan.hpp"
#include "stream/stream.hpp"

namespace vashlet::stream {

// An event the stream holds or keeps: where it lives and what the stream calls it.
struct Kept {
  const Event* event = nullptr;
  std::uint64_t row = 0;       // counted across the stream
  std::uint32_t batch = 0;     // the slot of the batch that owns it
  std::uint32_t position = 0;  // its position there, for its id
};

// Event order among a partition's events: by timestamp, ties by arrival.
inline bool in_event_order(const Kept& a, const Kept& b) {
  return a.event->ts < b.event->ts || (a.event->ts == b.event->ts && a.row < b.row);
}

// What has been decided about a kept event: a start's match side (its matches emitted, or none
// can come) and its near-miss side. Events that start nothing are settled from the first.
enum Settled : std::uint8_t { kMatchDecided = 1, kMissDecided = 2, kSettled = 3 };

// No deadline: no window bounds what a walk may still take.
constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();

// A start's walk, with the latest time an event can still be taken at and the key of the events
// that can move it (no attribute: any event may). Small, so that a partition's walks are scanned
// without reaching into the walks themselves. Most starts end before any event moves them: until
// one may, a walk is only its start (the kept position) and branch, and has no place in the pool.
struct LiveWalk {
  static constexpr std::uint32_t kUnbegun = std::numeric_limits<std::uint32_t>::max();
  std::int64_t deadline = kNoDeadline;
  const std::string* key_attribute = nullptr;
  std::uint64_t key_hash = 0;
  std::size_t start = 0;       // unbegun: where it starts in the partition's kept events
  std::uint32_t branch = 0;    // unbegun: the first element's branch its start passes
  std::uint32_t walk = kUnbegun;  // its place in the state's walk pool
};

struct PartitionState {
  bool seen = false;
  std::int64_t max_ts = 0;        // of the events taken in (late ones excluded)
  bool released_any = false;      // whether its first event has been released
  bool closed = false;            // `^`: its first event is decided, nothing else can start
  std::vector<Kept> held;         // above the watermark, in event order
  std::vector<Kept> kept;         // released and still needed, in event order
  std::vector<std::uint8_t> settled;  // per kept event (Settled bits)
  std::vector<const Event*> events;   // the kept events, for the walks to read
  std::vector<LiveWalk> walks;        // first mode: the walks of undecided starts, by start
  std::int64_t earliest_deadline = kNoDeadline;  // at most the least deadline of `walks`
  std::size_t match_from = 0;     // non_overlapping: where matching reads on from, in kept
  std::size_t open = 0;           // starts of kept not settled
  bool dirty = false;             // released events since the last pass
};

// A batch whose events some partition still holds or keeps.
struct Batch {
  SortedEvents events;
  std::size_t live = 0;
};

// Resolved at the first batch: the pattern in ticks and what follows from it.
struct Resolved {
  std::string ts_format;
  Pattern pattern;        // windows in ticks, for near misses
  Pattern match_pattern;  // the same with the consumption matching uses
  std::optional<Plan> plan;
  std::int64_t lateness = 0;
  std::optional<std::int64_t> horizon;
  // Whether the starts' `first` walks are read on event by event (first mode without `$`); else
  // each push re-reads the kept events with the one-shot matcher.
  bool walks = false;
};

// The kept events of some partitions as one table in event order, and where each came from.
struct LaidOut {
  SortedEvents events;
  std::vector<std::uint32_t> part;  // per event: the partition's place in the list laid out
  std::vector<std::size_t> base;    // per partition: its first event in `events`
  std::vector<std::size_t> from;    // per partition: its first kept position laid out
};

// A walk that completed while a batch was taken in: a match to hand back.
struct CompletedWalk {
  std::uint32_t partition;
  ElementWalk walk;
};

class StreamState {
 public:
  explicit StreamState(StreamOptions options) : options_(std::move(options)) {}

  std::variant<StreamOutput, arrow::InputFailure> push(SortedEvents batch,
                                                       std::uint64_t input_rows);
  StreamOutput flush();
  StreamStats stats() const;
  std::string snapshot() const;
  static std::variant<std::unique_ptr<StreamState>, arrow::InputFailure> restore(
      std::string_view bytes);

  const StreamOptions& options() const { return options_; }

 private:
  // intake.cpp
  std::optional<arrow::InputFailure> resolve(const SortedEvents& batch);
  std::optional<arrow::InputFailure> check_keys(const SortedEvents& batch) const;
  std::uint32_t partition_number(const SortedEvents& batch, std::size_t index);
  std::optional<std::uint32_t> known_partition(const SortedEvents& batch, std::size_t index) const;
  void take_in(SortedEvents batch, std::uint64_t input_rows, const std::vector<char>& late,
               const std::vector<std::uint32_t>& numbers, StreamOutput& out);
  void release(PartitionState& partition, std::uint32_t number, std::int64_t watermark);
  std::int64_t watermark(const PartitionState& partition) const;
  // The branch of the first element that `event` starts a walk by, if it starts one.
  std::optional<std::uint32_t> start_branch(const PartitionState& partition,
                                            const Event& event) const;
  void drop(const Kept& kept);
  void release_from(std::vector<Kept>& events, PartitionState& partition, std::uint32_t number,
                    std::int64_t watermark);
  void read_on(PartitionState& partition, std::uint32_t number,
               std::optional<std::uint32_t> start);
  // Files the pool's walk `walk` among the partition's live ones, with its deadline and key.
  void track(PartitionState& partition, std::uint32_t walk, const EventView& events);
  // The kept position of a live walk's start.
  std::size_t start_of(const LiveWalk& entry) const {
    return entry.walk == LiveWalk::kUnbegun ? entry.start : walk_pool_[entry.walk].start();
  }
  void end_walks(PartitionState& partition, std::int64_t watermark, bool flushing);
  // A walk of the pool begun at events[start] (by the first element's `branch`), in the room of
  // an ended one where there is one; and a walk that has ended, its room free again.
  std::uint32_t begin_walk(const EventView& events, std::size_t start, std::uint32_t branch);
  void end_walk(std::uint32_t walk) { free_walks_.push_back(walk); }

  // compact.cpp
  void compact_if_sparse();
  // Events below which gathering is not worth a pass over the state.
  static constexpr std::size_t kCompactAtLeast = std::size_t{1} << 16;

  // decide.cpp
  void decide(bool flushing, StreamOutput& out);
  void trim(PartitionState& partition);
  FlatMatches walk_matches(const LaidOut& layout, const std::vector<std::uint32_t>& numbers);

  // snapshot.cpp
  void replay_walks(PartitionState& partition);
  void check_restored(const PartitionState& partition) const;
  friend class SnapshotWriter;
  friend class SnapshotReader;

  StreamOptions options_;
  std::optional<Resolved> resolved_;
  std::uint64_t rows_ = 0;
  std::uint64_t matches_emitted_ = 0;
  bool flushed_ = false;
  KeyValues partition_values_;  // by stream partition number
  KeyNumbers partition_numbers_;  // by the bytes of the partition value
  std::vector<PartitionState> partitions_;
  std::string id_format_;
  std::vector<std::unique_ptr<Batch>> batches_;  // by slot; empty slots are free
  std::vector<std::uint32_t> free_slots_;
  std::size_t batch_events_ = 0;   // the events of the live batches
  std::size_t needed_events_ = 0;  // of those, the ones held or kept
  std::vector<CompletedWalk> completed_;  // since the last decision
  std::vector<std::uint32_t> dirty_;      // partitions with events released since then
  // The walks of every partition's undecided starts, and the places in it of ended ones, whose
  // room a new start reuses: a push over many partitions ends and begins thousands of walks.
  bool keyed_skips_ = false;  // since the last push: a keyed walk skipped an event unread
  std::vector<FirstWalk> walk_pool_;
  std::vector<std::uint32_t> free_walks_;
};

// FNV-1a over `bytes`: a snapshot ends with that of the bytes before, so that a damaged byte
// is told from a stream.
std::uint64_t snapshot_checksum(std::string_view bytes);

// The partition as the stream's events carry it: its number, big-endian, so that every event of
// a partition has the same bytes whichever batch it came in.
void set_partition_bytes(Event& event, std::uint32_t number);

}  // namespace vashlet::stream
