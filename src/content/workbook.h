// Writing a workbook back after cells changed: the original package again,
// with only the changed cells rewritten, so that everything the library does
// not model (cached formula results, rich text, charts, extension lists,
// exact numbers) survives.
#pragma once

#include "keyword/keyword.h"
#include "py/ref.h"

#include <vector>

namespace tw::content {

// A cell that was assigned, with what openpyxl holds for it afterwards: the
// assignment decides whether the text is a string, a formula or an error.
struct ChangedCell {
    Py_ssize_t sheet = 0;     // index in wb.worksheets
    long long row = 0;        // cell.row
    long long column = 0;     // cell.column
    py::Ref value;            // cell.value after the assignment
    py::Ref data_type;        // cell.data_type after the assignment
    py::Ref old_text;         // the text form the keyword was matched on
    py::Ref new_text;         // what the keyword made of it
};

struct WorkbookChanges {
    py::Ref wb;                      // the loaded workbook, changes applied
    std::vector<ChangedCell> cells;  // in the order they were assigned
    bool has_formulas = false;       // some cell held or now holds a formula
    keyword::Compiled keyword;       // what made the changes: a rich text is
                                     // edited match by match
};

// Writes the changes over the workbook at `file_path`, all or nothing. When
// the package cannot be edited safely the library's own save writes the
// in-memory workbook instead. Returns 0, or -1 with the exception set.
int write_changed_cells(PyObject* file_path, const WorkbookChanges& changes);

}  // namespace tw::content
