#include "arrow/arrow_out.hpp"

#include "arrow/sliced_columns.hpp"
#include "tuning.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <cerrno>
#include <limits>
#include <new>
#include <utility>

namespace vashlet::arrow {

namespace {

template <class T, class Allocator>
Column::Buffer buffer_of(const std::vector<T, Allocator>& values) {
  Column::Buffer buffer;
  buffer.bytes.reserve(values.size() * sizeof(T) + 8);  // never a null pointer, even when empty
  buffer.bytes.resize(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(buffer.bytes.data(), values.data(), values.size() * sizeof(T));
  return buffer;
}

Column::Buffer take_bytes(Bytes bytes) {
  bytes.reserve(bytes.size() + 8);
  return Column::Buffer{std::move(bytes), false};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Builders

// The bitmap entry by entry, from the first null on; the entries before it were all valid.
void Validity::append_bit(bool valid) {
  if (nulls_ == 0 && bits_.empty() && size_ > 0) {
    bits_.assign(static_cast<std::size_t>((size_ + 7) / 8), 0xff);
    if (size_ % 8 != 0) bits_.back() = static_cast<std::uint8_t>((1u << (size_ % 8)) - 1);
  }
  if (size_ % 8 == 0) bits_.push_back(0);
  if (valid) {
    bits_.back() |= static_cast<std::uint8_t>(1u << (size_ % 8));
  } else {
    ++nulls_;
  }
  ++size_;
}

Column::Buffer Validity::finish(std::int64_t length) {
  if (nulls_ == 0) return Column::Buffer{{}, true};
  bits_.resize(static_cast<std::size_t>((length + 7) / 8), 0);
  return take_bytes(std::move(bits_));
}

void FixedBuilder::append_null() {
  bytes_.resize(bytes_.size() + width_, 0);
  validity_.append(false);
  ++length_;
}

Column FixedBuilder::finish(std::string name) {
  Column column{format_, std::move(name), length_, validity_.null_count(), {}, {}};
  column.buffers.push_back(validity_.finish(length_));
  column.buffers.push_back(take_bytes(std::move(bytes_)));
  return column;
}

void BoolBuilder::append(bool value) {
  values_.append(value);
  validity_.append(true);
  ++length_;
}

void BoolBuilder::append_null() {
  values_.append(false);
  validity_.append(false);
  ++length_;
}

Column BoolBuilder::finish(std::string name) {
  Column column{"b", std::move(name), length_, validity_.null_count(), {}, {}};
  column.buffers.push_back(validity_.finish(length_));
  // The value bits: every entry was appended, so write them out whole, nulls or not.
  Validity all_values = std::move(values_);
  Column::Buffer bits = all_values.finish(length_);
  if (bits.absent) {  // no false value at all: every bit set
    bits = take_bytes(Bytes(static_cast<std::size_t>((length_ + 7) / 8), 0xff));
  }
  column.buffers.push_back(std::move(bits));
  return column;
}

StringBuilder::StringBuilder(std::string format) : format_(std::move(format)) {}

void StringBuilder::append(std::string_view text) {
  data_.insert(data_.end(), text.begin(), text.end());
  offsets_.push_back(static_cast<std::int64_t>(data_.size()));
  validity_.append(true);
}

void StringBuilder::append_null() {
  offsets_.push_back(offsets_.back());
  validity_.append(false);
}

Column StringBuilder::finish(std::string name) {
  Bytes data = std::move(data_);
  if (format_ != "vu") {
    return string_column(format_, std::move(name), offsets_, std::move(data), std::move(validity_));
  }
  const std::int64_t length = static_cast<std::int64_t>(offsets_.size()) - 1;
  Column column{format_, std::move(name), length, validity_.null_count(), {}, {}};
  column.buffers.push_back(validity_.finish(length));
  // Views: strings of up to 12 bytes inline, longer ones as (prefix, buffer, offset). A view's
  // offset is 32-bit, so the text goes in buffers of at most 2^31 - 1 bytes, each beginning at
  // a string: `bases` are where they begin in `data`.
  constexpr std::int64_t kMost = std::numeric_limits<std::int32_t>::max();
  std::vector<std::int64_t> bases{0};
  Bytes views(static_cast<std::size_t>(length) * 16, 0);
  for (std::int64_t i = 0; i < length; ++i) {
    const std::int64_t begin = offsets_[i];
    if (offsets_[i + 1] - bases.back() > kMost && begin > bases.back()) bases.push_back(begin);
    const std::int32_t size = static_cast<std::int32_t>(offsets_[i + 1] - begin);
    std::uint8_t* view = views.data() + i * 16;
    std::memcpy(view, &size, 4);
    if (size <= 12) {
      if (size > 0) std::memcpy(view + 4, data.data() + begin, static_cast<std::size_t>(size));
    } else {
      const auto buffer = static_cast<std::int32_t>(bases.size() - 1);
      const auto offset = static_cast<std::int32_t>(begin - bases.back());
      std::memcpy(view + 4, data.data() + begin, 4);
      std::memcpy(view + 8, &buffer, 4);
      std::memcpy(view + 12, &offset, 4);
    }
  }
  column.buffers.push_back(take_bytes(std::move(views)));
  std::vector<std::int64_t> sizes;
  if (bases.size() == 1) {
    sizes.push_back(static_cast<std::int64_t>(data.size()));
    column.buffers.push_back(take_bytes(std::move(data)));
  } else {
    bases.push_back(static_cast<std::int64_t>(data.size()));
    for (std::size_t b = 0; b + 1 < bases.size(); ++b) {
      sizes.push_back(bases[b + 1] - bases[b]);
      Bytes part = sized_buffer(static_cast<std::size_t>(sizes.back()));
      std::memcpy(part.data(), data.data() + bases[b], part.size());
      column.buffers.push_back(Column::Buffer{std::move(part), false});
    }
  }
  column.buffers.push_back(buffer_of(sizes));
  return column;
}

Column string_column(std::string format, std::string name, std::span<const std::int64_t> offsets,
                     Bytes data, Validity validity) {
  const bool narrow = narrow_strings(format, static_cast<std::size_t>(offsets.back()));
  const std::size_t width = narrow ? sizeof(std::int32_t) : sizeof(std::int64_t);
  Bytes out = sized_buffer(offsets.size() * width);
  if (narrow) {
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      const auto at = static_cast<std::int32_t>(offsets[i]);
      std::memcpy(out.data() + i * width, &at, width);
    }
  } else {
    std::memcpy(out.data(), offsets.data(), offsets.size() * width);
  }
  return strings_from_buffers(narrow, std::move(name),
                              static_cast<std::int64_t>(offsets.size()) - 1, std::move(validity),
                              std::move(out), std::move(data));
}

bool narrow_strings(std::string_view format, std::size_t bytes) {
  return format == "u" && bytes <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}

Column strings_from_buffers(bool narrow, std::string name, std::int64_t rows, Validity validity,
                            Bytes offsets, Bytes data) {
  Column column{narrow ? "u" : "U", std::move(name), rows, validity.null_count(), {}, {}};
  column.buffers.push_back(validity.finish(rows));
  column.buffers.push_back(take_bytes(std::move(offsets)));
  column.buffers.push_back(take_bytes(std::move(data)));
  return column;
}

FixedWriter::FixedWriter(std::string format, std::size_t width, std::size_t length)
    : format_(std::move(format)), width_(width), length_(length) {
  bytes_.reserve(length * width + 8);  // the slack that take_bytes adds
  prefer_huge_pages(bytes_.data(), bytes_.capacity());
  bytes_.resize(length * width);
}

Column FixedWriter::finish(std::string name, Validity validity) {
  const auto length = static_cast<std::int64_t>(length_);
  Column column{format_, std::move(name), length, validity.null_count(), {}, {}};
  column.buffers.push_back(validity.finish(length));
  column.buffers.push_back(take_bytes(std::move(bytes_)));
  return column;
}

Bytes sized_buffer(std::size_t bytes) {
  Bytes buffer;
  buffer.reserve(bytes + 8);  // never a null pointer, even when empty
  buffer.resize(bytes);
  return buffer;
}

Column bool_column(std::string name, std::int64_t length, Bytes values,
                   Validity validity) {
  Column column{"b", std::move(name), length, validity.null_count(), {}, {}};
  column.buffers.push_back(validity.finish(length));
  column.buffers.push_back(take_bytes(std::move(values)));
  return column;
}

namespace {

// Each text in a block of its own, when all are short enough, so that every row copies a block
// of one size: views of the blocks, or nothing.
std::optional<std::vector<std::optional<std::string_view>>> padded_texts(
    const std::vector<std::optional<std::string_view>>& texts,
    std::vector<std::array<char, kPaddedText>>& blocks) {
  for (const std::optional<std::string_view>& text : texts) {
    if (text && text->size() > kPaddedText) return std::nullopt;
  }
  blocks.assign(texts.size(), {});
  std::vector<std::optional<std::string_view>> padded(texts.size());
  for (std::size_t t = 0; t < texts.size(); ++t) {
    if (!texts[t]) continue;
    std::memcpy(blocks[t].data(), texts[t]->data(), texts[t]->size());
    padded[t] = std::string_view(blocks[t].data(), texts[t]->size());
  }
  return padded;
}

}  // namespace

std::vector<Column> chosen_string_columns(std::vector<ChosenTexts> columns,
                                          std::span<const std::uint32_t> chosen,
                                          std::size_t threads) {
  const RowSlices slices(chosen.size(), threads, tuning::kTableRowsPerSlice);
  std::size_t kinds = 0;
  for (const ChosenTexts& column : columns) kinds = std::max(kinds, column.texts.size());
  // How often each slice chooses each text: the bytes of every column's slices follow. Each
  // slice's counters lie a cache line apart from the next slice's, which another thread
  // increments row by row at the same time.
  const std::size_t stride = (kinds + 7) / 8 * 8 + 8;
  std::vector<std::size_t> counts(slices.size() * stride, 0);
  slices.run([&](std::size_t s, std::size_t begin, std::size_t end) {
    std::size_t* count = counts.data() + s * stride;
    for (std::size_t i = begin; i < end; ++i) ++count[chosen[i]];
  });
  std::deque<SlicedStrings> outs;
  std::vector<std::vector<std::array<char, kPaddedText>>> blocks(columns.size());
  std::vector<std::optional<std::vector<std::optional<std::string_view>>>> padded;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::vector<std::optional<std::string_view>>& texts = columns[c].texts;
    std::vector<std::size_t> bytes(slices.size() + 1, 0);
    for (std::size_t s = 0; s < slices.size(); ++s) {
      std::size_t sum = 0;
      for (std::size_t t = 0; t < texts.size(); ++t) {
        if (texts[t]) sum += counts[s * stride + t] * texts[t]->size();
      }
      bytes[s + 1] = bytes[s] + sum;
    }
    outs.emplace_back(std::move(columns[c].format), std::move(columns[c].name), slices,
                      std::move(bytes));
    padded.push_back(padded_texts(texts, blocks[c]));
  }
  slices.run([&](std::size_t s, std::size_t begin, std::size_t end) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (padded[c]) {
        const std::vector<std::optional<std::string_view>>& texts = *padded[c];
        outs[c].fill<true>(s, begin, end, [&](std::size_t i) { return texts[chosen[i]]; });
      } else {
        const std::vector<std::optional<std::string_view>>& texts = columns[c].texts;
        outs[c].fill<false>(s, begin, end, [&](std::size_t i) { return texts[chosen[i]]; });
      }
    }
  });
  std::vector<Column> out;
  out.reserve(outs.size());
  for (SlicedStrings& column : outs) out.push_back(std::move(column).finish());
  return out;
}

