// Threads kept from one parallel region to the next. A thread started for each region costs tens
// of microseconds on a quiet machine and up to milliseconds on a busy one (a new thread waits
// behind every running one, where a thread that wakes is let in soon), and a call over a table
// runs tens of regions. A worker is started when a job finds none free, and leaves once it has
// waited tuning::kWorkerIdle without work, so a process that stops calling soon keeps none of
// them. A forked child starts with none.
#pragma once

#include <cstddef>
#include <functional>

namespace vashlet {

// Runs `work` on a kept worker thread, started if none is free, then `done` once the worker
// counts as free again: a caller that waits for `done` and hands out more work at once finds
// that worker free, rather than starting another. False when no thread could be had (a limit of
// the system): then neither runs. Neither may throw.
bool run_on_worker(std::function<void()> work, std::function<void()> done);

// The worker threads kept now, busy or idle.
std::size_t worker_count();

// Lets the idle workers go now rather than after kWorkerIdle; returns once they have left
// (busy ones stay and leave in their time).
void dismiss_idle_workers();

}  // namespace vashlet
