// Writing near-miss tables: from NearMiss records, or from the flat rows of a chain pattern's
// near misses, all of them or a chosen few.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <string>
#include <vector>

#include "arrow/table_results.hpp"
#include "explain/miss_groups.hpp"
#include "explain/near_miss_rows.hpp"

namespace vashlet {

using explain::RowAt;

// How elapsed times (gap, max_elapsed) are written: as integers for an integer timestamp column,
// as durations in the unit of a temporal one. Dates count days, which no duration unit is, so
// theirs are written in seconds.
struct ElapsedFormat {
  std::string format = "l";
  std::int64_t scale = 1;
};
ElapsedFormat elapsed_format(std::string_view ts);

// ticks * scale, saturated: only a window beyond any date's reach can exceed the limits.
std::int64_t scaled(std::int64_t ticks, std::int64_t scale);

// The reason column's text, by explain::Reason.
inline constexpr std::string_view kReasonNames[] = {"predicate_failed", "absence_blocked",
                                                    "window_exceeded", "no_successor"};

// The near-miss table of `parts`' rows: every row in order, or those of `only`, in its order,
// written on up to `threads` threads. `names` are those the parts were made with.
arrow::Table near_miss_rows_table(const Pattern& pattern, const SortedEvents& events,
                                  const std::vector<std::string>& names,
                                  const std::vector<explain::NearMissRows>& parts,
                                  const std::vector<RowAt>* only, std::size_t threads);

}  // namespace vashlet
