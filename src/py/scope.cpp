#include "py/scope.h"

#include "py/builtins.h"
#include "py/error.h"

namespace tw::py {

int exit_scope_with_error(PyObject* exit)
{
    ensure_error_set();
    PendingError error;
    PyObject* traceback = PyException_GetTraceback(error.value());
    Ref owned_traceback = Ref::steal(traceback);
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.value())));
    Ref result = call(exit, type, error.value(), traceback ? traceback : Py_None);
    if (!result) {
        // An error raised by __exit__ replaces the original, which becomes its context.
        error.chain_into_pending();
        return -1;
    }
    int suppressed = truth(result.get());
    if (suppressed < 0) {
        error.chain_into_pending();
        return -1;
    }
    if (suppressed)
        return 1;
    error.restore();
    return -1;
}

int unbound_after_suppressed_error(const char* name)
{
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value", name);
    return -1;
}

int incomplete_after_suppressed_error()
{
    PyErr_SetString(PyExc_RuntimeError,
                    "writing the new content failed and the error was suppressed; "
                    "the file was left as it was");
    return -1;
}

Ref read_whole_file(PyObject* path)
{
    Ref file = call(builtin_open(), path, "rb"_id);
    if (!file)
        return {};
    Ref data;
    int status = with_scope(file.get(), [&](PyObject* entered) {
        data = call_method(entered, "read"_id);
        return data ? 0 : -1;
    });
    if (status > 0)
        unbound_after_suppressed_error("data");
    return status == 0 ? data : Ref();
}

}  // namespace tw::py