Column chosen_strings(std::string format, std::string name, std::span<const std::uint32_t> chosen,
                      std::span<const std::optional<std::string_view>> texts, std::size_t threads) {
  std::vector<ChosenTexts> one;
  one.push_back({std::move(format), std::move(name), {texts.begin(), texts.end()}});
  return std::move(chosen_string_columns(std::move(one), chosen, threads)[0]);
}

Column null_column(std::string name, std::int64_t length) {
  return Column{"n", std::move(name), length, length, {}, {}};
}

Column struct_column(std::string name, std::int64_t length, std::vector<Column> children,
                     Validity validity) {
  Column column{"+s", std::move(name), length, validity.null_count(), {}, std::move(children)};
  column.buffers.push_back(validity.finish(length));
  return column;
}

Column list_column(std::string name, std::vector<std::int64_t> offsets, Column items,
                   Validity validity) {
  const std::int64_t length = static_cast<std::int64_t>(offsets.size()) - 1;
  Column column{"+L", std::move(name), length, validity.null_count(), {}, {}};
  column.buffers.push_back(validity.finish(length));
  column.buffers.push_back(buffer_of(offsets));
  column.children.push_back(std::move(items));
  return column;
}

// ---------------------------------------------------------------------------------------------
// Export

namespace {

// Releases a schema or array node that export made: its children first, then what it owns.
template <class Private, class Node>
void release_node(Node* node) {
  if (!node || !node->release) return;
  auto* own = static_cast<Private*>(node->private_data);
  for (Node& child : own->children) {
    if (child.release) child.release(&child);
  }
  delete own;
  node->release = nullptr;
}

struct SchemaPrivate {
  std::string format;
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) { release_node<SchemaPrivate>(schema); }

struct ArrayPrivate {
  Table table;  // keeps every buffer alive
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) { release_node<ArrayPrivate>(array); }

void export_node(const Table& table, const Column& column, ArrowArray* out) {
  auto own = std::make_unique<ArrayPrivate>();
  own->table = table;
  for (const Column::Buffer& buffer : column.buffers) {
    own->buffers.push_back(buffer.absent ? nullptr : buffer.bytes.data());
  }
  own->children.resize(column.children.size());
  for (std::size_t i = 0; i < column.children.size(); ++i) {
    own->children[i].release = nullptr;
  }
  try {
    for (std::size_t i = 0; i < column.children.size(); ++i) {
      export_node(table, column.children[i], &own->children[i]);
      own->child_pointers.push_back(&own->children[i]);
    }
  } catch (...) {
    for (ArrowArray& child : own->children) {
      if (child.release) child.release(&child);
    }
    throw;
  }
  out->length = column.length;
  out->null_count = column.null_count;
  out->offset = 0;
  out->n_buffers = static_cast<std::int64_t>(own->buffers.size());
  out->n_children = static_cast<std::int64_t>(own->children.size());
  out->buffers = own->buffers.empty() ? nullptr : own->buffers.data();
  out->children = own->child_pointers.empty() ? nullptr : own->child_pointers.data();
  out->dictionary = nullptr;
  out->private_data = own.release();
  out->release = release_array;
}

struct StreamPrivate {
  Table table;
  bool sent = false;
  std::string error;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* own = static_cast<StreamPrivate*>(stream->private_data);
  try {
    export_schema(*own->table, out);
    return 0;
  } catch (const std::bad_alloc&) {
    own->error = "out of memory";
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* own = static_cast<StreamPrivate*>(stream->private_data);
  if (own->sent) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_array(own->table, out);
    own->sent = true;
    return 0;
  } catch (const std::bad_alloc&) {
    own->error = "out of memory";
    return ENOMEM;
  }
}

const char* stream_error(ArrowArrayStream* stream) {
  auto* own = static_cast<StreamPrivate*>(stream->private_data);
  return own->error.empty() ? nullptr : own->error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
  if (!stream || !stream->release) return;
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void export_schema(const Column& column, ArrowSchema* out) {
  auto own = std::make_unique<SchemaPrivate>();
  own->format = column.format;
  own->name = column.name;
  own->children.resize(column.children.size());
  for (ArrowSchema& child : own->children) child.release = nullptr;
  try {
    for (std::size_t i = 0; i < column.children.size(); ++i) {
      export_schema(column.children[i], &own->children[i]);
      own->child_pointers.push_back(&own->children[i]);
    }
  } catch (...) {
    for (ArrowSchema& child : own->children) {
      if (child.release) child.release(&child);
    }
    throw;
  }
  out->format = own->format.c_str();
  out->name = own->name.c_str();
  out->metadata = nullptr;
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = static_cast<std::int64_t>(own->children.size());
  out->children = own->child_pointers.empty() ? nullptr : own->child_pointers.data();
  out->dictionary = nullptr;
  out->private_data = own.release();
  out->release = release_schema;
}

void export_array(const Table& table, ArrowArray* out) {
  ArrowArray result;
  result.release = nullptr;
  try {
    export_node(table, *table, &result);
  } catch (...) {
    if (result.release) result.release(&result);
    throw;
  }
  *out = result;
}

void export_stream(const Table& table, ArrowArrayStream* out) {
  out->private_data = new StreamPrivate{table, false, {}};
  out->get_schema = stream_schema;
  out->get_next = stream_next;
  out->get_last_error = stream_error;
  out->release = release_stream;
}

}  // namespace vashlet::arrow
