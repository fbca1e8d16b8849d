// The window that shows a run's summary.
#include "ui/message.h"
#include "ui/summary.h"
#include "ui/table.h"

#include <array>

namespace tw::ui {

namespace {

// Rows of failures listed at most; the count says how many there were.
constexpr std::size_t k_listed_failures = 1000;
constexpr Py_ssize_t k_table_lines = 10;
constexpr int k_least_widths[] = {30, 16};
constexpr int k_most_widths[] = {70, 40};

py::Ref pair_of(Py_ssize_t first, Py_ssize_t second)
{
    return py::Ref::steal(Py_BuildValue("(nn)", first, second));
}

py::Ref failure_rows(const Summary& summary)
{
    std::size_t shown = std::min(summary.failures.size(), k_listed_failures);
    py::Ref rows = py::Ref::steal(PyList_New(0));
    for (std::size_t i = 0; rows && i < shown; ++i) {
        const FailedItem& failure = summary.failures[i];
        py::Ref row = py::Ref::steal(PyList_New(2));
        if (!row)
            return {};
        PyList_SET_ITEM(row.get(), 0, Py_NewRef(failure.place.get()));
        PyList_SET_ITEM(row.get(), 1, Py_NewRef(failure.reason.get()));
        if (PyList_Append(rows.get(), row.get()) < 0)
            return {};
    }
    if (rows && summary.failures.size() > shown) {
        py::Ref rest = format_text("…（其余 %d 项未列出）"_id, py::Ref::steal(Py_BuildValue(
            "(n)", static_cast<Py_ssize_t>(summary.failures.size() - shown))));
        py::Ref row = rest ? py::Ref::steal(Py_BuildValue("[Os]", rest.get(), "")) : py::Ref();
        if (!row || PyList_Append(rows.get(), row.get()) < 0)
            return {};
    }
    return rows;
}

// The path, the reason and the original message of one failure.
py::Ref failure_details(const FailedItem& failure)
{
    return format_text("%s\n%s\n%s"_id, py::Ref::steal(PyTuple_Pack(
        3, failure.place.get(), failure.reason.get(), failure.original.get())));
}

py::Ref failure_table(const Summary& summary)
{
    py::Ref rows = failure_rows(summary);
    py::Ref headings = rows ? py::Ref::steal(Py_BuildValue("[ss]", "路径", "原因")) : py::Ref();
    py::Ref widths = headings ? fitted_widths(headings.get(), rows.get(), k_least_widths,
                                              k_most_widths) : py::Ref();
    long lines = static_cast<long>(std::clamp<Py_ssize_t>(
        rows ? PyList_GET_SIZE(rows.get()) : 0, 3, k_table_lines));
    return table_element("summary_failures"_id, headings, rows, widths, lines, false);
}

py::Ref single_row(py::Ref made)
{
    std::array<py::Ref, 1> row{std::move(made)};
    return row[0] ? list_of(row) : py::Ref();
}

py::Ref summary_layout(const Summary& summary)
{
    py::Ref layout = py::Ref::steal(PyList_New(0));
    auto add = [&](py::Ref row) { return row && PyList_Append(layout.get(), row.get()) == 0; };
    bool made = layout
        && add(single_row(element("Text"_id, {summary.head}, {{"key"_id, "summary_head"_id}})))
        && add(single_row(element("Text"_id, {summary.body}, {{"key"_id, "summary_body"_id}})));
    if (made && !summary.failures.empty()) {
        py::Ref details = failure_details(summary.failures.front());
        made = details && add(single_row(failure_table(summary)))
            && add(single_row(element("Multiline"_id, {details},
                                      {{"key"_id, "summary_detail"_id}, {"size"_id, pair_of(80, 4)},
                                       {"disabled"_id, Py_True}, {"expand_x"_id, Py_True}})));
    }
    return made && add(single_row(element("Button"_id, {"确定"_id}, {}))) ? layout : py::Ref();
}

// The details of the failure selected in the table. 0, or -1.
int show_selected(PyObject* window, const Summary& summary)
{
    py::Ref table = item(window, "summary_failures"_id);
    py::Ref selected = table ? py::call_method(table.get(), "get"_id) : py::Ref();
    if (!selected)
        return -1;
    if (!PyList_Check(selected.get()) || PyList_GET_SIZE(selected.get()) == 0)
        return 0;
    Py_ssize_t row = PyLong_AsSsize_t(PyList_GET_ITEM(selected.get(), 0));
    if (row == -1 && PyErr_Occurred())
        return -1;
    if (row < 0 || static_cast<std::size_t>(row) >= std::min(summary.failures.size(),
                                                             k_listed_failures))
        return 0;
    py::Ref details = failure_details(summary.failures[static_cast<std::size_t>(row)]);
    return details ? update_element(window, "summary_detail"_id, {"value"_id, details}) : -1;
}

}  // namespace

int show_summary(const Owner& owner, const Summary& summary)
{
    py::Ref layout = summary_layout(summary);
    py::Ref window = layout ? open_owned_window(owner, layout.get(), {.resizable = true})
                            : py::Ref();
    if (!window || bind_closing_keys(window.get()) < 0)
        return -1;
    for (;;) {
        py::Ref event;
        if (wait_for_answer(owner, window.get(), event) < 0)
            return -1;
        int selected = py::equals(event.get(), "summary_failures"_id);
        if (selected < 0 || (selected > 0 && show_selected(window.get(), summary) < 0))
            return -1;
        if (!selected)
            break;
    }
    return py::call_method(window.get(), "close"_id) ? 0 : -1;
}

}  // namespace tw::ui
