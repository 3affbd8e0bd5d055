#include "model/duration.hpp"

#include <charconv>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>

namespace vashlet {
namespace {

struct UnitName {
  std::string_view name;
  DurationUnit unit;
  std::int64_t nanoseconds;
};

// Largest first, the order in which a duration's parts are written.
constexpr UnitName kUnits[] = {
    {"w", DurationUnit::Week, 604'800'000'000'000},
    {"d", DurationUnit::Day, 86'400'000'000'000},
    {"h", DurationUnit::Hour, 3'600'000'000'000},
    {"m", DurationUnit::Minute, 60'000'000'000},
    {"s", DurationUnit::Second, 1'000'000'000},
    {"ms", DurationUnit::Millisecond, 1'000'000},
    {"us", DurationUnit::Microsecond, 1'000},
    {"ns", DurationUnit::Nanosecond, 1},
};

const UnitName& unit_info(DurationUnit unit) {
  for (const UnitName& info : kUnits) {
    if (info.unit == unit) return info;
  }
  invariant_failure("a duration unit without a name");
}

const UnitName* unit_named(std::string_view name) {
  for (const UnitName& info : kUnits) {
    if (info.name == name) return &info;
  }
  return nullptr;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return c >= 'a' && c <= 'z'; }

struct TickInfo {
  TickUnit unit;
  std::string_view suffix;
  std::string_view plural;
  std::int64_t nanoseconds;
};

constexpr TickInfo kTicks[] = {
    {TickUnit::Nanosecond, "ns", "nanoseconds", 1},
    {TickUnit::Microsecond, "us", "microseconds", 1'000},
    {TickUnit::Millisecond, "ms", "milliseconds", 1'000'000},
    {TickUnit::Second, "s", "seconds", 1'000'000'000},
    {TickUnit::Day, "d", "days", 86'400'000'000'000},
};

const TickInfo& tick_info(TickUnit unit) { return kTicks[static_cast<std::size_t>(unit)]; }

Error unitless_window(std::int64_t window, const TimeAxis& axis) {
  const TickInfo& tick = tick_info(*axis.unit);
  const std::string number = std::to_string(window);
  std::string message = "the window " + number + " has no unit, but " + axis.name + " counts " +
                        std::string(tick.plural) + ": ";
  if (window < 0) {
    message += "give it one, such as 10m";
  } else if (tick.unit == TickUnit::Second || tick.unit == TickUnit::Day) {
    message += "write " + number + std::string(tick.suffix);
  } else {
    message += "write " + number + "s, or " + number + std::string(tick.suffix) + " for raw ticks";
  }
  return Error{std::move(message)};
}

}  // namespace

std::optional<Duration> parse_duration(std::string_view text) {
  Duration duration;
  std::optional<DurationUnit> previous;
  while (!text.empty()) {
    std::size_t digits = 0;
    while (digits < text.size() && is_digit(text[digits])) ++digits;
    std::size_t letters = digits;
    while (letters < text.size() && is_letter(text[letters])) ++letters;
    if (digits == 0 || letters == digits) return std::nullopt;
    std::int64_t count = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + digits, count);
    if (ec != std::errc{} || end != text.data() + digits) return std::nullopt;
    const UnitName* unit = unit_named(text.substr(digits, letters - digits));
    // Units from the largest down, each once: the enumeration counts down in size.
    if (!unit || (previous && unit->unit <= *previous)) return std::nullopt;
    previous = unit->unit;
    duration.parts.push_back(DurationPart{count, unit->unit});
    text.remove_prefix(letters);
  }
  if (duration.parts.empty()) return std::nullopt;
  return duration;
}

std::string duration_text(const Duration& duration) {
  std::string out;
  for (const DurationPart& part : duration.parts) {
    out += std::to_string(part.count);
    out += unit_info(part.unit).name;
  }
  return out;
}

bool has_unit_suffix(std::string_view text) {
  std::size_t begin = text.size();
  while (begin > 0 && is_letter(text[begin - 1])) --begin;
  return begin > 0 && unit_named(text.substr(begin)) != nullptr;
}

std::optional<TickUnit> tick_unit_named(std::string_view name) {
  for (const TickInfo& tick : kTicks) {
    if (tick.suffix == name && tick.unit != TickUnit::Day) return tick.unit;
  }
  return std::nullopt;
}

std::optional<TickUnit> tick_unit_of_format(std::string_view format) {
  const auto of_letter = [](char letter) -> std::optional<TickUnit> {
    switch (letter) {
      case 's': return TickUnit::Second;
      case 'm': return TickUnit::Millisecond;
      case 'u': return TickUnit::Microsecond;
      case 'n': return TickUnit::Nanosecond;
      default: return std::nullopt;
    }
  };
  if (format == "tdD") return TickUnit::Day;
  if (format == "tdm") return TickUnit::Millisecond;
  // Times (tt?) and durations (tD?) of one letter's unit; timestamps (ts?:zone) with any zone.
  if (format.size() == 3 && (format.starts_with("tt") || format.starts_with("tD"))) {
    return of_letter(format[2]);
  }
  if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':') return of_letter(format[2]);
  return std::nullopt;
}

std::string_view tick_unit_plural(TickUnit unit) { return tick_info(unit).plural; }
std::string_view tick_unit_suffix(TickUnit unit) { return tick_info(unit).suffix; }

std::optional<std::int64_t> duration_ticks(const Duration& duration, TickUnit unit) {
  // At most eight parts, each below 2^63 times a week in nanoseconds (< 2^50): the sum stays far
  // inside 128 bits, so nothing here can wrap.
  __int128 nanoseconds = 0;
  for (const DurationPart& part : duration.parts) {
    if (part.count < 0) return std::nullopt;
    nanoseconds += static_cast<__int128>(part.count) * unit_info(part.unit).nanoseconds;
  }
  const __int128 ticks = nanoseconds / tick_info(unit).nanoseconds;  // not negative: rounds down
  if (ticks > std::numeric_limits<std::int64_t>::max()) return std::nullopt;
  return static_cast<std::int64_t>(ticks);
}

Result<TimeAxis> time_axis(std::string name, std::string_view format,
                           std::optional<std::string_view> ts_unit) {
  std::optional<TickUnit> given;
  if (ts_unit) {
    given = tick_unit_named(*ts_unit);
    if (!given) {
      return Error{"ts_unit must be one of 's', 'ms', 'us', 'ns', not '" + std::string(*ts_unit) + "'"};
    }
  }
  if (const std::optional<TickUnit> own = tick_unit_of_format(format)) {
    if (given && *given != *own) {
      return Error{"ts_unit='" + std::string(*ts_unit) + "' disagrees with " + name +
                   ", whose type counts " + std::string(tick_unit_plural(*own)) +
                   ": leave ts_unit out for a temporal column"};
    }
    return TimeAxis{std::move(name), own, true, false};
  }
  return TimeAxis{std::move(name), given, false, false};
}

Result<TimeAxis> event_time_axis(std::optional<std::string_view> ts_unit) {
  Result<TimeAxis> axis = time_axis("the events' timestamps", "l", ts_unit);
  if (axis) axis.value().plural = true;
  return axis;
}

namespace {

// Resolves one bound, ticks or a duration, in place.
Status resolve_bound(std::optional<std::int64_t>& ticks, std::optional<Duration>& duration,
                     const TimeAxis& axis) {
  if (duration) {
    const std::string window = duration_text(*duration);
    if (!axis.unit) {
      return Error{"the window " + window + " has a unit, but " + axis.name +
                   (axis.plural ? " are" : " holds") +
                   " plain integers: say what they count with ts_unit ('s', 'ms', 'us' or 'ns'; "
                   "--ts-unit on the command line)"};
    }
    const std::optional<std::int64_t> resolved = duration_ticks(*duration, *axis.unit);
    if (!resolved) {
      return Error{"the window " + window + " is too long for " + axis.name + (axis.plural ? ", which count " : ", which counts ") +
                   std::string(tick_unit_plural(*axis.unit)) + ": it exceeds 2^63 - 1 of them"};
    }
    ticks = *resolved;
    duration.reset();
  } else if (ticks && axis.temporal) {
    return unitless_window(*ticks, axis);
  }
  return Ok{};
}

}  // namespace

Result<Pattern> resolve_windows(const Pattern& pattern, const TimeAxis& axis) {
  Pattern resolved = pattern;
  for (Step& step : resolved.steps) {
    if (!step.transition_from_previous) continue;
    Transition& transition = *step.transition_from_previous;
    if (Status done = resolve_bound(transition.max_elapsed, transition.max_duration, axis); !done) {
      return Error{done.error()};
    }
    if (Status done = resolve_bound(transition.min_elapsed, transition.min_duration, axis); !done) {
      return Error{done.error()};
    }
  }
  if (Status done = resolve_bound(resolved.within_elapsed, resolved.within_duration, axis); !done) {
    return Error{done.error()};
  }
  return resolved;
}

bool windows_resolved(const Pattern& pattern) {
  if (pattern.within_duration) return false;
  for (const Step& step : pattern.steps) {
    const std::optional<Transition>& t = step.transition_from_previous;
    if (t && (t->max_duration || t->min_duration)) return false;
  }
  return true;
}

}  // namespace vashlet
