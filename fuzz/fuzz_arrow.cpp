// The table reader on arbitrary Arrow data: fuzz bytes shaped into C arrays (lengths, offsets,
// null counts, buffers, string offsets and views, dictionaries and their indices, children) and
// read as a batch or a stream. Every buffer is as large as the C data interface says it must be
// for the array's declared length and offset, so any read past one (which ASan reports) is the
// reader's fault; everything the interface leaves to the producer's good faith is arbitrary.
// The reader must fail with a message or read events whose contents can all be touched.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <string>
#include <variant>
#include <vector>

#include "arrow/arrow_abi.hpp"
#include "fuzz_support.hpp"
#include "text/parser.hpp"
#include "arrow/table_events.hpp"

using namespace vashlet;
using vashlet::fuzz::Choices;
using vashlet::fuzz::require;

namespace {

void release_nothing(ArrowArray* array) { array->release = nullptr; }
void release_nothing(ArrowSchema* schema) { schema->release = nullptr; }

// The memory of one input: every struct, buffer and name lives here until the input is done.
class Arena {
 public:
  std::uint8_t* bytes(std::size_t size) {
    blocks_.emplace_back(std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size));
    return blocks_.back().get();
  }
  // Exactly `size` bytes (ASan sees their end), from the fuzz input then zeros.
  std::uint8_t* filled(std::size_t size, Choices& choices) {
    std::uint8_t* at = bytes(size);
    for (std::size_t i = 0; i < size; ++i) at[i] = choices.byte();
    return at;
  }
  template <class T>
  T* make() {
    T* made = reinterpret_cast<T*>(bytes(sizeof(T)));
    std::memset(static_cast<void*>(made), 0, sizeof(T));
    return made;
  }
  template <class T>
  T** slots(std::size_t count) {
    auto** at = reinterpret_cast<T**>(bytes(count * sizeof(T*)));
    for (std::size_t i = 0; i < count; ++i) at[i] = nullptr;
    return at;
  }
  const void** pointers(std::size_t count) {
    auto** at = reinterpret_cast<const void**>(bytes(count * sizeof(void*)));
    for (std::size_t i = 0; i < count; ++i) at[i] = nullptr;
    return at;
  }

 private:
  std::deque<std::unique_ptr<std::uint8_t[]>> blocks_;
};

// True once in `n` draws, and never once the input is used up (which would shape forever).
bool rare(Choices& choices, std::size_t n) { return choices.below(n) == n - 1; }

// Strings that rows often hold, so that rows name the pattern's types, partitions repeat, and
// views fall both inline (up to 12 bytes) and in buffers.
constexpr std::string_view kWords[] = {"login", "view", "ab", "p", "", "\xff\xfe",
                                       "a-partition-of-some-length", "login"};

struct Layout {
  const char* format;
  int width;  // bytes per value; 0: bits (booleans); -1: null; -4/-8: string offsets; -16: views
};

constexpr Layout kValueLayouts[] = {
    {"u", -4}, {"U", -8}, {"vu", -16}, {"l", 8},   {"i", 4},  {"L", 8}, {"C", 1},
    {"s", 2},  {"g", 8},  {"f", 4},    {"b", 0},   {"n", -1}, {"tsu:UTC", 8}, {"tdD", 4},
};
constexpr Layout kIndexLayouts[] = {{"c", 1}, {"C", 1}, {"s", 2}, {"i", 4}, {"I", 4}, {"l", 8}};

class Shaper {
 public:
  Shaper(Choices& choices, Arena& arena) : c_(choices), arena_(arena) {}

  // A small length or offset, now and then one the reader must refuse before reading.
  std::int64_t count() {
    const std::uint8_t pick = c_.byte();
    if (pick == 255) return -1 - c_.below(3);
    return pick % 24;
  }

