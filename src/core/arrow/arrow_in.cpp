#include "arrow/arrow_in.hpp"

#include <cstring>
#include <limits>
#include <type_traits>

#include "text/utf8.hpp"

namespace vashlet::arrow {

using detail::load;

void fail(FailureKind kind, std::string message) {
  throw InputFailure{kind, std::move(message), 0};
}

namespace {

struct Named {
  std::string_view format;
  std::string_view name;
};

constexpr Named kSimpleFormats[] = {
    {"n", "null"},         {"b", "bool"},           {"c", "int8"},          {"C", "uint8"},
    {"s", "int16"},        {"S", "uint16"},         {"i", "int32"},         {"I", "uint32"},
    {"l", "int64"},        {"L", "uint64"},         {"e", "float16"},       {"f", "float32"},
    {"g", "float64"},      {"z", "binary"},         {"Z", "large_binary"},  {"vz", "binary_view"},
    {"u", "string"},       {"U", "large_string"},   {"vu", "string_view"},  {"tdD", "date32[day]"},
    {"tdm", "date64[ms]"}, {"tts", "time32[s]"},    {"ttm", "time32[ms]"},  {"ttu", "time64[us]"},
    {"ttn", "time64[ns]"}, {"tDs", "duration[s]"},  {"tDm", "duration[ms]"}, {"tDu", "duration[us]"},
    {"tDn", "duration[ns]"}, {"tiM", "month_interval"}, {"tiD", "day_time_interval"},
    {"tin", "month_day_nano_interval"}, {"+l", "list"}, {"+L", "large_list"}, {"+s", "struct"},
    {"+m", "map"},         {"+r", "run_end_encoded"}, {"+vl", "list_view"}, {"+vL", "large_list_view"},
};

}  // namespace

bool valid_utf8_decoded(std::string_view text) { return is_utf8(text); }

std::string describe_format(std::string_view format) {
  for (const Named& named : kSimpleFormats) {
    if (named.format == format) return std::string(named.name);
  }
  if (format.size() >= 4 && format.substr(0, 2) == "ts") {
    std::string text = "timestamp[";
    text += format.substr(2, 1) == "s"   ? "s"
            : format.substr(2, 1) == "m" ? "ms"
            : format.substr(2, 1) == "u" ? "us"
                                         : "ns";
    if (format.size() > 4) text += ", tz=" + std::string(format.substr(4));
    return text + "]";
  }
  if (format.substr(0, 2) == "d:") return "decimal(" + std::string(format.substr(2)) + ")";
  if (format.substr(0, 2) == "w:") return "fixed_size_binary(" + std::string(format.substr(2)) + ")";
  if (format.substr(0, 3) == "+w:") return "fixed_size_list(" + std::string(format.substr(3)) + ")";
  if (format.substr(0, 3) == "+ud" || format.substr(0, 3) == "+us") return "union";
  return "format '" + std::string(format) + "'";
}

bool is_integer_format(std::string_view format) {
  static constexpr std::string_view kIntegers[] = {"c",   "C",   "s",   "S",   "i",   "I",
                                                   "l",   "L",   "tdD", "tdm", "tts", "ttm",
                                                   "ttu", "ttn", "tDs", "tDm", "tDu", "tDn"};
  for (std::string_view integer : kIntegers) {
    if (format == integer) return true;
  }
  return format.size() >= 4 && format.substr(0, 2) == "ts" && format[3] == ':' &&
         std::string_view("smun").find(format[2]) != std::string_view::npos;
}

ColumnReader::ColumnReader(const ColumnPlace& place, const ArrowSchema& schema,
                           const ArrowArray& array, std::int64_t parent_offset)
    : ColumnReader(place, schema, array, parent_offset, false) {}

ColumnReader::ColumnReader(const ColumnPlace& place, const ArrowSchema& schema,
                           const ArrowArray& array, std::int64_t parent_offset, bool is_dictionary)
    : name_(place.column), length_(array.length - parent_offset),
      offset_(array.offset + parent_offset), batch_(place.batch), first_row_(place.first_row),
      in_dictionary_(is_dictionary) {
  const std::string_view format = schema.format ? schema.format : "";
  const auto unsupported = [&](std::string_view what) {
    fail(FailureKind::Type, "column '" + name_ + "' has type " + std::string(what) +
                                ", which events cannot hold (supported: integers, floats, "
                                "booleans, strings, timestamps, dates, times and durations)");
  };
  // Offsets and lengths small enough that no byte position computed from them overflows.
  constexpr std::int64_t kLargest = std::int64_t{1} << 56;
  if (array.length < 0 || array.offset < 0 || parent_offset < 0 || array.length > kLargest ||
      array.offset > kLargest || parent_offset > kLargest) {
    malformed("a negative or impossibly large length or offset");
  }
  if (array.length < parent_offset) malformed("its length does not cover the batch");
  if (schema.dictionary) {
    if (!array.dictionary) malformed("a dictionary-encoded column without its dictionary");
    static constexpr std::string_view kIndexFormats[] = {"c", "C", "s", "S", "i", "I", "l", "L"};
    bool index_ok = false;
    for (std::string_view index : kIndexFormats) index_ok = index_ok || index == format;
    if (!index_ok) malformed("dictionary indices that are not integers");
    ColumnPlace dictionary_place = place;
    dictionary_place.first_row = 0;
    dictionary_ = std::unique_ptr<ColumnReader>(
        new ColumnReader(dictionary_place, *schema.dictionary, *array.dictionary, 0, true));
    kind_ = dictionary_->kind_;
  } else if (array.dictionary) {
    malformed("a dictionary, though its schema has none");
  }

  struct LayoutOf {
    std::string_view format;
    Layout layout;
    ColumnKind kind;
  };
  static constexpr LayoutOf kLayouts[] = {
      {"n", Layout::Null, ColumnKind::Null},        {"b", Layout::Bool, ColumnKind::Bool},
      {"c", Layout::I8, ColumnKind::Int},           {"C", Layout::U8, ColumnKind::Int},
      {"s", Layout::I16, ColumnKind::Int},          {"S", Layout::U16, ColumnKind::Int},
      {"i", Layout::I32, ColumnKind::Int},          {"I", Layout::U32, ColumnKind::Int},
      {"l", Layout::I64, ColumnKind::Int},          {"L", Layout::U64, ColumnKind::UInt},
      {"f", Layout::F32, ColumnKind::Float},        {"g", Layout::F64, ColumnKind::Float},
      {"u", Layout::Utf8, ColumnKind::String},      {"U", Layout::LargeUtf8, ColumnKind::String},
      {"vu", Layout::Utf8View, ColumnKind::String}, {"tdD", Layout::I32, ColumnKind::Int},
      {"tdm", Layout::I64, ColumnKind::Int},        {"tts", Layout::I32, ColumnKind::Int},
      {"ttm", Layout::I32, ColumnKind::Int},        {"ttu", Layout::I64, ColumnKind::Int},
      {"ttn", Layout::I64, ColumnKind::Int},        {"tDs", Layout::I64, ColumnKind::Int},
      {"tDm", Layout::I64, ColumnKind::Int},        {"tDu", Layout::I64, ColumnKind::Int},
      {"tDn", Layout::I64, ColumnKind::Int},
  };
  bool known = false;
  for (const LayoutOf& entry : kLayouts) {
    if (entry.format == format) {
      layout_ = entry.layout;
      if (!dictionary_) kind_ = entry.kind;
      known = true;
      break;
    }
  }
  if (!known && is_integer_format(format)) {  // timestamps, with or without a time zone
    layout_ = Layout::I64;
    kind_ = ColumnKind::Int;
    known = true;
  }
  if (!known) unsupported(describe_format(format));
  check_structure(schema, array);
}

// What the array's own fields can tell without reading its rows: buffer and child counts, the
// null count, buffers that must be there, the extent of the string data. Constant work, but for
// the sizes of a view column's buffers, one per buffer.
void ColumnReader::check_structure(const ArrowSchema& schema, const ArrowArray& array) {
  if (array.n_children != 0 || schema.n_children != 0) {
    malformed("child arrays, which its type has none of");
  }
  const bool strings = layout_ == Layout::Utf8 || layout_ == Layout::LargeUtf8;
  const std::int64_t needed = layout_ == Layout::Null ? 0 : strings ? 3 : 2;
  if (layout_ == Layout::Utf8View ? array.n_buffers < 3
                                  : array.n_buffers != needed && layout_ != Layout::Null) {
    malformed(std::to_string(array.n_buffers) + " buffers where its type has " +
              std::to_string(needed));
  }
  if (array.n_buffers > 0 && !array.buffers) malformed("no buffers");
  if (array.null_count < -1 || array.null_count > array.length) malformed("an impossible null count");
  if (layout_ == Layout::Null) return;
  if (array.null_count != 0) validity_ = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (array.null_count > 0 && !validity_) malformed("nulls without a validity bitmap");
  values_ = array.buffers[1];
  if (!values_ && array.length > 0) malformed("a missing values buffer");
  if (strings) {
    data_ = static_cast<const char*>(array.buffers[2]);
    // The data holds the bytes up to the array's last offset.
    const std::int64_t last = array.offset + array.length;
    if (values_) {
      data_end_ = layout_ == Layout::Utf8 ? load<std::int32_t>(values_, last)
                                          : load<std::int64_t>(values_, last);
    }
    if (data_end_ < 0) malformed("a negative string offset");
    if (!data_ && data_end_ > 0) malformed("a missing string data buffer");
  } else if (layout_ == Layout::Utf8View) {
    // Validity, views, the variadic data buffers, then one buffer of their sizes.
    view_buffers_ = reinterpret_cast<const char* const*>(array.buffers + 2);
    view_buffer_count_ = array.n_buffers - 3;
    view_sizes_ = array.buffers[array.n_buffers - 1];
    if (view_buffer_count_ > 0 && !view_sizes_) malformed("string views without their buffer sizes");
    for (std::int64_t i = 0; i < view_buffer_count_; ++i) {
      const std::int64_t size = load<std::int64_t>(view_sizes_, i);
      if (size < 0) malformed("a string view buffer of negative size");
      if (size > 0 && !view_buffers_[i]) malformed("a missing string view buffer");
    }
  }
}

void ColumnReader::malformed(std::string_view why) const {
  fail(FailureKind::Value, "column '" + name_ + "' is malformed in batch " +
                               std::to_string(batch_) + ": " +
                               (in_dictionary_ ? "its dictionary has " : "") + std::string(why));
}

void ColumnReader::fail_at(std::int64_t row, std::string_view why) const {
  const std::string where =
      in_dictionary_ ? "dictionary entry " + std::to_string(row)
                     : "row " + std::to_string(first_row_ + static_cast<std::uint64_t>(row));
  fail(FailureKind::Value, "column '" + name_ + "' is malformed in batch " +
                               std::to_string(batch_) + " at " + where + ": " + std::string(why));
}

void ColumnReader::bad_index(std::int64_t row, std::int64_t index) const {
  fail_at(row, "dictionary index " + std::to_string(index) + " is outside its dictionary of " +
                   std::to_string(dictionary_->length()) + " entries");
}

void ColumnReader::bad_view(std::int64_t row, const char* view) const {
  const std::int32_t size = load<std::int32_t>(view, 0);
  const std::int32_t buffer = load<std::int32_t>(view + 8, 0);
  const std::int32_t offset = load<std::int32_t>(view + 12, 0);
  if (size < 0) fail_at(row, "a string view of negative size " + std::to_string(size));
  if (buffer < 0 || buffer >= view_buffer_count_) {
    fail_at(row, "a string view names buffer " + std::to_string(buffer) + " of " +
                     std::to_string(view_buffer_count_));
  }
  fail_at(row, "a string view (" + std::to_string(size) + " bytes at " + std::to_string(offset) +
                   ") leaves its buffer of " +
                   std::to_string(load<std::int64_t>(view_sizes_, buffer)) + " bytes");
}

void ColumnReader::bad_offsets(std::int64_t row, std::int64_t begin, std::int64_t end) const {
  fail_at(row, begin > end ? "its string offsets go backwards (" + std::to_string(begin) +
                                 " to " + std::to_string(end) + ")"
                           : "its string offsets (" + std::to_string(begin) + " to " +
                                 std::to_string(end) + ") leave the string data (" +
                                 std::to_string(data_end_) + " bytes)");
}

std::optional<std::int64_t> ColumnReader::first_null(std::int64_t rows) const {
  if (kind_ != ColumnKind::Null && !validity_) return std::nullopt;
  for (std::int64_t row = 0; row < rows; ++row) {
    if (is_null(row)) return row;
  }
  return std::nullopt;
}

Value ColumnReader::value_at(std::int64_t row) const {
  if (is_null(row)) return Value::null();
  if (dictionary_) return dictionary_->value_at(dictionary_index(row));
  switch (kind_) {
    case ColumnKind::Int: return Value::integer(index_at(row));
    case ColumnKind::UInt: {
      const std::uint64_t number = load<std::uint64_t>(values_, row + offset_);
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        fail(FailureKind::Value, "column '" + name_ + "' holds " + std::to_string(number) +
                                     " at row " + std::to_string(first_row_ + static_cast<std::uint64_t>(row)) +
                                     ", above the largest integer an event can hold "
                                     "(9223372036854775807)");
      }
      return Value::integer(static_cast<std::int64_t>(number));
    }
    case ColumnKind::Float: return Value::floating(float_at(row));
    case ColumnKind::Bool: return Value::boolean(bool_at(row));
    case ColumnKind::String: return Value::string(std::string(text_at(row)));
    case ColumnKind::Null: return Value::null();
  }
  return Value::null();
}

}  // namespace vashlet::arrow
