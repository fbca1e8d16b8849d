// The file-system layer: renames that never replace anything, and the one
// way the system replaces a file's content (all or nothing).
#pragma once

#include "py/ref.h"

#include <functional>

namespace tw::platform {

// Renames `src` to `dst` (path strings). Fails with FileExistsError naming
// both paths when `dst` exists and is not `src` itself; never replaces
// anything. Renaming a path to itself succeeds and changes nothing.
int rename_no_replace(PyObject* src, PyObject* dst);

// Refuses (ValueError naming both) a new name that is not a plain name in
// its folder: empty, ".", "..", or holding a path separator.
int check_plain_name(PyObject* old_name, PyObject* new_name);

// Writes a file's new content through `write_to(temp_path)`, which must
// create the content at the temporary path it is given (a str in the same
// folder). The temporary file is synced and then atomically takes the
// place of `path`, keeping its permission bits (and owner, where allowed);
// a symbolic link stays a link and its target gets the content. On any
// failure the temporary file is removed and `path` keeps its exact bytes.
// Returns 0, or -1 with the exception set.
int replace_file(PyObject* path, const std::function<int(PyObject* temp_path)>& write_to);

}  // namespace tw::platform
