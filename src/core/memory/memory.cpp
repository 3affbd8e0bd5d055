#include "memory/memory.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vashlet {

void prefer_huge_pages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::size_t kWorthIt = std::size_t{4} << 20;  // two huge pages at least
  if (bytes < kWorthIt) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
  // A hint: where it is refused (no transparent huge pages), the buffer works as before.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

namespace {

// Under AddressSanitizer every buffer goes through operator new, which it watches; a kept block
// would hide a use after release. There the heap is the sanitizer's, and not worth trimming.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepsBlocks = true;
#else
constexpr bool kKeepsBlocks = false;
#endif
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
constexpr bool kTrimsHeap = true;
#else
constexpr bool kTrimsHeap = false;
#endif

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLarge = std::size_t{1} << 20;  // smaller requests go to operator new
constexpr std::size_t kMostKept = std::size_t{512} << 20;
constexpr auto kKeptFor = std::chrono::seconds(2);

std::size_t round_up(std::size_t bytes, std::size_t step) { return (bytes + step - 1) / step * step; }

// The size of the block that serves `bytes`: whole huge pages, and above 16 MiB steps of an
// eighth of a power of two, so that inputs of about the same size share blocks and a block
// wastes at most an eighth.
std::size_t block_size(std::size_t bytes) {
  const std::size_t size = round_up(bytes, kHugePage);
  if (size <= 8 * kHugePage) return size;
  int top = 63;
  while (!((size >> top) & 1)) --top;
  return round_up(size, std::size_t{1} << (top - 3));
}

#if defined(__linux__)
// A block aligned to a huge page, so that all of it can be backed by huge pages.
void* map_block(std::size_t size) {
  void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = round_up(begin, kHugePage);
  if (aligned > begin) munmap(mapped, aligned - begin);
  const std::uintptr_t end = begin + size + kHugePage;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
#if defined(MADV_HUGEPAGE)
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void unmap_block(void* data, std::size_t size) { munmap(data, size); }
#else
void* map_block(std::size_t) { throw std::bad_alloc(); }
void unmap_block(void*, std::size_t) {}
#endif

using Clock = std::chrono::steady_clock;

// Whether what was released at `released` has been kept long enough by `now` (max(): all has).
bool kept_long_enough(Clock::time_point released, Clock::time_point now) {
  return now == Clock::time_point::max() || now - released > kKeptFor;
}

class KeptBlocks {
 public:
  void* take(std::size_t size) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      forget_old(Clock::now());
      for (std::size_t n = blocks_.size(); n-- > 0;) {
        if (blocks_[n].size != size) continue;
        void* data = blocks_[n].data;
        kept_ -= size;
        blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(n));
        return data;
      }
    }
    return map_block(size);
  }

  // Whether the block is kept (rather than unmapped at once).
  bool give(void* data, std::size_t size) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    forget_old(now);
    if (size > kMostKept) {
      unmap_block(data, size);
      return false;
    }
    while (kept_ + size > kMostKept) drop_oldest();
#if defined(MADV_FREE)
    // The kernel may take the pages back under memory pressure (the next user then finds fresh
    // zeroed pages); until it does, they stay mapped and are reused without a fault.
    madvise(data, size, MADV_FREE);
#endif
    try {
      blocks_.push_back(Block{data, size, now});
      kept_ += size;
      return true;
    } catch (...) {
      unmap_block(data, size);
      return false;
    }
  }

  // Unmaps the blocks kept for long enough (all, given Clock::time_point::max()); the bytes.
  std::size_t forget(Clock::time_point now) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t before = kept_;
    forget_old(now);
    return before - kept_;
  }

  // When the oldest kept block is due to go (max(): none is kept).
  Clock::time_point next_expiry() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.empty() ? Clock::time_point::max() : blocks_.front().released + kKeptFor;
  }

  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }
  // In a forked child, before unlock_after_fork: lets everything go under the lock still held.
  void forget_all_in_child() noexcept { forget_old(Clock::time_point::max()); }

 private:
  struct Block {
    void* data;
    std::size_t size;
    Clock::time_point released;
  };

  void forget_old(Clock::time_point now) noexcept {
    while (!blocks_.empty() && kept_long_enough(blocks_.front().released, now)) {
      drop_oldest();
    }
  }

  void drop_oldest() noexcept {
    unmap_block(blocks_.front().data, blocks_.front().size);
    kept_ -= blocks_.front().size;
    blocks_.erase(blocks_.begin());
  }

  std::mutex mutex_;
  std::vector<Block> blocks_;  // in the order of their release
  std::size_t kept_ = 0;
};

