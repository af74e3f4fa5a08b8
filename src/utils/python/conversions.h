// Conversions of bound arguments. A TypeError raised by the conversion of
// parameter P comes back as TypeError "argument 'P': <message>" keeping the
// original's __cause__, and so does the OverflowError of an int outside the
// range of to_u64; any other exception passes unchanged. All throw
// PyErrorAlreadySet on failure.
#pragma once

#include "utils/python/compat.h"

#include <cstdint>      // std::uint64_t
#include <string_view>  // std::string_view

namespace gapwright::py {

// Python's float conversion: an exact float directly, anything else through
// __float__ / __index__.
double to_f64(PyObject* value, std::string_view parameter);

// An int (bool included) or an object with __index__, from 0 to 2**64-1.
std::uint64_t to_u64(PyObject* value, std::string_view parameter);

// True or False, Python's or numpy's; anything else is a TypeError naming
// the parameter, since a switch that took any truthy object would read a
// misplaced argument (a seed, a list) as "on".
bool to_bool(PyObject* value, std::string_view parameter);

}  // namespace gapwright::py
