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

// Words of a preview other than a run's plain one: undo's, or a run's that
// cannot keep undo within its limit. Any left empty keep the run's.
struct PreviewWords {
    py::Ref summary;  // the line above the table
    py::Id confirm{}; // the button that goes ahead ("确认替换")
    py::Id hint{};    // the line above the buttons
};

// Shows the plan in a window owned by the main window, modal and on top:
// a summary line, the items in a table (a page at a time when there are
// many), and the details of the item selected. Waits for the user:
// `confirmed` is set by "确认替换" (or `words`' button); "取消" or closing
// the window leave it false. Returns 0, or -1 with the exception set.
int show_preview(const Owner& owner, const Request& request, const run::Plan& plan,
                 const PlanCounts& counts, bool& confirmed, const PreviewWords& words = {});

}  // namespace tw::ui
