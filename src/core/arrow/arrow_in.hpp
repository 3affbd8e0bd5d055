// Reading Arrow data that another library produced: owners that release its schemas, arrays and
// streams exactly once, and typed readers of one column of one batch that honour offsets,
// validity bitmaps and every string layout, and check what they read: the C data interface gives
// no buffer sizes, so a producer's offsets, views and indices are checked against the sizes the
// layout implies as they are read, never trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "arrow/arrow_abi.hpp"
#include "model/model.hpp"

namespace vashlet::arrow {

namespace detail {
// The index-th T from `base`, whatever its alignment (producers need not align buffers).
template <class T>
T load(const void* base, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}
}  // namespace detail

// A failure caused by the data, with the Python exception kind it maps to.
enum class FailureKind : std::uint8_t { Type, Value, Memory, Producer };

struct InputFailure {
  FailureKind kind = FailureKind::Value;
  std::string message;
  int code = 0;  // the producer's errno, for FailureKind::Producer
};

[[noreturn]] void fail(FailureKind kind, std::string message);

// Sole owners of a producer's structs: each releases what it holds once, when destroyed or
// reset, and takes the struct over by moving it out (the source is marked released).
template <class Struct>
class Owned {
 public:
  Owned() { raw_.release = nullptr; }
  explicit Owned(Struct* source) : raw_(*source) { source->release = nullptr; }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : raw_(other.raw_) { other.raw_.release = nullptr; }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      raw_ = other.raw_;
      other.raw_.release = nullptr;
    }
    return *this;
  }
  ~Owned() { reset(); }

  void reset() {
    if (raw_.release) raw_.release(&raw_);
    raw_.release = nullptr;
  }
  bool empty() const { return raw_.release == nullptr; }
  // For a producer to fill; must be empty.
  Struct* out() {
    reset();
    return &raw_;
  }
  Struct& operator*() { return raw_; }
  const Struct& operator*() const { return raw_; }
  Struct* operator->() { return &raw_; }
  const Struct* operator->() const { return &raw_; }

 private:
  Struct raw_;
};

using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

// What a column holds, as far as events care.
enum class ColumnKind : std::uint8_t { Int, UInt, Float, Bool, String, Null };

// Where a column is read from, for messages: its name, the batch (counted from 0 in the input)
// and the input row of the batch's first row.
struct ColumnPlace {
  std::string_view column;
  std::uint64_t batch = 0;
  std::uint64_t first_row = 0;
};

// One column of one batch, read in place. Built from the column's schema and array (the array's
// offset, plus the offset of the batch that holds it); the producer keeps both alive.
class ColumnReader {
 public:
  // Fails with a Type failure naming the column when the layout is not one events can hold, and
  // with a Value failure when the array's structure does not fit its schema (buffer and child
  // counts, lengths, offsets, missing buffers). What only rows can tell (string offsets, views,
  // dictionary indices) fails with a Value failure when that row is read.
  ColumnReader(const ColumnPlace& place, const ArrowSchema& schema, const ArrowArray& array,
               std::int64_t parent_offset);

  ColumnKind kind() const { return kind_; }
  std::int64_t length() const { return length_; }
  bool is_null(std::int64_t row) const {
    if (kind_ == ColumnKind::Null) return true;
    if (!validity_) return false;
    const std::int64_t bit = row + offset_;
    return ((validity_[bit >> 3] >> (bit & 7)) & 1) == 0;
  }
  // The first null among the first `rows` rows, or nothing.
  std::optional<std::int64_t> first_null(std::int64_t rows) const;

  // The readers below require a value of the matching kind at `row` (not null). A dictionary
  // column reads through its indices.
  std::int64_t int_at(std::int64_t row) const;
  double float_at(std::int64_t row) const;
  bool bool_at(std::int64_t row) const;
  std::string_view string_at(std::int64_t row) const;
  // string_at, failing when the bytes are not UTF-8 (for strings that outlive the read).
  std::string_view text_at(std::int64_t row) const;

  // Calls visit(row, string_at(row)) for each row from `begin` to `end`, in order: a column of
  // offsets is walked loading each offset once.
  template <class Visit>
  void for_each_string(std::int64_t begin, std::int64_t end, Visit&& visit) const;

  // For dictionary-encoded columns: the index at `row` and the reader of the dictionary, so that
  // callers can convert each distinct value once.
  bool is_dictionary() const { return dictionary_ != nullptr; }
  std::int64_t dictionary_index(std::int64_t row) const;  // checked against the dictionary
  const ColumnReader& dictionary() const { return *dictionary_; }

