// Reading runs for the step matcher: staging blocks of short runs, streaming long ones.
#include "match/run_reader.hpp"

#include <algorithm>

#include "memory/memory.hpp"

namespace vashlet {

using plan::kNone;

// Memory, not work, bounds the pass over a streamed run, so what it reads is fetched into the
// cache ahead of its turn: the events themselves, then the types of the next events, and the
// attributes of those that the pattern names, which live in a block of their own.
void RunReader::look_at(std::size_t j) {
  if (j + kAhead < events_.size()) prefetch(&events_[j + kAhead], sizeof(Event));
  const Event& event = events_[j];
  const std::size_t type = types_(j, event);
  ahead_types_[j % ahead_types_.size()] = type;
  if (type != kNone) prefetch_attributes(event, tuning::kAttributeBytes);
}

// Reads the events from `begin` on, at least up to `end` and a block's worth, in one streaming
// pass: their type ids are noted, and the attributes of the named ones fetched. A run's passes
// then find its events in the cache. Fetching them as each run comes would leave memory idle
// while the run is matched and the matching idle while the next run arrives; a block of runs
// read at once keeps the memory busy, and still fits the cache.
void RunReader::stage(std::size_t begin, std::size_t end) {
  const std::size_t stop =
      std::min(events_.size(), std::max(end, begin + tuning::kStagedBlock));
  staged_begin_ = begin;
  staged_types_.resize(stop - begin);
  visit_events(events_, begin, stop, [&](std::size_t i, const Event& event) {
    const std::size_t type = types_(i, event);
    staged_types_[i - begin] = type;
    if (type != kNone) prefetch_attributes(event, tuning::kAttributeBytes);
    return true;
  });
}

// One pass over the type ids that stage noted, so that the passes after it never look at the
// events of other types.
const std::vector<RunReader::NamedEvent>& RunReader::named_events(const Run& run) {
  const std::size_t begin = run.begin;
  const std::size_t end = run.end;
  if (begin < staged_begin_ || end > staged_begin_ + staged_types_.size()) stage(begin, end);
  named_.resize(end - begin);
  std::size_t count = 0;
  for (std::size_t i = begin; i < end; ++i) {  // without a branch on the type: it is unpredictable
    const std::size_t type = staged_types_[i - staged_begin_];
    named_[count] = NamedEvent{i, type};
    count += type != kNone;
  }
  named_.resize(count);
  return named_;
}

}  // namespace vashlet