  // An array of `layout` with `length` rows after `offset` rows, its buffers sized to match.
  ArrowArray* array(const Layout& layout, std::int64_t length, std::int64_t offset) {
    ArrowArray* array = arena_.make<ArrowArray>();
    array->length = length;
    array->offset = offset;
    array->release = release_nothing;
    const std::int64_t rows = length < 0 || offset < 0 ? 0 : length + offset;
    // Mostly no nulls, as key columns must have, so that reads get past that check.
    const std::size_t nulls = c_.below(8);
    array->null_count = nulls < 4 ? 0 : nulls == 4 ? -1 : nulls == 5 ? (length > 0 ? 1 : 0)
                                     : static_cast<std::int8_t>(c_.byte());
    std::int64_t n_buffers = layout.width == -1 ? 0 : layout.width <= -4 && layout.width > -16 ? 3 : 2;
    std::int64_t variadic = 0;
    if (layout.width == -16) {
      variadic = c_.below(4);
      n_buffers = 3 + variadic;
    }
    // Now and then a count of buffers its type does not have. Views take their buffer count
    // from it, so for them only counts below the least are shaped: a view column with another
    // count is a different (sound) array, or one whose sizes no reader could check.
    std::int64_t declared = n_buffers;
    if (rare(c_, 16)) {
      declared = layout.width == -16 ? static_cast<std::int64_t>(c_.below(3))
                                     : n_buffers + 1 - static_cast<std::int64_t>(c_.below(3));
    }
    array->n_buffers = declared < 0 ? 0 : declared;
    const void** buffers = arena_.pointers(static_cast<std::size_t>(std::max(declared, n_buffers)));
    array->buffers = buffers;
    if (n_buffers >= 2) {
      if (c_.below(3) != 0) {
        const auto bytes = static_cast<std::size_t>((rows + 7) / 8);
        std::uint8_t* validity = arena_.filled(bytes, c_);
        if (c_.below(2) == 0) std::memset(validity, 0xFF, bytes);  // all valid
        buffers[0] = validity;
      }
      const bool missing_values = rare(c_, 32);
      if (layout.width == 0) {
        buffers[1] = arena_.filled(static_cast<std::size_t>((rows + 7) / 8), c_);
      } else if (layout.width > 0) {
        std::uint8_t* values = arena_.filled(static_cast<std::size_t>(rows * layout.width), c_);
        if (c_.below(2) == 0) {  // small numbers: dictionary indices in range, repeated stamps
          std::memset(values, 0, static_cast<std::size_t>(rows * layout.width));
          for (std::int64_t i = 0; i < rows; ++i) values[i * layout.width] = static_cast<std::uint8_t>(c_.below(4));
        }
        buffers[1] = values;
      } else if (layout.width == -4 || layout.width == -8) {
        string_buffers(buffers, layout.width == -4, rows);
      } else {
        view_buffers(buffers, rows, variadic);
      }
      if (missing_values) buffers[1] = nullptr;
    }
    if (rare(c_, 32)) {  // children its type has none of
      array->n_children = 1;
      array->children = arena_.slots<ArrowArray>(1);
      array->children[0] = this->array(kValueLayouts[3], 0, 0);
    }
    return array;
  }

  // A column of `length` rows after `offset`: plain or dictionary-encoded, or shaped as `given`
  // describes (a later batch of a stream; a string column then sometimes comes as large
  // strings, which read safely as strings, as a producer's batch may not fit its schema).
  std::pair<ArrowSchema*, ArrowArray*> column(const char* name, std::int64_t length,
                                              std::int64_t offset, const ArrowSchema* given) {
    if (given) {
      const Layout* layout = find(given->format);
      // Large strings read as strings stay within their data only if no offset exceeds the
      // last: read as 32-bit, each is half of a 64-bit one. Such arrays get sound offsets.
      const bool widened = layout->width == -4 && c_.below(4) == 0;
      if (widened) layout = find("U");
      ascending_only_ = widened;
      ArrowArray* array = this->array(*layout, length, offset);
      ascending_only_ = false;
      if (given->dictionary && c_.below(16) != 0) {
        array->dictionary = this->array(*find(given->dictionary->format), count(), count());
      }
      return {nullptr, array};
    }
    ArrowSchema* schema = arena_.make<ArrowSchema>();
    schema->name = name;
    schema->release = release_nothing;
    schema->flags = ARROW_FLAG_NULLABLE;
    if (c_.below(4) == 0) {
      const Layout& index = kIndexLayouts[c_.below(std::size(kIndexLayouts))];
      const Layout& values = kValueLayouts[c_.below(std::size(kValueLayouts))];
      schema->format = index.format;
      schema->dictionary = arena_.make<ArrowSchema>();
      schema->dictionary->format = values.format;
      schema->dictionary->release = release_nothing;
      ArrowArray* array = this->array(index, length, offset);
      if (c_.below(16) != 0) array->dictionary = this->array(values, count(), count());
      return {schema, array};
    }
    const Layout& layout = rare(c_, 8) ? kValueLayouts[c_.below(std::size(kValueLayouts))]
                                       : preferred(name);
    schema->format = layout.format;
    ArrowArray* array = this->array(layout, length, offset);
    if (rare(c_, 32)) array->dictionary = this->array(layout, 1, 0);  // not in the schema
    return {schema, array};
  }

