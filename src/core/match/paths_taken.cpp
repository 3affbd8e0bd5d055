// Process-wide totals of the paths taken, for tests.
#include "match/paths_taken.hpp"

#include <atomic>

namespace vashlet {

namespace {

std::array<std::atomic<std::uint64_t>, kPaths>& totals() {
  static std::array<std::atomic<std::uint64_t>, kPaths> counts{};
  return counts;
}

}  // namespace

void PathsTaken::publish() const {
  for (std::size_t p = 0; p < kPaths; ++p) {
    if (counts[p] != 0) totals()[p].fetch_add(counts[p], std::memory_order_relaxed);
  }
}

const char* path_name(Path path) {
  switch (path) {
    case Path::Chains: return "chains";
    case Path::Staged: return "staged";
    case Path::Streamed: return "streamed";
    case Path::Keyed: return "keyed";
    case Path::ReachIndexed: return "reach_indexed";
    case Path::FiledByValue: return "filed_by_value";
    case Path::Elements: return "elements";
    case Path::ElementsFiled: return "elements_filed";
    case Path::StreamKeyedWalks: return "stream_keyed_walks";
    case Path::KeyedChains: return "keyed_chains";
    case Path::NumberedTypes: return "numbered_types";
    case Path::ExhaustiveChains: return "exhaustive_chains";
  }
  return "";
}

std::array<std::uint64_t, kPaths> take_paths_taken() {
  std::array<std::uint64_t, kPaths> counts{};
  for (std::size_t p = 0; p < kPaths; ++p) {
    counts[p] = totals()[p].exchange(0, std::memory_order_relaxed);
  }
  return counts;
}

}  // namespace vashlet
