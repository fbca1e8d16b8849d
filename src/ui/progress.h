// Waiting for a background run while the main window stays alive: it keeps
// repainting and handling events, and once the run has taken more than half
// a second a progress window shows how far it is (a bar, "N / M", the path
// in hand and the time left, once the total is known) and offers "取消".
#pragma once

#include "ui/background.h"
#include "ui/toolkit.h"

namespace tw::ui {

// What ended the wait.
enum class Waited {
    finished,  // the run ended by itself or after "取消"; its result is ready
    leaving,   // the main window was closed or "退出" pressed and the user
               // chose "停止并退出": the run was asked to stop and has
               // ended; the caller says how far it got and leaves its loop
};

// What the background run does, for the progress window's texts.
enum class Pass {
    plan,  // decides what would change, changing nothing
    act,   // makes the changes
};

// Handles the main window's events until `run` has finished; the caller
// keeps the run button disabled meanwhile, so no second run can start.
// Leaving the program meanwhile asks first whether to stop the run.
// `total` is how many items the run will take up (0 when not known).
// Returns 0 with `waited` set, or -1 with the exception set; on every
// return the run's thread has ended.
int wait_for_run(const Owner& owner, BackgroundRun& run, Pass pass, long total, Waited& waited);

}  // namespace tw::ui
