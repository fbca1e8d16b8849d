#include "py/builtins.h"

#include "py/ops.h"

namespace tw::py {

namespace {

Ref& g_print = process_wide_ref();
Ref& g_open = process_wide_ref();
Ref& g_io_open = process_wide_ref();

Ref bind_builtin(PyObject* builtins, Id name)
{
    Ref found = getattr(builtins, name);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    }
    return found;
}

}  // namespace

int bind_builtins(PyObject* builtins)
{
    g_print = bind_builtin(builtins, "print"_id);
    if (!g_print)
        return -1;
    g_open = bind_builtin(builtins, "open"_id);
    if (!g_open)
        return -1;
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    g_io_open = io ? getattr(io.get(), "open"_id) : Ref();
    return g_io_open ? 0 : -1;
}

PyObject* builtin_print() { return g_print.get(); }
PyObject* builtin_open() { return g_open.get(); }
bool open_is_interpreters() { return g_open && g_open.get() == g_io_open.get(); }

}  // namespace tw::py
