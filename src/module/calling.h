// The calling rules shared by all module functions: every parameter is
// required and may be given by position or by keyword; the errors and their
// texts are those of the interpreter's own functions.
#pragma once

#include "module/function.h"

namespace tw::module {

// The most parameters any module function has.
inline constexpr int max_params = 4;

// Binds a vectorcall's arguments to spec.params; `bound` receives one
// borrowed pointer per parameter. Returns 0, or -1 with TypeError set.
int bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound);

}  // namespace tw::module
