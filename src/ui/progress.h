// Waiting for a background run while the main window stays alive: it keeps
// repainting and handling events, and once the run has taken more than half
// a second a progress window shows how far it is and offers "取消".
#pragma once

#include "ui/background.h"
#include "ui/toolkit.h"

namespace tw::ui {

// What ended the wait.
enum class Waited {
    finished,  // the run ended by itself or after "取消"; its result is ready
    leaving,   // the main window was closed or "退出" pressed: the run was
               // asked to stop and has ended; the caller leaves its loop
};

// What the background run does, for the progress window's texts.
enum class Pass {
    plan,  // decides what would change, changing nothing
    act,   // makes the changes
};

// Handles the main window's events until `run` has finished; the caller
// keeps the run button disabled meanwhile, so no second run can start.
// Returns 0 with `waited` set, or -1 with the exception set; on every
// return the run's thread has ended.
int wait_for_run(const Owner& owner, BackgroundRun& run, Pass pass, Waited& waited);

}  // namespace tw::ui
