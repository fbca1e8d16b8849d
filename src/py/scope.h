// Scoped use of a context manager: `with manager as entered: body`.
//
// __exit__ is fetched before __enter__ is called, as the with statement does;
// on the way out it gets three Nones, or the pending exception.
#pragma once

#include "py/ops.h"

namespace tw::py {

// Called with the pending exception after the body failed. Returns 0 when
// __exit__ suppressed it, -1 (exception set) otherwise.
int exit_scope_with_error(PyObject* exit);

// body(entered) returns 0 on success, -1 with an exception set.
template <class Body>
int with_scope(PyObject* manager, Body&& body)
{
    Ref exit = getattr(manager, "__exit__"_id);
    if (!exit)
        return -1;
    Ref entered = call_method(manager, "__enter__"_id);
    if (!entered)
        return -1;
    if (body(entered.get()) < 0)
        return exit_scope_with_error(exit.get());
    return call(exit.get(), Py_None, Py_None, Py_None) ? 0 : -1;
}

}  // namespace tw::py
