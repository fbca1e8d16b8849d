// lxml, the tree the libraries keep their XML in, as the office handlers use
// it: the element operations of the document editors, and whole parts
// parsed and written again by the workbook writer and the package copy.
// Each is spelled as the Python it performs. Tags are Clark names
// ("{namespace}local").
#pragma once

#include "py/ops.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tw::content::xml {

#define TW_W_NS "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"
#define TW_A_NS "{http://schemas.openxmlformats.org/drawingml/2006/main}"
#define TW_P_NS "{http://schemas.openxmlformats.org/presentationml/2006/main}"
#define TW_MC_NS "{http://schemas.openxmlformats.org/markup-compatibility/2006}"

inline constexpr const char* xml_namespace = "http://www.w3.org/XML/1998/namespace";

// ---------------------------------------------------------------- elements

// list(element): its children in document order.
int children(PyObject* element, std::vector<py::Ref>& out);

// The position of the element's tag among `names`, names.size() when it is
// none of them (comments and processing instructions have no name), or -1
// with the exception set.
int tag_index(PyObject* element, std::initializer_list<py::Id> names);
// 1 when the element's tag is `name`, 0 when not, -1 on error.
inline int has_tag(PyObject* element, py::Id name)
{
    int index = tag_index(element, {name});
    return index < 0 ? -1 : index == 0;
}

// An element's tag split into namespace and local name.
struct ElementName {
    std::string ns, local;
};
// 1 for an element (`out` filled), 0 for a comment or processing
// instruction (their tag is no string), -1 on error.
int element_name(PyObject* node, ElementName& out);
// "{ns}local"
py::Ref clark_name(const char* ns, const char* local);

// element.find(tag): the first child with that tag, or None.
py::Ref find(PyObject* element, py::Arg tag);
// element.getparent(): None for a root or a detached element.
py::Ref parent(PyObject* element);
// element.getparent().remove(element), when it has a parent.
int detach(PyObject* element);
// copy.deepcopy(element)
py::Ref deep_copy(PyObject* element);
// anchor.addnext(element) / anchor.addprevious(element): moves `element`.
int add_next(PyObject* anchor, PyObject* element);
int add_previous(PyObject* anchor, PyObject* element);
// element.text, which lxml gives as None when empty: "" then.
py::Ref node_text(PyObject* element);
int set_node_text(PyObject* element, PyObject* text);
// element.get(name), or None.
py::Ref attribute(PyObject* element, py::Arg name);
// element.get(name) as UTF-8: 1 when present, 0 when absent, -1 on error.
int attribute_text(PyObject* element, py::Arg name, std::string& out);
// element.set(name, value)
int set_attribute(PyObject* element, py::Arg name, py::Arg value);
// element.attrib.pop(name, None)
int drop_attribute(PyObject* element, py::Id name);
// 1 when one of the element's ancestors has the tag, 0 when none, -1.
int has_ancestor(PyObject* element, py::Id tag);

// ---------------------------------------------------------------- whole parts

// lxml with entity expansion and network access off; it keeps comments,
// processing instructions and white space, so that a part written back
// says what it said before.
struct Parser {
    py::Ref etree;
    py::Ref parser;
    py::Ref element;  // etree.Element, the node-type filter for elements only

    int open();  // 0, or -1 with the exception set
};

// The element children of `parent` in document order: no comments or
// processing instructions.
int element_children(const Parser& xml, PyObject* parent, std::vector<py::Ref>& out);
// etree.SubElement(parent, tag): made inside the document, so that it takes
// the namespace prefixes declared there instead of declaring its own.
py::Ref add_child(const Parser& xml, PyObject* parent, PyObject* tag);

// Parses a part's bytes into `root`: 0, 1 when the part declares a document
// type (no part of a package does, and its entities would not survive the
// round trip: it is not edited), -1 with the exception set.
int parse_part(const Parser& xml, PyObject* data, py::Ref& root);
// The whole document of `root` again, with its declared encoding and
// standalone flag.
py::Ref serialize(const Parser& xml, PyObject* root);

}  // namespace tw::content::xml
