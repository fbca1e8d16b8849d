// Assignment of one result to several names: `a, b, c = value`.
#pragma once

#include "py/ref.h"

#include <span>

namespace tw::py {

// Fills `targets` with exactly targets.size() items of `value`, or returns
// -1 with ValueError (too many / too few) or the iteration error set.
int unpack(PyObject* value, std::span<Ref> targets);

}  // namespace tw::py
