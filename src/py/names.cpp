#include "py/names.h"

namespace tw::py {

namespace {
PyObject* g_namespace = nullptr;  // borrowed from the process's module
}

PyObject* namespace_dict() { return g_namespace; }

void set_namespace_dict(PyObject* dict) { g_namespace = dict; }

Ref global(Id name)
{
    PyObject* key = name.get();
    if (!key)
        return {};
    if (g_namespace) {
        if (PyObject* found = PyDict_GetItemWithError(g_namespace, key))
            return Ref::borrow(found);
        if (PyErr_Occurred())
            return {};
    }
    if (PyObject* found = PyDict_GetItemWithError(PyEval_GetBuiltins(), key))
        return Ref::borrow(found);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return {};
}

}  // namespace tw::py
