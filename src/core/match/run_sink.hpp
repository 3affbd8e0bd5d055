// The per-run result sink: a caller's hook that sees each run's matches once they are final, so
// that work only that caller needs (copies of the events, say) stays out of the matchers.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "match/results.hpp"
#include "model/model.hpp"

namespace vashlet {

class RunSink {
 public:
  virtual ~RunSink() = default;
  // Called once per run, in run order, with the run's matches: those of `out` from `begin` on,
  // in their final order. Their indices name events of `events`.
  virtual void run_matched(const FlatMatches& out, std::size_t begin,
                           const EventView& events) = 0;
};

// Makes the sink of one part of Plan::flat_matches.
using MakeRunSink = std::function<std::unique_ptr<RunSink>()>;

// One part of Plan::flat_matches with a sink: its matches, and the sink that saw them (none
// where the part has no run). Whole cache lines each, as its matches are: the parts of adjacent
// chunks grow on different threads at once.
struct alignas(64) SinkPart {
  FlatMatches matches;
  std::unique_ptr<RunSink> sink;
};

}  // namespace vashlet
