// The preview: what a run would do, shown before anything is touched, and
// the user's answer.
#pragma once

#include "run/plan.h"
#include "ui/checks.h"
#include "ui/toolkit.h"

namespace tw::ui {

// What a plan adds up to.
struct PlanCounts {
    long changes = 0;         // items that would be renamed or rewritten
    Py_ssize_t matches = 0;   // content: the matches in them
    long passed_over = 0;
    long failures = 0;        // items that would fail
    long unlisted_folders = 0;

    bool nothing_to_do() const { return changes == 0 && failures == 0 && unlisted_folders == 0; }
};

PlanCounts count_plan(const run::Plan& plan);

// "没有找到匹配项", and how many files were passed over when there were any.
py::Ref nothing_found_text(const PlanCounts& counts);

// What the user answered in the preview.
struct PreviewAnswer {
    bool confirmed = false;  // the confirm button; "取消", Esc or the close box leave it false
    py::Ref left_out;        // a set of the paths of the rows left out, or null
    long ticked = 0;         // rows left in that would change something
};

// Words of a preview other than a run's plain one: undo's, or a run's that
// cannot keep undo within its limit. Any left empty keep the run's.
struct PreviewWords {
    py::Ref summary;  // the line above the table
    py::Id confirm{}; // the button that goes ahead ("确认替换")
    py::Id hint{};    // the line above the buttons
    // Whether the user may leave rows out: undo puts back all it found or
    // nothing, so its rows have no ticks.
    bool choosable = true;
};

// Shows the plan in a window owned by the main window, modal and on top: a
// summary line, a warning when there is one, the items in a table (a page at
// a time when there are many) with a tick for each item that the run may
// change, and the details of the item selected. The table is sorted by a
// click on a heading and narrowed by a filter on the path. Waits for the
// user's answer. Returns 0, or -1 with the exception set.
int show_preview(const Owner& owner, const Request& request, const run::Plan& plan,
                 const PlanCounts& counts, PyObject* warning, PreviewAnswer& answer,
                 const PreviewWords& words = {});

}  // namespace tw::ui