// Released slabs, newest last: the newest are handed out first, while they may still be in
// the cache, and the oldest are freed once they have been kept long enough.
class KeptSlabs {
 public:
  void* take() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      forget_old(Clock::now());
      if (!slabs_.empty()) {
        void* slab = slabs_.back().data;
        slabs_.pop_back();
        return slab;
      }
    }
    return ::operator new(kSlabBytes);
  }

  // Whether the slab is kept (rather than freed at once).
  bool give(void* slab) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    forget_old(now);
    if (slabs_.size() >= kMostKeptSlabs) {
      ::operator delete(slab);
      return false;
    }
    try {
      slabs_.push_back(Slab{slab, now});
      return true;
    } catch (...) {
      ::operator delete(slab);
      return false;
    }
  }

  std::size_t forget(Clock::time_point now) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t before = slabs_.size();
    forget_old(now);
    return (before - slabs_.size()) * kSlabBytes;
  }

  Clock::time_point next_expiry() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return slabs_.empty() ? Clock::time_point::max() : slabs_.front().released + kKeptFor;
  }

  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }
  // In a forked child, before unlock_after_fork: lets everything go under the lock still held.
  void forget_all_in_child() noexcept { forget_old(Clock::time_point::max()); }

 private:
  static constexpr std::size_t kMostKeptSlabs = (std::size_t{64} << 20) / kSlabBytes;
  struct Slab {
    void* data;
    Clock::time_point released;
  };

  void forget_old(Clock::time_point now) noexcept {
    while (!slabs_.empty() && kept_long_enough(slabs_.front().released, now)) {
      ::operator delete(slabs_.front().data);
      slabs_.pop_front();
    }
  }

  std::mutex mutex_;
  std::deque<Slab> slabs_;
};

// Hands the heap's free pages back to the system: large calls free hundreds of megabytes of
// small allocations (attributes, slabs), which the allocator would otherwise keep.
void trim_heap() noexcept {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
  malloc_trim(0);
#endif
}

