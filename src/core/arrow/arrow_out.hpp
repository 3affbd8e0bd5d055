// Writing Arrow data: columns whose buffers the core owns, their builders, and the export of a
// table of them through the Arrow C data and stream interfaces. Exported structs share the
// buffers (no copy) and keep them alive until the consumer releases the last of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_abi.hpp"
#include "memory/memory.hpp"

namespace vashlet::arrow {

// The bytes of a buffer. A resize leaves the new bytes unwritten: every writer below writes
// each byte of its buffers (a value given explicitly, zeros included, is written as usual).
using Bytes = FillLaterVector<std::uint8_t>;

// One array and its children, with buffers in the order the format lays them out. A buffer
// that is absent (a validity bitmap without nulls) is exported as a null pointer.
struct Column {
  std::string format;
  std::string name;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  struct Buffer {
    Bytes bytes;
    bool absent = false;
  };
  std::vector<Buffer> buffers;
  std::vector<Column> children;
};

// A validity bitmap grown one entry at a time; absent while every entry is valid.
class Validity {
 public:
  Validity() = default;
  // The bitmap `bits` of `size` entries, `nulls` of them unset.
  Validity(Bytes bits, std::int64_t size, std::int64_t nulls)
      : bits_(nulls ? std::move(bits) : Bytes{}), size_(size), nulls_(nulls) {}

  void append(bool valid) {
    if (valid && nulls_ == 0) {
      ++size_;  // no bitmap until the first null
    } else {
      append_bit(valid);
    }
  }
  std::int64_t null_count() const { return nulls_; }
  Column::Buffer finish(std::int64_t length);

 private:
  void append_bit(bool valid);
  Bytes bits_;
  std::int64_t size_ = 0;
  std::int64_t nulls_ = 0;
};

// Fixed-width values (integers, floats) of one format, with optional nulls.
class FixedBuilder {
 public:
  FixedBuilder(std::string format, std::size_t width) : format_(std::move(format)), width_(width) {}
  template <class T>
  void append(T value) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &value, sizeof(T));
    validity_.append(true);
    ++length_;
  }
  void append_null();
  Column finish(std::string name);

 private:
  std::string format_;
  std::size_t width_;
  Bytes bytes_;
  Validity validity_;
  std::int64_t length_ = 0;
};

class BoolBuilder {
 public:
  void append(bool value);
  void append_null();
  Column finish(std::string name);

 private:
  Validity values_;  // the value bits, grown as a validity bitmap is
  Validity validity_;
  std::int64_t length_ = 0;
};

// UTF-8 strings in one of the three layouts: "u" (32-bit offsets), "U" (64-bit offsets) or
// "vu" (views). "u" becomes "U" when the text outgrows 32-bit offsets.
class StringBuilder {
 public:
  explicit StringBuilder(std::string format = "u");
  void append(std::string_view text);
  void append_null();
  Column finish(std::string name);

 private:
  std::string format_;
  LargeVector<std::int64_t> offsets_{0};
  Bytes data_;
  Validity validity_;
};

// Fixed-width values written in place, by position (several threads may write disjoint
// positions): a column of known length, whose every position must be written (a null's too),
// since the buffer is not cleared first.
class FixedWriter {
 public:
  FixedWriter(std::string format, std::size_t width, std::size_t length);
  template <class T>
  void set(std::size_t at, T value) {
    std::memcpy(bytes_.data() + at * sizeof(T), &value, sizeof(T));
  }
  std::size_t width() const { return width_; }
  Column finish(std::string name, Validity validity = {});

 private:
  std::string format_;
  std::size_t width_;
  std::size_t length_;
  Bytes bytes_;
};

// Strings "u" or "U" from their end offsets (one more than the strings, from 0) and their bytes;
// "u" becomes "U" when the text outgrows 32-bit offsets.
Column string_column(std::string format, std::string name, std::span<const std::int64_t> offsets,
                     Bytes data, Validity validity = {});
// Whether strings asked for as "u" or "U", of `bytes` bytes in all, take 32-bit offsets: "u"
// becomes "U" when the text outgrows them.
bool narrow_strings(std::string_view format, std::size_t bytes);
// Strings "u" (`narrow`) or "U" of `rows` rows from their buffers, written in place: the end
// offsets at that width (one more than the rows, from 0) and the bytes.
Column strings_from_buffers(bool narrow, std::string name, std::int64_t rows, Validity validity,
                            Bytes offsets, Bytes data);
// A boolean column from its value bits and validity, `length` entries.
Column bool_column(std::string name, std::int64_t length, Bytes values,
                   Validity validity = {});

// A buffer of `bytes` bytes, not cleared, with the slack that export adds.
Bytes sized_buffer(std::size_t bytes);

// Strings "u" or "U" that repeat a set of `texts` (nullopt: a null string), row i being
// texts[chosen[i]] (types, reasons, partitions: no row formats its own), written by slices of
// rows on up to `threads` threads; short texts are copied as blocks of one size.
Column chosen_strings(std::string format, std::string name, std::span<const std::uint32_t> chosen,
                      std::span<const std::optional<std::string_view>> texts,
                      std::size_t threads = 1);

// A column of chosen_string_columns: its format, name and texts.
struct ChosenTexts {
  std::string format;
  std::string name;
  std::vector<std::optional<std::string_view>> texts;
};
// Several columns as chosen_strings writes one, over the same choices (the fields of a record):
// column c's row i is columns[c].texts[chosen[i]]. One pass counts each slice's choices, which
// sizes every column, and one writes them all.
std::vector<Column> chosen_string_columns(std::vector<ChosenTexts> columns,
                                          std::span<const std::uint32_t> chosen,
                                          std::size_t threads = 1);

Column null_column(std::string name, std::int64_t length);
Column struct_column(std::string name, std::int64_t length, std::vector<Column> children,
                     Validity validity = {});
// A list column ("+L") over `items`, with the given offsets (one more than the rows).
Column list_column(std::string name, std::vector<std::int64_t> offsets, Column items,
                   Validity validity = {});

// A table: a struct column whose children are the columns. Exports hold a share of it.
using Table = std::shared_ptr<const Column>;

void export_schema(const Column& column, ArrowSchema* out);
void export_array(const Table& table, ArrowArray* out);
// A stream of one batch holding the whole table.
void export_stream(const Table& table, ArrowArrayStream* out);

}  // namespace vashlet::arrow
