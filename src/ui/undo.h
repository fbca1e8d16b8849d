// The window's undo ("撤销上次替换"), and what a run's preview learns from
// the run records before it reads the folder.
#pragma once

#include "run/plan.h"
#include "ui/checks.h"
#include "ui/preview.h"
#include "ui/toolkit.h"

namespace tw::ui {

// A press of "撤销上次替换": shows, in the preview window, what undoing the
// last run on the folder in the folder field (with the field empty, the
// last run of all) would do, and does it when the user confirms
// ("确认撤销"); then a message whose first line begins "撤销完成". With
// nothing to undo it says "没有可撤销的替换". Returns 1 when the user left
// the program meanwhile, 0 to go on, -1 with the exception set.
int handle_undo(const Owner& owner, PyObject* values);

// Before a run's preview reads the folder: an interrupted run there is
// settled first, and the user told what that did; a run still going on the
// folder (or inside or around it) stops this one. Returns 1 to go on, 0
// when the run must not (the user was told why), -1.
int settle_before_preview(const Owner& owner, const Request& request);

// When keeping the old content for undo would copy more than the limit
// (platform::native::backup_copy_limit), the preview says so and offers to
// run without undo: `words` then say that and `undoable` turns false.
// Returns 0, or -1 with the exception set.
int limit_backups(const run::Plan& plan, const Request& request, const PlanCounts& counts,
                  PreviewWords& words, bool& undoable);

}  // namespace tw::ui