// glibc hands the top of its heap back on every free() that leaves more than a threshold free
// there, and raises its thresholds only after large blocks were freed: the attributes of a large
// call, made last and freed together, went back at once and the next call faulted every page of
// them in again. The thresholds start where glibc's own rule ends (blocks from 32 MiB mapped
// apart, twice that left on top of the heap); trim_heap still hands the heap back after large
// releases, once a call is over.
void tune_heap() noexcept {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

// What is kept, and the thread that lets it go once it has been kept long enough, so that an
// idle process returns to its size without waiting for another call. The thread runs only while
// something is kept or a trim of the heap is due, sleeping until then; it is a native thread the
// interpreter does not know of, so it never holds up the interpreter's exit.
class Keeper {
 public:
  KeptBlocks blocks;
  KeptSlabs slabs;

  // Asks for a sweep once something has been kept, or large memory freed (`trim`). The heap is
  // trimmed once large releases have stopped for a while: trimmed between the calls of a busy
  // loop, it would be faulted in again, page by page, by the next call's small allocations.
  void sweep_later(bool trim) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (trim) trim_at_ = Clock::now() + kTrimAfter;
    if (running_) return;
    try {
      std::thread(&Keeper::sweep, this).detach();
      running_ = true;
    } catch (...) {
      // No thread to be had: what is kept still goes at the next call's allocation or release.
    }
  }

  // Lets everything go now; the bytes of kept blocks and slabs freed.
  std::size_t release_all() noexcept {
    std::size_t freed = blocks.forget(Clock::time_point::max());
    freed += slabs.forget(Clock::time_point::max());
    trim_heap();
    return freed;
  }

  void lock_for_fork() {
    mutex_.lock();
    blocks.lock_for_fork();
    slabs.lock_for_fork();
  }
  void unlock_in_parent() {
    slabs.unlock_after_fork();
    blocks.unlock_after_fork();
    mutex_.unlock();
  }
  // The sweeper did not come along: the child starts without anything kept. What is kept goes
  // while the locks taken for the fork are still held: taking them again afterwards would do so
  // under locks of other modules that their own child handlers leave held, the reverse of the
  // order in which the fork took them.
  void unlock_in_child() {
    blocks.forget_all_in_child();
    slabs.forget_all_in_child();
    running_ = false;
    trim_at_ = Clock::time_point::max();
    slabs.unlock_after_fork();
    blocks.unlock_after_fork();
    mutex_.unlock();
  }

 private:
  static constexpr auto kTrimAfter = std::chrono::milliseconds(500);

  void sweep() noexcept {
    while (true) {
      Clock::time_point next;
      bool trim = false;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        trim = blocks.forget(now) + slabs.forget(now) > 0;
        if (trim_at_ <= now) {
          trim = true;
          trim_at_ = Clock::time_point::max();
        }
        next = std::min({blocks.next_expiry(), slabs.next_expiry(), trim_at_});
        if (next == Clock::time_point::max()) running_ = false;
      }
      if (trim) trim_heap();
      if (next == Clock::time_point::max()) return;
      std::this_thread::sleep_until(next + std::chrono::milliseconds(1));
    }
  }

  std::mutex mutex_;
  bool running_ = false;
  Clock::time_point trim_at_ = Clock::time_point::max();
};

// Never destroyed: buffers may still be released while the process exits. A process forked
// while another thread held a lock would find it held forever: fork waits for the locks, and
// both processes let go of them.
Keeper& keeper() {
  static Keeper* instance = [] {
    auto* created = new Keeper();
#if defined(__linux__)
    pthread_atfork([] { keeper().lock_for_fork(); }, [] { keeper().unlock_in_parent(); },
                   [] { keeper().unlock_in_child(); });
#endif
    return created;
  }();
  return *instance;
}

// Keeping is on unless the sanitizers watch the buffers or VASHLET_KEEP_MEMORY says no ("0",
// "false", "no", "off"): then every release goes straight back to the system.
bool keeps_memory() {
  static const bool keeps = [] {
    if (!kKeepsBlocks) return false;
    const char* setting = std::getenv("VASHLET_KEEP_MEMORY");
    std::string text(setting ? setting : "");
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool on = !(text == "0" || text == "false" || text == "no" || text == "off");
    if (on) tune_heap();
    return on;
  }();
  return keeps;
}

}  // namespace

void* allocate_large(std::size_t bytes) {
  if (!keeps_memory() || bytes < kLarge) return ::operator new(bytes);
  return keeper().blocks.take(block_size(bytes));
}

void release_large(void* data, std::size_t bytes) noexcept {
  if (!data) return;
  if (bytes < kLarge) {
    ::operator delete(data);
    return;
  }
  if (!keeps_memory()) {
    ::operator delete(data);
    if (kTrimsHeap) keeper().sweep_later(true);
    return;
  }
  keeper().blocks.give(data, block_size(bytes));
  keeper().sweep_later(true);
}

void* allocate_slab() {
  if (!keeps_memory()) return ::operator new(kSlabBytes);
  return keeper().slabs.take();
}

void release_slab(void* slab) noexcept {
  if (!slab) return;
  if (!keeps_memory()) {
    ::operator delete(slab);
    if (kTrimsHeap) keeper().sweep_later(true);
    return;
  }
  if (keeper().slabs.give(slab)) keeper().sweep_later(false);
}

std::size_t release_kept_memory() noexcept { return keeper().release_all(); }

}  // namespace vashlet
