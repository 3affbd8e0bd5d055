// Windows with a unit: reading and writing durations as people write them (`10m`, `1h30m`), and
// turning a pattern's durations into ticks of the timestamps it is matched against.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/model.hpp"

namespace vashlet {

// A duration in the text form it is written in: parts with units from the largest down, each
// once ("1h30m", "90m", "0s"). Anything else is not a duration.
std::optional<Duration> parse_duration(std::string_view text);
std::string duration_text(const Duration& duration);
// True when `text` ends in one of the unit names after something else: the parser reads such a
// window as a duration (and says so when it is not a well-formed one).
bool has_unit_suffix(std::string_view text);

// What one tick of a timestamp stands for.
enum class TickUnit : std::uint8_t { Nanosecond, Microsecond, Millisecond, Second, Day };

// "ns", "us", "ms", "s" (a day is not an option: it is the date columns' own unit).
std::optional<TickUnit> tick_unit_named(std::string_view name);
// The unit of an Arrow format that counts time (timestamps, dates, times, durations); nothing for
// any other format.
std::optional<TickUnit> tick_unit_of_format(std::string_view format);
std::string_view tick_unit_plural(TickUnit unit);  // "microseconds"
std::string_view tick_unit_suffix(TickUnit unit);  // "us"

// `duration` in ticks of `unit`, rounded down (a window of 1500ms over seconds allows 1), or
// nothing when it exceeds the signed 64-bit range.
std::optional<std::int64_t> duration_ticks(const Duration& duration, TickUnit unit);

// The timestamps a pattern is matched against: what their ticks count, if known, and whether that
// unit comes with the data's own type (a temporal column) rather than from the caller.
struct TimeAxis {
  std::string name;  // how messages name the timestamps: "'ts'", "the events' timestamps"
  std::optional<TickUnit> unit;
  bool temporal = false;
  bool plural = false;  // the name takes "count", not "counts"
};

// The axis of a table's ts column (`name` quoted, as messages show it) of Arrow format `format`, given the caller's `ts_unit` ("s",
// "ms", "us", "ns" or nothing). Fails when the caller's unit disagrees with the column's type, or
// is not one of those names.
Result<TimeAxis> time_axis(std::string name, std::string_view format,
                           std::optional<std::string_view> ts_unit);
// The axis of a list of Event objects: plain integers, with the caller's unit if any.
Result<TimeAxis> event_time_axis(std::optional<std::string_view> ts_unit);

// `pattern` with every window in ticks of `axis` (max_elapsed set, max_duration cleared). Fails
// for a window with a unit over timestamps without one, for a window without a unit over a
// temporal column (whose storage unit the writer of the pattern may not know), and for a window
// too long for the ticks.
Result<Pattern> resolve_windows(const Pattern& pattern, const TimeAxis& axis);
// True when no window of `pattern` waits for resolve_windows: what the matchers require.
bool windows_resolved(const Pattern& pattern);

}  // namespace vashlet
