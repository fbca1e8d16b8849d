// What a press of the run button asks for, read from the window's values
// and checked before anything runs.
#pragma once

#include "py/ops.h"
#include "run/options.h"

namespace tw::ui {

// The three modes, in the order their radio buttons are read.
enum class ModeKind { folders, file_names, contents };

struct Request {
    // The operation's four arguments, as the window reports them.
    py::Ref folder, old_keyword, new_keyword, recursive;
    bool has_mode = false;  // false when no radio button is selected
    ModeKind mode = ModeKind::folders;
    py::Id operation{};     // the operation's global name
    run::Options options;   // what the option rows ask for
};

// Reads the four values, the first selected mode and the options from
// `values`.
// Returns 0, or -1 with the exception set.
int read_request(PyObject* values, Request& request);

// Checks that the request can run: a folder is given and exists as a
// folder, and the old keyword is not empty (an empty one matches between
// every two characters of every name and text). Sets `problem` to the
// message for the user, or leaves it empty when the request is fine.
// Returns 0, or -1 with the exception set.
int check_request(const Request& request, py::Ref& problem);

}  // namespace tw::ui
