#include "ui/preview_rows.h"

#include "ui/toolkit.h"

#include <algorithm>
#include <numeric>

namespace tw::ui {

namespace {

using run::ItemKind;
using run::Outcome;

py::Id tick_mark(bool tickable, bool ticked)
{
    return !tickable ? ""_id : ticked ? "☑"_id : "☐"_id;
}

}  // namespace

PreviewRows::PreviewRows(ModeKind mode, const run::Plan& plan, bool choosable)
    : mode_(mode), choosable_(choosable), plan_(plan), cells_(plan.size()), folded_(plan.size()),
      ticked_(plan.size(), 1), order_(plan.size())
{
    std::iota(order_.begin(), order_.end(), std::size_t{0});
}

int PreviewRows::start(PyObject* chosen_folder) { return paths_.start(chosen_folder); }

// Items the run may change or would fail on; a folder that cannot be
// listed and an item passed over are not the user's to choose.
bool PreviewRows::tickable(std::size_t index) const
{
    const run::PlannedItem& item = plan_[index];
    return choosable_ && item.kind != ItemKind::folder_listing && item.outcome != Outcome::passed_over;
}

py::Ref PreviewRows::column_name(Py_ssize_t column) const
{
    if (column == 0)
        return py::Ref::borrow("☑"_id.get());
    py::Ref names = table_headings(mode_);
    return names ? py::Ref::borrow(PyList_GET_ITEM(names.get(), column - 1)) : py::Ref();
}

py::Ref PreviewRows::headings() const
{
    py::Ref list = py::Ref::steal(PyList_New(columns()));
    for (Py_ssize_t c = 0; list && c < columns(); ++c) {
        py::Ref name = column_name(c);
        if (!name)
            return {};
        PyList_SET_ITEM(list.get(), c, name.release());
    }
    return list;
}

py::Ref PreviewRows::heading(Py_ssize_t column) const
{
    py::Ref name = column_name(column);
    if (!name || column != sort_column_)
        return name;
    return format_text(descending_ ? "%s ▼"_id : "%s ▲"_id,
                       py::Ref::steal(PyTuple_Pack(1, name.get())));
}

const py::Ref& PreviewRows::cells(std::size_t index)
{
    py::Ref& made = cells_[index];
    if (!made)
        made = item_cells(paths_, plan_[index]);
    return made;
}

int PreviewRows::fill_all_cells()
{
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        if (!cells(i))
            return -1;
    }
    return 0;
}

py::Ref PreviewRows::row(std::size_t at)
{
    std::size_t index = order_[at];
    const py::Ref& four = cells(index);
    py::Ref list = four ? py::Ref::steal(PyList_New(0)) : py::Ref();
    PyObject* mark = list ? tick_mark(tickable(index), ticked_[index]).get() : nullptr;
    if (!mark || PyList_Append(list.get(), mark) < 0)
        return {};
    for (Py_ssize_t c = 0; c < PyList_GET_SIZE(four.get()); ++c) {
        if (PyList_Append(list.get(), PyList_GET_ITEM(four.get(), c)) < 0)
            return {};
    }
    return list;
}

py::Ref PreviewRows::page(std::size_t first, std::size_t count)
{
    py::Ref rows = py::Ref::steal(PyList_New(0));
    std::size_t end = std::min(order_.size(), first + count);
    for (std::size_t at = first; rows && at < end; ++at) {
        py::Ref shown = row(at);
        if (!shown || PyList_Append(rows.get(), shown.get()) < 0)
            return {};
    }
    return rows;
}

py::Ref PreviewRows::details(std::size_t at) const
{
    return at < order_.size() ? item_details(plan_[order_[at]]) : py::Ref();
}

bool PreviewRows::toggle(std::size_t at)
{
    if (at >= order_.size() || !tickable(order_[at]))
        return false;
    ticked_[order_[at]] ^= 1;
    return true;
}

void PreviewRows::tick_shown(bool ticked)
{
    for (std::size_t index : order_)
        ticked_[index] = ticked;
}

long PreviewRows::ticked_changes() const
{
    long count = 0;
    for (std::size_t i = 0; i < plan_.size(); ++i)
        count += ticked_[i] && plan_[i].outcome == Outcome::change;
    return count;
}

py::Ref PreviewRows::ticked_text() const
{
    long changes = 0;
    for (const run::PlannedItem& item : plan_)
        changes += item.outcome == Outcome::change;
    return format_text("已勾选 %d / %d 项将要修改的项目"_id,
                       py::Ref::steal(Py_BuildValue("(ll)", ticked_changes(), changes)));
}

int PreviewRows::left_out(py::Ref& out) const
{
    out = py::Ref();
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        if (ticked_[i] || !tickable(i))
            continue;
        if (!out && !(out = py::Ref::steal(PySet_New(nullptr))))
            return -1;
        if (PySet_Add(out.get(), plan_[i].path.get()) < 0)
            return -1;
    }
    return 0;
}

int PreviewRows::filter(PyObject* text)
{
    py::Ref folded = PyUnicode_Check(text) ? py::call_method(text, "casefold"_id)
                                           : py::Ref::borrow(""_id.get());
    if (!folded)
        return -1;
    filter_ = PyUnicode_GET_LENGTH(folded.get()) > 0 ? folded : py::Ref();
    return rebuild();
}

int PreviewRows::rebuild()
{
    order_.clear();
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        if (filter_) {
            if (!folded_[i]) {
                const py::Ref& four = cells(i);
                if (!four || !(folded_[i] = py::call_method(PyList_GET_ITEM(four.get(), 1),
                                                            "casefold"_id)))
                    return -1;
            }
            int holds = PyUnicode_Contains(folded_[i].get(), filter_.get());
            if (holds < 0)
                return -1;
            if (!holds)
                continue;
        }
        order_.push_back(i);
    }
    return sort_shown();
}

int PreviewRows::sort(Py_ssize_t column)
{
    if (column < 0 || column >= columns())
        return 0;
    descending_ = column == sort_column_ ? !descending_ : false;
    sort_column_ = column;
    return rebuild();
}

int PreviewRows::sort_shown()
{
    if (sort_column_ < 0)
        return 0;
    if (sort_column_ > 0 && fill_all_cells() < 0)
        return -1;
    bool by_matches = sort_column_ == 3 && mode_ == ModeKind::contents;
    auto before = [&](std::size_t a, std::size_t b) {
        if (sort_column_ == 0)
            return (tickable(a) && ticked_[a]) > (tickable(b) && ticked_[b]);
        if (by_matches && plan_[a].matches != plan_[b].matches)
            return plan_[a].matches < plan_[b].matches;
        PyObject* x = PyList_GET_ITEM(cells_[a].get(), sort_column_ - 1);
        PyObject* y = PyList_GET_ITEM(cells_[b].get(), sort_column_ - 1);
        return PyUnicode_Compare(x, y) < 0;
    };
    std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
        return descending_ ? before(b, a) : before(a, b);
    });
    return 0;
}

}  // namespace tw::ui
