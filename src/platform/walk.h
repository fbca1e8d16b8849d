// Walking a folder tree with the interpreter's os.walk, top-down.
#pragma once

#include "py/names.h"
#include "py/unpack.h"

namespace tw::platform {

// os.path, with os looked up now: a host may rebind it in the module.
py::Ref os_path();

// os.path.join(folder, name)
py::Ref join_path(PyObject* folder, PyObject* name);

// os.walk(root), or empty with the exception set.
py::Ref start_walk(PyObject* root);

// Calls visit(foldername, subfolders, filenames) for each folder that
// os.walk(root) yields. After each folder `recursive` is tested: when it is
// false the walk stops, so only the chosen folder is handled. Returns 0, or
// -1 with the exception set (visit returns -1 likewise).
template <class Visit>
int walk_tree(PyObject* root, PyObject* recursive, Visit&& visit)
{
    py::Ref walk = start_walk(root);
    if (!walk)
        return -1;
    return py::for_each(walk.get(), [&](PyObject* triple) {
        py::Ref parts[3];
        if (py::unpack(triple, parts) < 0 || visit(parts[0].get(), parts[1].get(), parts[2].get()) < 0)
            return -1;
        int go_on = py::truth(recursive);
        return go_on < 0 ? -1 : (go_on ? 0 : 1);
    });
}

}  // namespace tw::platform
