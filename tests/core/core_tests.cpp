// Unit tests of the core's shared text helpers (UTF-8, white space, display quoting), of the
// numbering of keys by their bytes, of the split of runs among threads and the kept workers that
// run them, of durations in ticks, of event copies written into shared slabs, of one compiled plan
// serving every call and worker and of the open-addressing tables (slots, values by group,
// interned bindings) from use to use, built by the fuzz configuration (VASHLET_FUZZ=ON) and run
// by .ci/sanitize-and-fuzz.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrow/key_numbers.hpp"
#include "explain/search_tables.hpp"
#include "model/duration.hpp"
#include "model/model.hpp"
#include "model/slot_table.hpp"
#include "memory/packed_events.hpp"
#include "match/element_walk.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "match/workers.hpp"
#include "match/value_index.hpp"
#include "text/parser.hpp"
#include "text/text.hpp"
#include "text/utf8.hpp"

using namespace vashlet;

namespace {

int failures = 0;

void check(bool condition, std::string_view what) {
  if (condition) return;
  ++failures;
  std::fprintf(stderr, "FAILED: %.*s\n", static_cast<int>(what.size()), what.data());
}

void utf8_sequences() {
  const std::pair<std::string_view, std::size_t> cases[] = {
      {"a", 1}, {"\xC3\xA9", 2}, {"\xE2\x82\xAC", 3}, {"\xF0\x9F\x98\x80", 4}, {"\xF4\x8F\xBF\xBF", 4},
      {"\x80", 0},              // stray continuation byte
      {"\xC1\xBF", 0},          // overlong two-byte form
      {"\xE0\x9F\xBF", 0},      // overlong three-byte form
      {"\xED\xA0\x80", 0},      // surrogate U+D800
      {"\xF0\x8F\xBF\xBF", 0},  // overlong four-byte form
      {"\xF4\x90\x80\x80", 0},  // beyond U+10FFFF
      {"\xE2\x82", 0},          // truncated
      {"\xC3\x28", 0},          // bad continuation
  };
  for (const auto& [text, length] : cases) {
    check(utf8_length(text, 0) == length, "utf8_length of " + std::string(text));
    check(is_utf8(text) == (length == text.size()), "is_utf8 of " + std::string(text));
  }
  check(decode_utf8("\xF0\x9F\x98\x80", 0, 4) == 0x1F600, "decode U+1F600");
  check(decode_utf8("\xED\x9F\xBF", 0, 3) == 0xD7FF, "decode U+D7FF");
  check(is_utf8("") && is_utf8("a\xC3\xA9z"), "is_utf8 of well-formed text");
}

// Quoting and trimming are checked through reprs, messages and patterns (tests/test_text.py);
// stray bytes, which no Python string holds, only here.
void stray_bytes() {
  check(display_quoted("a\xFF" "b") == "\"a\xEF\xBF\xBD" "b\"", "a stray byte shows as U+FFFD");
  check(trim("\xC2") == "\xC2" && trim("\xE2\x80") == "\xE2\x80", "a truncated sequence is not trimmed");
  check(!displayed_escaped(' ') && displayed_escaped(0x10FFFF) && !displayed_escaped('a'),
        "displayed_escaped at the edges");
}

// Runs of many lengths: every run reaches exactly one job, once, and the parts come back in run
// order for any thread count; where runs fail, the caller sees the failure of the first of them,
// as a single thread would.
void runs_among_threads() {
  std::vector<Event> events;
  std::vector<Run> runs;
  for (std::size_t r = 0; r < 300; ++r) {
    const std::size_t length = 1 + (r * 37) % 113;
    runs.push_back(Run{events.size(), events.size() + length});
    for (std::size_t i = 0; i < length; ++i) {
      events.push_back(Event{"p" + std::to_string(1000 + r), static_cast<std::int64_t>(i), "A", {}});
    }
  }
  const EventView view(events);
  const std::vector<Event> none;
  for (std::size_t threads = 1; threads <= 9; ++threads) {
    std::size_t calls = 0;
    const auto parts = map_run_chunks<std::vector<std::size_t>>(EventView(none), threads, [&] {
      return [&](const Run&, std::vector<std::size_t>&) { ++calls; };
    });
    check(parts.size() == 1 && parts[0].empty() && calls == 0,
          "no events: one empty part on " + std::to_string(threads) + " threads");
  }
  for (std::size_t threads = 1; threads <= 9; ++threads) {
    const auto parts = map_run_chunks<std::vector<std::size_t>>(view, threads, [] {
      return [](const Run& run, std::vector<std::size_t>& out) {
        out.push_back(run.begin);
        out.push_back(run.end);
      };
    });
    std::vector<std::size_t> seen;
    for (const auto& part : parts) seen.insert(seen.end(), part.begin(), part.end());
    std::vector<std::size_t> expected;
    for (const Run& run : runs) expected.insert(expected.end(), {run.begin, run.end});
    check(seen == expected, "every run once, in order, on " + std::to_string(threads) + " threads");
    for (const std::size_t failing : {std::size_t{7}, std::size_t{150}, std::size_t{299}}) {
      std::string caught;
      try {
        map_run_chunks<std::vector<std::size_t>>(view, threads, [&] {
          return [&](const Run& run, std::vector<std::size_t>&) {
            for (const std::size_t r : {failing, failing + 40}) {
              if (r < runs.size() && run.begin == runs[r].begin) {
                throw std::runtime_error("run " + std::to_string(r));
              }
            }
          };
        });
      } catch (const std::runtime_error& error) {
        caught = error.what();
      }
      check(caught == "run " + std::to_string(failing),
            "first failure of " + std::to_string(threads) + " threads: " + caught);
    }
  }
}

// Parallel regions from several threads at once, each with a region inside one of its chunks,
// run every chunk once and share the kept workers: those never outnumber what the regions
// running at once can use.
void regions_share_kept_workers() {
  constexpr std::size_t kCallers = 4, kRounds = 200, kChunks = 5, kInner = 3;
  std::atomic<std::size_t> wrong{0}, inner{0};
  std::vector<std::thread> callers;
  for (std::size_t t = 0; t < kCallers; ++t) {
    callers.emplace_back([&] {
      for (std::size_t round = 0; round < kRounds; ++round) {
        std::vector<std::atomic<int>> ran(kChunks);
        run_chunks(kChunks, [&](std::size_t c, const std::atomic<std::size_t>&) {
          ++ran[c];
          if (c != 2) return;
          run_chunks(kInner, [&](std::size_t, const std::atomic<std::size_t>&) { ++inner; });
        });
        for (const std::atomic<int>& times : ran) wrong += times != 1;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  check(wrong == 0, "every chunk of every region ran once");
  check(inner == kCallers * kRounds * kInner, "every chunk of the inner regions ran");
  check(worker_count() <= kCallers * (kChunks - 1 + kInner - 1),
        "no more workers than the regions running at once use");
}

// Idle workers dismissed while regions keep handing out chunks: no chunk is lost or run twice,
// no dismissal waits for ever, and once the regions stop a dismissal leaves no worker.
void dismissed_workers_leave_while_regions_run() {
  constexpr std::size_t kCallers = 3, kRounds = 300, kChunks = 4;
  std::atomic<std::size_t> wrong{0};
  std::atomic<bool> running{true};
  std::thread dismisser([&] {
    while (running) dismiss_idle_workers();
  });
  std::vector<std::thread> callers;
  for (std::size_t t = 0; t < kCallers; ++t) {
    callers.emplace_back([&] {
      for (std::size_t round = 0; round < kRounds; ++round) {
        std::vector<std::atomic<int>> ran(kChunks);
        run_chunks(kChunks, [&](std::size_t c, const std::atomic<std::size_t>&) { ++ran[c]; });
        for (const std::atomic<int>& times : ran) wrong += times != 1;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  running = false;
  dismisser.join();
  check(wrong == 0, "every chunk ran once while idle workers were dismissed");
  dismiss_idle_workers();
  check(worker_count() == 0, "a dismissal with no region running leaves no worker");
}

}  // namespace

// Copies written one after another fill slabs and move on to the next; one larger than a slab
// gets its own. Each reads back as written, also once the slabs' writer is gone.
void copies_in_slabs() {
  std::vector<PackedEvents> copies;
  std::vector<std::vector<std::string>> notes;
  {
    PackedEventSlabs slabs;
    for (std::size_t n = 0; n < 2000; ++n) {
      const std::size_t length = n == 700 ? 3 * kSlabBytes : (n * 131) % 300;
      std::vector<Event> events(1 + n % 3);
      notes.emplace_back();
      for (std::size_t i = 0; i < events.size(); ++i) {
        events[i] = Event{"p" + std::to_string(n), static_cast<std::int64_t>(n + i), "T", {}};
        notes.back().push_back(std::string(length, static_cast<char>('a' + (n + i) % 26)));
        events[i].attrs.set("note", Value::string(notes.back().back()));
      }
      const PackedEventSlabs::Place place =
          slabs.add(events.size(), [&](std::size_t i) -> const Event& { return events[i]; });
      copies.push_back(slabs.at(place));
    }
  }
  for (std::size_t n = 0; n < copies.size(); ++n) {
    bool same = copies[n].size() == notes[n].size();
    for (std::size_t i = 0; same && i < notes[n].size(); ++i) {
      const Event event = copies[n].event(i);
      same = event.partition == "p" + std::to_string(n) &&
             event.ts == static_cast<std::int64_t>(n + i) && event.typ == "T" &&
             event.attrs.size() == 1 && event.attrs.begin()->second.as_string() == notes[n][i];
    }
    check(same, "copies " + std::to_string(n) + " read back as written");
  }
}

// Durations convert to ticks exactly, rounding down, and refuse what exceeds 64 bits.
void durations_in_ticks() {
  const auto ticks = [](std::string_view text, TickUnit unit) {
    const std::optional<Duration> duration = parse_duration(text);
    check(duration && duration_text(*duration) == text, std::string(text) + " reads back as written");
    return duration ? duration_ticks(*duration, unit) : std::nullopt;
  };
  check(ticks("1500ms", TickUnit::Second) == 1, "1500ms is 1 s");
  check(ticks("1h30m", TickUnit::Millisecond) == 5'400'000, "1h30m in ms");
  check(ticks("47h", TickUnit::Day) == 1, "47h is 1 day");
  check(ticks("1ns", TickUnit::Microsecond) == 0, "1ns is 0 us");
  check(ticks("15250w", TickUnit::Nanosecond) == 9'223'200'000'000'000'000, "15250w fits ns");
  check(ticks("15251w", TickUnit::Nanosecond) == std::nullopt, "15251w overflows ns");
  check(ticks("15251w", TickUnit::Second) == 9'223'804'800, "but fits seconds");
  check(ticks("9223372036854775807ns", TickUnit::Nanosecond) == 9'223'372'036'854'775'807,
        "the largest window in ns");
  check(ticks("9223372036854775807w9223372036854775807d9223372036854775807ns", TickUnit::Day) ==
            std::nullopt,
        "the largest parts do not wrap");
  for (std::string_view bad : {"", "m", "1", "1.5h", "1m1h", "1h1h", "-1s", "1 s", "1S", "1ms5"}) {
    check(!parse_duration(bad), "not a duration: " + std::string(bad));
  }
}

// One plan, compiled once, serves call after call and every worker of a call: its matches are
// those of the reference matcher on one thread or several. Runs short and long take the staged
// and the streamed paths.
void one_plan_for_every_call() {
  static_assert(!std::is_copy_constructible_v<Plan>, "a plan is shared, never copied");
  std::vector<Event> events;
  for (const int length : {5, 300, 2000}) {
    const std::string partition = "p" + std::to_string(length);
    for (int i = 0; i < length; ++i) {
      Event event{partition, i / 2, i % 3 == 0 ? "A" : "B", {}};
      event.attrs.set("x", Value::integer(i % 31));
      events.push_back(std::move(event));
    }
  }
  const EventView view(events);
  Result<Pattern> parsed = parse_pattern("A[x as $v] -> B[x == $v] -> A[x == $v]");
  check(parsed.ok(), "the pattern parses");
  if (!parsed.ok()) return;
  Pattern& pattern = parsed.value();
  for (const MatchConsumption mode :
       {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart}) {
    pattern.consumption = mode;
    const std::vector<Match> expected = oracle_matches(pattern, view);
    const Plan plan = compile(pattern);
    check(!expected.empty(), "the events complete some matches");
    for (const std::size_t threads : {1, 3, 1}) {
      check(plan.matches(view, threads) == expected, "one plan matches alike on any threads");
      std::size_t flat = 0;
      for (const FlatMatches& part : plan.flat_matches(view, threads)) flat += part.size();
      check(flat == expected.size(), "the flat matches are as many");
    }
  }
}

// The first walk of a start that does not complete says where it stopped, for near misses;
// one language plan matches as the reference does on one thread or several.
void language_walks_and_plans() {
  std::vector<Event> events;
  for (const char* type : {"A", "B", "X", "B", "C"}) {
    events.push_back(Event{"p", static_cast<std::int64_t>(events.size()), type, {}});
  }
  const EventView view(events);
  Pattern pattern;
  pattern.steps.push_back(Step::of(Atom("A")));
  pattern.steps.push_back(Step::of(Atom("B"), Transition{}));
  pattern.steps.back().min_count = 3;
  pattern.steps.back().max_count = 3;
  pattern.steps.push_back(Step::of(Atom("C"), Transition{}));
  const std::optional<ElementWalk> walk = walk_first(pattern, view, Run{0, events.size()}, 0);
  check(walk && !walk->completed && walk->element == 1 && walk->count == 2 && walk->last == 3 &&
            walk->path.size() == 3,
        "a walk short of B{3} stops at B with two, last at event 3");
  check(!walk_first(pattern, view, Run{0, events.size()}, 1), "a B starts no walk");
  pattern.steps[1].min_count = 1;
  pattern.steps[1].max_count = std::nullopt;
  for (const MatchConsumption mode :
       {MatchConsumption::FirstSuccessorPerStart, MatchConsumption::ExhaustivePerStart,
        MatchConsumption::NonOverlapping}) {
    pattern.consumption = mode;
    const std::vector<Match> expected = oracle_matches(pattern, view);
    check(!expected.empty() && !expected.front().elements.empty(), "A B+ C matches with elements");
    const Plan plan = compile(pattern);
    for (const std::size_t threads : {1, 2}) {
      check(plan.matches(view, threads) == expected, "the element plan matches as the reference");
    }
  }
}

// Keys that share words or sizes (the slot tells keys of up to 8 bytes apart by its first word
// and size alone) keep their own numbers, in order of first appearance, across the table's growth.
void key_numbers_by_bytes() {
  std::vector<std::string> keys = {"", "a", "b", "ab", "aab", "abb", "abcd", "abcde", "abcdefgh",
                                   std::string("ab\0", 3), std::string("\0", 1),
                                   "abcdefgh" + std::string(8, '\0'), "abcdefghi", "abcdefghij"};
  keys.push_back(std::string("abcdefgh\0", 9));
  keys.push_back(std::string(40, 'x'));
  keys.push_back(std::string(39, 'x') + "y");
  for (int i = 0; i < 5000; ++i) keys.push_back("u" + std::to_string(100000 + i));
  KeyNumbers numbers;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      bool fresh = false;
      const std::uint32_t number = numbers.number(keys[k], [&] { fresh = true; });
      check(number == k && fresh == (pass == 0), "a key keeps the number of its first appearance");
    }
  }
  check(numbers.size() == keys.size(), "each distinct key is numbered once");
  for (std::size_t k = 0; k < keys.size(); ++k) {
    check(numbers.find(keys[k]) == std::optional<std::uint32_t>(static_cast<std::uint32_t>(k)),
          "find gives a known key's number");
  }
  check(!numbers.find("abcdefg") && !numbers.find("u99") && !numbers.find(std::string(41, 'x')),
        "find knows no unseen key");
}

// Ordered maps: owned ones grow and stay sorted, borrowed ones are copied before they change,
// and copies and moves leave both sides whole.
void named_values_own_and_borrow() {
  using Entry = NamedValues::Entry;
  const auto names = [](const NamedValues& map) {
    std::string joined;
    for (const auto& [name, value] : map) joined += name + "=" + std::to_string(value.as_int()) + ";";
    return joined;
  };
  // Insertion orders that reach the same map: appends, front inserts, replacements.
  const std::vector<std::vector<std::pair<std::string, int>>> orders = {
      {{"a", 1}, {"b", 2}, {"c", 3}},
      {{"c", 3}, {"b", 2}, {"a", 1}},
      {{"b", 9}, {"c", 3}, {"a", 1}, {"b", 2}},
      {{"a long name beyond the room in place", 0}, {"a", 1}, {"b", 2}, {"c", 3}},
  };
  for (const auto& order : orders) {
    NamedValues map;
    for (const auto& [name, number] : order) map.set(name, Value::integer(number));
    const std::string want = order.front().second == 0
                                 ? "a=1;a long name beyond the room in place=0;b=2;c=3;"
                                 : "a=1;b=2;c=3;";
    check(names(map) == want, "set keeps names sorted: " + names(map));
    NamedValues copy(map);
    NamedValues moved(std::move(map));
    check(names(copy) == want && names(moved) == want && map.empty(), "copy and move");
    copy.clear();
    check(copy.empty() && copy.find("a") == nullptr, "clear empties");
    copy.set("z", Value::integer(7));
    check(names(copy) == "z=7;", "a cleared map takes new entries");
    copy = moved;
    check(names(copy) == want, "copy assignment");
    NamedValues from = NamedValues::from_entries(std::vector<Entry>(moved.begin(), moved.end()));
    check(from == moved, "from_entries of sorted entries");
  }
  // A borrowed map reads its owner's entries; changing it copies them and leaves the owner be.
  const std::vector<Entry> block = {{"a", Value::integer(1)}, {"c", Value::integer(3)}};
  for (const bool replace : {false, true}) {
    NamedValues view = NamedValues::borrowing(block.data(), block.size());
    check(view.begin() == block.data() && view.find("c") != nullptr, "borrowed entries in place");
    NamedValues owned(view);
    check(owned.begin() != block.data() && owned == view, "a copy of a borrowed map owns");
    if (replace) view.set("a", Value::integer(5));
    else view.set("b", Value::integer(2));
    check(view.begin() != block.data(), "a change copies borrowed entries");
    check(names(view) == (replace ? "a=5;c=3;" : "a=1;b=2;c=3;"), "changed map: " + names(view));
    check(block[0].second.as_int() == 1 && block.size() == 2, "the owner's entries are unchanged");
    view = NamedValues::borrowing(block.data(), 0);
    check(view.empty() && view.begin() == view.end(), "borrowing nothing empties");
  }
  NamedValues none;
  none.reserve(0);
  check(none.empty() && none.begin() == nullptr, "reserving nothing allocates nothing");

  // Copy assignment into maps whose storage is reused or not: a larger owned map, an empty one,
  // a borrowed one (its owner's entries stay as they were), itself.
  NamedValues big;
  for (int k = 0; k < 12; ++k) big.set("name" + std::to_string(100 + k), Value::integer(k));
  NamedValues small;
  small.set("b", Value::integer(2));
  small.set("a long name beyond the room in place", Value::integer(0));
  for (NamedValues target : {NamedValues(big), NamedValues(), NamedValues::borrowing(block.data(),
                                                                                   block.size())}) {
    target = small;
    check(target == small && names(target) == names(small), "assigned: " + names(target));
    target.set("c", Value::integer(3));
    check(small.find("c") == nullptr && block[0].second.as_int() == 1, "the source stays whole");
    const NamedValues& same = target;
    target = same;
    check(names(target) == "a long name beyond the room in place=0;b=2;c=3;", "self assignment");
  }
  // Look-ups by name in maps small enough to scan and large enough to search, names that share
  // prefixes and lengths included.
  for (const std::size_t size : {std::size_t{3}, std::size_t{8}, std::size_t{9}, std::size_t{40}}) {
    NamedValues map;
    for (std::size_t k = 0; k < size; ++k) {
      map.set(std::string(k % 5 + 1, 'x') + std::to_string(k), Value::integer(static_cast<int>(k)));
    }
    for (std::size_t k = 0; k < size; ++k) {
      const Value* found = map.find(std::string(k % 5 + 1, 'x') + std::to_string(k));
      check(found && found->as_int() == static_cast<std::int64_t>(k), "find a present name");
    }
    check(!map.find("x") && !map.find("") && !map.find(std::string(6, 'x') + "0") &&
              !map.find("x0 "),
          "find no absent name");
  }
}

// Keys that share a few hashes, which fall on the last slots of any table, so that probes run
// through long clusters and wrap around the end of the slots. A table grown large, cleared and used again (less, or more than before) finds
// exactly what this use filed; it keeps its slots after a use that filled a fair part of them
// and lets them go after one far smaller; a make() that throws leaves it as it was.
struct KeySlot {
  int key = -1;
  int value = 0;
  bool empty() const { return key < 0; }
  std::size_t hash() const { return key_hash(key); }
  static std::size_t key_hash(int key) { return ~static_cast<std::size_t>(key % 5); }
};

void slot_tables_from_use_to_use() {
  using Table = SlotTable<KeySlot, 16>;
  Table table;
  const auto same = [](int key) { return [key](const KeySlot& slot) { return slot.key == key; }; };
  const auto fill = [&](int from, int to) {
    for (int key = from; key < to; ++key) {
      table.insert(KeySlot::key_hash(key), same(key), [&] { return KeySlot{key, 3 * key}; });
    }
  };
  const auto holds_exactly = [&](int from, int to, int probe_to) {
    bool ok = table.size() == static_cast<std::size_t>(to - from);
    for (int key = 0; key < probe_to; ++key) {
      const KeySlot* slot = table.find(KeySlot::key_hash(key), same(key));
      ok = ok && ((from <= key && key < to) ? slot && slot->value == 3 * key : slot == nullptr);
    }
    return ok;
  };
  check(table.find(KeySlot::key_hash(0), same(0)) == nullptr && table.capacity() == 0, "a new table holds nothing");
  // Uses one after another, each after a clear of the last: 1000 entries, 3000 (growing from the
  // slots the first kept), 30 (in the slots kept, far more than it needs), 1.
  struct Use {
    int from, to;
    bool fits_kept;  // needs no more slots than the last use kept
    bool kept;       // its slots are kept by the clear after it
  };
  const Use uses[] = {{0, 1000, false, true}, {2000, 5000, false, true},
                      {5000, 5030, true, false}, {7, 8, false, true}};
  for (const Use& use : uses) {
    const std::size_t before = table.capacity();
    fill(use.from, use.to);
    fill(use.from, use.to);  // a second time finds each entry, making none
    check(holds_exactly(use.from, use.to, 5100), "a use finds exactly its own entries");
    check(table.capacity() >= tuning::kSlotsPerEntry * table.size(), "grown in time");
    check(!use.fits_kept || table.capacity() == before, "a use that fits takes the kept slots");
    const std::size_t filled = table.capacity();
    table.clear();
    check(table.empty() && holds_exactly(0, 0, 5100), "a cleared table finds nothing");
    check(table.capacity() == (use.kept ? filled : 0),
          "slots kept after a fair use, let go after one far smaller");
  }
  check(table.capacity() == 16, "the first slots are kept even after one entry");
  fill(0, 12);
  bool thrown = false;
  try {
    table.insert(KeySlot::key_hash(99), same(99), []() -> KeySlot { throw std::runtime_error("x"); });
  } catch (const std::runtime_error&) {
    thrown = true;
  }
  check(thrown && holds_exactly(0, 12, 200), "a failed make leaves the table as it was");
  fill(12, 100);
  check(holds_exactly(0, 100, 200), "and it grows on from there");
}

// Interned bindings get one id per distinct content, floats by bit pattern, and ids count from 0
// again after a clear: maps kept from before are filled anew, whether copied or moved in.
void bindings_interned_run_after_run() {
  const auto map = [](double number, const std::string& text) {
    Bindings bindings;
    bindings.set("n", Value::floating(number));
    bindings.set("t", Value::string(text));
    return bindings;
  };
  explain::BindingsTable table;
  for (const std::size_t count : {std::size_t{200}, std::size_t{3}, std::size_t{500}}) {
    for (const bool moved : {false, true}) {
      std::vector<std::size_t> ids;
      for (std::size_t k = 0; k < count; ++k) {
        Bindings bindings = map(static_cast<double>(k), "v" + std::to_string(k));
        ids.push_back(moved ? table.intern(std::move(bindings)) : table.intern(bindings));
      }
      bool ok = true;
      for (std::size_t k = 0; k < count; ++k) {
        const Bindings again = map(static_cast<double>(k), "v" + std::to_string(k));
        ok = ok && ids[k] == k && table.intern(again) == k && table.get(k) == again;
      }
      check(ok, "ids from 0 in order, found again, holding their content");
      const std::size_t zero = table.intern(map(0.0, "z"));
      check(table.intern(map(-0.0, "z")) == zero + 1 && table.intern(map(0.0, "z")) == zero,
            "-0.0 and 0.0 interned apart");
      table.clear();
    }
  }
}

// An index by value groups numbers by their nearest double and other values by equality, finds
// nothing for a NaN, keeps each group's positions in the order filed, and serves again, emptied,
// after a clear, also once it has grown past its first table.
void values_indexed_run_after_run() {
  for (const std::size_t extra : {std::size_t{0}, std::size_t{500}}) {
    std::vector<Value> values = {Value::integer(1), Value::floating(1.0), Value::floating(-0.0),
                                 Value::integer(0), Value::string("1"), Value::boolean(true),
                                 Value::null(), Value::floating(std::nan("")), Value::string("")};
    for (std::size_t k = 0; k < extra; ++k) values.push_back(Value::string("v" + std::to_string(k)));
    ValueIndex index;
    for (int round = 0; round < 3; ++round) {
      check(index.empty() && index.find(Value::integer(1)).empty(), "a cleared index is empty");
      for (std::size_t p = 0; p < values.size(); ++p) index.add(values[p], 10 * p + round);
      const auto positions = [&](const Value& value) { return index.find(value); };
      const std::size_t r = static_cast<std::size_t>(round);
      check(positions(Value::floating(1.0)) == std::vector<std::size_t>{r, 10 + r},
            "Int 1 and Float 1.0 share a group, in filing order");
      check(positions(Value::integer(0)) == std::vector<std::size_t>{20 + r, 30 + r},
            "-0.0 and 0 share a group");
      check(positions(Value::string("1")) == std::vector<std::size_t>{40 + r}, "strings apart");
      check(positions(Value::boolean(true)) == std::vector<std::size_t>{50 + r} &&
                positions(Value::null()) == std::vector<std::size_t>{60 + r} &&
                positions(Value::string("")) == std::vector<std::size_t>{80 + r},
            "bool, null and the empty string each on their own");
      check(positions(Value::floating(std::nan(""))).empty() &&
                positions(Value::string("absent")).empty() && positions(Value::integer(2)).empty(),
            "nothing for a NaN or an absent value");
      for (std::size_t k = 0; k < extra; ++k) {
        check(positions(values[9 + k]) == std::vector<std::size_t>{10 * (9 + k) + r},
              "each of many values in its own group");
      }
      index.clear();
    }
  }
}

int main() {
  named_values_own_and_borrow();
  values_indexed_run_after_run();
  slot_tables_from_use_to_use();
  bindings_interned_run_after_run();
  durations_in_ticks();
  key_numbers_by_bytes();
  utf8_sequences();
  stray_bytes();
  runs_among_threads();
  regions_share_kept_workers();
  dismissed_workers_leave_while_regions_run();
  copies_in_slabs();
  one_plan_for_every_call();
  language_walks_and_plans();
  if (failures == 0) std::puts("core tests passed");
  return failures == 0 ? 0 : 1;
}
