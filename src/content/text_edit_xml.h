// The few lxml element operations the document editors use, spelled as
// the Python they perform. Tags are Clark names ("{namespace}local").
#pragma once

#include "py/ops.h"

#include <initializer_list>
#include <vector>

namespace tw::content::xml {

#define TW_W_NS "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"
#define TW_A_NS "{http://schemas.openxmlformats.org/drawingml/2006/main}"
#define TW_P_NS "{http://schemas.openxmlformats.org/presentationml/2006/main}"
#define TW_MC_NS "{http://schemas.openxmlformats.org/markup-compatibility/2006}"

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

// element.find(tag): the first child with that tag, or None.
py::Ref find(PyObject* element, py::Id tag);
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
py::Ref attribute(PyObject* element, py::Id name);
// 1 when one of the element's ancestors has the tag, 0 when none, -1.
int has_ancestor(PyObject* element, py::Id tag);

}  // namespace tw::content::xml
