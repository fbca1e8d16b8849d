#include "run/report.h"

namespace tw::run {

void note_reported_failure(PyObject*, PyObject*) {}

}  // namespace tw::run
