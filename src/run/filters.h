// What a run leaves alone whatever the keyword: version-control folders,
// always and in every mode, since renaming or rewriting anything in one
// breaks the repository; and, by the options the user chose, hidden items,
// files outside the masks, and the items left out of the preview.
#pragma once

#include "run/options.h"
#include "run/plan.h"

namespace tw::run {

// .git, .svn, .hg or .bzr (in any letter case on Windows).
bool is_version_control(PyObject* name);

// 1 when the chosen folder is a version-control folder or lies in one, 0
// when not, -1 with the exception set.
int in_version_control(PyObject* root);

// 1 when the entry `name` at `path` is hidden: its name begins with a dot
// or, on Windows, it has the hidden attribute. 0 when not, -1.
int is_hidden(PyObject* path, PyObject* name);

// Why a folder met on the way down is passed over (not renamed, not
// entered): `reason` set, or left at PassOver::none. 0, or -1.
int folder_reason(const Options& options, PyObject* path, PyObject* name, PassOver& reason);

// 1 when the user left the item at `shown_path` (as the plan showed it)
// out of the run, 0 when not, -1.
int is_left_out(const Options& options, PyObject* shown_path);

// The include and exclude masks of the options, read once per run.
class Masks {
public:
    // 1 when the file named `name` is in the run, 0 when the masks leave it
    // out, -1 with the exception set.
    int admit(const Options& options, PyObject* name);

private:
    int read(const Options& options);

    bool read_ = false;
    py::Ref include_;  // lists of fnmatch patterns; empty lists mean "all" / "none"
    py::Ref exclude_;
};

}  // namespace tw::run
