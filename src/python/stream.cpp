// The class `_Stream` behind `vashlet.Stream`: one native stream, its batches read as the table
// calls read theirs, its outputs handed back as result tables. A stream serves one thread at a
// time: a call that finds it busy (its work runs without the GIL) raises RuntimeError instead of
// touching the state another thread is changing.
#include "stream.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data_source.hpp"
#include "durations.hpp"
#include "interrupt.hpp"
#include "matching.hpp"
#include "model/duration.hpp"
#include "pattern.hpp"
#include "stream/stream.hpp"
#include "tables.hpp"

namespace vashlet::py {

namespace {

struct StreamBox {
  explicit StreamBox(Stream native) : stream(std::move(native)) {}
  Stream stream;
  std::atomic<bool> busy{false};
};

// The native value: the box stays where it is, so the flag can be taken while the Python object
// is shared.
struct PyStream {
  std::unique_ptr<StreamBox> box;
};

NativeClass<PyStream>& stream_class();

// Holds the stream for one call; a second holder, on another thread, is refused.
class Busy {
 public:
  explicit Busy(StreamBox& box) : box_(box) {
    bool expected = false;
    if (!box_.busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      raise(PyExc_RuntimeError, "the stream is in use by another thread");
    }
  }
  ~Busy() { box_.busy.store(false, std::memory_order_release); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

  Stream& stream() { return box_.stream; }

 private:
  StreamBox& box_;
};

// ---------------------------------------------------------------------------------------------
// Options

constexpr const char* kLatePolicies[] = {"raise", "drop", "report"};

LatePolicy late_from_py(PyObject* object) {
  const std::string word = text_from_py(object);
  for (std::size_t i = 0; i < std::size(kLatePolicies); ++i) {
    if (word == kLatePolicies[i]) return static_cast<LatePolicy>(i);
  }
  raise_value_error("late must be one of 'raise', 'drop', 'report', not '" + word + "'");
}

// Ticks (an int), a duration as windows are written ("30s"), or a timedelta.
Lateness lateness_from_py(PyObject* object) {
  if (PyUnicode_Check(object)) {
    const std::string text = text_from_py(object);
    if (std::optional<Duration> duration = parse_duration(text)) return *duration;
    raise_value_error("argument 'lateness': must be a duration such as '30s' or '5m', or ticks "
                      "as an int, not '" + text + "'");
  }
  if (std::optional<Duration> duration = duration_from_py(object)) return *duration;
  if (PyBool_Check(object) || is_numpy_bool(object) || !PyIndex_Check(object)) {
    const Ref type = type_qualname(object);
    raise_type_error("must be an int, a duration text such as '30s' or a datetime.timedelta, "
                     "not '" + text_from_py(type.get()) + "'");
  }
  const std::int64_t ticks = int64_from_py(object);
  if (ticks < 0) {
    raise_value_error("argument 'lateness': must not be negative, got " + std::to_string(ticks));
  }
  return ticks;
}

constexpr const char* kStreamParameters[] = {
    "pattern", "partition", "ts",       "type", "id",      "exhaustive", "threads",
    "ts_unit", "max_matches", "lateness", "late", "explain", "max_open"};
constexpr auto kStreamSignature = signature("_Stream()", kStreamParameters, 4);

StreamOptions options_from(const Arguments<13>& args) {
  StreamOptions options;
  options.pattern = valid_pattern_argument(args.get(0));
  options.columns.partition = args.convert(1, text_from_py);
  options.columns.ts = args.convert(2, text_from_py);
  options.columns.type = args.convert(3, text_from_py);
  options.columns.id = args.optional(4, text_from_py);
  options.exhaustive = args.flag(5);
  options.threads = args.threads(6);
  options.ts_unit = args.optional(7, text_from_py);
  unwrap(event_time_axis(options.ts_unit));
  options.max_matches = args.optional(8, max_matches_from_py);
  options.lateness = args.optional(9, lateness_from_py).value_or(std::int64_t{0});
  options.late = args.optional(10, late_from_py).value_or(LatePolicy::Raise);
  options.explain = args.flag(11);
  options.max_open = args.optional(
      12, [](PyObject* object) { return threads_from_py(object, "max_open"); });
  return options;
}

PyObject* stream_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    StreamOptions options = options_from(bind(kStreamSignature, args, kwargs));
    return stream_class().wrap(PyStream{std::make_unique<StreamBox>(Stream(std::move(options)))});
  });
}

