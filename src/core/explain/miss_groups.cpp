// Counting near misses by what a funnel writes of them: each part on a thread, then the parts'
// groups merged in row order.
#include "explain/miss_groups.hpp"

#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "match/partitions.hpp"
#include "tuning.hpp"

namespace vashlet::explain {

namespace {

// One failed clause of the pattern, whatever the values that failed it.
struct Clause {
  const Atom* atom;
  FailedClause::Kind kind;
  std::uint32_t clause;
  friend bool operator==(const Clause&, const Clause&) = default;
};

// What a row's step, reason and detail text are written from.
struct Key {
  std::size_t reached = 0;
  Reason reason = Reason::NoSuccessor;
  bool fits = false;              // window_exceeded: the late candidate satisfies the step
  std::string_view blocking;      // absence_blocked: the blocking event's type
  std::vector<Clause> clauses;    // predicate_failed
  friend bool operator==(const Key&, const Key&) = default;
};

struct KeyHash {
  std::size_t operator()(const Key& key) const {
    std::size_t hash = key.reached * 31 + static_cast<std::size_t>(key.reason) * 7 + key.fits;
    const auto mix = [&](std::size_t part) {
      hash ^= part + 0x9e3779b9 + (hash << 6) + (hash >> 2);
    };
    mix(std::hash<std::string_view>()(key.blocking));
    for (const Clause& clause : key.clauses) {
      mix(std::hash<const void*>()(clause.atom));
      mix(std::hash<std::uint64_t>()(std::uint64_t{static_cast<std::uint8_t>(clause.kind)} << 32 |
                                     clause.clause));
    }
    return hash;
  }
};

// Groups in the order of their first rows, found by key. Whole cache lines each: the parts'
// groups are counted on several threads at once.
class alignas(64) Groups {
 public:
  explicit Groups(std::size_t examples) : examples_(examples) {}

  // The group of `key`, made at the end where there is none.
  MissGroup& of(const Key& key) {
    if (last_ < keys_.size() && keys_[last_] == key) return groups_[last_];  // rows come in runs
    last_ = find(key);
    if (last_ == keys_.size()) {
      index_.emplace(key, keys_.size());
      keys_.push_back(key);
      groups_.emplace_back();
    }
    return groups_[last_];
  }

  // Counts `count` rows of the group, of which `rows` are its first (in row order, after those
  // it holds).
  void add(MissGroup& group, std::size_t count, const std::vector<RowAt>& rows) {
    for (std::size_t k = 0; k < rows.size() && group.examples.size() < examples_; ++k) {
      group.examples.push_back(rows[k]);
    }
    group.count += count;
  }
  void add(MissGroup& group, RowAt row) {
    if (group.examples.size() < examples_) group.examples.push_back(row);
    ++group.count;
  }

  const std::vector<Key>& keys() const { return keys_; }
  // The position of `key`'s group (keys().size(): none).
  std::size_t find(const Key& key) const {
    if (keys_.size() <= tuning::kGroupsCompared) {
      std::size_t g = 0;
      while (g < keys_.size() && !(keys_[g] == key)) ++g;
      return g;
    }
    const auto at = index_.find(key);
    return at == index_.end() ? keys_.size() : at->second;
  }
  std::vector<MissGroup>& groups() { return groups_; }

 private:
  std::size_t examples_;
  std::vector<Key> keys_;
  std::vector<MissGroup> groups_;
  std::unordered_map<Key, std::size_t, KeyHash> index_;
  std::size_t last_ = 0;
};

void key_of(const EventView& events, const NearMissRows& part, std::size_t row, Key& key) {
  const RowVerdict& verdict = part.verdict(row);
  key.reached = part.reached(row);
  key.reason = verdict.reason;
  key.fits = verdict.reason == Reason::WindowExceeded && verdict.satisfies;
  key.blocking = verdict.reason == Reason::AbsenceBlocked
                     ? std::string_view(events[verdict.blocking].typ)
                     : std::string_view();
  key.clauses.clear();
  const FailedClause* failed = part.failures(row);
  for (std::size_t k = 0; k < part.failure_count(row); ++k) {
    key.clauses.push_back({failed[k].atom, failed[k].kind, failed[k].clause});
  }
}

}  // namespace

std::vector<MissGroup> group_near_misses(const EventView& events,
                                         const std::vector<NearMissRows>& parts,
                                         std::size_t examples, std::size_t threads) {
  std::vector<Groups> of_part(parts.size(), Groups(examples));
  for_slices(parts.size(), threads, 1, [&](std::size_t begin, std::size_t end) {
    Key key;
    for (std::size_t p = begin; p < end; ++p) {
      for (std::size_t row = 0; row < parts[p].size(); ++row) {
        key_of(events, parts[p], row, key);
        Groups& groups = of_part[p];
        groups.add(groups.of(key), RowAt{p, row});
      }
    }
  });
  // The parts hold the rows in order: their groups, merged part after part, come in the order
  // of their first rows, and their first rows stay first.
  Groups all(examples);
  for (Groups& part : of_part) {
    for (std::size_t g = 0; g < part.keys().size(); ++g) {
      const MissGroup& group = part.groups()[g];
      all.add(all.of(part.keys()[g]), group.count, group.examples);
    }
  }
  return std::move(all.groups());
}

}  // namespace vashlet::explain
