#include "interrupt.hpp"

#include <atomic>

namespace vashlet::py {

namespace {

// The identity of the interpreter's main thread, from `threading` on first need (0: unknown).
unsigned long main_thread_ident() {
  static std::atomic<unsigned long> known{0};
  if (const unsigned long ident = known.load(std::memory_order_relaxed)) return ident;
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                       : Ref();
  Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
  const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();  // not worth failing the call for: it is then just not interruptible
    return 0;
  }
  known.store(value, std::memory_order_relaxed);
  return value;
}

}  // namespace

InterruptibleRelease::InterruptibleRelease() {
  if (PyThread_get_thread_ident() == main_thread_ident()) {
    cancellation_.emplace(&InterruptibleRelease::handler_raised, this);
    scope_.emplace(&*cancellation_, true);
  }
  state_ = PyEval_SaveThread();
}

InterruptibleRelease::~InterruptibleRelease() {
  PyEval_RestoreThread(state_);
  scope_.reset();
}

void InterruptibleRelease::finish() const {
  if (cancellation_ && cancellation_->stopped()) throw Cancelled();
}

bool InterruptibleRelease::handler_raised(void* self) {
  auto* release = static_cast<InterruptibleRelease*>(self);
  PyEval_RestoreThread(release->state_);
  const bool raised = PyErr_CheckSignals() != 0;  // the handler's exception stays set
  release->state_ = PyEval_SaveThread();
  return raised;
}

}  // namespace vashlet::py
