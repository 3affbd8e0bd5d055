// The GIL released for a long native call that Ctrl-C stops: the core asks at its checkpoints
// (see cancel.hpp), every few dozen milliseconds on the calling thread, whether a signal handler
// raised, which means taking the GIL back for a moment to run the handlers. Only the main thread
// runs signal handlers, so a call on another thread just releases the GIL.
#pragma once

#include <optional>

#include "system/cancel.hpp"
#include "frame.hpp"

namespace vashlet::py {

class InterruptibleRelease {
 public:
  InterruptibleRelease();
  ~InterruptibleRelease();  // takes the GIL back
  InterruptibleRelease(const InterruptibleRelease&) = delete;
  InterruptibleRelease& operator=(const InterruptibleRelease&) = delete;

  // At the end of the work, still without the GIL: throws Cancelled where a handler raised,
  // even if the work then ran to its end (its exception is set and must be the call's outcome).
  void finish() const;

 private:
  static bool handler_raised(void* self);

  PyThreadState* state_ = nullptr;
  std::optional<Cancellation> cancellation_;
  std::optional<CancellationScope> scope_;
};

}  // namespace vashlet::py
