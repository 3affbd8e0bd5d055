// Which strategies matched the runs: counted per worker, with no atomic in any loop, and added
// to process-wide totals when the worker is done, for tests that assert which path ran instead
// of hard-coding the thresholds that choose it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vashlet {

enum class Path : std::size_t {
  Chains,        // a run followed by chains (ChainMatcher)
  Staged,        // a run that fits the cache, matched by the step matcher from a staged block
  Streamed,      // a longer run, read as it is matched
  Keyed,         // a long run split by its correlating key
  ReachIndexed,  // exhaustive mode: a run whose reachability test indexes later values
  FiledByValue,  // a step's waiting partials filed by value
  Elements,      // a run of a pattern with language elements (ElementMatcher)
  ElementsFiled,  // such a run whose waiting walks were filed by a bound value
  StreamKeyedWalks,  // a stream's push in which walks keyed by a bound value skipped events
  KeyedChains,    // a keyed run whose keys' events were followed as chains (KeyedChains)
  // A run matched by chains or steps whose events' types came as a table reader's numbers
  // (EventTypeIds), not looked up by name.
  NumberedTypes,
  ExhaustiveChains,  // an exhaustive run whose completions were enumerated (ChainCompletions)
};
constexpr std::size_t kPaths = static_cast<std::size_t>(Path::ExhaustiveChains) + 1;  // the last above

struct PathsTaken {
  std::array<std::uint64_t, kPaths> counts{};
  void note(Path path) { ++counts[static_cast<std::size_t>(path)]; }
  // Adds the counts to the process-wide totals.
  void publish() const;
};

const char* path_name(Path path);
// The process-wide totals since the last call, which resets them.
std::array<std::uint64_t, kPaths> take_paths_taken();

}  // namespace vashlet