 private:
  // A layout the column's role accepts (strings for the type, integers for the time, ...).
  const Layout& preferred(std::string_view name) {
    static constexpr std::size_t kStrings[] = {0, 1, 2};
    static constexpr std::size_t kIntegers[] = {3, 4, 5, 6, 7, 12, 13};
    static constexpr std::size_t kKeys[] = {0, 1, 2, 3, 4, 5};
    if (name == "type") return kValueLayouts[kStrings[c_.below(std::size(kStrings))]];
    if (name == "ts") return kValueLayouts[kIntegers[c_.below(std::size(kIntegers))]];
    if (name == "x") return kValueLayouts[c_.below(std::size(kValueLayouts))];
    return kValueLayouts[kKeys[c_.below(std::size(kKeys))]];
  }

  static const Layout* find(std::string_view format) {
    for (const Layout& layout : kValueLayouts) {
      if (format == layout.format) return &layout;
    }
    for (const Layout& layout : kIndexLayouts) {
      if (format == layout.format) return &layout;
    }
    fuzz::fail("a format the fuzzer does not know");
  }

 // Offsets from the input, but for the last one, which is the size of the data that follows
  // (or, now and then, a negative one with no data).
  void string_buffers(const void** buffers, bool narrow, std::int64_t rows) {
    const std::size_t width = narrow ? 4 : 8;
    std::uint8_t* offsets = arena_.bytes(static_cast<std::size_t>(rows + 1) * width);
    // Mostly sound offsets over words, to reach further.
    const bool words = c_.below(2) == 0 || ascending_only_;
    std::string text;
    for (std::int64_t i = 0; i <= rows; ++i) {
      std::int64_t offset;
      if (words) {
        offset = rare(c_, 24) ? static_cast<std::int64_t>(text.size()) - 3
                              : static_cast<std::int64_t>(text.size());
        if (i < rows) text += kWords[c_.below(std::size(kWords))];
      } else {
        offset = static_cast<std::int8_t>(c_.byte());
      }
      if (i == rows) {
        offset = rare(c_, 24) && !ascending_only_ ? -1
                 : words                          ? static_cast<std::int64_t>(text.size())
                              : static_cast<std::int64_t>(c_.below(40));
      }
      if (narrow) {
        const auto narrow_offset = static_cast<std::int32_t>(offset);
        std::memcpy(offsets + i * 4, &narrow_offset, 4);
      } else {
        std::memcpy(offsets + i * 8, &offset, 8);
      }
      if (i == rows) {
        std::uint8_t* data = offset > 0 ? arena_.filled(static_cast<std::size_t>(offset), c_)
                                        : (c_.below(2) ? arena_.bytes(0) : nullptr);
        if (words && offset == static_cast<std::int64_t>(text.size()) && offset > 0) {
          std::memcpy(data, text.data(), text.size());
        }
        buffers[2] = data;
      }
    }
    buffers[1] = offsets;
  }

