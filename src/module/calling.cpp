#include "module/calling.h"

namespace tw::module {

namespace {

Py_ssize_t param_count(const FunctionSpec& spec)
{
    return static_cast<Py_ssize_t>(spec.params.size());
}

int count_error(const FunctionSpec& spec, Py_ssize_t given)
{
    Py_ssize_t expected = param_count(spec);
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, "exactly", expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Position of the parameter that `keyword` names, -1 when none does,
// -2 with TypeError set when the keyword is not a string.
Py_ssize_t param_index(const FunctionSpec& spec, PyObject* keyword)
{
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
        return -2;
    }
    Py_ssize_t index = 0;
    for (const char* param : spec.params) {
        if (PyUnicode_CompareWithASCIIString(keyword, param) == 0)
            return index;
        ++index;
    }
    return -1;
}

// Position within kwnames of the keyword naming parameter `param`: -1 when
// absent, -2 with an exception set.
Py_ssize_t keyword_index(const FunctionSpec& spec, PyObject* kwnames, Py_ssize_t param)
{
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        Py_ssize_t named = param_index(spec, PyTuple_GET_ITEM(kwnames, k));
        if (named == -2)
            return -2;
        if (named == param)
            return k;
    }
    return -1;
}

// Called when some keyword went unused: names the first offending one.
int reject_unused_keyword(const FunctionSpec& spec, PyObject* kwnames, Py_ssize_t nargs)
{
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t named = param_index(spec, keyword);
        if (named == -2)
            return -1;
        if (named >= nargs)
            continue;
        if (named >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, keyword);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, keyword);
        return -1;
    }
    return 0;
}

int bind_no_arguments(const FunctionSpec& spec, Py_ssize_t nargs, PyObject* kwnames)
{
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name);
        return -1;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", spec.name, nargs);
        return -1;
    }
    return 0;
}

}  // namespace

int bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound)
{
    Py_ssize_t expected = param_count(spec);
    if (expected == 0)
        return bind_no_arguments(spec, nargs, kwnames);
    if (nargs > expected)
        return count_error(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < expected; ++i) {
        Py_ssize_t k = nkw ? keyword_index(spec, kwnames, i) : -1;
        if (k == -2)
            return -1;
        if (k == -1)
            return count_error(spec, i);
        bound[i] = args[nargs + k];
        ++used;
    }
    if (used < nkw)
        return reject_unused_keyword(spec, kwnames, nargs);
    return 0;
}

}  // namespace tw::module
