// Decodes a small pattern and a small sorted event list from the fuzz input, then checks that
// the compiled matcher agrees with the reference matcher in both consumption modes, and that
// the near-miss analysis agrees with its plain statement. Names, types and values come from
// tiny alphabets so that predicates, captures and references meet often.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "explain/explain.hpp"
#include "fuzz_support.hpp"
#include "match/matcher.hpp"
#include "near_miss_plain.hpp"

using namespace vashlet;
using vashlet::fuzz::Choices;
using vashlet::fuzz::require;

namespace {

constexpr std::size_t kMaxSteps = 5;
constexpr std::size_t kMaxEvents = 12;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

const char* const kTypes[] = {"A", "B", "C"};
const char* const kAttributes[] = {"x", "y", "z"};
const char* const kBindings[] = {"a", "b"};

template <class T, std::size_t N>
const T& pick(Choices& in, const T (&items)[N]) {
  return items[in.below(N)];
}

Value decode_value(Choices& in) {
  switch (in.below(8)) {
    case 0: return Value::integer(static_cast<std::int64_t>(in.below(4)) - 1);
    case 1: {
      const std::int64_t extremes[] = {kMin, kMax, 9007199254740993, 9007199254740992};
      return Value::integer(pick(in, extremes));
    }
    case 2: {
      const double floats[] = {0.0, -0.0, 1.0, 0.5, -1.0, 9007199254740992.0,
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity()};
      return Value::floating(pick(in, floats));
    }
    case 3: {
      const char* const strings[] = {"", "s", "t", "1"};
      return Value::string(pick(in, strings));
    }
    case 4: return Value::boolean(in.below(2) == 1);
    case 5: return Value::null();
    default: return Value::integer(static_cast<std::int64_t>(in.below(3)));
  }
}

ComparisonOperator decode_operator(Choices& in) { return static_cast<ComparisonOperator>(in.below(6)); }

Atom decode_atom(Choices& in, bool absence) {
  Atom atom(pick(in, kTypes));
  for (std::size_t n = in.below(absence ? 2 : 3); n > 0; --n) {
    atom.predicates.push_back(Predicate::make(pick(in, kAttributes), decode_operator(in), decode_value(in)));
  }
  for (std::size_t n = in.below(3); n > 0; --n) {
    atom.reference_predicates.push_back(
        ReferencePredicate::make(pick(in, kAttributes), decode_operator(in), pick(in, kBindings)));
  }
  for (std::size_t n = in.below(absence ? 2 : 3); n > 0; --n) {
    atom.captures.push_back(Capture::make(pick(in, kBindings), pick(in, kAttributes)));
  }
  return atom;
}

std::int64_t decode_window(Choices& in) {
  switch (in.below(4)) {
    case 0: {
      const std::int64_t extremes[] = {kMax, kMin, -1, 0};
      return pick(in, extremes);
    }
    default: return static_cast<std::int64_t>(in.below(8));
  }
}

Pattern decode_pattern(Choices& in) {
  Pattern pattern;
  const std::size_t steps = 1 + in.below(kMaxSteps);
  for (std::size_t k = 0; k < steps; ++k) {
    Step step = Step::of(decode_atom(in, false));
    if (k > 0) {
      Transition transition;
      if (in.below(2) == 1) transition.max_elapsed = decode_window(in);
      for (std::size_t n = in.below(3); n > 0 && n < 3; --n) {
        transition.absence.push_back(decode_atom(in, true));
      }
      step.transition_from_previous = std::move(transition);
    }
    pattern.steps.push_back(std::move(step));
  }
  pattern.consumption = in.below(2) == 1 ? MatchConsumption::ExhaustivePerStart
                                         : MatchConsumption::FirstSuccessorPerStart;
  return pattern;
}

std::int64_t decode_timestamp(Choices& in) {
  switch (in.below(8)) {
    case 0: {
      const std::int64_t extremes[] = {kMin, kMax, kMin + 1, kMax - 1};
      return pick(in, extremes);
    }
    default: return static_cast<std::int64_t>(in.below(10));
  }
}

std::vector<Event> decode_events(Choices& in) {
  std::vector<Event> events;
  const char* const partitions[] = {"p", "q", "p\xC3\xA9"};
  const std::size_t count = in.below(kMaxEvents + 1);
  for (std::size_t i = 0; i < count && !in.exhausted(); ++i) {
    Event event{pick(in, partitions), decode_timestamp(in), pick(in, kTypes), {}};
    const std::uint8_t present = in.byte();
    for (std::size_t a = 0; a < std::size(kAttributes); ++a) {
      if (present & (1u << a)) event.attrs.set(kAttributes[a], decode_value(in));
    }
    events.push_back(std::move(event));
  }
  // Event order: partitions byte-wise, then timestamps, ties in input order.
  std::stable_sort(events.begin(), events.end(), [](const Event& left, const Event& right) {
    const int order = compare_bytes(left.partition, right.partition);
    return order != 0 ? order < 0 : left.ts < right.ts;
  });
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Choices in(data, size);
  Pattern pattern = decode_pattern(in);
  const std::vector<Event> events = decode_events(in);
  require(validate_pattern(pattern).ok(), "decoded an invalid pattern");
  const EventView view(events);
  require(is_sorted_by_partition_time_index(view), "decoded events out of order");

  for (const MatchConsumption mode : {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart}) {
    pattern.consumption = mode;
    require(fuzz::same_matches(compiled_matches(pattern, view), oracle_matches(pattern, view)),
            mode == MatchConsumption::FirstSuccessorPerStart ? "matchers differ (first successor)"
                                                             : "matchers differ (exhaustive)");
  }
  require(fuzz::same_near_misses(near_misses(view, pattern), fuzz::plain_near_misses(view, pattern)),
          "near misses differ from the plain search");
  return 0;
}
