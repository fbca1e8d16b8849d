// The rows of the preview's table: which plan items are shown (narrowed by
// the filter, in the order chosen by a click on a heading), and which are
// ticked for the run.
#pragma once

#include "run/plan.h"
#include "ui/checks.h"
#include "ui/preview_text.h"

#include <vector>

namespace tw::ui {

class PreviewRows {
public:
    // `choosable`: rows may be left out (ticks); without, none has a tick.
    PreviewRows(ModeKind mode, const run::Plan& plan, bool choosable = true);

    // 0, or -1 with the exception set.
    int start(PyObject* chosen_folder);

    std::size_t plan_size() const { return plan_.size(); }
    std::size_t shown_count() const { return order_.size(); }
    static constexpr Py_ssize_t columns() { return 5; }

    // The columns' names, which identify them in the table.
    py::Ref headings() const;
    py::Ref column_name(Py_ssize_t column) const;
    // A column's heading with the sort mark when the rows are sorted by it.
    py::Ref heading(Py_ssize_t column) const;

    // The table rows of shown rows [first, first + count).
    py::Ref page(std::size_t first, std::size_t count);
    // The table row of shown row `at` (tick, kind, path, outcome, problem).
    py::Ref row(std::size_t at);
    // The details of shown row `at`; empty with no exception when there is none.
    py::Ref details(std::size_t at) const;

    // Toggles the tick of shown row `at`: false when it has none to toggle.
    bool toggle(std::size_t at);
    // Ticks or clears every row shown.
    void tick_shown(bool ticked);
    // Ticked rows that would change something.
    long ticked_changes() const;
    // "已勾选 12 / 15 项"
    py::Ref ticked_text() const;
    // A set of the paths of the rows left out (as the plan holds them), or
    // null when none is. 0, or -1 with the exception set.
    int left_out(py::Ref& out) const;

    // Shows only the rows whose path holds `text` (any case); all for "".
    int filter(PyObject* text);
    // Sorts by a column; the same column again reverses the order.
    int sort(Py_ssize_t column);

private:
    bool tickable(std::size_t index) const;
    const py::Ref& cells(std::size_t index);
    int fill_all_cells();
    int rebuild();
    int sort_shown();

    ModeKind mode_;
    bool choosable_;
    const run::Plan& plan_;
    PathView paths_;
    std::vector<py::Ref> cells_;   // per plan item: kind, path, outcome, problem
    std::vector<py::Ref> folded_;  // per plan item: the shown path, case-folded
    std::vector<char> ticked_;     // per plan item
    std::vector<std::size_t> order_;  // plan indices of the rows shown
    py::Ref filter_;               // case-folded, or null
    Py_ssize_t sort_column_ = -1;
    bool descending_ = false;
};

}  // namespace tw::ui
