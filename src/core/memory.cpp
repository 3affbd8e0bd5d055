#include "memory.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
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
// would hide a use after release.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr bool kKeepsBlocks = true;
#else
constexpr bool kKeepsBlocks = false;
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

  void give(void* data, std::size_t size) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    forget_old(now);
    if (size > kMostKept) {
      unmap_block(data, size);
      return;
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
    } catch (...) {
      unmap_block(data, size);
    }
  }

  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Block {
    void* data;
    std::size_t size;
    Clock::time_point released;
  };

  void forget_old(Clock::time_point now) noexcept {
    while (!blocks_.empty() && now - blocks_.front().released > kKeptFor) drop_oldest();
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

  void give(void* slab) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    forget_old(now);
    if (slabs_.size() >= kMostKeptSlabs) {
      ::operator delete(slab);
      return;
    }
    try {
      slabs_.push_back(Slab{slab, now});
    } catch (...) {
      ::operator delete(slab);
    }
  }

  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }

 private:
  static constexpr std::size_t kMostKeptSlabs = (std::size_t{64} << 20) / kSlabBytes;
  using Clock = std::chrono::steady_clock;
  struct Slab {
    void* data;
    Clock::time_point released;
  };

  void forget_old(Clock::time_point now) noexcept {
    while (!slabs_.empty() && now - slabs_.front().released > kKeptFor) {
      ::operator delete(slabs_.front().data);
      slabs_.pop_front();
    }
  }

  std::mutex mutex_;
  std::deque<Slab> slabs_;
};

// Never destroyed: buffers may still be released while the process exits. A process forked
// while another thread held the lock would find it held forever: fork waits for the lock, and
// both processes let go of it.
template <class Kept>
Kept& kept() {
  static Kept* instance = [] {
    auto* created = new Kept();
#if defined(__linux__)
    pthread_atfork([] { kept<Kept>().lock_for_fork(); }, [] { kept<Kept>().unlock_after_fork(); },
                   [] { kept<Kept>().unlock_after_fork(); });
#endif
    return created;
  }();
  return *instance;
}

KeptBlocks& kept_blocks() { return kept<KeptBlocks>(); }

}  // namespace

void* allocate_large(std::size_t bytes) {
  if (!kKeepsBlocks || bytes < kLarge) return ::operator new(bytes);
  return kept_blocks().take(block_size(bytes));
}

void release_large(void* data, std::size_t bytes) noexcept {
  if (!data) return;
  if (!kKeepsBlocks || bytes < kLarge) {
    ::operator delete(data);
    return;
  }
  kept_blocks().give(data, block_size(bytes));
}

void* allocate_slab() {
  if (!kKeepsBlocks) return ::operator new(kSlabBytes);
  return kept<KeptSlabs>().take();
}

void release_slab(void* slab) noexcept {
  if (!slab) return;
  if (!kKeepsBlocks) {
    ::operator delete(slab);
    return;
  }
  kept<KeptSlabs>().give(slab);
}

}  // namespace vashlet
