// What ends a run: its first line says how it went, the counts follow, and
// each failed item is listed with its reason in Chinese and the original
// message beneath, in a window of its own.
#pragma once

#include "run/report.h"
#include "ui/checks.h"
#include "ui/toolkit.h"

#include <vector>

namespace tw::ui {

struct RunEnding {
    ModeKind mode;
    const run::Report& report;
    bool stopped_early;   // the user stopped it and items were left undone
    PyObject* error;      // the ordinary exception the operation raised, or null
    // What the user typed, so that a bad keyword's position is told in it.
    PyObject* old_keyword = nullptr;
    PyObject* new_keyword = nullptr;
};

// One item that could not be done.
struct FailedItem {
    py::Ref place;     // its path (or, failing that, what the error says of it)
    py::Ref reason;    // why, in Chinese
    py::Ref original;  // the error as the program met it
};

struct Summary {
    py::Ref head;     // "替换完成！", "替换完成，2 项未能完成。", "替换失败：…", "替换已取消！"
    py::Ref body;     // the counts and what else there is to say, in lines
    std::vector<FailedItem> failures;
};

// Fills `summary` for a run that ended (or a plan that could not be made:
// then the report holds nothing). 0, or -1 with the exception set.
int make_summary(const RunEnding& ending, Summary& summary);

// Shows the summary in a resizable window owned by the main window: the
// head and body on top, the failures in a scrollable table, the original
// message of the one selected beneath. "确定", Enter or Esc close it.
// 0, or -1 with the exception set.
int show_summary(const Owner& owner, const Summary& summary);

}  // namespace tw::ui
