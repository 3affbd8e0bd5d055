// The Stream's own face over its state: pushes, the flush that decides everything still open,
// and the figures of what it holds.
#include "stream/stream.hpp"

#include <limits>

#include "stream/stream_state.hpp"

namespace vashlet {

Stream::Stream(StreamOptions options)
    : state_(std::make_unique<stream::StreamState>(std::move(options))) {}
Stream::Stream(std::unique_ptr<stream::StreamState> state) : state_(std::move(state)) {}
Stream::Stream(Stream&&) noexcept = default;
Stream& Stream::operator=(Stream&&) noexcept = default;
Stream::~Stream() = default;

std::variant<StreamOutput, arrow::InputFailure> Stream::push(SortedEvents batch,
                                                             std::uint64_t input_rows) {
  return state_->push(std::move(batch), input_rows);
}

StreamOutput Stream::flush() { return state_->flush(); }
StreamStats Stream::stats() const { return state_->stats(); }
const StreamOptions& Stream::options() const { return state_->options(); }
std::string Stream::snapshot() const { return state_->snapshot(); }

std::variant<Stream, arrow::InputFailure> Stream::restore(std::string_view bytes) {
  auto restored = stream::StreamState::restore(bytes);
  if (auto* failure = std::get_if<arrow::InputFailure>(&restored)) return std::move(*failure);
  return Stream(std::move(std::get<std::unique_ptr<stream::StreamState>>(restored)));
}

namespace stream {

StreamOutput StreamState::flush() {
  StreamOutput out;
  if (!resolved_) {
    // Nothing was pushed: empty results of the pattern's columns, over plain integers (in
    // nanoseconds where its windows have units, which no event will ever be measured by).
    const SortedEvents none;
    if (resolve(none)) {
      StreamOptions given = options_;
      options_.ts_unit = std::string("ns");
      options_.lateness = std::int64_t{0};
      if (resolve(none)) invariant_failure("a valid pattern resolves over nanoseconds");
      options_ = std::move(given);
    }
  }
  if (partition_values_.format.empty()) {
    partition_values_.format = std::string("u");  // assigned in place, a literal trips GCC 12 -Wrestrict
  }
  if (!flushed_) {
    for (std::uint32_t n = 0; n < partitions_.size(); ++n) {
      PartitionState& partition = partitions_[n];
      release(partition, n, std::numeric_limits<std::int64_t>::max());
      if (resolved_->walks) end_walks(partition, std::numeric_limits<std::int64_t>::max(), true);
    }
    decide(true, out);
    flushed_ = true;
  } else {
    decide(true, out);  // nothing is left: empty results
  }
  return out;
}

StreamStats StreamState::stats() const {
  StreamStats stats;
  stats.rows = rows_;
  stats.flushed = flushed_;
  for (const PartitionState& partition : partitions_) {
    stats.partitions += partition.seen;
    stats.open_starts += partition.open;
    stats.held_events += partition.held.size();
    stats.kept_events += partition.kept.size();
    stats.bytes += (partition.held.capacity() + partition.kept.capacity()) * sizeof(Kept) +
                   partition.settled.capacity() + sizeof(PartitionState);
  }
  for (const std::unique_ptr<Batch>& batch : batches_) {
    if (!batch) continue;
    // The batch's events and their attributes, which live as long as one of them is needed.
    // (A short string lives inside its object: only longer ones add bytes of their own.)
    const auto heap = [](const std::string& text) {
      return text.capacity() > std::string().capacity() ? text.capacity() : 0;
    };
    // Every event of the batch, however it is stored (a table's in one block, a list's copies
    // in owned blocks).
    const SortedEvents& events = batch->events;
    for (std::size_t i = 0; i < events.size(); ++i) {
      const Event& event = events[i];
      stats.bytes += sizeof(Event) + heap(event.typ) + heap(event.partition);
      for (const auto& [name, value] : event.attrs) {
        stats.bytes += sizeof(NamedValues::Entry) + heap(name) +
                       (value.kind() == ValueKind::String ? heap(value.as_string()) : 0);
      }
    }
  }
  for (const std::string& key : partition_values_.strings) stats.bytes += key.capacity();
  stats.bytes += partition_values_.ints.capacity() * sizeof(std::int64_t) +
                 partition_numbers_.bytes();
  return stats;
}

}  // namespace stream
}  // namespace vashlet
