#include "content/text_edit_xml.h"

namespace tw::content::xml {

int children(PyObject* element, std::vector<py::Ref>& out)
{
    return py::for_each(element, [&](PyObject* child) {
        out.push_back(py::Ref::borrow(child));
        return 0;
    });
}

int tag_index(PyObject* element, std::initializer_list<py::Id> names)
{
    py::Ref tag = py::getattr(element, "tag"_id);
    if (!tag)
        return -1;
    int index = 0;
    if (!PyUnicode_Check(tag.get()))
        return static_cast<int>(names.size());
    for (py::Id name : names) {
        PyObject* wanted = name.get();
        if (!wanted)
            return -1;
        if (PyUnicode_Compare(tag.get(), wanted) == 0)
            return index;
        ++index;
    }
    return index;
}

py::Ref find(PyObject* element, py::Id tag)
{
    return py::call_method(element, "find"_id, tag);
}

py::Ref parent(PyObject* element)
{
    return py::call_method(element, "getparent"_id);
}

int detach(PyObject* element)
{
    py::Ref holder = parent(element);
    if (!holder)
        return -1;
    if (holder.get() == Py_None)
        return 0;
    return py::call_method(holder.get(), "remove"_id, element) ? 0 : -1;
}

py::Ref deep_copy(PyObject* element)
{
    py::Ref memo = py::Ref::steal(PyDict_New());
    return memo ? py::call_method(element, "__deepcopy__"_id, memo) : py::Ref();
}

int add_next(PyObject* anchor, PyObject* element)
{
    return py::call_method(anchor, "addnext"_id, element) ? 0 : -1;
}

int add_previous(PyObject* anchor, PyObject* element)
{
    return py::call_method(anchor, "addprevious"_id, element) ? 0 : -1;
}

py::Ref node_text(PyObject* element)
{
    py::Ref text = py::getattr(element, "text"_id);
    if (!text || text.get() != Py_None)
        return text;
    return py::Ref::steal(PyUnicode_FromStringAndSize("", 0));
}

int set_node_text(PyObject* element, PyObject* text)
{
    return py::setattr(element, "text"_id, text);
}

py::Ref attribute(PyObject* element, py::Id name)
{
    return py::call_method(element, "get"_id, name);
}

int has_ancestor(PyObject* element, py::Id tag)
{
    py::Ref ancestors = py::call_method(element, "iterancestors"_id, tag);
    if (!ancestors)
        return -1;
    py::Ref first = py::Ref::steal(PyIter_Next(ancestors.get()));
    if (first)
        return 1;
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace tw::content::xml
