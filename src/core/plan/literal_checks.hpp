// Literals checked against the types of the columns they are compared with, before any row is
// read: a literal of a kind that never compares with its column (a string against numbers, a
// number against strings, a boolean against either) would make its clause silently false.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "arrow/arrow_in.hpp"
#include "model/model.hpp"

namespace vashlet {

struct ColumnType {
  arrow::ColumnKind kind;
  std::string name;  // as messages give it: "float64", "timestamp[us, tz=UTC]"
};

// The type of the column an attribute reads, if it has one.
using ColumnTypeOf = std::function<std::optional<ColumnType>(const std::string& attribute)>;

// Why the first such literal of `pattern` can never compare, naming its step, e.g.
// `step 2 (purchase): price > "10" compares a string with 'price', a float64 column`.
std::optional<std::string> literal_mismatch(const Pattern& pattern, const ColumnTypeOf& type_of);

}  // namespace vashlet
