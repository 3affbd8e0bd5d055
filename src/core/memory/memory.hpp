// Large buffers and shared slabs: where they come from and what the operating system is told
// about them. A buffer of tens of megabytes that is filled once costs one page fault per 4 KiB
// page (and the kernel zeroes every page first); backed by huge pages it costs one per 2 MiB,
// and a buffer that a previous call faulted in costs none. Together that is a third of a large
// match over a table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vashlet {

// Asks for huge pages behind [data, data + bytes) where the system offers them on request
// (Linux with transparent huge pages in "madvise" mode); does nothing for small buffers or
// elsewhere. Only pages not yet touched benefit.
void prefer_huge_pages(const void* data, std::size_t bytes);

// Memory for large buffers. Blocks of a megabyte and more are mapped on huge pages and, once
// released, kept for two seconds (up to a bounded total, and only until the kernel wants the
// pages back) so that the next call of about the same size reuses pages that are already mapped
// instead of having the kernel map and zero new ones. Smaller requests go to operator new.
// A thread of the module's lets kept memory go when its time is up, whether or not another call
// comes, and trims the heap after large releases. Setting VASHLET_KEEP_MEMORY=0 in the
// environment turns keeping off. Thread-safe: buffers exported to Arrow consumers are released
// on whichever thread drops them.
void* allocate_large(std::size_t bytes);
void release_large(void* data, std::size_t bytes) noexcept;

// Memory for slabs of kSlabBytes, which many results share (PackedEventSlabs). Released slabs
// are kept for a few seconds, up to a bounded total, and handed out again: a call that needs as
// many as the last one released reuses them, where the allocator would have returned the
// memory to the system and the call would fault it in again. Thread-safe.
constexpr std::size_t kSlabBytes = std::size_t{1} << 16;
void* allocate_slab();
void release_slab(void* slab) noexcept;

// Lets all kept blocks and slabs go now, and trims the heap; the bytes of kept memory freed.
std::size_t release_kept_memory() noexcept;

template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) {}
  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_large(count * sizeof(T)));
  }
  void deallocate(T* data, std::size_t count) noexcept { release_large(data, count * sizeof(T)); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

// A vector whose storage comes from allocate_large: for buffers that grow with the input.
template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// As LargeAllocator, but items a resize adds are default-initialized (left unwritten, for
// trivial types) rather than zeroed: for buffers whose users write every item before reading
// it, where zeroing would be a pass over all of them for nothing.
template <class T>
struct FillLaterAllocator : LargeAllocator<T> {
  FillLaterAllocator() = default;
  template <class U>
  FillLaterAllocator(const FillLaterAllocator<U>&) {}
  template <class U>
  void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using FillLaterVector = std::vector<T, FillLaterAllocator<T>>;

// Reserves room for `needed` items in all (the exact need the first time, geometric growth after
// that, so that many small additions copy the vector only a few times), asking for huge pages
// behind the fresh room.
template <class T, class Allocator>
void reserve_for(std::vector<T, Allocator>& items, std::size_t needed) {
  if (items.capacity() >= needed) return;
  items.reserve(std::max(needed, 2 * items.capacity()));
  prefer_huge_pages(items.data() + items.size(), (items.capacity() - items.size()) * sizeof(T));
}

}  // namespace vashlet
