#include "system/cancel.hpp"

namespace vashlet {

namespace {

// Plain pointers, constant-initialised: no wrapper call on access.
constinit thread_local Cancellation* current = nullptr;
constinit thread_local bool current_owner = false;

}  // namespace

bool Cancellation::poll() {
  if (stopped()) return true;
  const Clock::time_point now = Clock::now();
  if (now < next_poll_) return false;
  next_poll_ = now + kPollInterval;
  if (!hook_ || !hook_(context_)) return false;
  stopped_.store(true, std::memory_order_relaxed);
  return true;
}

CancellationScope::CancellationScope(Cancellation* cancellation, bool owner)
    : previous_(current), previous_owner_(current_owner) {
  current = cancellation;
  current_owner = owner;
}

CancellationScope::~CancellationScope() {
  current = previous_;
  current_owner = previous_owner_;
}

Cancellation* current_cancellation() { return current; }
bool owns_current_cancellation() { return current_owner; }

void Checkpoint::look() {
  budget_ = kWorkPerLook;
  if (!cancellation_) return;
  if (owner_ ? cancellation_->poll() : cancellation_->stopped()) throw Cancelled();
}

}  // namespace vashlet
