// The backward pass that chains rest on, shared by the chain matcher and the keyed chains: over a
// run (or one key's events), it notes for every event and later step the next event that the
// step admits, and the starts. Where the waiting partial matches never differ in what they
// accept, those next events are all a start's match needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vashlet {

// An event that no later one follows for a step.
constexpr std::uint32_t kNoNextEvent = static_cast<std::uint32_t>(-1);

// Backwards through `length` events, `admits(k, offset)` telling whether step k admits the event
// at `offset`: before an event is noted as admitted by a step, what the steps admit nearest after
// it (`last`, scratch of `steps` numbers) is its next event for each step. `next` receives
// `steps - 1` numbers per event, step after step; `starts` the offsets that the first step
// admits, last first.
template <class Starts, class Admits>
void note_next_events(std::size_t length, std::size_t steps, std::uint32_t* next,
                      std::uint32_t* last, Starts& starts, Admits&& admits) {
  const std::size_t later_steps = steps - 1;
  std::fill(last, last + steps, kNoNextEvent);
  starts.clear();
  for (std::size_t offset = length; offset-- > 0;) {
    std::copy(last + 1, last + steps, next + offset * later_steps);
    for (std::size_t k = 0; k < steps; ++k) {
      if (!admits(k, offset)) continue;
      if (k == 0) {
        starts.push_back(static_cast<std::uint32_t>(offset));
      } else {
        last[k] = static_cast<std::uint32_t>(offset);
      }
    }
  }
}

}  // namespace vashlet