  // Views from the input, pointing into `variadic` buffers whose sizes follow them.
  void view_buffers(const void** buffers, std::int64_t rows, std::int64_t variadic) {
    auto* sizes = reinterpret_cast<std::int64_t*>(arena_.bytes(static_cast<std::size_t>(variadic) * 8));
    std::vector<std::uint8_t*> data(static_cast<std::size_t>(variadic), nullptr);
    for (std::int64_t b = 0; b < variadic; ++b) {
      sizes[b] = rare(c_, 24) ? -5 : static_cast<std::int64_t>(c_.below(48));
      if (sizes[b] > 0) data[b] = arena_.filled(static_cast<std::size_t>(sizes[b]), c_);
      buffers[2 + b] = data[b];
    }
    buffers[2 + variadic] = variadic > 0 || c_.below(2) ? sizes : nullptr;
    std::uint8_t* views = arena_.bytes(static_cast<std::size_t>(rows) * 16);
    for (std::int64_t i = 0; i < rows; ++i) {
      std::uint8_t* view = views + i * 16;
      for (int k = 0; k < 16; ++k) view[k] = c_.byte();
      const std::size_t pick = c_.below(3);
      if (pick == 0) {  // a plausible view: small size, a real buffer, a near offset
        const std::int32_t size = static_cast<std::int32_t>(c_.below(30));
        const std::int32_t buffer = static_cast<std::int32_t>(c_.below(static_cast<std::size_t>(variadic) + 1));
        const std::int32_t offset = static_cast<std::int32_t>(c_.below(40));
        std::memcpy(view, &size, 4);
        std::memcpy(view + 8, &buffer, 4);
        std::memcpy(view + 12, &offset, 4);
      } else if (pick == 1) {  // a sound view of a word, inline or in the first buffer
        const std::string_view word = kWords[c_.below(std::size(kWords))];
        const auto size = static_cast<std::int32_t>(word.size());
        std::memset(view, 0, 16);
        std::memcpy(view, &size, 4);
        if (word.size() <= 12) {
          std::memcpy(view + 4, word.data(), word.size());
        } else if (variadic > 0 && sizes[0] >= size) {
          const auto offset = static_cast<std::int32_t>(c_.below(static_cast<std::size_t>(sizes[0] - size) + 1));
          std::memcpy(data[0] + offset, word.data(), word.size());
          std::memcpy(view + 12, &offset, 4);
        }
      }
    }
    buffers[1] = views;
  }

  Choices& c_;
  Arena& arena_;
  bool ascending_only_ = false;  // no offset above the last
};

constexpr const char* kPatterns[] = {
    "login -> view",
    "login[x as $v] -> view[x == $v]",
    "login[x > 3] -> view",
    "login[x == \"ab\"] -> view",
};
constexpr const char* kNames[] = {"partition", "ts", "type", "id", "x"};

// One batch: a struct of the five columns (or, now and then, one too few or too many).
struct Batch {
  ArrowSchema* schema;
  ArrowArray* array;
};

Batch shape_batch(Shaper& shaper, Choices& c, Arena& arena, ArrowSchema* schema) {
  const std::int64_t length = shaper.count();
  const std::int64_t offset = c.below(4) == 0 ? shaper.count() : 0;
  const std::size_t columns = std::size(kNames);
  std::int64_t declared = static_cast<std::int64_t>(columns);
  if (rare(c, 32)) declared += c.below(2) ? 1 : -1;
  ArrowArray* batch = arena.make<ArrowArray>();
  batch->length = length;
  batch->offset = offset;
  batch->n_buffers = 1;
  batch->buffers = arena.pointers(1);
  batch->n_children = declared;
  batch->children = arena.slots<ArrowArray>(columns + 1);
  batch->release = release_nothing;
  const bool fresh = schema == nullptr;
  if (fresh) {
    schema = arena.make<ArrowSchema>();
    schema->format = "+s";
    schema->release = release_nothing;
    schema->n_children = static_cast<std::int64_t>(columns);
    schema->children = arena.slots<ArrowSchema>(columns);
  }
  for (std::size_t i = 0; i < columns + 1; ++i) {
    // Mostly as long as the batch needs, to get past that check.
    std::int64_t own_length = !rare(c, 8) ? (length < 0 ? 0 : length) + (offset < 0 ? 0 : offset)
                                          : shaper.count();
    const std::size_t name = i < columns ? i : columns - 1;
    auto [column_schema, column] =
        shaper.column(kNames[name], own_length, c.below(4) ? 0 : shaper.count(),
                      fresh ? nullptr : schema->children[name]);
    if (fresh && i < columns) schema->children[i] = column_schema;
    batch->children[i] = rare(c, 64) ? nullptr : column;
  }
  return {schema, batch};
}

