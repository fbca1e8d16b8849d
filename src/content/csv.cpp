#include "content/content.h"

namespace tw::content {

py::Ref replace_csv_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    PyErr_SetString(PyExc_NotImplementedError, "replace_csv_content");
    return {};
}

}  // namespace tw::content
