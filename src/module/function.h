// The module's function objects: a small callable type with vectorcall that
// shows a Python function's face (__name__, __qualname__, __module__,
// __globals__, __code__, __defaults__) while its body is C++.
#pragma once

#include "py/ref.h"

#include <initializer_list>

namespace tw::module {

// A body receives its parameters bound in declaration order (borrowed).
using Body = py::Ref (*)(PyObject* const* args);

struct FunctionSpec {
    const char* name;
    int first_line;
    std::initializer_list<const char*> params;
    std::initializer_list<const char*> locals;
    Body body;
};

// Creates the type once per process; -1 with an exception set on failure.
int ready_function_type();

// A new function object for `spec`, whose globals are `globals`.
py::Ref make_function(const FunctionSpec& spec, PyObject* globals);

}  // namespace tw::module
