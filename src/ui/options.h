// The option rows of the main window, below the mode row: what a run may
// be asked beyond the folder, the keywords, the recursion and the mode.
// Their defaults ask for nothing beyond that.
#pragma once

#include "run/options.h"

#include <vector>

namespace tw::ui {

// Appends the option rows, showing `shown`, to `rows`. 0, or -1.
int add_option_rows(const run::Options& shown, std::vector<py::Ref>& rows);

// Reads the options from the window's values; an option the values do not
// hold keeps its default. 0, or -1 with the exception set.
int read_options(PyObject* values, run::Options& options);

}  // namespace tw::ui
