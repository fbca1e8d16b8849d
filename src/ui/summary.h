// The text that ends a run: what was done, what was passed over, what
// failed and why, and whether the user stopped it.
#pragma once

#include "run/report.h"
#include "ui/checks.h"

namespace tw::ui {

// At most this many failures are listed by path; "…" stands for the rest.
inline constexpr std::size_t k_listed_failures = 20;

struct RunEnding {
    ModeKind mode;
    const run::Report& report;
    bool cancelled;    // the user pressed "取消"
    PyObject* error;   // the ordinary exception the operation raised, or null
};

// "替换完成！" and the counts; "替换已取消！" and how far the run got; or
// "替换失败：" with the counts and the failed items (those the report
// recorded and those of the exception group the operation raised), or with
// the message and notes of any other exception. Returns the text, or empty
// with the exception set.
py::Ref summary_text(const RunEnding& ending);

// An error in one line for a list: its type and the first line of its
// message, cut to a readable length. Empty with the exception set.
py::Ref failure_reason(PyObject* error);

}  // namespace tw::ui
