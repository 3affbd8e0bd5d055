// The type id of each event of a view: where a table reader numbered the events' types, a
// look-up of the number in a small table made once; else (and for the types the reader did not
// list) the type table's look-up of the name. The matchers number types by the plan's table;
// the near-miss search by its own, which answers `find` the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "plan/atom_plan.hpp"

namespace vashlet {

template <class Types>
class TypeIdsOf {
 public:
  TypeIdsOf(const Types& types, const EventView& events)
      : types_(types), numbers_(events.numbers().types) {
    if (!numbers_) return;
    for (const std::string& name : *events.numbers().type_names) ids_.push_back(types.find(name));
    ids_.push_back(kByName);  // a type the reader did not list
  }

  // Whether ids come from the reader's numbers.
  bool numbered() const { return numbers_ != nullptr; }

  // The id of `event`, the i-th of the view (the table's answer for a type it does not name).
  std::size_t operator()(std::size_t i, const Event& event) const {
    const std::size_t id = numbered_id(i);
    return id != kByName ? id : types_.find(event.typ);
  }
  // The same for the i-th event of `events`, read only where its type has no number: a pass
  // over the types then touches no event.
  std::size_t operator()(std::size_t i, const EventView& events) const {
    const std::size_t id = numbered_id(i);
    return id != kByName ? id : types_.find(events[i].typ);
  }

 private:
  static constexpr std::size_t kByName = static_cast<std::size_t>(-2);

  // The id of the i-th event's type number; kByName where it has none, or the type is unlisted.
  std::size_t numbered_id(std::size_t i) const { return numbers_ ? ids_[numbers_[i]] : kByName; }

  const Types& types_;
  const std::uint32_t* numbers_;
  std::vector<std::size_t> ids_;  // by the reader's type number
};

using EventTypeIds = TypeIdsOf<plan::TypeTable>;

}  // namespace vashlet
