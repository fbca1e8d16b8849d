#include "content/content.h"

namespace tw::content {

py::Ref replace_file_contents(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword, PyObject* recursive)
{
    PyErr_SetString(PyExc_NotImplementedError, "replace_file_contents");
    return {};
}

}  // namespace tw::content
