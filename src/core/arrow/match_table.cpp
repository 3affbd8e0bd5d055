// The match table: one row per match, its columns written straight from the matcher's flat
// results, several threads writing each; and the one-row table of the number of events read.
#include "arrow/table_results.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "arrow/result_columns.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "tuning.hpp"

namespace vashlet {

using result_columns::Column;
using result_columns::FixedBuilder;
using result_columns::FixedWriter;
using result_columns::at_width;
using result_columns::binding_names;
using result_columns::integer_width;
using result_columns::RowListColumn;
using result_columns::table_of;
using result_columns::value_column;

namespace {

// Matches per slice of the result when its columns are written on several threads.
constexpr std::size_t kMatchesPerSlice = 1 << 16;

// The flat parts of a result, addressed by match number across all of them.
class MatchParts {
 public:
  explicit MatchParts(std::vector<FlatMatches> parts) : parts_(std::move(parts)) {
    for (const FlatMatches& part : parts_) {
      starts_.push_back(total_);
      total_ += part.size();
    }
  }
  std::size_t size() const { return total_; }
  // Calls visit(number, part, m) for the matches numbered [begin, end), in order.
  template <class Visit>
  void visit(std::size_t begin, std::size_t end, const Visit& visit) const {
    for (std::size_t p = 0; p < parts_.size(); ++p) {
      const std::size_t first = std::max(begin, starts_[p]);
      const std::size_t last = std::min(end, starts_[p] + parts_[p].size());
      for (std::size_t number = first; number < last; ++number) {
        visit(number, parts_[p], number - starts_[p]);
      }
    }
  }

 private:
  std::vector<FlatMatches> parts_;
  std::vector<std::size_t> starts_;
  std::size_t total_ = 0;
};

void set_integer(FixedWriter& out, std::size_t at, std::int64_t value) {
  at_width(out.width(), value, [&](auto narrowed) { out.set(at, narrowed); });
}

// The partition of every match, in the partition column's type.
Column match_partitions(const MatchParts& matches, const SortedEvents& events,
                        std::size_t threads) {
  FillLaterVector<std::uint32_t> chosen(matches.size());
  for_slices(matches.size(), threads, kMatchesPerSlice, [&](std::size_t begin, std::size_t end) {
    matches.visit(begin, end, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
      chosen[number] = events.partition(part.indices_of(m)[0]);
    });
  });
  return result_columns::partition_column(events, chosen, threads);
}

// Where each match's entries begin in a list column of one entry per matched event (one more
// than the matches): every match has `steps` events, except a language pattern's.
std::vector<std::int64_t> event_offsets(const MatchParts& matches) {
  std::vector<std::int64_t> offsets(matches.size() + 1, 0);
  matches.visit(0, matches.size(), [&](std::size_t number, const FlatMatches& part, std::size_t m) {
    offsets[number + 1] = offsets[number] + static_cast<std::int64_t>(part.length_of(m));
  });
  return offsets;
}

// The input rows of every match's events.
Column match_rows(const MatchParts& matches, const SortedEvents& events,
                  std::vector<std::int64_t> offsets, std::size_t threads) {
  const std::size_t total = matches.size();
  if (events.ids()) {  // values of an id column, of any key type
    RowListColumn rows(events);
    matches.visit(0, total, [&](std::size_t, const FlatMatches& part, std::size_t m) {
      rows.append(part.indices_of(m), part.length_of(m));
    });
    return rows.finish("rows");
  }
  FixedWriter items("l", 8, static_cast<std::size_t>(offsets.back()));
  for_slices(total, threads, kMatchesPerSlice, [&](std::size_t begin, std::size_t end) {
    matches.visit(begin, end, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
      const std::size_t* indices = part.indices_of(m);
      const std::size_t at = static_cast<std::size_t>(offsets[number]);
      for (std::size_t k = 0; k < part.length_of(m); ++k) {
        if (indices[k] >= events.size()) {
          invariant_failure("a result names an event outside the input");
        }
        items.set(at + k, static_cast<std::int64_t>(events.row(indices[k])));
      }
    });
  });
  return arrow::list_column("rows", std::move(offsets), items.finish("item"));
}

