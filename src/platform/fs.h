// The file-system layer as the rest of the module sees it: renames that
// never replace anything, and the one way the system replaces a file's
// content (all or nothing). Converts Python paths for the operating-system
// core in platform/core/ and turns its error codes into OSError.
#pragma once

#include "platform/core/native.h"
#include "py/ref.h"

#include <functional>

namespace tw::platform {

// Renames `src` to `dst` (path strings). Fails with FileExistsError naming
// both paths when `dst` exists, even as another name of the same file;
// only a change of letter case that the file system treats as the same
// name goes through. Renaming a path to itself succeeds and changes nothing.
int rename_no_replace(PyObject* src, PyObject* dst);

// Refuses (ValueError naming both) a new name that is not a plain name in
// its folder: empty, ".", "..", or holding a path separator; on Windows also
// a name the system would read otherwise (see native::is_plain_name_windows).
int check_plain_name(PyObject* old_name, PyObject* new_name);

// Folders whose sync is put off until sync_folders (see native.h).
using FolderSyncs = native::FolderSyncs;

// Writes a file's new content through `write_to(temp_path)`, which must
// create the content at the temporary path it is given (a str) and return
// 0, or -1 with an exception set. The content then takes the place of the
// file's old content, all or nothing, keeping the file's owner, group, mode
// and extended attributes; a symbolic link stays a link and its target gets
// the content (see native::replace_file for how). With `syncs`, the folder
// is synced later by sync_folders rather than now. Returns 0, or -1 with the
// exception set; an OSError whose failure left the old content elsewhere
// carries a note saying where.
int replace_file(PyObject* path, const std::function<int(PyObject* temp_path)>& write_to,
                 FolderSyncs* syncs = nullptr);

// Syncs every folder collected. 0, or -1 with OSError naming the first
// folder that failed (the others are synced all the same).
int sync_folders(FolderSyncs& syncs);

}  // namespace tw::platform