  // Any value as a model value (strings are copied), or Null. Integers above the Int range fail.
  Value value_at(std::int64_t row) const;

  const std::string& name() const { return name_; }
  // A Value failure naming the column, the batch and the input row of `row` (of this batch).
  [[noreturn, gnu::cold, gnu::noinline]] void fail_at(std::int64_t row, std::string_view why) const;

  ColumnReader(const ColumnReader&) = delete;
  ColumnReader& operator=(const ColumnReader&) = delete;
  ColumnReader(ColumnReader&&) = default;
  ~ColumnReader() = default;

 private:
  enum class Layout : std::uint8_t {
    I8, I16, I32, I64, U8, U16, U32, U64, F16, F32, F64, Bool, Utf8, LargeUtf8, Utf8View, Null
  };
  ColumnReader(const ColumnPlace& place, const ArrowSchema& schema, const ArrowArray& array,
               std::int64_t parent_offset, bool is_dictionary);
  std::int64_t index_at(std::int64_t row) const;  // the physical integer at `row`
  std::string_view view_at(std::int64_t row) const;
  // The text between the offsets at `at` and `at + 1` of a string or large string column.
  template <class Offset>
  std::string_view offset_view(std::int64_t row, std::int64_t at) const;
  void check_structure(const ArrowSchema& schema, const ArrowArray& array);
  // The failures of the readers, kept out of their hot paths.
  [[noreturn, gnu::cold, gnu::noinline]] void malformed(std::string_view why) const;
  [[noreturn, gnu::cold, gnu::noinline]] void bad_offsets(std::int64_t row, std::int64_t begin,
                                                           std::int64_t end) const;
  [[noreturn, gnu::cold, gnu::noinline]] void bad_view(std::int64_t row, const char* view) const;
  [[noreturn, gnu::cold, gnu::noinline]] void bad_index(std::int64_t row, std::int64_t index) const;

  std::string name_;
  ColumnKind kind_ = ColumnKind::Null;
  Layout layout_ = Layout::Null;
  std::int64_t length_ = 0;
  std::int64_t offset_ = 0;
  std::uint64_t batch_ = 0;
  std::uint64_t first_row_ = 0;
  bool in_dictionary_ = false;  // the dictionary of a column: rows are its entries
  const std::uint8_t* validity_ = nullptr;
  const void* values_ = nullptr;     // fixed-width values, offsets or views
  const char* data_ = nullptr;       // string bytes (not for views)
  std::int64_t data_end_ = 0;        // their size, as the array's last offset implies
  const char* const* view_buffers_ = nullptr;
  const void* view_sizes_ = nullptr;  // int64 sizes of the view buffers
  std::int64_t view_buffer_count_ = 0;
  std::unique_ptr<ColumnReader> dictionary_;
};

// Whether `text` is well-formed UTF-8. ASCII, which keys and labels mostly are, is told by the
// high bits of a few (overlapping) loads, inline; the rest is decoded.
bool valid_utf8_decoded(std::string_view text);
inline bool valid_utf8(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t bits = 0;
  if (n >= 8) {
    std::uint64_t word;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&word, p + i, 8);
      bits |= word;
    }
    std::memcpy(&word, p + n - 8, 8);
    bits |= word;
  } else if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    bits = head | tail;
  } else {
    for (std::size_t i = 0; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
  }
  return (bits & 0x8080808080808080ull) == 0 || valid_utf8_decoded(text);
}

// The readers of one value, inline: the table reader calls them once per row and column.
inline std::int64_t ColumnReader::index_at(std::int64_t row) const {
  const std::int64_t at = row + offset_;
  switch (layout_) {
    case Layout::I8: return detail::load<std::int8_t>(values_, at);
    case Layout::I16: return detail::load<std::int16_t>(values_, at);
    case Layout::I32: return detail::load<std::int32_t>(values_, at);
    case Layout::I64: return detail::load<std::int64_t>(values_, at);
    case Layout::U8: return detail::load<std::uint8_t>(values_, at);
    case Layout::U16: return detail::load<std::uint16_t>(values_, at);
    case Layout::U32: return detail::load<std::uint32_t>(values_, at);
    case Layout::U64: return static_cast<std::int64_t>(detail::load<std::uint64_t>(values_, at));
    default: invariant_failure("index_at on a column that holds no integers");
  }
}

inline std::int64_t ColumnReader::dictionary_index(std::int64_t row) const {
  const std::int64_t index = index_at(row);
  if (index < 0 || index >= dictionary_->length()) [[unlikely]] {
    bad_index(row, index);
  }
  return index;
}