template <class T>
Ref optional_to_py(const std::optional<T>& value, Ref (*convert)(T)) {
  return value ? convert(*value) : Ref::borrowed(Py_None);
}

Ref text_ref(std::string text) { return text_to_py(text); }

void set_item(PyObject* dict, const char* key, Ref value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonError{};
}

constexpr auto kOptionsSignature = signature("_Stream.options()");

// What the stream was made with, for the Python face (which keeps it) and restored streams.
Ref options_of(const PyStream& self, const Arguments<0>&) {
  Busy busy(*self.box);
  const StreamOptions& options = busy.stream().options();
  Ref dict = Ref::checked(PyDict_New());
  set_item(dict.get(), "pattern", pattern_to_py(options.pattern));
  set_item(dict.get(), "partition", text_to_py(options.columns.partition));
  set_item(dict.get(), "ts", text_to_py(options.columns.ts));
  set_item(dict.get(), "type", text_to_py(options.columns.type));
  set_item(dict.get(), "id", optional_to_py(options.columns.id, text_ref));
  set_item(dict.get(), "ts_unit", optional_to_py(options.ts_unit, text_ref));
  set_item(dict.get(), "exhaustive", Ref::borrowed(options.exhaustive ? Py_True : Py_False));
  set_item(dict.get(), "max_matches", optional_to_py(options.max_matches, size_to_py));
  set_item(dict.get(), "threads", size_to_py(options.threads));
  const auto* ticks = std::get_if<std::int64_t>(&options.lateness);
  const auto* duration = std::get_if<Duration>(&options.lateness);
  set_item(dict.get(), "lateness", ticks ? int_to_py(*ticks) : text_to_py(duration_text(*duration)));
  set_item(dict.get(), "late", text_to_py(kLatePolicies[static_cast<std::size_t>(options.late)]));
  set_item(dict.get(), "explain", Ref::borrowed(options.explain ? Py_True : Py_False));
  set_item(dict.get(), "max_open", optional_to_py(options.max_open, size_to_py));
  return dict;
}

// ---------------------------------------------------------------------------------------------
// Pushing

// A stream producer's batches passed on to the reader, their rows counted: a push needs the
// batch's number of rows, events the pattern does not name included.
class CountedStream {
 public:
  explicit CountedStream(ArrowArrayStream* inner) : inner_(inner) {
    outer_.get_schema = &get_schema;
    outer_.get_next = &get_next;
    outer_.get_last_error = &get_last_error;
    outer_.release = &release;
    outer_.private_data = this;
  }
  ~CountedStream() {
    if (outer_.release) outer_.release(&outer_);
  }
  CountedStream(const CountedStream&) = delete;
  CountedStream& operator=(const CountedStream&) = delete;

  ArrowArrayStream* get() { return &outer_; }
  std::uint64_t rows() const { return rows_; }

 private:
  static CountedStream& of(ArrowArrayStream* stream) {
    return *static_cast<CountedStream*>(stream->private_data);
  }
  static int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    ArrowArrayStream* inner = of(stream).inner_;
    return inner->get_schema(inner, out);
  }
  static int get_next(ArrowArrayStream* stream, ArrowArray* out) {
    CountedStream& self = of(stream);
    const int code = self.inner_->get_next(self.inner_, out);
    if (code == 0 && out->release && out->length > 0) {
      self.rows_ += static_cast<std::uint64_t>(out->length);
    }
    return code;
  }
  static const char* get_last_error(ArrowArrayStream* stream) {
    ArrowArrayStream* inner = of(stream).inner_;
    return inner->get_last_error(inner);
  }
  static void release(ArrowArrayStream* stream) {
    ArrowArrayStream* inner = of(stream).inner_;
    if (inner->release) inner->release(inner);
    stream->release = nullptr;
  }

  ArrowArrayStream* inner_;
  ArrowArrayStream outer_{};
  std::uint64_t rows_ = 0;
};

