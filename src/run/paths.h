// Paths as the run spells them: through the interpreter's os.path, looked
// up at each use, since a host may rebind os in the module. While the
// module's os.path still gives the functions it had when the module was
// loaded, a join, a split of the extension and a link test of str paths
// are made here by those functions' own rules, without running their
// Python code; whatever a host bound in their place is called.
#pragma once

#include "py/names.h"

#include <string>

namespace tw::run {

// os.path
py::Ref os_path();

// Takes note of the module's os.path functions as they are now (at
// start-up). 0, or -1 with the exception set.
int know_path_functions();

// os.path.join(folder, name)
py::Ref join_path(PyObject* folder, PyObject* name);

// os.path.islink(path): 1, 0, or -1 with the exception set.
int is_link(PyObject* path);

// os.path.splitext(path): the (root, extension) pair, or null.
py::Ref split_extension(PyObject* path);

// os.stat(path) or, with follow_links false, os.lstat(path).
py::Ref stat_path(PyObject* path, bool follow_links);

// The path as UTF-8 text for display; undecodable parts are escaped.
std::string display_text(PyObject* path);

}  // namespace tw::run
