// Window arithmetic: whether the time between two events exceeds a step's window, exactly for
// any timestamps.
#pragma once

#include <cstdint>

namespace vashlet {

// True when `later_ts - earlier_ts` exceeds `max_elapsed`, computed exactly for any int64 inputs.
// Inline: the matchers ask once per candidate event.
inline bool window_exceeded(std::int64_t earlier_ts, std::int64_t later_ts,
                            std::int64_t max_elapsed) {
  // The difference of two int64 values needs 65 bits, so it is compared through its sign and
  // its magnitude, which always fits in uint64 (two's-complement wrap-around gives it exactly).
  if (later_ts >= earlier_ts) {
    const std::uint64_t elapsed =
        static_cast<std::uint64_t>(later_ts) - static_cast<std::uint64_t>(earlier_ts);
    return max_elapsed < 0 || elapsed > static_cast<std::uint64_t>(max_elapsed);
  }
  // A negative elapsed time exceeds only a window that is even more negative.
  if (max_elapsed >= 0) return false;
  const std::uint64_t backwards =
      static_cast<std::uint64_t>(earlier_ts) - static_cast<std::uint64_t>(later_ts);
  const std::uint64_t window_magnitude = 0 - static_cast<std::uint64_t>(max_elapsed);
  return backwards < window_magnitude;
}

}  // namespace vashlet