// A stream over batches shaped in advance, all under the first batch's schema (their arrays are
// shaped independently, so a batch may not fit it).
struct Stream {
  ArrowSchema* schema;
  std::vector<ArrowArray*> batches;
  std::size_t next = 0;
  bool schema_missing = false;
  int fail_at = -1;
};

int stream_schema(ArrowArrayStream* raw, ArrowSchema* out) {
  auto* stream = static_cast<Stream*>(raw->private_data);
  if (stream->schema_missing) return 0;  // success, but nothing given
  *out = *stream->schema;
  return 0;
}
int stream_next(ArrowArrayStream* raw, ArrowArray* out) {
  auto* stream = static_cast<Stream*>(raw->private_data);
  if (static_cast<int>(stream->next) == stream->fail_at) return 5;
  if (stream->next == stream->batches.size()) {
    out->release = nullptr;
    return 0;
  }
  *out = *stream->batches[stream->next++];
  return 0;
}
const char* stream_error(ArrowArrayStream*) { return "a fuzzed failure"; }
void stream_release(ArrowArrayStream* raw) { raw->release = nullptr; }

// Touches everything the events hold, so that ASan sees any byte taken from a bad place.
void touch(const SortedEvents& events) {
  std::size_t sum = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& event = events[i];
    sum += event.partition.size() + event.typ.size() + static_cast<std::size_t>(event.ts);
    for (const auto& [name, value] : event.attrs) {
      sum += name.size();
      if (value.kind() == ValueKind::String) {
        for (const char ch : value.as_string()) sum += static_cast<unsigned char>(ch);
      }
    }
    require(events.partition(i) < events.partition_values().size(), "a partition out of range");
  }
  for (const std::string& text : events.partition_values().strings) sum += text.size();
  if (const KeyValues* ids = events.ids()) {
    require(ids->size() == events.size(), "an id per event");
    for (const std::string& text : ids->strings) {
      for (const char ch : text) sum += static_cast<unsigned char>(ch);
    }
  }
  volatile std::size_t sink = sum;
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Choices c(data, size);
  Arena arena;
  Shaper shaper(c, arena);
  const Result<Pattern> pattern = parse_pattern(kPatterns[c.below(std::size(kPatterns))]);
  require(pattern.ok(), "a fuzz pattern does not parse");
  EventColumns columns;
  if (c.below(2)) columns.id = "id";
  const bool as_stream = c.below(2) == 0;
  const Batch first = shape_batch(shaper, c, arena, nullptr);
  Checked<SortedEvents> read;
  if (!as_stream) {
    read = events_from_batch(first.schema, first.array, columns, pattern.value());
  } else {
    Stream stream{first.schema, {first.array}};
    const std::size_t more = c.below(3);
    for (std::size_t b = 0; b < more; ++b) {
      stream.batches.push_back(shape_batch(shaper, c, arena, first.schema).array);
    }
    stream.schema_missing = rare(c, 32);
    stream.fail_at = rare(c, 16) ? static_cast<int>(c.below(3)) : -1;
    ArrowArrayStream raw{stream_schema, stream_next, stream_error, stream_release, &stream};
    read = events_from_stream(&raw, columns, pattern.value());
    require(raw.release == nullptr, "the stream was not released");
  }
  if (const auto* failure = std::get_if<arrow::InputFailure>(&read)) {
    require(!failure->message.empty(), "a failure without a message");
    return 0;
  }
  touch(std::get<SortedEvents>(read));
  return 0;
}