struct Batch {
  Checked<SortedEvents> events;
  std::uint64_t rows = 0;
};

// Reads the data's events (without the GIL). An event list is copied: the stream keeps events
// past the call, and the list's `Event` objects may be gone by then.
Batch read_batch(const DataSource& data, const StreamOptions& options) {
  const EventColumns& columns = options.columns;
  if (data.stream) {
    CountedStream counted(data.stream);
    Checked<SortedEvents> read =
        events_from_stream(counted.get(), columns, options.pattern, options.threads);
    return {std::move(read), counted.rows()};
  }
  if (data.batch) {
    const std::int64_t length = data.batch->length;
    return {events_from_batch(data.schema, data.batch, columns, options.pattern, options.threads),
            static_cast<std::uint64_t>(length > 0 ? length : 0)};
  }
  std::vector<Event> copies;
  copies.reserve(data.events->size());
  for (const Event* event : data.events->pointers()) copies.push_back(*event);
  return {events_from_owned_list(std::move(copies)), data.events->size()};
}

Ref key_values_to_py(const KeyValues& values) {
  if (values.holds_strings()) {
    return list_to_py(values.strings, [](const std::string& text) { return text_to_py(text); });
  }
  return list_to_py(values.ints, [](std::int64_t number) { return int_to_py(number); });
}

// (matches, near misses or None, late rows or ids, absent types or None). The absent types are
// those of a table with rows; None where the batch cannot tell (no rows, a list of events).
Ref output_to_py(StreamOutput output, Ref absent) {
  Ref matches = result_table_to_py(std::move(output.matches));
  Ref misses = output.near_misses ? result_table_to_py(std::move(*output.near_misses))
                                  : Ref::borrowed(Py_None);
  Ref late = output.late_ids ? key_values_to_py(*output.late_ids)
                             : list_to_py(output.late_rows, [](std::uint64_t row) {
                                 return Ref::checked(PyLong_FromUnsignedLongLong(row));
                               });
  return Ref::checked(PyTuple_Pack(4, matches.get(), misses.get(), late.get(), absent.get()));
}

constexpr auto kPushSignature = signature("_Stream.push()", {"data"}, 1);

Ref push(const PyStream& self, const Arguments<1>& args) {
  Busy busy(*self.box);
  Stream& stream = busy.stream();
  const DataSource data = data_source(args.get(0), stream.options().columns);
  std::optional<Batch> batch;
  {
    const InterruptibleRelease unlocked;
    batch.emplace(read_batch(data, stream.options()));
    unlocked.finish();
  }
  if (auto* failure = std::get_if<arrow::InputFailure>(&batch->events)) {
    raise_input_failure(*failure);
  }
  SortedEvents& events = std::get<SortedEvents>(batch->events);
  Ref absent = data.events || batch->rows == 0
                   ? Ref::borrowed(Py_None)
                   : list_to_py(events.absent_types(),
                                [](const std::string& type) { return text_to_py(type); });
  // The stream's own work is not cancelled halfway: a push is all or nothing.
  std::optional<std::variant<StreamOutput, arrow::InputFailure>> pushed;
  {
    const GilReleased unlocked;
    pushed.emplace(stream.push(std::move(events), batch->rows));
  }
  if (auto* failure = std::get_if<arrow::InputFailure>(&*pushed)) raise_input_failure(*failure);
  return output_to_py(std::get<StreamOutput>(std::move(*pushed)), std::move(absent));
}

constexpr auto kFlushSignature = signature("_Stream.flush()");

