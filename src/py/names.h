// Run-time lookup of module-level names: the module namespace first, then
// builtins, exactly as a Python function body resolves a global. A host that
// rebinds a name in the module changes what the next lookup returns.
#pragma once

#include "py/ops.h"

namespace tw::py {

// The module namespace that globals are looked up in (borrowed), or null
// before start-up has taken the module.
PyObject* namespace_dict();
void set_namespace_dict(PyObject* dict);

// The object bound to `name`, or empty with NameError set.
Ref global(Id name);

}  // namespace tw::py
