// What the run finds out about a file before anything opens it: whether it
// is the project's own temporary file, a regular file, binary, or reached
// through a link that leads outside the chosen folder.
#pragma once

#include "py/ref.h"

namespace tw::run {

// The program's own temporary files (see platform::native::is_temp_name):
// passed over by every run, and never deleted because of their name.
bool is_own_temporary(PyObject* filename);

struct FileState {
    bool regular = false;  // a regular file, directly or through links
    bool link = false;     // the name itself is a symbolic link
    py::Ref stat;          // os.stat of the regular file it leads to
};

// Fills `out` from os.lstat and, for a link, os.stat; never opens the file.
// A dangling link or a file gone since the listing is not regular.
// Returns 0, or -1 with the exception set.
int probe_file(PyObject* path, FileState& out);

// 1 when the file's first 8 KiB hold a NUL byte, 0 when not, -1 with the
// exception set. The file is opened as every read of a run opens it
// (platform::open_checked); one that is not a regular file by then, or not
// the one probed, counts as binary, so it is passed over as well.
int looks_binary(PyObject* path);

// What tells whether a file was written: (st_dev, st_ino, st_size,
// st_mtime_ns, st_ctime_ns) of a stat result.
py::Ref write_signature(PyObject* stat_result);

// os.path.normcase(os.path.realpath(path))
py::Ref real_path(PyObject* path);

// 0 when `path` resolves inside the folder whose real path is `real_root`;
// otherwise -1 with PermissionError "... outside the chosen folder" (or
// the error met while resolving) set.
int check_inside(PyObject* real_root, PyObject* path);

// What a plan foresees of the permissions a run will meet: the run's own
// check. 0 when the content of `path` may be replaced (a folder that
// refuses new files gets it rewritten in place); else -1 with the
// PermissionError the run would meet (or the error met while looking) set.
int check_may_write(PyObject* path);

// 0 when `folder` lets its entry `src` be renamed to `dst`; else -1 with the
// PermissionError the rename would meet set.
int check_may_rename(PyObject* folder, PyObject* src, PyObject* dst);

}  // namespace tw::run
