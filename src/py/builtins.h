// The interpreter's print and open as they were at start-up: the module
// calls these, so rebinding them in builtins later does not affect it.
#pragma once

#include "py/ref.h"

namespace tw::py {

// Takes print and open from the builtins module; a missing one fails with
// NameError. Returns 0, or -1 with the exception set.
int bind_builtins(PyObject* builtins);

// The bound built-ins (borrowed).
PyObject* builtin_print();
PyObject* builtin_open();
// Whether the bound open is the interpreter's own (io.open), whose files a
// caller may then write natively with the same outcome.
bool open_is_interpreters();

}  // namespace tw::py
