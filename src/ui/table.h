// Tables of the windows (the preview's items, the summary's failures):
// columns as wide as what they hold, and single rows changed in place.
#pragma once

#include "py/ops.h"

#include <span>

namespace tw::ui {

// Display width of a text: East Asian wide characters count twice.
Py_ssize_t display_width(PyObject* text);

// A list of column widths (in characters) that fit the headings and the
// cells of `rows` (a list of lists of str), each within [least, most] of its
// column. Empty with the exception set on failure.
py::Ref fitted_widths(PyObject* headings, PyObject* rows, std::span<const int> least,
                      std::span<const int> most);

// A table element under `key`: rows of text, left-justified, columns of the
// given widths, `lines` rows high, growing with its window; it reports a
// change of the selection, and with `clicks` every click on a cell or a
// heading. Empty with the exception set on failure.
py::Ref table_element(py::Id key, const py::Ref& headings, const py::Ref& rows,
                      const py::Ref& widths, long lines, bool clicks);

// Shows `row` (a list) as row `index` of the table under `key`, leaving
// the rest of the table (and its selection) as it is. 0, or -1.
int set_table_row(PyObject* window, py::Id key, Py_ssize_t index, PyObject* row);

// Sets the heading text of column `column` (the column keeps its identity).
// 0, or -1.
int set_table_heading(PyObject* window, py::Id key, PyObject* column, PyObject* text);

}  // namespace tw::ui
