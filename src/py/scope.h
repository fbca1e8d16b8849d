// Scoped use of a context manager: `with manager as entered: body`.
//
// __exit__ is fetched before __enter__ is called, as the with statement does;
// on the way out it gets three Nones, or the pending exception.
#pragma once

#include "py/builtins.h"
#include "py/ops.h"

namespace tw::py {

// Called with the pending exception after the body failed. Returns 1 when
// __exit__ suppressed it (nothing pending), -1 (exception set) otherwise.
int exit_scope_with_error(PyObject* exit);

// body(entered) returns 0 on success, -1 with an exception set. Returns 0
// when the block completed, -1 with the exception set, or 1 when the body
// failed and __exit__ suppressed the error: whatever the body was to
// produce is then missing, and the caller must not go on as if it were there.
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

// For a block whose body binds `name`: after a suppressed error the name
// was never bound, as in Python. Sets UnboundLocalError and returns -1.
int unbound_after_suppressed_error(const char* name);

// For a block that writes a file's new content: after a suppressed error
// the content is incomplete and must not take the file's place. Sets
// RuntimeError and returns -1.
int incomplete_after_suppressed_error();

// `with open(path, "rb") as file: data = file.read()`, with the open bound
// at start-up: the bytes, or empty with the exception set.
Ref read_whole_file(PyObject* path);

// `with open(path, mode) as file: body(file)` for a block that writes the
// file: 0, or -1 with the exception set, a suppressed error included.
template <class Mode, class Body>
int with_file_written(PyObject* path, const Mode& mode, Body&& body)
{
    Ref file = call(builtin_open(), path, mode);
    if (!file)
        return -1;
    int status = with_scope(file.get(), body);
    return status > 0 ? incomplete_after_suppressed_error() : status;
}

}  // namespace tw::py
