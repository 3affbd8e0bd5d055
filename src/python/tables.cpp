// The table functions `_match_table`, `_explain_table`, `_funnel_table`, `_partition_funnel_table`
// and `_read_table` (events from an Arrow
// stream, an Arrow batch or an `Event` sequence; results as a table), and the class `ResultTable`
// that holds one result and hands it out through the Arrow PyCapsule interface or as Python rows.
#include "tables.hpp"

#include <cerrno>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "data_source.hpp"
#include "model/duration.hpp"
#include "event.hpp"
#include "interrupt.hpp"
#include "matching.hpp"
#include "arrow/table_events.hpp"
#include "arrow/table_results.hpp"

namespace vashlet::py {

namespace {

using arrow::Column;

struct PyTable {
  arrow::Table table;
  std::vector<std::string> absent_types;  // of the pattern, in the table read
};

NativeClass<PyTable>& table_class();

// ---------------------------------------------------------------------------------------------
// Capsules

// Each capsule owns its struct; whoever consumes it moves the contents out and leaves `release`
// null, so the destructor releases only what nobody took.
template <class Struct>
void release_capsule(PyObject* capsule, const char* name) {
  auto* raw = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (!raw) {
    PyErr_Clear();
    return;
  }
  if (raw->release) raw->release(raw);
  delete raw;
}

void release_stream_capsule(PyObject* capsule) {
  release_capsule<ArrowArrayStream>(capsule, kStreamCapsule);
}
void release_schema_capsule(PyObject* capsule) {
  release_capsule<ArrowSchema>(capsule, kSchemaCapsule);
}

// ---------------------------------------------------------------------------------------------
// Reading and running

// What a table function runs over the events it read: a function (or any callable) of the
// pattern, the events and the run's options, giving a table or a table with more.
using RunTable = arrow::Table (*)(const Pattern&, const SortedEvents&, const TableRun&);
// What `run` gives.
template <class Run>
using RunResult = std::invoke_result_t<const Run&, const Pattern&, const SortedEvents&,
                                       const TableRun&>;

// The pattern's windows in ticks of the timestamps read (whose type the events remember), or
// why they have none.
template <class Run>
std::variant<RunResult<Run>, arrow::InputFailure> run_with_windows(
    const SortedEvents& events, const Run& run, const Pattern& pattern, const TableRun& options,
    const vashlet::Result<TimeAxis>& axis) {
  if (!axis) return arrow::InputFailure{arrow::FailureKind::Value, axis.error()};
  vashlet::Result<Pattern> resolved = resolve_windows(pattern, axis.value());
  if (!resolved) return arrow::InputFailure{arrow::FailureKind::Value, resolved.error()};
  return run(resolved.value(), events, options);
}

template <class Run>
std::variant<RunResult<Run>, arrow::InputFailure> run_on(
    Checked<SortedEvents>&& read, const Run& run, const Pattern& pattern, const TableRun& options,
    const EventColumns& columns, const std::optional<std::string>& ts_unit,
    std::vector<std::string>& absent_types) {
  if (auto* failure = std::get_if<arrow::InputFailure>(&read)) return std::move(*failure);
  const SortedEvents& events = std::get<SortedEvents>(read);
  absent_types = events.absent_types();
  return run_with_windows(events, run, pattern, options,
                          time_axis("'" + columns.ts + "'", events.ts_format(), ts_unit));
}

// Reads the `source` argument (a stream capsule, a (schema, array) capsule pair, or a sequence of
// `Event`s), then runs `run` on its events. Everything after the argument checks runs without
// the GIL: reading, sorting, matching and building the result.
template <class Result>
struct FromSource {
  Result result;
  std::vector<std::string> absent_types;  // the pattern's event types that no row has
};

template <class Run>
FromSource<RunResult<Run>> table_from_source(PyObject* source, const Pattern& pattern,
                                             const EventColumns& columns, const Run& run,
                                             const TableRun& options,
                                             const std::optional<std::string>& ts_unit) {
  using Result = RunResult<Run>;
  using Outcome = std::variant<Result, arrow::InputFailure>;
  const DataSource data = data_source(source, columns);
  std::vector<std::string> absent;
  std::optional<Outcome> outcome;
  {
    const InterruptibleRelease unlocked;
    if (data.stream) {
      outcome = run_on(events_from_stream(data.stream, columns, pattern, options.threads), run,
                       pattern, options, columns, ts_unit, absent);
    } else if (data.batch) {
      outcome = run_on(events_from_batch(data.schema, data.batch, columns, pattern, options.threads),
                       run, pattern, options, columns, ts_unit, absent);
    } else {
      outcome = run_with_windows(events_from_list(data.events->view()), run, pattern, options,
                                 event_time_axis(ts_unit));
    }
    unlocked.finish();
  }
  if (auto* failure = std::get_if<arrow::InputFailure>(&*outcome)) raise_input_failure(*failure);
  return {std::get<Result>(std::move(*outcome)), std::move(absent)};
}

// ---------------------------------------------------------------------------------------------
// Python rows of a result table

bool valid_at(const Column& column, std::int64_t row) {
  if (column.format == "n") return false;
  if (column.buffers.empty() || column.buffers[0].absent) return true;
  return ((column.buffers[0].bytes[static_cast<std::size_t>(row >> 3)] >> (row & 7)) & 1) != 0;
}

template <class T>
T load_at(const Column::Buffer& buffer, std::int64_t index) {
  T value;
  std::memcpy(&value, buffer.bytes.data() + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

Ref string_cell(const Column& column, std::int64_t row) {
  std::string_view text;
  if (column.format == "vu") {
    const std::uint8_t* view = column.buffers[1].bytes.data() + row * 16;
    std::int32_t size;
    std::memcpy(&size, view, 4);
    if (size <= 12) {
      text = {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(size)};
    } else {
      std::int32_t offset;
      std::memcpy(&offset, view + 12, 4);
      text = {reinterpret_cast<const char*>(column.buffers[2].bytes.data()) + offset,
              static_cast<std::size_t>(size)};
    }
  } else {
    const std::int64_t begin = column.format == "u" ? load_at<std::int32_t>(column.buffers[1], row)
                                                    : load_at<std::int64_t>(column.buffers[1], row);
    const std::int64_t end = column.format == "u"
                                 ? load_at<std::int32_t>(column.buffers[1], row + 1)
                                 : load_at<std::int64_t>(column.buffers[1], row + 1);
    text = {reinterpret_cast<const char*>(column.buffers[2].bytes.data()) + begin,
            static_cast<std::size_t>(end - begin)};
  }
  return text_to_py(text);
}

Ref cell_to_py(const Column& column, std::int64_t row) {
  if (!valid_at(column, row)) return Ref::borrowed(Py_None);
  const std::string& format = column.format;
  if (format == "u" || format == "U" || format == "vu") return string_cell(column, row);
  if (format == "g") return Ref::checked(PyFloat_FromDouble(load_at<double>(column.buffers[1], row)));
  if (format == "b") {
    const bool truth = ((column.buffers[1].bytes[static_cast<std::size_t>(row >> 3)] >> (row & 7)) & 1) != 0;
    return Ref::borrowed(truth ? Py_True : Py_False);
  }
  if (format == "+L") {
    const std::int64_t begin = load_at<std::int64_t>(column.buffers[1], row);
    const std::int64_t end = load_at<std::int64_t>(column.buffers[1], row + 1);
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(end - begin)));
    for (std::int64_t i = begin; i < end; ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i - begin),
                     cell_to_py(column.children[0], i).release());
    }
    return list;
  }
  if (format == "+s") {
    Ref dict = Ref::checked(PyDict_New());
    for (const Column& field : column.children) {
      Ref value = cell_to_py(field, row);
      if (PyDict_SetItemString(dict.get(), field.name.c_str(), value.get()) < 0) throw PythonError{};
    }
    return dict;
  }
  // Integers, of any width and sign, and temporal values as their integers.
  const Column::Buffer& values = column.buffers[1];
  if (format == "c") return int_to_py(load_at<std::int8_t>(values, row));
  if (format == "C") return int_to_py(load_at<std::uint8_t>(values, row));
  if (format == "s") return int_to_py(load_at<std::int16_t>(values, row));
  if (format == "S") return int_to_py(load_at<std::uint16_t>(values, row));
  if (format == "I") return int_to_py(load_at<std::uint32_t>(values, row));
  if (format == "i" || format == "tdD" || format == "tts" || format == "ttm") {
    return int_to_py(load_at<std::int32_t>(values, row));
  }
  if (format == "L") return size_to_py(load_at<std::uint64_t>(values, row));
  return int_to_py(load_at<std::int64_t>(values, row));
}

