// One press of the run button: what was typed is checked and remembered,
// the plan is made and shown, the run makes the changes the user kept, and
// the summary says how it went.
#pragma once

#include "ui/settings.h"
#include "ui/toolkit.h"

namespace tw::ui {

// What the main window keeps from one run to the next.
struct Session {
    Settings settings;
    SettingsFile file;
    bool told_unsaved = false;  // the user heard once that settings could not be saved
};

// Handles a press of the run button; the run button stays disabled until
// the run's summary has been shown. Returns 1 when the user left the
// program meanwhile, 0 to go on, -1 with the exception set.
int handle_run(const Owner& owner, Session& session, PyObject* values);

// Disables the run button while a run or an undo goes on (the main window's
// events are then watched only for leaving), or enables it again. 0, or -1
// with the exception set.
int set_run_enabled(const Owner& owner, bool enabled);

}  // namespace tw::ui
