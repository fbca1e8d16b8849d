// Content replacement: the dispatcher and one handler per kind of file.
#pragma once

#include "content/decision.h"
#include "keyword/keyword.h"
#include "run/plan.h"

namespace tw::content {

py::Ref replace_file_contents(PyObject* root_folder, PyObject* old_keyword,
                              PyObject* new_keyword, PyObject* recursive);

// What replace_file_contents would do, decided with the handlers' decide
// functions and nothing on disk changed: the files that would change with
// their match counts, those passed over, those that would fail. Progress and
// cancellation go through the report installed on this thread. Returns 0,
// or -1 with the exception set for an error that would end the run.
int plan_file_contents(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                       PyObject* recursive, run::Plan& plan);

py::Ref replace_text_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_csv_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_docx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_pptx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);
py::Ref replace_xlsx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword);

// What each handler would do to one file, decided without writing anything:
// the handlers above write what was decided, a preview only shows it. Each
// returns 0 with `out` filled, or -1 with the exception set.
int decide_text_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out);
int decide_csv_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out);
int decide_docx_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out);
int decide_pptx_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out);
// A handler called on its own: the keyword compiled for this file, the
// decision made with `decide`, and what was decided written. None, or
// empty with the exception set.
using Decide = int (*)(PyObject* file_path, const keyword::Keyword& keyword, Decision& out);
py::Ref decide_and_write(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword,
                         Decide decide);

// `print_lines`: the workbook's cell trace and match lines are printed when
// a run decides, not when a preview does.
int decide_xlsx_content(PyObject* file_path, const keyword::Keyword& keyword, bool print_lines,
                        Decision& out);

}  // namespace tw::content