// ---------------------------------------------------------------------------------------------
// The class

constexpr auto kStreamSignature =
    signature("ResultTable.__arrow_c_stream__()", {"requested_schema"}, 0);

// A new capsule owning `raw`, whose contents are already exported (they are released if the
// capsule cannot be made).
template <class Struct>
Ref capsule_owning(std::unique_ptr<Struct> raw, const char* name, PyCapsule_Destructor destroy) {
  PyObject* capsule = PyCapsule_New(raw.get(), name, destroy);
  if (!capsule) {
    raw->release(raw.get());
    throw PythonError{};
  }
  raw.release();
  return Ref::steal(capsule);
}

// The requested schema is a request, not a demand: the table has one layout, and consumers cast.
Ref arrow_c_stream(const PyTable& self, const Arguments<1>&) {
  auto raw = std::make_unique<ArrowArrayStream>();
  arrow::export_stream(self.table, raw.get());
  return capsule_owning(std::move(raw), kStreamCapsule, release_stream_capsule);
}

constexpr auto kSchemaSignature = signature("ResultTable.__arrow_c_schema__()");

Ref arrow_c_schema(const PyTable& self, const Arguments<0>&) {
  auto raw = std::make_unique<ArrowSchema>();
  arrow::export_schema(*self.table, raw.get());
  return capsule_owning(std::move(raw), kSchemaCapsule, release_schema_capsule);
}

