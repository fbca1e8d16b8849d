// Process-wide start-up state: the built-ins bound once at import.
#pragma once

#include "py/ref.h"

namespace tw::module {

// The interpreter's print and open as they were at import (borrowed);
// rebinding them in builtins later does not affect the module.
PyObject* builtin_print();
PyObject* builtin_open();

}  // namespace tw::module
