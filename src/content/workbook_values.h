// Typed cells: a number, a date or time, or a boolean is matched on its text
// form. What the cell then holds is decided here, and how such a value is
// written into a cell element.
#pragma once

#include "py/ref.h"

namespace tw::content::workbook {

// What a matched cell receives for its new text `new_text`, made from the
// text form of `old_value`: a value of the old value's type when the new
// text reads back as that type in the same form (a number as a number, a
// date, time or duration in the text form of the old one, True or False),
// and the workbook (`wb`, for its date epoch) stores and reads it back
// unchanged; otherwise the text itself. Empty with the exception set.
py::Ref typed_value(PyObject* wb, PyObject* old_value, PyObject* new_text);

// The text of the value element for a typed value: a number as Python
// writes it, a boolean as 1 or 0, a date or time as its serial number in
// the workbook's epoch, or, with `iso`, as ISO 8601 text.
py::Ref value_text(PyObject* wb, PyObject* value, bool iso);

}  // namespace tw::content::workbook
