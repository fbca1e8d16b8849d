#include "py/ops.h"

#include <vector>

namespace tw::py {

bool resolve_all(PyObject** argv, std::initializer_list<Arg> args)
{
    for (const Arg& arg : args) {
        *argv = arg.get();
        if (*argv == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "termweave_mira7: missing call argument");
            return false;
        }
        ++argv;
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

Ref call_kw(PyObject* callable, std::initializer_list<Arg> positional,
            std::initializer_list<Keyword> keywords)
{
    std::vector<PyObject*> argv(positional.size() + keywords.size());
    if (!resolve_all(argv.data(), positional))
        return {};
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    if (!kwnames)
        return {};
    Py_ssize_t index = 0;
    for (const Keyword& keyword : keywords) {
        PyObject* name = keyword.name.get();
        PyObject* value = name ? keyword.value.get() : nullptr;
        if (!resolve_all(&argv[positional.size() + index], {value}))
            return {};
        PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(name));
    }
    return Ref::steal(PyObject_Vectorcall(callable, argv.data(), positional.size(),
                                          keywords.size() ? kwnames.get() : nullptr));
}

bool utf8_of(PyObject* text, std::string& out)
{
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.100s", Py_TYPE(text)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data)
        return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

Ref str_from_utf8(std::string_view text)
{
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace tw::py