inline std::int64_t ColumnReader::int_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->int_at(dictionary_index(row));
  return index_at(row);
}

inline double ColumnReader::float_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->float_at(dictionary_index(row));
  if (layout_ == Layout::F32) return detail::load<float>(values_, row + offset_);
  return detail::load<double>(values_, row + offset_);
}

inline bool ColumnReader::bool_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->bool_at(dictionary_index(row));
  const std::int64_t bit = row + offset_;
  return ((static_cast<const std::uint8_t*>(values_)[bit >> 3] >> (bit & 7)) & 1) != 0;
}

// Offsets must ascend within the data: unsigned comparisons, as a negative offset is then larger
// than the data's size (which is not negative).
template <class Offset>
inline std::string_view ColumnReader::offset_view(std::int64_t row, std::int64_t at) const {
  using Unsigned = std::make_unsigned_t<Offset>;
  const Offset begin = detail::load<Offset>(values_, at);
  const Offset end = detail::load<Offset>(values_, at + 1);
  if (static_cast<Unsigned>(begin) > static_cast<Unsigned>(end) ||
      static_cast<Unsigned>(end) > static_cast<std::uint64_t>(data_end_)) [[unlikely]] {
    bad_offsets(row, begin, end);
  }
  return {data_ + begin, static_cast<std::size_t>(end - begin)};
}

inline std::string_view ColumnReader::view_at(std::int64_t row) const {
  const std::int64_t at = row + offset_;
  switch (layout_) {
    case Layout::Utf8: return offset_view<std::int32_t>(row, at);
    case Layout::LargeUtf8: return offset_view<std::int64_t>(row, at);
    case Layout::Utf8View: {
      const char* view = static_cast<const char*>(values_) + at * 16;
      const std::int32_t size = detail::load<std::int32_t>(view, 0);
      if (static_cast<std::uint32_t>(size) <= 12) return {view + 4, static_cast<std::size_t>(size)};
      const std::int32_t buffer = detail::load<std::int32_t>(view + 8, 0);
      const std::int32_t offset = detail::load<std::int32_t>(view + 12, 0);
      if (size < 0 || buffer < 0 || buffer >= view_buffer_count_ || offset < 0 ||
          offset + std::int64_t{size} > detail::load<std::int64_t>(view_sizes_, buffer)) [[unlikely]] {
        bad_view(row, view);
      }
      return {view_buffers_[buffer] + offset, static_cast<std::size_t>(size)};
    }
    default: invariant_failure("string_at on a column that holds no strings");
  }
}

inline std::string_view ColumnReader::string_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->string_at(dictionary_index(row));
  return view_at(row);
}

template <class Visit>
void ColumnReader::for_each_string(std::int64_t begin, std::int64_t end, Visit&& visit) const {
  const auto walk = [&]<class Offset>(const Offset*) {
    using Unsigned = std::make_unsigned_t<Offset>;
    const Offset* const offsets = static_cast<const Offset*>(values_) + offset_;
    Offset from = offsets[begin];
    for (std::int64_t row = begin; row < end; ++row) {
      const Offset to = offsets[row + 1];
      if (static_cast<Unsigned>(from) > static_cast<Unsigned>(to) ||
          static_cast<Unsigned>(to) > static_cast<std::uint64_t>(data_end_)) [[unlikely]] {
        bad_offsets(row, from, to);
      }
      visit(row, std::string_view(data_ + from, static_cast<std::size_t>(to - from)));
      from = to;
    }
  };
  if (begin >= end) return;
  if (!dictionary_ && layout_ == Layout::Utf8) {
    return walk(static_cast<const std::int32_t*>(nullptr));
  }
  if (!dictionary_ && layout_ == Layout::LargeUtf8) {
    return walk(static_cast<const std::int64_t*>(nullptr));
  }
  for (std::int64_t row = begin; row < end; ++row) visit(row, string_at(row));
}

inline std::string_view ColumnReader::text_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->text_at(dictionary_index(row));
  const std::string_view text = view_at(row);
  if (!valid_utf8(text)) [[unlikely]] fail_at(row, "a string that is not UTF-8");
  return text;
}

// The describing word of a format string, for messages: "int64", "timestamp[us, tz=UTC]", ...
std::string describe_format(std::string_view format);

// The physical layout of a format that holds a signed or unsigned integer, or nothing. Temporal
// formats (timestamps, dates, times, durations) count as integers in their own unit.
bool is_integer_format(std::string_view format);

}  // namespace vashlet::arrow
