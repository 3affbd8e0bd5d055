// Recording near misses flat, and the NearMiss record of one of them.
#include "explain/near_miss_rows.hpp"

#include <algorithm>

#include "match/matcher.hpp"

namespace vashlet::explain {

namespace {

std::optional<Value> copy_of(const Value* value) {
  return value ? std::optional<Value>(*value) : std::nullopt;
}

}  // namespace

std::vector<std::string> capture_names(const Pattern& pattern) {
  std::vector<std::string> names;
  for (const Step& step : pattern.steps) {
    for (std::size_t k = 0; k < step.branch_count(); ++k) {
      for (const Capture& capture : step.branch(k).captures) names.push_back(capture.name);
    }
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return compare_bytes(a, b) < 0; });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

std::vector<std::size_t> first_rows_of_parts(const std::vector<NearMissRows>& parts) {
  std::vector<std::size_t> firsts;
  firsts.reserve(parts.size() + 1);
  firsts.push_back(0);
  for (const NearMissRows& part : parts) firsts.push_back(firsts.back() + part.size());
  return firsts;
}

std::uint32_t NearMissRows::name_position(const std::string& name) const {
  const auto at = std::lower_bound(
      names_->begin(), names_->end(), name,
      [](const std::string& a, const std::string& b) { return compare_bytes(a, b) < 0; });
  if (at == names_->end() || *at != name) return FailedClause::kNoName;
  return static_cast<std::uint32_t>(at - names_->begin());
}

void NearMissRows::reserve_more(std::size_t rows, std::size_t steps) {
  reserve_for(starts_, starts_.size() + rows);
  reserve_for(path_ends_, path_ends_.size() + rows);
  reserve_for(paths_, paths_.size() + rows * steps);
  reserve_for(verdicts_, verdicts_.size() + rows);
  reserve_for(failure_ends_, failure_ends_.size() + rows);
  reserve_for(failures_, failures_.size() + rows);
  reserve_for(captures_, captures_.size() + rows * names_->size());
}

void NearMissRows::add(const EventView& events, const std::size_t* path, std::size_t reached,
                       const Verdict& verdict, const Bindings& bindings) {
  starts_.push_back(path[0]);
  paths_.insert(paths_.end(), path, path + reached);
  path_ends_.push_back(paths_.size());
  verdicts_.push_back({verdict.event, verdict.blocking, verdict.gap, verdict.max_elapsed,
                       verdict.reason, verdict.satisfies});
  if (verdict.reason == Reason::PredicateFailed) {
    add_failures(*verdict.atom, events[verdict.event], bindings);
  }
  failure_ends_.push_back(failures_.size());
  // Both lists are sorted the same way: one merge pass.
  auto bound = bindings.begin();
  for (const std::string& name : *names_) {
    while (bound != bindings.end() && compare_bytes(bound->first, name) < 0) ++bound;
    if (bound != bindings.end() && bound->first == name) {
      captures_.emplace_back(bound->second);
    } else {
      captures_.emplace_back();
    }
  }
}

void NearMissRows::note_kind(std::size_t name, const Value& value) {
  if (dropped_kinds_.size() < names_->size()) dropped_kinds_.resize(names_->size(), 0);
  dropped_kinds_[name] |= static_cast<std::uint8_t>(1u << static_cast<unsigned>(value.kind()));
}

void NearMissRows::note_captures(const Bindings& bindings) {
  auto bound = bindings.begin();
  for (std::size_t name = 0; name < names_->size(); ++name) {
    while (bound != bindings.end() && compare_bytes(bound->first, (*names_)[name]) < 0) ++bound;
    if (bound != bindings.end() && bound->first == (*names_)[name]) {
      note_kind(name, bound->second);
    }
  }
}

void NearMissRows::drop_last() {
  for (std::size_t name = 0; name < names_->size(); ++name) {
    if (const Value* value = capture(size() - 1, name)) note_kind(name, *value);
  }
  starts_.pop_back();
  path_ends_.pop_back();
  paths_.resize(path_ends_.back());
  verdicts_.pop_back();
  failure_ends_.pop_back();
  failures_.resize(failure_ends_.back());
  captures_.resize(starts_.size() * names_->size());
}

void NearMissRows::add_failures(const Atom& atom, const Event& event, const Bindings& bindings) {
  using Kind = FailedClause::Kind;
  for (std::uint32_t k = 0; k < atom.predicates.size(); ++k) {
    const Predicate& predicate = atom.predicates[k];
    const Value* actual = event.attrs.find(predicate.attribute);
    if (actual && matches(predicate.op, *actual, predicate.value)) continue;
    failures_.push_back({&atom, Kind::Predicate, k, FailedClause::kNoName, copy_of(actual)});
  }
  for (std::uint32_t k = 0; k < atom.reference_predicates.size(); ++k) {
    const ReferencePredicate& reference = atom.reference_predicates[k];
    const Value* actual = event.attrs.find(reference.attribute);
    const Value* bound = bindings.find(reference.binding);
    if (actual && bound && matches(reference.op, *actual, *bound)) continue;
    failures_.push_back(
        {&atom, Kind::Reference, k, bound ? name_position(reference.binding) : FailedClause::kNoName,
         copy_of(actual)});
  }
  for (std::uint32_t k = 0; k < atom.captures.size(); ++k) {
    const Capture& capture = atom.captures[k];
    const Value* bound = bindings.find(capture.name);
    if (!bound) continue;
    const Value* found = event.attrs.find(capture.attribute);
    if ((found ? *found : Value::null()) == *bound) continue;
    failures_.push_back({&atom, Kind::Capture, k, name_position(capture.name), copy_of(found)});
  }
}

NearMiss NearMissRows::record(const EventView& events, const Pattern& pattern,
                              std::size_t row) const {
  NearMiss miss;
  const std::size_t steps = reached(row);
  miss.start_index = start(row);
  miss.partition = events[miss.start_index].partition;
  miss.indices.assign(path(row), path(row) + steps);
  miss.reached_steps = steps;
  miss.element = steps;
  miss.next_event_type = pattern.steps[steps].atom.event_type;
  for (std::size_t name = 0; name < names_->size(); ++name) {
    if (const Value* value = capture(row, name)) miss.captures.set((*names_)[name], *value);
  }
  const auto optional_of = [](const Value* value) {
    return value ? std::optional<Value>(*value) : std::nullopt;
  };
  const auto bound_of = [&](std::uint32_t name) {
    return name == FailedClause::kNoName ? std::nullopt : optional_of(capture(row, name));
  };
  const RowVerdict& v = verdict(row);
  switch (v.reason) {
    case Reason::PredicateFailed: {
      PredicateFailed failed{v.event, {}};
      for (std::size_t k = 0; k < failure_count(row); ++k) {
        const FailedClause& clause = failures(row)[k];
        switch (clause.kind) {
          case FailedClause::Kind::Predicate: {
            const Predicate& p = clause.atom->predicates[clause.clause];
            failed.failures.push_back({PredicateFailure::Predicate{
                p.attribute, p.op, p.value, clause.actual}});
            break;
          }
          case FailedClause::Kind::Reference: {
            const ReferencePredicate& r = clause.atom->reference_predicates[clause.clause];
            failed.failures.push_back({PredicateFailure::Reference{
                r.attribute, r.op, r.binding, bound_of(clause.bound_name),
                clause.actual}});
            break;
          }
          case FailedClause::Kind::Capture: {
            const Capture& c = clause.atom->captures[clause.clause];
            failed.failures.push_back({PredicateFailure::Capture{
                c.name, c.attribute, *capture(row, clause.bound_name),
                clause.actual.value_or(Value::null())}});
            break;
          }
        }
      }
      miss.detail = std::move(failed);
      break;
    }
    case Reason::AbsenceBlocked:
      miss.detail = AbsenceBlocked{v.event, v.blocking, events[v.blocking].typ, v.satisfies};
      break;
    case Reason::WindowExceeded:
      miss.detail = WindowExceeded{v.event, v.gap, v.max_elapsed};
      break;
    case Reason::NoSuccessor: miss.detail = NoSuccessor{}; break;
  }
  return miss;
}

}  // namespace vashlet::explain
