// What the office handlers share when they write: the library's save, made
// all-or-nothing.
#pragma once

#include "py/ref.h"

namespace tw::content {

// document.save(file_path), made all-or-nothing: the library writes a
// temporary file that then takes the original's place.
int save_over(PyObject* document, PyObject* file_path);

}  // namespace tw::content
