#include "py/ops.h"

#include <vector>

namespace tw::py {

bool all_present(PyObject* const* args, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (args[i] == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "termweave_mira7: missing call argument");
            return false;
        }
    }
    return true;
}

Ref getattr(PyObject* obj, Id name)
{
    PyObject* key = name.get();
    if (!key)
        return {};
    return Ref::steal(PyObject_GetAttr(obj, key));
}

int setattr(PyObject* obj, Id name, PyObject* value)
{
    PyObject* key = name.get();
    if (!key)
        return -1;
    return PyObject_SetAttr(obj, key, value);
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
            std::initializer_list<Keyword> keywords)
{
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    if (!kwnames)
        return {};
    std::vector<PyObject*> argv(positional);
    Py_ssize_t index = 0;
    for (const Keyword& keyword : keywords) {
        PyObject* name = keyword.name.get();
        if (!name)
            return {};
        PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(name));
        argv.push_back(keyword.value);
    }
    if (!all_present(argv.data(), argv.size()))
        return {};
    return Ref::steal(PyObject_Vectorcall(callable, argv.data(), positional.size(),
                                          keywords.size() ? kwnames.get() : nullptr));
}

}  // namespace tw::py