// The element number of every match's events, for patterns of the language.
Column match_elements(const MatchParts& matches, std::vector<std::int64_t> offsets) {
  FixedWriter items("i", 4, static_cast<std::size_t>(offsets.back()));
  matches.visit(0, matches.size(), [&](std::size_t number, const FlatMatches& part, std::size_t m) {
    const std::uint32_t* elements = part.elements_of(m);
    for (std::size_t k = 0; k < part.length_of(m); ++k) {
      items.set(static_cast<std::size_t>(offsets[number]) + k, static_cast<std::int32_t>(elements[k]));
    }
  });
  return arrow::list_column("elements", std::move(offsets), items.finish("item"));
}

// The bound values of every match: one column per binding name, from that name's slot.
Column match_captures(const MatchParts& matches, const Pattern& pattern,
                      const Plan& compiled) {
  const std::vector<std::string> slots = compiled.slot_names();
  std::vector<Column> fields;
  std::vector<const Value*> cells(matches.size());
  for (const std::string& name : binding_names(pattern)) {
    const std::size_t slot =
        static_cast<std::size_t>(std::find(slots.begin(), slots.end(), name) - slots.begin());
    if (slot == slots.size()) invariant_failure("a match binds every name of its pattern");
    matches.visit(0, matches.size(), [&](std::size_t number, const FlatMatches& part,
                                         std::size_t m) { cells[number] = part.values_of(m)[slot]; });
    fields.push_back(value_column(name, cells));
  }
  return arrow::struct_column("captures", static_cast<std::int64_t>(matches.size()),
                              std::move(fields));
}

}  // namespace

arrow::Table match_table(const Pattern& source, const SortedEvents& events, const TableRun& run) {
  Pattern pattern = source;
  if (run.exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
  const Plan compiled = compile(pattern, run.max_matches);
  // The matches come flat and go straight into the columns, several threads writing each: no
  // record per match.
  return match_table_of(pattern, compiled, events, compiled.flat_matches(events.view(), run.threads),
                        run.threads);
}

arrow::Table match_table_of(const Pattern& pattern, const Plan& compiled, const SortedEvents& events,
                            std::vector<FlatMatches> parts, std::size_t threads,
                            std::uint64_t first_number) {
  const MatchParts matches(std::move(parts));
  const std::size_t total = matches.size();

  FixedWriter numbers("l", 8, total);
  FixedWriter starts(events.ts_format(), integer_width(events.ts_format()), total);
  FixedWriter ends(events.ts_format(), integer_width(events.ts_format()), total);
  for_slices(total, threads, kMatchesPerSlice, [&](std::size_t begin, std::size_t end) {
    matches.visit(begin, end, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
      // The first events lie apart in the input, each a line of its own to read.
      if (m + tuning::kCopyAhead < part.size()) {
        __builtin_prefetch(&events[part.indices_of(m + tuning::kCopyAhead)[0]].ts);
      }
      numbers.set(number, static_cast<std::int64_t>(first_number + number));
      set_integer(starts, number, events[part.indices_of(m)[0]].ts);
      set_integer(ends, number, part.ends[m]);
    });
  });
  std::vector<Column> columns;
  columns.push_back(numbers.finish("match"));
  columns.push_back(match_partitions(matches, events, threads));
  columns.push_back(starts.finish("start"));
  columns.push_back(ends.finish("end"));
  const std::vector<std::int64_t> offsets = event_offsets(matches);
  columns.push_back(match_rows(matches, events, offsets, threads));
  columns.push_back(match_captures(matches, pattern, compiled));
  if (compiled.language) columns.push_back(match_elements(matches, offsets));
  return table_of(std::move(columns), total);
}

arrow::Table events_read_table(const Pattern&, const SortedEvents& events, const TableRun&) {
  FixedBuilder count("l", 8);
  count.append(static_cast<std::int64_t>(events.size()));
  std::vector<Column> columns;
  columns.push_back(count.finish("events"));
  return table_of(std::move(columns), 1);
}

}  // namespace vashlet
