// Scratch memory whose contents need no clearing: one block from the memory module, kept across
// calls of about the same size, so that a pass that fills it anew each time faults in no pages.
#pragma once

#include <cstddef>
#include <utility>

#include "memory/memory.hpp"

namespace vashlet {

class ScratchBlock {
 public:
  ScratchBlock() = default;
  ScratchBlock(ScratchBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  ScratchBlock& operator=(ScratchBlock&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    return *this;
  }
  ~ScratchBlock() {
    if (data_) release_large(data_, bytes_);
  }
  // At least `bytes` bytes, their contents undefined.
  std::byte* room(std::size_t bytes) {
    if (bytes <= bytes_) return data_;
    if (data_) release_large(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
    data_ = static_cast<std::byte*>(allocate_large(bytes));
    bytes_ = bytes;
    return data_;
  }
  // Room for `count` items of T, their contents undefined.
  template <class T>
  T* items(std::size_t count) {
    return reinterpret_cast<T*>(room(count * sizeof(T)));
  }

 private:
  std::byte* data_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace vashlet
