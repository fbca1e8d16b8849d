// Name replacement: the keyword pattern, folder and file renaming.
#pragma once

#include "py/ref.h"

namespace tw::rename {

// The expression text of a keyword: every `*` becomes a lazy `.*?`.
py::Ref convert_to_regex(PyObject* pattern);

// re.compile(convert_to_regex(old_keyword)), both looked up as globals.
py::Ref compile_keyword(PyObject* old_keyword);

py::Ref replace_folder_names(PyObject* root_folder, PyObject* old_keyword,
                             PyObject* new_keyword, PyObject* recursive);
py::Ref replace_file_names(PyObject* root_folder, PyObject* old_keyword,
                           PyObject* new_keyword, PyObject* recursive);

}  // namespace tw::rename
