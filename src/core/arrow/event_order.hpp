// The event order that matching needs: partitions byte-wise, then timestamps, then input order.
#pragma once

#include <cstddef>
#include <vector>

#include "model/model.hpp"

namespace vashlet {

// The positions of `events` in event order (a stable sort: ties keep their input order).
// Input that is already in order costs one pass.
std::vector<std::size_t> event_order(const EventView& events);

}  // namespace vashlet
