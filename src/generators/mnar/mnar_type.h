// The MNARrs class that Python sees.
#pragma once

#include "utils/python/compat.h"

namespace gapwright::py {

// The MNARrs type object, created on first need and shared by every module
// object of the process. Null with an exception set if it could not be made.
PyObject* mnar_type();

}  // namespace gapwright::py
