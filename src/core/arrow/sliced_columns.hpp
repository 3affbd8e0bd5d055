// Columns written by slices of rows on several threads. Slices begin at multiples of 64 rows, so
// that each writes whole words of a bitmap and no two threads share a byte of one. Strings whose
// bytes per slice are known beforehand are written in place; strings that rows format themselves
// are formatted by each slice into a buffer of its own, then copied to their places.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/arrow_out.hpp"
#include "match/partitions.hpp"

namespace vashlet::arrow {

// Contiguous slices of `rows` rows, each beginning at a multiple of 64, at most `threads` of
// them and at most one per `min_slice` rows (at least one).
class RowSlices {
 public:
  static constexpr std::size_t kWord = 64;

  RowSlices(std::size_t rows, std::size_t threads, std::size_t min_slice)
      : rows_(rows), words_((rows + kWord - 1) / kWord),
        count_(slice_count(words_, threads, std::max<std::size_t>(min_slice / kWord, 1))) {}

  std::size_t rows() const { return rows_; }
  std::size_t size() const { return count_; }
  std::size_t begin(std::size_t slice) const {
    return std::min(rows_, words_ * slice / count_ * kWord);
  }
  std::size_t end(std::size_t slice) const { return begin(slice + 1); }

  // Calls work(slice, begin, end) for every slice, slice 0 on the calling thread; exceptions as
  // for run_slices.
  template <class Work>
  void run(const Work& work) const {
    run_slices(count_, [&](std::size_t s) { work(s, begin(s), end(s)); });
  }

 private:
  std::size_t rows_;
  std::size_t words_;
  std::size_t count_;
};

// A bitmap of known length written by slices: each slice pushes its rows' bits in order through
// a Writer of its own, which stores them a word at a time.
class SlicedBitmap {
 public:
  explicit SlicedBitmap(std::size_t length)
      : bits_(sized_buffer((length + 7) / 8)), length_(length) {}

  class Writer {
   public:
    // The writer of the slice whose first row is `begin`, a multiple of 64.
    Writer(SlicedBitmap& out, std::size_t begin) : out_(out), at_(begin) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { close(); }

    void push(bool bit) {
      word_ |= static_cast<std::uint64_t>(bit) << (at_ % RowSlices::kWord);
      if (++at_ % RowSlices::kWord == 0) store();
    }

   private:
    // The slice's last word, partly filled, and its count of set bits.
    void close() {
      if (at_ % RowSlices::kWord != 0) store();
      out_.set_.fetch_add(set_, std::memory_order_relaxed);
    }
    void store() {
      const std::size_t first = (at_ - 1) / RowSlices::kWord * 8;
      const std::size_t bytes = std::min<std::size_t>(8, out_.bits_.size() - first);
      std::uint8_t* to = out_.bits_.data() + first;
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(to, &word_, bytes);
      } else {
        for (std::size_t b = 0; b < bytes; ++b) to[b] = static_cast<std::uint8_t>(word_ >> (8 * b));
      }
      set_ += static_cast<std::size_t>(std::popcount(word_));
      word_ = 0;
    }

    SlicedBitmap& out_;
    std::size_t at_;
    std::uint64_t word_ = 0;
    std::size_t set_ = 0;
  };

  // As a validity bitmap: the unset entries are the nulls. Once every slice's writer is gone.
  Validity validity() && {
    const auto length = static_cast<std::int64_t>(length_);
    return Validity(std::move(bits_), length, length - static_cast<std::int64_t>(set_.load()));
  }
  // As the value bits of a boolean column.
  Bytes bits() && { return std::move(bits_); }

 private:
  Bytes bits_;
  std::size_t length_;
  std::atomic<std::size_t> set_{0};
};

// The longest text that SlicedStrings copies as a block of fixed size, when asked to.
inline constexpr std::size_t kPaddedText = 16;

// A string column "u" or "U" of slices.rows() rows whose bytes per slice are known: each slice
// writes its rows' offsets, bytes and validity at their places. "u" becomes "U" when the text
// outgrows 32-bit offsets.
class SlicedStrings {
 public:
  // `bytes`: where each slice's bytes begin, and their end (slices.size() + 1 sums from 0).
  SlicedStrings(std::string format, std::string name, const RowSlices& slices,
                std::vector<std::size_t> bytes)
      : name_(std::move(name)), bytes_(std::move(bytes)), length_(slices.rows()),
        narrow_(narrow_strings(format, bytes_.back())), valid_(length_) {
    const std::size_t width = narrow_ ? sizeof(std::int32_t) : sizeof(std::int64_t);
    offsets_ = sized_buffer((length_ + 1) * width);
    data_ = sized_buffer(bytes_.back());
  }

