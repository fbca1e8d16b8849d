#include "content/xml_tree.h"

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

int element_name(PyObject* node, ElementName& out)
{
    py::Ref tag = py::getattr(node, "tag"_id);
    if (!tag)
        return -1;
    if (!PyUnicode_Check(tag.get()))
        return 0;
    std::string text;
    if (!py::utf8_of(tag.get(), text))
        return -1;
    out.ns.clear();
    out.local = text;
    if (!text.empty() && text[0] == '{') {
        std::size_t close = text.find('}');
        if (close != std::string::npos) {
            out.ns = text.substr(1, close - 1);
            out.local = text.substr(close + 1);
        }
    }
    return 1;
}

py::Ref clark_name(const char* ns, const char* local)
{
    return py::Ref::steal(PyUnicode_FromFormat("{%s}%s", ns, local));
}

py::Ref find(PyObject* element, py::Arg tag)
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

py::Ref attribute(PyObject* element, py::Arg name)
{
    return py::call_method(element, "get"_id, name);
}

int attribute_text(PyObject* element, py::Arg name, std::string& out)
{
    py::Ref value = attribute(element, name);
    if (!value)
        return -1;
    if (value.get() == Py_None)
        return 0;
    return py::utf8_of(value.get(), out) ? 1 : -1;
}

int set_attribute(PyObject* element, py::Arg name, py::Arg value)
{
    return py::call_method(element, "set"_id, name, value) ? 0 : -1;
}

int drop_attribute(PyObject* element, py::Id name)
{
    py::Ref attrib = py::getattr(element, "attrib"_id);
    return attrib && py::call_method(attrib.get(), "pop"_id, name, Py_None) ? 0 : -1;
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

// ---------------------------------------------------------------- whole parts

int Parser::open()
{
    etree = py::Ref::steal(PyImport_ImportModule("lxml.etree"));
    py::Ref parser_type = etree ? py::getattr(etree.get(), "XMLParser"_id) : py::Ref();
    if (!parser_type)
        return -1;
    parser = py::call_kw(parser_type.get(), {}, {{"resolve_entities"_id, Py_False}, {"no_network"_id, Py_True}});
    element = parser ? py::getattr(etree.get(), "Element"_id) : py::Ref();
    return element ? 0 : -1;
}

int element_children(const Parser& xml, PyObject* parent, std::vector<py::Ref>& out)
{
    py::Ref iterchildren = py::getattr(parent, "iterchildren"_id);
    py::Ref children = iterchildren ? py::call_kw(iterchildren.get(), {}, {{"tag"_id, xml.element}}) : py::Ref();
    if (!children)
        return -1;
    return py::for_each(children.get(), [&](PyObject* child) {
        out.push_back(py::Ref::borrow(child));
        return 0;
    });
}

py::Ref add_child(const Parser& xml, PyObject* parent, PyObject* tag)
{
    py::Ref make = py::getattr(xml.etree.get(), "SubElement"_id);
    return make ? py::call(make.get(), parent, tag) : py::Ref();
}

int parse_part(const Parser& xml, PyObject* data, py::Ref& root)
{
    root = py::call_method(xml.etree.get(), "fromstring"_id, data, xml.parser);
    py::Ref tree = root ? py::call_method(root.get(), "getroottree"_id) : py::Ref();
    py::Ref docinfo = tree ? py::getattr(tree.get(), "docinfo"_id) : py::Ref();
    py::Ref doctype = docinfo ? py::getattr(docinfo.get(), "doctype"_id) : py::Ref();
    return doctype ? py::truth(doctype.get()) : -1;
}

py::Ref serialize(const Parser& xml, PyObject* root)
{
    py::Ref tree = py::call_method(root, "getroottree"_id);
    py::Ref docinfo = tree ? py::getattr(tree.get(), "docinfo"_id) : py::Ref();
    py::Ref encoding = docinfo ? py::getattr(docinfo.get(), "encoding"_id) : py::Ref();
    py::Ref standalone = encoding ? py::getattr(docinfo.get(), "standalone"_id) : py::Ref();
    py::Ref tostring = standalone ? py::getattr(xml.etree.get(), "tostring"_id) : py::Ref();
    if (!tostring)
        return {};
    return py::call_kw(tostring.get(), {tree},
                       {{"xml_declaration"_id, Py_True}, {"encoding"_id, encoding}, {"standalone"_id, standalone}});
}

}  // namespace tw::content::xml