constexpr auto kToPylistSignature = signature("ResultTable.to_pylist()", {"start", "stop"}, 0);

// Rows `start` to `stop` (clamped to the table, as a slice is) as dicts of column to value.
Ref to_pylist(const PyTable& self, const Arguments<2>& args) {
  const std::int64_t length = self.table->length;
  const auto clamp = [&](std::int64_t at) { return at < 0 ? 0 : at > length ? length : at; };
  const std::int64_t start = clamp(args.optional(0, int64_from_py).value_or(0));
  const std::int64_t stop = std::max(start, clamp(args.optional(1, int64_from_py).value_or(length)));
  Ref rows = Ref::checked(PyList_New(static_cast<Py_ssize_t>(stop - start)));
  for (std::int64_t row = start; row < stop; ++row) {
    PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(row - start),
                   cell_to_py(*self.table, row).release());
  }
  return rows;
}

Ref column_names_of(const PyTable& self) {
  return list_to_py(self.table->children, [](const Column& column) { return text_to_py(column.name); });
}

// The Arrow format of each column ("tsu:UTC", "tDs", ...), for showing times as times.
Ref column_formats_of(const PyTable& self) {
  return list_to_py(self.table->children,
                    [](const Column& column) { return text_to_py(column.format); });
}

Ref absent_types_of(const PyTable& self) {
  return list_to_py(self.absent_types, [](const std::string& type) { return text_to_py(type); });
}

Py_ssize_t table_length(PyObject* self) {
  const PyTable* table = table_class().find(self);
  return table ? static_cast<Py_ssize_t>(table->table->length) : 0;
}

