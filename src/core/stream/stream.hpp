// A stream of events that never ends, matched as it arrives. Per partition it keeps the events
// that the watermark has not yet released (held) and, of the released ones, those from the
// earliest start not yet decided on (kept). Each push re-reads a touched partition's kept
// events with the one-shot matchers and hands back what no later event can change: matches, and
// with `explain` near misses, exactly those that matching and explaining all events at once give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "arrow/arrow_in.hpp"
#include "arrow/arrow_out.hpp"
#include "arrow/table_events.hpp"
#include "model/model.hpp"

namespace vashlet {

// What happens to an event older than its partition's watermark.
enum class LatePolicy : std::uint8_t { Raise, Drop, Report };

// How long events may come out of order: ticks of the timestamps, or a duration resolved against
// them at the first batch (as windows are).
using Lateness = std::variant<std::int64_t, Duration>;

struct StreamOptions {
  Pattern pattern;  // as given (windows may still have units); its consumption is the mode
  EventColumns columns;
  std::optional<std::string> ts_unit;
  bool exhaustive = false;  // widens the consumption, as for a one-shot table
  std::optional<std::size_t> max_matches;  // per push, as for a one-shot table
  std::size_t threads = 1;
  Lateness lateness = std::int64_t{0};
  LatePolicy late = LatePolicy::Raise;
  bool explain = false;
  std::optional<std::size_t> max_open;  // undecided starts per partition
};

// What one push (or the flush) made final.
struct StreamOutput {
  arrow::Table matches;                     // the match table's columns
  std::optional<arrow::Table> near_misses;  // the near-miss table's columns, with `explain`
  // LatePolicy::Report: the late events, by row of the stream (or id, where `columns.id` is set:
  // then `late_ids` holds their values in the id column's type).
  std::vector<std::uint64_t> late_rows;
  std::optional<KeyValues> late_ids;
  std::vector<std::string> absent_types;  // as a one-shot table read reports them, per batch
};

struct StreamStats {
  std::uint64_t rows = 0;         // input rows pushed so far
  std::uint64_t partitions = 0;   // partitions with state
  std::uint64_t open_starts = 0;  // starts not yet decided
  std::uint64_t held_events = 0;  // waiting for the watermark
  std::uint64_t kept_events = 0;  // released, still needed by an undecided start
  std::uint64_t bytes = 0;        // memory the state holds, about
  bool flushed = false;
};

namespace stream {
class StreamState;
}

class Stream {
 public:
  explicit Stream(StreamOptions options);
  Stream(Stream&&) noexcept;
  Stream& operator=(Stream&&) noexcept;
  ~Stream();

  // Adds the events of one batch, read by events_from_stream/events_from_batch/events_from_list
  // (rows counted from 0 within the batch; `input_rows` is the batch's number of rows, events of
  // types the pattern does not name included). A failure (a late event under LatePolicy::Raise,
  // a batch whose columns disagree with the first's, too many open starts) leaves the stream as
  // it was before the call.
  std::variant<StreamOutput, arrow::InputFailure> push(SortedEvents batch,
                                                       std::uint64_t input_rows);
  // The end of input: every start still open is decided. Later pushes fail.
  StreamOutput flush();

  StreamStats stats() const;
  const StreamOptions& options() const;

  // The whole state as bytes, and a stream that continues exactly where that one was.
  std::string snapshot() const;
  static std::variant<Stream, arrow::InputFailure> restore(std::string_view bytes);

 private:
  explicit Stream(std::unique_ptr<stream::StreamState> state);
  std::unique_ptr<stream::StreamState> state_;
};

}  // namespace vashlet
