// Match ordering: by first event (counted or compared), then, in exhaustive mode, by whole index
// lists.
#include "match/match_order.hpp"

#include <algorithm>

#include "memory/memory.hpp"
#include "tuning.hpp"

namespace vashlet {

void MatchOrder::order(FlatMatches& out, std::size_t begin, bool in_order, bool exhaustive) {
  const std::size_t count = out.size() - begin;
  if (count < 2 || (in_order && !exhaustive)) return;
  const std::size_t steps = out.steps;
  const auto first_of = [&](std::size_t m) { return out.indices_of(m)[0]; };
  order_.resize(count);
  if (in_order) {
    for (std::size_t n = 0; n < count; ++n) order_[n] = begin + n;
  } else {
    std::size_t low = first_of(begin);
    std::size_t high = low;
    for (std::size_t m = begin; m < out.size(); ++m) {
      low = std::min(low, first_of(m));
      high = std::max(high, first_of(m));
    }
    const std::size_t span = high - low + 1;
    if (count < span / tuning::kCountingSortRatio) {
      for (std::size_t n = 0; n < count; ++n) order_[n] = begin + n;
      std::sort(order_.begin(), order_.end(),
                [&](std::size_t a, std::size_t b) { return first_of(a) < first_of(b); });
    } else {
      first_counts_.assign(span + 1, 0);
      for (std::size_t m = begin; m < out.size(); ++m) ++first_counts_[first_of(m) - low + 1];
      for (std::size_t at = 1; at <= span; ++at) first_counts_[at] += first_counts_[at - 1];
      for (std::size_t m = begin; m < out.size(); ++m) {
        order_[first_counts_[first_of(m) - low]++] = m;
      }
    }
  }
  if (exhaustive) {
    const auto by_indices = [&](std::size_t a, std::size_t b) {
      return std::lexicographical_compare(out.indices_of(a), out.indices_of(a) + steps,
                                          out.indices_of(b), out.indices_of(b) + steps);
    };
    for (std::size_t group = 0; group < count;) {
      std::size_t end = group + 1;
      while (end < count && first_of(order_[end]) == first_of(order_[group])) ++end;
      const auto from = order_.begin() + static_cast<std::ptrdiff_t>(group);
      const auto to = order_.begin() + static_cast<std::ptrdiff_t>(end);
      if (end - group > 1 && !std::is_sorted(from, to, by_indices)) std::sort(from, to, by_indices);
      group = end;
    }
  }
  bool moved = false;
  for (std::size_t n = 0; n < count && !moved; ++n) moved = order_[n] != begin + n;
  if (!moved) return;
  reordered_.steps = out.steps;
  reordered_.slots = out.slots;
  reordered_.clear();
  // The matches are gathered from all over `out`, which a large run's matches overflow the
  // cache with: the ones a few turns ahead are fetched while the current one is copied.
  constexpr std::size_t kAhead = tuning::kReorderAhead;
  for (std::size_t n = 0; n < count; ++n) {
    if (n + kAhead < count) {
      const std::size_t next = order_[n + kAhead];
      prefetch(out.indices_of(next), steps * sizeof(std::size_t));
      prefetch(&out.ends[next], sizeof(std::int64_t));
      prefetch(out.values_of(next), out.slots * sizeof(const Value*));
    }
    const std::size_t m = order_[n];
    reordered_.indices.insert(reordered_.indices.end(), out.indices_of(m),
                              out.indices_of(m) + steps);
    reordered_.ends.push_back(out.ends[m]);
    reordered_.values.insert(reordered_.values.end(), out.values_of(m),
                             out.values_of(m) + out.slots);
  }
  std::copy(reordered_.indices.begin(), reordered_.indices.end(),
            out.indices.begin() + static_cast<std::ptrdiff_t>(begin * steps));
  std::copy(reordered_.ends.begin(), reordered_.ends.end(),
            out.ends.begin() + static_cast<std::ptrdiff_t>(begin));
  std::copy(reordered_.values.begin(), reordered_.values.end(),
            out.values.begin() + static_cast<std::ptrdiff_t>(begin * out.slots));
}

}  // namespace vashlet
