// The one substitution step the office handlers share: a holder's whole
// `text` is searched and, on a match, replaced through the pattern.
#pragma once

#include "rename/rename.h"

namespace tw::content {

// if pattern.search(holder.text): holder.text = pattern.sub(new_keyword, holder.text)
// Returns 0, or -1 with the exception set.
int substitute_text(PyObject* holder, const rename::Keyword& keyword);

// document.save(file_path), made all-or-nothing: the library writes a
// temporary file that then takes the original's place.
int save_over(PyObject* document, PyObject* file_path);

}  // namespace tw::content
