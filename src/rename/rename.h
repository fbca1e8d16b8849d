// Name replacement: folder and file renaming.
#pragma once

#include "keyword/keyword.h"
#include "run/plan.h"

namespace tw::rename {

using keyword::Keyword;

py::Ref replace_folder_names(PyObject* root_folder, PyObject* old_keyword,
                             PyObject* new_keyword, PyObject* recursive);
py::Ref replace_file_names(PyObject* root_folder, PyObject* old_keyword,
                           PyObject* new_keyword, PyObject* recursive);

// What the two operations would do, decided by their own code with nothing
// on disk changed: the renames in the order the run would make them (nested
// folders under their parents' new names), and those that would fail.
// Progress and cancellation go through the report installed on this thread.
// Returns 0, or -1 with the exception set for an error that would end the run.
int plan_folder_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                      PyObject* recursive, run::Plan& plan);
int plan_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                    PyObject* recursive, run::Plan& plan);

}  // namespace tw::rename
