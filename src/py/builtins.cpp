#include "py/builtins.h"

#include "py/ops.h"

namespace tw::py {

namespace {

Ref& g_print = process_wide_ref();
Ref& g_open = process_wide_ref();

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
    return g_open ? 0 : -1;
}

PyObject* builtin_print() { return g_print.get(); }
PyObject* builtin_open() { return g_open.get(); }

}  // namespace tw::py