Ref flush(const PyStream& self, const Arguments<0>&) {
  Busy busy(*self.box);
  std::optional<StreamOutput> output;
  {
    const GilReleased unlocked;
    output.emplace(busy.stream().flush());
  }
  return output_to_py(std::move(*output), Ref::borrowed(Py_None));
}

// ---------------------------------------------------------------------------------------------
// State

constexpr auto kStatsSignature = signature("_Stream.stats()");

Ref stats(const PyStream& self, const Arguments<0>&) {
  Busy busy(*self.box);
  const StreamStats stats = busy.stream().stats();
  Ref dict = Ref::checked(PyDict_New());
  const auto count = [](std::uint64_t value) {
    return Ref::checked(PyLong_FromUnsignedLongLong(value));
  };
  set_item(dict.get(), "rows", count(stats.rows));
  set_item(dict.get(), "partitions", count(stats.partitions));
  set_item(dict.get(), "open_starts", count(stats.open_starts));
  set_item(dict.get(), "held_events", count(stats.held_events));
  set_item(dict.get(), "kept_events", count(stats.kept_events));
  set_item(dict.get(), "bytes", count(stats.bytes));
  set_item(dict.get(), "flushed", Ref::borrowed(stats.flushed ? Py_True : Py_False));
  return dict;
}

constexpr auto kSnapshotSignature = signature("_Stream.snapshot()");

Ref snapshot(const PyStream& self, const Arguments<0>&) {
  Busy busy(*self.box);
  std::string bytes;
  {
    const GilReleased unlocked;
    bytes = busy.stream().snapshot();
  }
  return Ref::checked(
      PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

std::string_view bytes_from_py(PyObject* object) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_Check(object)) {
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) throw PythonError{};
    return {data, static_cast<std::size_t>(size)};
  }
  raise_cannot_convert(object, "PyBytes");
}

constexpr auto kRestoreSignature = signature("_Stream.restore()", {"snapshot"}, 1);

// The bytes object is the caller's and immutable, so it is read without the GIL.
Ref restore(const Arguments<1>& args) {
  const std::string_view bytes = args.convert(0, bytes_from_py);
  std::optional<std::variant<Stream, arrow::InputFailure>> restored;
  {
    const GilReleased unlocked;
    restored.emplace(Stream::restore(bytes));
  }
  if (auto* failure = std::get_if<arrow::InputFailure>(&*restored)) raise_input_failure(*failure);
  return stream_class().wrap(
      PyStream{std::make_unique<StreamBox>(std::get<Stream>(std::move(*restored)))});
}

// ---------------------------------------------------------------------------------------------
// The class

PyMethodDef stream_methods[] = {
    method_def<stream_class, kPushSignature, push>(
        "push",
        "push($self, /, data)\n--\n\n"
        "Add a batch of events; (matches, near misses or None, late, absent types or None)."),
    method_def<stream_class, kFlushSignature, flush>(
        "flush", "flush($self, /)\n--\n\nEnd the input: decide every open start, as push."),
    method_def<stream_class, kStatsSignature, stats>(
        "stats", "stats($self, /)\n--\n\nThe state's size, as a dict."),
    method_def<stream_class, kSnapshotSignature, snapshot>(
        "snapshot", "snapshot($self, /)\n--\n\nThe whole state as bytes."),
    method_def<stream_class, kOptionsSignature, options_of>(
        "options", "options($self, /)\n--\n\nWhat the stream was made with, as a dict."),
    function_def<kRestoreSignature, restore>(
        "restore",
        "restore(snapshot)\n--\n\nThe stream a snapshot holds, continuing where it was.",
        METH_STATIC),
    {},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("A native stream of events; see vashlet.Stream.")},
    {Py_tp_new, reinterpret_cast<void*>(&stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<PyStream>)},
    {Py_tp_methods, stream_methods},
    {0, nullptr},
};

NativeClass<PyStream>& stream_class() {
  static NativeClass<PyStream> cls("builtins._Stream", stream_slots);
  return cls;
}

}  // namespace

PyTypeObject* stream_type() { return stream_class().type(); }

}  // namespace vashlet::py
