#include "arrow_in.hpp"

#include <cstring>
#include <limits>

namespace vashlet::arrow {

void fail(FailureKind kind, std::string message) {
  throw InputFailure{kind, std::move(message), 0};
}

namespace {

template <class T>
T load(const void* base, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

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

ColumnReader::ColumnReader(std::string_view column, const ArrowSchema& schema,
                           const ArrowArray& array, std::int64_t parent_offset)
    : name_(column), length_(array.length - parent_offset), offset_(array.offset + parent_offset) {
  const std::string_view format = schema.format ? schema.format : "";
  const auto unsupported = [&](std::string_view what) {
    fail(FailureKind::Type, "column '" + name_ + "' has type " + std::string(what) +
                                ", which events cannot hold (supported: integers, floats, "
                                "booleans, strings, timestamps, dates, times and durations)");
  };
  const auto malformed = [&](std::string_view why) {
    fail(FailureKind::Value, "column '" + name_ + "' is malformed: " + std::string(why));
  };
  if (array.length < parent_offset || array.offset < 0 || array.length < 0) {
    malformed("its length does not cover the batch");
  }
  if (schema.dictionary) {
    if (!array.dictionary) malformed("a dictionary-encoded column without its dictionary");
    static constexpr std::string_view kIndexFormats[] = {"c", "C", "s", "S", "i", "I", "l", "L"};
    bool index_ok = false;
    for (std::string_view index : kIndexFormats) index_ok = index_ok || index == format;
    if (!index_ok) malformed("dictionary indices that are not integers");
    dictionary_ = std::make_unique<ColumnReader>(column, *schema.dictionary, *array.dictionary, 0);
    kind_ = dictionary_->kind_;
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

  const std::int64_t needed = layout_ == Layout::Null                                 ? 0
                              : layout_ == Layout::Utf8 || layout_ == Layout::LargeUtf8 ? 3
                              : layout_ == Layout::Utf8View                            ? 3
                                                                                       : 2;
  if (array.n_buffers < needed || (needed > 0 && !array.buffers)) malformed("too few buffers");
  if (layout_ == Layout::Null) return;
  if (array.null_count != 0) validity_ = static_cast<const std::uint8_t*>(array.buffers[0]);
  values_ = array.buffers[1];
  if (!values_ && length_ > 0) malformed("a missing values buffer");
  if (layout_ == Layout::Utf8 || layout_ == Layout::LargeUtf8) {
    data_ = static_cast<const char*>(array.buffers[2]);
  } else if (layout_ == Layout::Utf8View) {
    // Validity, views, the variadic data buffers, then one buffer of their sizes.
    view_buffers_ = reinterpret_cast<const char* const*>(array.buffers + 2);
    view_buffer_count_ = array.n_buffers - 3;
  }
}

std::optional<std::int64_t> ColumnReader::first_null(std::int64_t rows) const {
  if (kind_ != ColumnKind::Null && !validity_) return std::nullopt;
  for (std::int64_t row = 0; row < rows; ++row) {
    if (is_null(row)) return row;
  }
  return std::nullopt;
}

std::int64_t ColumnReader::index_at(std::int64_t row) const {
  const std::int64_t at = row + offset_;
  switch (layout_) {
    case Layout::I8: return load<std::int8_t>(values_, at);
    case Layout::I16: return load<std::int16_t>(values_, at);
    case Layout::I32: return load<std::int32_t>(values_, at);
    case Layout::I64: return load<std::int64_t>(values_, at);
    case Layout::U8: return load<std::uint8_t>(values_, at);
    case Layout::U16: return load<std::uint16_t>(values_, at);
    case Layout::U32: return load<std::uint32_t>(values_, at);
    case Layout::U64: return static_cast<std::int64_t>(load<std::uint64_t>(values_, at));
    default: invariant_failure("index_at on a column that holds no integers");
  }
}

std::int64_t ColumnReader::dictionary_index(std::int64_t row) const {
  const std::int64_t index = index_at(row);
  if (index < 0 || index >= dictionary_->length()) {
    fail(FailureKind::Value,
         "column '" + name_ + "' is malformed: a dictionary index out of range");
  }
  return index;
}

std::int64_t ColumnReader::int_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->int_at(dictionary_index(row));
  return index_at(row);
}

double ColumnReader::float_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->float_at(dictionary_index(row));
  if (layout_ == Layout::F32) return load<float>(values_, row + offset_);
  return load<double>(values_, row + offset_);
}

bool ColumnReader::bool_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->bool_at(dictionary_index(row));
  const std::int64_t bit = row + offset_;
  return ((static_cast<const std::uint8_t*>(values_)[bit >> 3] >> (bit & 7)) & 1) != 0;
}

std::string_view ColumnReader::view_at(std::int64_t row) const {
  const std::int64_t at = row + offset_;
  switch (layout_) {
    case Layout::Utf8: {
      const std::int32_t begin = load<std::int32_t>(values_, at);
      const std::int32_t end = load<std::int32_t>(values_, at + 1);
      return {data_ + begin, static_cast<std::size_t>(end - begin)};
    }
    case Layout::LargeUtf8: {
      const std::int64_t begin = load<std::int64_t>(values_, at);
      const std::int64_t end = load<std::int64_t>(values_, at + 1);
      return {data_ + begin, static_cast<std::size_t>(end - begin)};
    }
    case Layout::Utf8View: {
      const char* view = static_cast<const char*>(values_) + at * 16;
      const std::int32_t size = load<std::int32_t>(view, 0);
      if (size <= 12) return {view + 4, static_cast<std::size_t>(size < 0 ? 0 : size)};
      const std::int32_t buffer = load<std::int32_t>(view + 8, 0);
      const std::int32_t offset = load<std::int32_t>(view + 12, 0);
      if (buffer < 0 || buffer >= view_buffer_count_ || offset < 0) {
        fail(FailureKind::Value,
             "column '" + name_ + "' is malformed: a string view names a missing buffer");
      }
      return {view_buffers_[buffer] + offset, static_cast<std::size_t>(size)};
    }
    default: invariant_failure("string_at on a column that holds no strings");
  }
}

std::string_view ColumnReader::string_at(std::int64_t row) const {
  if (dictionary_) return dictionary_->string_at(dictionary_index(row));
  return view_at(row);
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
                                     " at row " + std::to_string(first_row_ + row) +
                                     ", above the largest integer an event can hold "
                                     "(9223372036854775807)");
      }
      return Value::integer(static_cast<std::int64_t>(number));
    }
    case ColumnKind::Float: return Value::floating(float_at(row));
    case ColumnKind::Bool: return Value::boolean(bool_at(row));
    case ColumnKind::String: return Value::string(std::string(view_at(row)));
    case ColumnKind::Null: return Value::null();
  }
  return Value::null();
}

}  // namespace vashlet::arrow
