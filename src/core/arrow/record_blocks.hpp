// The table reader's records (a fixed number of words per event, in input order) in blocks of
// kRecords records each, so that the records of a later batch go into blocks of their own and
// growing never copies those already written: a table of many batches (a file's row groups)
// would otherwise copy its records again at every doubling. Only the first block grows by
// copying, up to one block's size, so that a small table takes no more than it needs.
// Each block's records start on a cache line boundary: an event is built from one record, read
// at random, which then lies in one line where it fits in one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "memory/memory.hpp"

namespace vashlet::table_reading {

class RecordBlocks {
 public:
  static constexpr unsigned kShift = 16;
  static constexpr std::size_t kRecords = std::size_t{1} << kShift;  // per block
  static constexpr std::size_t kLineWords = 64 / sizeof(std::uint64_t);

  RecordBlocks() = default;
  // Records of `words` words each.
  explicit RecordBlocks(std::size_t words) : words_(words) {}

  // Makes room for `count` records; the first `held` are written and keep their values.
  void grow(std::size_t held, std::size_t count) {
    while (room_ < count) {
      if (blocks_.size() <= 1 && room_ < kRecords) {
        regrow_first(held, std::min(kRecords, std::max(count, 2 * room_)));
      } else {
        add_block(kRecords);
        room_ += kRecords;
      }
    }
  }

  std::uint64_t* operator[](std::size_t at) const {
    return starts_[at >> kShift] + (at & (kRecords - 1)) * words_;
  }

 private:
  // A block of `records` records, and where its first record starts. Large buffers are mapped on
  // page boundaries (memory.hpp), so a block is made again, with a few words of room to move its
  // start to a line, only where it did not start on one: asking for that room always would round
  // every large block up to a further huge page.
  std::pair<FillLaterVector<std::uint64_t>, std::uint64_t*> new_block(std::size_t records) const {
    FillLaterVector<std::uint64_t> block;
    block.resize(records * words_);
    if (line_skip(block.data()) != 0) {
      FillLaterVector<std::uint64_t>().swap(block);
      block.resize(records * words_ + kLineWords);
    }
    std::uint64_t* const start = block.data() + line_skip(block.data());
    return {std::move(block), start};
  }

  // The words from `data` to the next line boundary.
  static std::size_t line_skip(const std::uint64_t* data) {
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    return (64 - address % 64) % 64 / sizeof(std::uint64_t);
  }

  void add_block(std::size_t records) {
    auto [block, start] = new_block(records);
    starts_.reserve(starts_.size() + 1);  // so that the push below cannot fail after the first
    blocks_.push_back(std::move(block));
    starts_.push_back(start);
  }

  // The first block, made larger: its written records are copied over.
  void regrow_first(std::size_t held, std::size_t records) {
    if (blocks_.empty()) {
      add_block(records);
    } else {
      auto [block, start] = new_block(records);
      const std::size_t copied = std::min(held, room_);
      if (copied > 0) std::memcpy(start, starts_[0], copied * words_ * sizeof(std::uint64_t));
      blocks_[0] = std::move(block);
      starts_[0] = start;
    }
    room_ = records;
  }

  std::size_t words_ = 0;
  std::size_t room_ = 0;  // records that fit in the blocks
  std::vector<FillLaterVector<std::uint64_t>> blocks_;
  std::vector<std::uint64_t*> starts_;  // of each block's first record
};

}  // namespace vashlet::table_reading
