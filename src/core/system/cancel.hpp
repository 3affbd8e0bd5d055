// Stopping a long native call early, for the interpreter's Ctrl-C. The caller installs a
// Cancellation with a hook that says whether to stop; the loops of the work hold Checkpoints,
// and the calling thread's ask the hook at least every kPollInterval of work. Once it says stop,
// every thread of the call throws Cancelled at its next checkpoint, and the call waits for its
// workers' jobs as for any other failure: nothing is left running.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>

namespace vashlet {

struct Cancelled : std::exception {
  const char* what() const noexcept override { return "the call was cancelled"; }
};

inline constexpr std::chrono::milliseconds kPollInterval{20};

// What the threads of one call share about stopping it.
class Cancellation {
 public:
  using Hook = bool (*)(void* context);  // true: stop; called on the installing thread only

  Cancellation(Hook hook, void* context)
      : hook_(hook), context_(context), next_poll_(Clock::now() + kPollInterval) {}
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
  // On the installing thread: asks the hook if it has not been asked for kPollInterval; whether
  // the call is to stop.
  bool poll();

 private:
  using Clock = std::chrono::steady_clock;
  Hook hook_;
  void* context_;
  std::atomic<bool> stopped_{false};
  Clock::time_point next_poll_;
};

// Makes `cancellation` the calling thread's until destroyed (the previous one after that).
// `owner`: the thread that installed it, and that may ask its hook; the workers of the call get
// the same one as non-owners.
class CancellationScope {
 public:
  CancellationScope(Cancellation* cancellation, bool owner);
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  Cancellation* previous_;
  bool previous_owner_;
};

// The calling thread's cancellation (null: none), and whether it installed it.
Cancellation* current_cancellation();
bool owns_current_cancellation();

// A point in a loop where the call may stop: throws Cancelled once it is to. Cheap enough for
// every event: it looks at the call only once per kWorkPerLook units of work (events, mostly).
class Checkpoint {
 public:
  static constexpr std::size_t kWorkPerLook = 256;

  Checkpoint() : cancellation_(current_cancellation()), owner_(owns_current_cancellation()) {}

  void operator()(std::size_t work = 1) {
    if (budget_ > work) {
      budget_ -= work;
      return;
    }
    look();
  }

 private:
  void look();

  Cancellation* cancellation_;
  bool owner_;
  std::size_t budget_ = kWorkPerLook;
};

}  // namespace vashlet