PyMethodDef table_methods[] = {
    method_def<table_class, kStreamSignature, arrow_c_stream>(
        "__arrow_c_stream__",
        "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
        "Export the table as an Arrow C stream (a PyCapsule)."),
    method_def<table_class, kSchemaSignature, arrow_c_schema>(
        "__arrow_c_schema__",
        "__arrow_c_schema__($self, /)\n--\n\nExport the table's schema (a PyCapsule)."),
    method_def<table_class, kToPylistSignature, to_pylist>(
        "to_pylist",
        "to_pylist($self, /, start=None, stop=None)\n--\n\n"
        "The rows from `start` to `stop` as dicts of column name to value."),
    {},
};

PyGetSetDef table_getters[] = {
    getter_def<table_class, column_names_of>("column_names"),
    getter_def<table_class, column_formats_of>("column_formats"),
    getter_def<table_class, absent_types_of>("absent_types"),
    {},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("A result table, exported through the Arrow PyCapsule interface.")},
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<PyTable>)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getters},
    {Py_mp_length, reinterpret_cast<void*>(&table_length)},
    {0, nullptr},
};

NativeClass<PyTable>& table_class() {
  static NativeClass<PyTable> cls("builtins.ResultTable", table_slots);
  return cls;
}

// ---------------------------------------------------------------------------------------------
// The functions

template <std::size_t N>
EventColumns columns_argument(const Arguments<N>& args) {
  EventColumns columns;
  columns.partition = args.convert(2, text_from_py);
  columns.ts = args.convert(3, text_from_py);
  columns.type = args.convert(4, text_from_py);
  columns.id = args.optional(5, text_from_py);
  return columns;
}

// The functions share their parameters (`exhaustive` and `max_matches` are read by matching
// only) and differ in what they run over the events.
template <bool kMatches, std::size_t N>
TableRun run_argument(const Arguments<N>& args) {
  TableRun options{kMatches && args.flag(6), args.threads(7), std::nullopt};
  if (kMatches) options.max_matches = args.optional(9, max_matches_from_py);
  return options;
}

// The timestamps' unit given for integer columns; a unit that is no unit is refused before any
// reading.
template <std::size_t N>
std::optional<std::string> ts_unit_argument(const Arguments<N>& args) {
  std::optional<std::string> ts_unit = args.optional(8, text_from_py);
  unwrap(event_time_axis(ts_unit));
  return ts_unit;
}

// The arguments of a table function but its data, checked in this order.
template <bool kMatches>
struct TableCall {
  template <std::size_t N>
  explicit TableCall(const Arguments<N>& args)
      : pattern(valid_pattern_argument(args.get(0))),
        columns(columns_argument(args)),
        options(run_argument<kMatches, N>(args)),
        ts_unit(ts_unit_argument(args)) {}

  const Pattern pattern;
  const EventColumns columns;
  const TableRun options;
  const std::optional<std::string> ts_unit;
};

template <RunTable Run, bool kMatches>
Ref table_function(const Arguments<10>& args) {
  const TableCall<kMatches> call(args);
  FromSource<arrow::Table> read =
      table_from_source(args.get(1), call.pattern, call.columns, Run, call.options, call.ts_unit);
  return table_class().wrap(PyTable{std::move(read.result), std::move(read.absent_types)});
}

// (near misses, starts) from one reading of the data.
Ref funnel_function(const Arguments<10>& args) {
  const TableCall<false> call(args);
  FromSource<FunnelTable> read = table_from_source(args.get(1), call.pattern, call.columns,
                                                   &funnel_table, call.options, call.ts_unit);
  Ref starts = size_to_py(static_cast<std::size_t>(read.result.starts));
  Ref misses = table_class().wrap(
      PyTable{std::move(read.result.near_misses), std::move(read.absent_types)});
  return Ref::checked(PyTuple_Pack(2, misses.get(), starts.get()));
}

// (near misses standing for the partitions without a complete path, partitions with a start).
Ref deepest_per_partition_function(const Arguments<10>& args) {
  const TableCall<false> call(args);
  FromSource<FunnelTable> read =
      table_from_source(args.get(1), call.pattern, call.columns, &deepest_per_partition_table,
                        call.options, call.ts_unit);
  Ref starts = size_to_py(static_cast<std::size_t>(read.result.starts));
  Ref misses = table_class().wrap(
      PyTable{std::move(read.result.near_misses), std::move(read.absent_types)});
  return Ref::checked(PyTuple_Pack(2, misses.get(), starts.get()));
}

