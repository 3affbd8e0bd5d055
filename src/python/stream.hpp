// The class `_Stream` (stream.cpp): the native stream behind `vashlet.Stream`.
#pragma once

#include "frame.hpp"

namespace vashlet::py {

PyTypeObject* stream_type();

}  // namespace vashlet::py