  // Writes rows [begin, end) of slice s, row i being text(i) (nullopt: null). With `padded`,
  // every text is at most kPaddedText bytes and has that many readable from its start, so that
  // a row copies a fixed block, except where the block would reach into the next slice's bytes.
  template <bool padded, class Text>
  void fill(std::size_t s, std::size_t begin, std::size_t end, const Text& text) {
    if (narrow_) {
      fill_as<std::int32_t, padded>(s, begin, end, text);
    } else {
      fill_as<std::int64_t, padded>(s, begin, end, text);
    }
  }

  // Once every slice is written.
  Column finish() && {
    return strings_from_buffers(narrow_, std::move(name_), static_cast<std::int64_t>(length_),
                                std::move(valid_).validity(), std::move(offsets_),
                                std::move(data_));
  }

 private:
  template <class Offset, bool padded, class Text>
  void fill_as(std::size_t s, std::size_t begin, std::size_t end, const Text& text) {
    std::uint8_t* const offsets = offsets_.data();
    std::uint8_t* const data = data_.data();
    const std::size_t limit = bytes_[s + 1];
    std::size_t at = bytes_[s];
    SlicedBitmap::Writer valid(valid_, begin);
    if (begin == 0) std::memset(offsets, 0, sizeof(Offset));
    for (std::size_t i = begin; i < end; ++i) {
      const std::optional<std::string_view> t = text(i);
      valid.push(t.has_value());
      if (t) {
        if (padded && at + kPaddedText <= limit) {
          std::memcpy(data + at, t->data(), kPaddedText);
        } else if (!t->empty()) {
          std::memcpy(data + at, t->data(), t->size());
        }
        at += t->size();
      }
      const auto end_at = static_cast<Offset>(at);
      std::memcpy(offsets + (i + 1) * sizeof(Offset), &end_at, sizeof(Offset));
    }
  }

  std::string name_;
  std::vector<std::size_t> bytes_;
  std::size_t length_;
  bool narrow_;
  Bytes offsets_;
  Bytes data_;
  SlicedBitmap valid_;
};

// Strings "u" or "U" of slices.rows() rows that each row formats itself: write(i, text) appends
// row i's text to `text` and returns true, or returns false for a null. Each slice formats its
// rows into a buffer of its own; the buffers are then copied to their places.
template <class Write>
Column formatted_strings(std::string format, std::string name, const RowSlices& slices,
                         const Write& write) {
  // A cache line each: the slices' threads append to their own row by row.
  struct alignas(64) Part {
    std::string text;
    std::vector<std::size_t> ends;  // of each row, in `text`
  };
  std::vector<Part> parts(slices.size());
  const std::size_t length = slices.rows();
  SlicedBitmap valid(length);
  slices.run([&](std::size_t s, std::size_t begin, std::size_t end) {
    Part& part = parts[s];
    part.ends.reserve(end - begin);
    SlicedBitmap::Writer valid_out(valid, begin);
    for (std::size_t i = begin; i < end; ++i) {
      valid_out.push(write(i, part.text));
      part.ends.push_back(part.text.size());
    }
  });
  std::vector<std::size_t> bases(slices.size() + 1, 0);
  for (std::size_t s = 0; s < slices.size(); ++s) bases[s + 1] = bases[s] + parts[s].text.size();
  const std::size_t total = bases.back();
  const bool narrow = narrow_strings(format, total);
  const std::size_t width = narrow ? sizeof(std::int32_t) : sizeof(std::int64_t);
  Bytes offsets = sized_buffer((length + 1) * width);
  Bytes data = sized_buffer(total);
  const auto place = [&]<class Offset>(Offset) {
    slices.run([&](std::size_t s, std::size_t begin, std::size_t) {
      Part& part = parts[s];
      if (!part.text.empty()) {
        std::memcpy(data.data() + bases[s], part.text.data(), part.text.size());
      }
      std::uint8_t* out = offsets.data() + (begin + 1) * sizeof(Offset);
      if (begin == 0) std::memset(offsets.data(), 0, sizeof(Offset));
      for (const std::size_t end : part.ends) {
        const auto at = static_cast<Offset>(bases[s] + end);
        std::memcpy(out, &at, sizeof(Offset));
        out += sizeof(Offset);
      }
      std::string().swap(part.text);  // each slice's memory leaves once it is placed
      std::vector<std::size_t>().swap(part.ends);
    });
  };
  if (narrow) {
    place(std::int32_t{});
  } else {
    place(std::int64_t{});
  }
  return strings_from_buffers(narrow, std::move(name), static_cast<std::int64_t>(length),
                              std::move(valid).validity(), std::move(offsets), std::move(data));
}

}  // namespace vashlet::arrow
