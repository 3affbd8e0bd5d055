// Writing near-miss tables: from NearMiss records, or from the flat rows of a chain pattern's
// near misses, all of them or a chosen few.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "arrow/table_results.hpp"
#include "explain/near_miss_rows.hpp"

namespace vashlet {

// A row of one of the parts that near_miss_rows gives.
struct RowAt {
  std::size_t part;
  std::size_t row;
};

// The near-miss table of `parts`' rows: every row in order, or those of `only`, in its order.
// `names` are those the parts were made with.
arrow::Table near_miss_rows_table(const Pattern& pattern, const SortedEvents& events,
                                  const std::vector<std::string>& names,
                                  const std::vector<explain::NearMissRows>& parts,
                                  const std::vector<RowAt>* only);

}  // namespace vashlet
