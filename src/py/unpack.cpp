#include "py/unpack.h"

namespace tw::py {

namespace {

int too_many(std::size_t expected)
{
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 static_cast<Py_ssize_t>(expected));
    return -1;
}

int too_few(Py_ssize_t obtained)
{
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", obtained,
                 obtained == 1 ? "" : "s");
    return -1;
}

int unpack_sequence(PyObject* value, std::span<Ref> targets)
{
    Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
    auto expected = static_cast<Py_ssize_t>(targets.size());
    if (size > expected)
        return too_many(targets.size());
    if (size < expected)
        return too_few(size);
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (Py_ssize_t i = 0; i < size; ++i)
        targets[i] = Ref::borrow(items[i]);
    return 0;
}

}  // namespace

int unpack(PyObject* value, std::span<Ref> targets)
{
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value))
        return unpack_sequence(value, targets);
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it)
        return -1;
    Py_ssize_t obtained = 0;
    for (Ref& target : targets) {
        target = Ref::steal(PyIter_Next(it.get()));
        if (!target)
            return PyErr_Occurred() ? -1 : too_few(obtained);
        ++obtained;
    }
    // One more item proves the iterator is not exhausted.
    if (Ref extra = Ref::steal(PyIter_Next(it.get())))
        return too_many(targets.size());
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace tw::py
