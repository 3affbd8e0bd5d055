// The table functions behind `vashlet.match` and `vashlet.explain`, and their result class.
#pragma once

#include <string>
#include <vector>

#include "arrow/arrow_out.hpp"
#include "frame.hpp"

namespace vashlet::py {

PyTypeObject* result_table_type();
// A new `ResultTable` holding `table`; `absent_types` are the pattern's event types no row had.
Ref result_table_to_py(arrow::Table table, std::vector<std::string> absent_types = {});

extern PyMethodDef match_table_def;
extern PyMethodDef explain_table_def;
extern PyMethodDef read_table_def;
extern PyMethodDef funnel_table_def;
extern PyMethodDef partition_funnel_table_def;
extern PyMethodDef deepest_per_partition_def;
extern PyMethodDef counted_funnel_def;

}  // namespace vashlet::py
