#include "match/partitions.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "match/workers.hpp"

namespace vashlet {

namespace {

bool starts_run(const EventView& events, std::size_t i) {
  if (i == 0 || i >= events.size()) return true;
  if (const std::uint32_t* numbers = events.numbers().partitions) {
    return numbers[i - 1] != numbers[i];
  }
  return !same_bytes(events[i - 1].partition, events[i].partition);
}

// A run start at or after `target`, the first one in event order. There the partitions ascend,
// so the end of the run around `target` is found by bisection. Whatever the order, any index whose
// neighbours differ starts a run, so the answer is checked for that and otherwise found by a scan.
std::size_t next_run_start(const EventView& events, std::size_t target) {
  if (starts_run(events, target)) return target;
  const std::string& partition = events[target].partition;
  std::size_t low = target + 1;
  std::size_t high = events.size();
  while (low < high) {  // the first index whose partition sorts after `partition`
    const std::size_t middle = low + (high - low) / 2;
    if (compare_bytes(events[middle].partition, partition) <= 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (starts_run(events, low)) return low;
  return run_end(events, target);
}

}  // namespace

std::vector<std::size_t> chunk_bounds(const EventView& events, std::size_t parts) {
  const std::size_t n = events.size();
  std::vector<std::size_t> bounds{0};
  parts = std::clamp<std::size_t>(parts, 1, std::max<std::size_t>(n, 1));
  for (std::size_t c = 1; c < parts; ++c) {
    // c * n / parts without overflow: n and parts fit comfortably below 2^63 each.
    const std::size_t target = n / parts * c + n % parts * c / parts;
    if (target <= bounds.back()) continue;
    const std::size_t start = next_run_start(events, target);
    if (start < n && start > bounds.back()) bounds.push_back(start);
  }
  if (n > 0) bounds.push_back(n);
  return bounds;
}

void run_chunks(std::size_t chunks, const ChunkWork& work) {
  if (chunks == 0) return;
  // The workers stop with the call (see cancel.hpp); the calling thread keeps asking whether to
  // stop while it waits for them.
  Cancellation* const cancellation = current_cancellation();
  const bool polls = cancellation && owns_current_cancellation();
  std::vector<std::exception_ptr> errors(chunks);
  std::atomic<std::size_t> first_failed{chunks};
  std::mutex mutex;
  std::condition_variable finished;
  std::size_t running = 0;
  const auto attempt = [&](std::size_t c) noexcept {
    try {
      work(c, first_failed);
    } catch (...) {
      errors[c] = std::current_exception();
      note_failure(first_failed, c);
    }
  };
  const auto on_worker = [&](std::size_t c) noexcept {
    const CancellationScope scope(cancellation, false);
    attempt(c);
  };
  const auto finish = [&]() noexcept {
    const std::lock_guard<std::mutex> lock(mutex);
    --running;
    finished.notify_one();
  };
  // Everything that can fail to allocate is allocated before the first job is handed out: no
  // exception may leave this frame while a worker's job still refers to it.
  std::vector<char> on_caller(chunks, 0);
  on_caller[0] = 1;
  for (std::size_t c = 1; c < chunks; ++c) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      ++running;
    }
    bool handed = false;
    try {
      handed = run_on_worker([&on_worker, c] { on_worker(c); }, [&finish] { finish(); });
    } catch (...) {
    }
    if (!handed) {  // no thread to be had (a limit of the system): the chunk runs here instead
      const std::lock_guard<std::mutex> lock(mutex);
      --running;
      on_caller[c] = 1;
    }
  }
  for (std::size_t c = 0; c < chunks; ++c) {
    if (on_caller[c]) attempt(c);
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (running > 0) {
      if (!polls) {
        finished.wait(lock, [&] { return running == 0; });
        break;
      }
      if (finished.wait_for(lock, kPollInterval, [&] { return running == 0; })) break;
      lock.unlock();
      cancellation->poll();  // the workers see it at their next checkpoint
      lock.lock();
    }
  }
  if (cancellation && cancellation->stopped()) throw Cancelled();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

}  // namespace vashlet
