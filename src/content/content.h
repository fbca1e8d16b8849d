// Content replacement: the dispatcher and one handler per kind of file.
#pragma once

#include "py/ref.h"

namespace tw::content {

py::Ref replace_file_contents(PyObject* root_folder, PyObject* old_keyword,
                              PyObject* new_keyword, PyObject* recursive);

py::Ref replace_text_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_csv_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_docx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_pptx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_xlsx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);

}  // namespace tw::content