// (near misses shown as examples, starts, groups): the near misses counted by group, each group
// a (count, positions of its first `examples` rows in the table) pair, in the order of their
// first rows. With `every_row`, the table holds every near miss.
Ref counted_funnel_function(const Arguments<12>& args) {
  const TableCall<false> call(args);
  const std::int64_t examples = args.optional(10, int64_from_py).value_or(3);
  if (examples < 1) {
    PyErr_SetString(PyExc_ValueError, "examples must be at least 1");
    throw PythonError{};
  }
  const bool every_row = args.flag(11);
  const auto count = [&](const Pattern& pattern, const SortedEvents& events, const TableRun& run) {
    return counted_funnel_table(pattern, events, run, static_cast<std::size_t>(examples),
                                every_row);
  };
  FromSource<CountedFunnel> read =
      table_from_source(args.get(1), call.pattern, call.columns, count, call.options,
                        call.ts_unit);
  const CountedFunnel& funnel = read.result;
  Ref groups = list_to_py(funnel.groups, [](const CountedFunnel::Group& group) {
    Ref count = size_to_py(static_cast<std::size_t>(group.count));
    Ref positions = list_to_py(group.examples, size_to_py);
    return Ref::checked(PyTuple_Pack(2, count.get(), positions.get()));
  });
  Ref starts = size_to_py(static_cast<std::size_t>(funnel.starts));
  Ref misses = table_class().wrap(
      PyTable{std::move(read.result.examples), std::move(read.absent_types)});
  return Ref::checked(PyTuple_Pack(3, misses.get(), starts.get(), groups.get()));
}

// The funnel's results with the starts of each partition, and the partitions' values, which the
// partition numbers index: a partition with more starts than near misses has a start with a
// complete path.
struct PartitionFunnel {
  FunnelTable funnel;
  PartitionValues partitions;
};

PartitionFunnel partition_funnel(const Pattern& pattern, const SortedEvents& events,
                                 const TableRun& run) {
  return {partition_funnel_table(pattern, events, run), events.partition_values()};
}

// (near misses, starts, {partition value: starts} of the partitions with a start, the positions
// of the near misses that stand for the partitions without a complete path or None where the
// caller picks them).
Ref partition_funnel_function(const Arguments<10>& args) {
  const TableCall<false> call(args);
  FromSource<PartitionFunnel> read = table_from_source(
      args.get(1), call.pattern, call.columns, &partition_funnel, call.options, call.ts_unit);
  const FunnelTable& funnel = read.result.funnel;
  const PartitionValues& partitions = read.result.partitions;
  Ref by_partition = Ref::checked(PyDict_New());
  for (std::size_t number = 0; number < funnel.starts_by_partition.size(); ++number) {
    if (!funnel.starts_by_partition[number]) continue;
    Ref key = partitions.holds_strings() ? text_to_py(partitions.strings[number])
                                         : int_to_py(partitions.ints[number]);
    Ref count = size_to_py(static_cast<std::size_t>(funnel.starts_by_partition[number]));
    if (PyDict_SetItem(by_partition.get(), key.get(), count.get()) < 0) throw PythonError{};
  }
  Ref starts = size_to_py(static_cast<std::size_t>(funnel.starts));
  Ref standing = funnel.standing ? list_to_py(*funnel.standing, size_to_py)
                                 : Ref::borrowed(Py_None);
  Ref misses = table_class().wrap(
      PyTable{std::move(read.result.funnel.near_misses), std::move(read.absent_types)});
  return Ref::checked(
      PyTuple_Pack(4, misses.get(), starts.get(), by_partition.get(), standing.get()));
}

constexpr const char* kTableParameters[] = {"pattern", "data",       "partition", "ts",
                                             "type",    "id",         "exhaustive", "threads",
                                             "ts_unit", "max_matches"};
