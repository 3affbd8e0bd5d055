// The table functions behind `vashlet.match` and `vashlet.explain`, and their result class.
#pragma once

#include "frame.hpp"

namespace vashlet::py {

PyTypeObject* result_table_type();

extern PyMethodDef match_table_def;
extern PyMethodDef explain_table_def;
extern PyMethodDef read_table_def;
extern PyMethodDef funnel_table_def;
extern PyMethodDef partition_funnel_table_def;

}  // namespace vashlet::py
