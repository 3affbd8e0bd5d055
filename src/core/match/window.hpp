// Window arithmetic: whether the time between two events exceeds a step's window, exactly for
// any timestamps.
#pragma once

#include <cstdint>

namespace vashlet {

// True when `later_ts - earlier_ts` exceeds `max_elapsed`, computed exactly for any int64 inputs.
bool window_exceeded(std::int64_t earlier_ts, std::int64_t later_ts, std::int64_t max_elapsed);

}  // namespace vashlet