constexpr auto kMatchTableSignature = signature("_match_table()", kTableParameters, 5);
constexpr auto kExplainTableSignature = signature("_explain_table()", kTableParameters, 5);
constexpr auto kReadTableSignature = signature("_read_table()", kTableParameters, 5);
constexpr auto kFunnelTableSignature = signature("_funnel_table()", kTableParameters, 5);
constexpr auto kPartitionFunnelTableSignature =
    signature("_partition_funnel_table()", kTableParameters, 5);
constexpr auto kDeepestPerPartitionSignature =
    signature("_deepest_per_partition()", kTableParameters, 5);
constexpr const char* kCountedFunnelParameters[] = {
    "pattern", "data",    "partition", "ts",          "type",    "id",
    "exhaustive", "threads", "ts_unit", "max_matches", "examples", "every_row"};
constexpr auto kCountedFunnelSignature =
    signature("_counted_funnel()", kCountedFunnelParameters, 5);

}  // namespace

PyTypeObject* result_table_type() { return table_class().type(); }

Ref result_table_to_py(arrow::Table table, std::vector<std::string> absent_types) {
  return table_class().wrap(PyTable{std::move(table), std::move(absent_types)});
}

PyMethodDef match_table_def = function_def<kMatchTableSignature, table_function<match_table, true>>(
    "_match_table",
    "_match_table(pattern, data, partition, ts, type, id=None, exhaustive=False, threads=None, "
    "ts_unit=None, max_matches=None)\n--\n\n"
    "Match over a table or an event sequence in any order; see vashlet.match.");

PyMethodDef read_table_def = function_def<kReadTableSignature, table_function<events_read_table, false>>(
    "_read_table",
    "_read_table(pattern, data, partition, ts, type, id=None, exhaustive=False, threads=None, "
    "ts_unit=None, max_matches=None)\n--\n\n"
    "Read and sort the events of a table that a pattern uses, and count them (for benchmarks).");

PyMethodDef explain_table_def = function_def<kExplainTableSignature, table_function<near_miss_table, false>>(
    "_explain_table",
    "_explain_table(pattern, data, partition, ts, type, id=None, exhaustive=False, threads=None, "
    "ts_unit=None, max_matches=None)\n--\n\n"
    "Near misses over a table or an event sequence in any order; see vashlet.explain.");

PyMethodDef funnel_table_def = function_def<kFunnelTableSignature, funnel_function>(
    "_funnel_table",
    "_funnel_table(pattern, data, partition, ts, type, id=None, exhaustive=False, threads=None, "
    "ts_unit=None, max_matches=None)\n--\n\n"
    "The near misses and the number of starts, from one reading of the data; see vashlet.funnel.");

PyMethodDef partition_funnel_table_def =
    function_def<kPartitionFunnelTableSignature, partition_funnel_function>(
        "_partition_funnel_table",
        "_partition_funnel_table(pattern, data, partition, ts, type, id=None, exhaustive=False, "
        "threads=None, ts_unit=None, max_matches=None)\n--\n\n"
        "As _funnel_table, and the number of starts of each partition that has one.");

PyMethodDef deepest_per_partition_def =
    function_def<kDeepestPerPartitionSignature, deepest_per_partition_function>(
        "_deepest_per_partition",
        "_deepest_per_partition(pattern, data, partition, ts, type, id=None, exhaustive=False, "
        "threads=None, ts_unit=None, max_matches=None)\n--\n\n"
        "For a chain pattern of two steps or more: the first of the deepest near misses of each "
        "partition without a complete path, and the number of partitions with a start.");

PyMethodDef counted_funnel_def = function_def<kCountedFunnelSignature, counted_funnel_function>(
    "_counted_funnel",
    "_counted_funnel(pattern, data, partition, ts, type, id=None, exhaustive=False, "
    "threads=None, ts_unit=None, max_matches=None, examples=3, every_row=False)\n--\n\n"
    "For a chain pattern of two steps or more: the funnel's near misses counted by step, reason "
    "and detail, the first `examples` of each group as a table (every near miss with "
    "`every_row`), and the number of starts.");

}  // namespace vashlet::py
