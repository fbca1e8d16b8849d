// The report of the run in progress.
#pragma once

#include "py/ref.h"

namespace tw::run {

// A handler that reports its own failure instead of raising it (the
// workbook handler prints it) tells the run in progress here, so that the
// run still counts the file as failed. Outside a run it does nothing.
void note_reported_failure(PyObject* file_path, PyObject* error);

}  // namespace tw::run
