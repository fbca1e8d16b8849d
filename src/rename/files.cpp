#include "rename/rename.h"

namespace tw::rename {

py::Ref replace_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword, PyObject* recursive)
{
    PyErr_SetString(PyExc_NotImplementedError, "replace_file_names");
    return {};
}

}  // namespace tw::rename
