#include "py/error.h"

#include "py/ops.h"

namespace tw::py {

PendingError::PendingError() noexcept
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback)
        PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
}

bool PendingError::matches(PyObject* type) const noexcept
{
    return value_ && PyErr_GivenExceptionMatches(value_.get(), type);
}

void PendingError::restore() noexcept
{
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void PendingError::chain_into_pending() noexcept
{
    PendingError newer;
    if (newer.value_ && value_ && newer.value_.get() != value_.get())
        PyException_SetContext(newer.value_.get(), value_.release());
    newer.restore();
}

void ensure_error_set() noexcept
{
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "termweave_mira7: an operation failed without an error");
}

void PendingError::add_note(PyObject* note) noexcept
{
    // `note` is null when making it failed: that error is dropped too.
    if (note && value_ && call_method(value_.get(), "add_note"_id, note))
        return;
    PyErr_Clear();
}

long errno_of(PyObject* error) noexcept
{
    Ref code = getattr(error, "errno"_id);
    long value = code && code.get() != Py_None ? PyLong_AsLong(code.get()) : 0;
    PyErr_Clear();  // an OSError without a usable errno is an ordinary one
    return value == -1 ? 0 : value;
}

}  // namespace tw::py
