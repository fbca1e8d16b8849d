// One task run off the event thread while the windows stay alive, and what
// it ended with.
#pragma once

#include "ui/background.h"
#include "ui/progress.h"

#include <optional>

namespace tw::ui {

// What a task off the event thread ended with.
struct Ended {
    bool leaving = false;  // the user left the program meanwhile
    py::Ref result;        // the task's result; when empty, `error` holds
    std::optional<py::PendingError> error;  // the ordinary Exception it raised
};

// Runs `task` off the event thread with the options set in `run` and waits
// for it, the main window staying alive; `total` is how many items it will
// take up (0 when not known). Returns 0 with `ended` filled, or -1 with the
// exception set: an error of the wait, or one of the task's that is not an
// ordinary Exception (an interrupt, an exit request).
int run_off_thread(const Owner& owner, BackgroundRun& run, Pass pass, long total,
                   BackgroundRun::Task task, Ended& ended);

}  // namespace tw::ui
