#include "ui/table.h"

#include "ui/toolkit.h"

#include <algorithm>
#include <vector>

namespace tw::ui {

namespace {

bool is_wide(Py_UCS4 c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// The Tk table behind a table element.
py::Ref tree_view(PyObject* window, py::Id key)
{
    py::Ref table = item(window, key);
    return table ? py::getattr(table.get(), "TKTreeview"_id) : py::Ref();
}

}  // namespace

Py_ssize_t display_width(PyObject* text)
{
    if (!PyUnicode_Check(text))
        return 0;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text), width = 0;
    for (Py_ssize_t i = 0; i < length; ++i)
        width += is_wide(PyUnicode_READ_CHAR(text, i)) ? 2 : 1;
    return width;
}

py::Ref fitted_widths(PyObject* headings, PyObject* rows, std::span<const int> least,
                      std::span<const int> most)
{
    Py_ssize_t columns = PyList_GET_SIZE(headings);
    std::vector<Py_ssize_t> widths(static_cast<std::size_t>(columns));
    for (Py_ssize_t c = 0; c < columns; ++c)
        widths[c] = display_width(PyList_GET_ITEM(headings, c)) + 2;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows); ++r) {
        PyObject* row = PyList_GET_ITEM(rows, r);
        for (Py_ssize_t c = 0; PyList_Check(row) && c < std::min(columns, PyList_GET_SIZE(row)); ++c)
            widths[c] = std::max(widths[c], display_width(PyList_GET_ITEM(row, c)) + 1);
    }
    py::Ref list = py::Ref::steal(PyList_New(columns));
    for (Py_ssize_t c = 0; list && c < columns; ++c) {
        std::size_t at = static_cast<std::size_t>(c);
        Py_ssize_t width = std::clamp<Py_ssize_t>(widths[at], at < least.size() ? least[at] : 1,
                                                  at < most.size() ? most[at] : 200);
        PyObject* number = PyLong_FromSsize_t(width);
        if (!number)
            return {};
        PyList_SET_ITEM(list.get(), c, number);
    }
    return list;
}

py::Ref table_element(py::Id key, const py::Ref& headings, const py::Ref& rows,
                      const py::Ref& widths, long lines, bool clicks)
{
    py::Ref height = widths ? py::Ref::steal(PyLong_FromLong(lines)) : py::Ref();
    if (!height)
        return {};
    return element("Table"_id, {rows},
                   {{"headings"_id, headings}, {"key"_id, key},
                    {"auto_size_columns"_id, Py_False}, {"col_widths"_id, widths},
                    {"num_rows"_id, height}, {"justification"_id, "left"_id},
                    {"select_mode"_id, clicks ? "extended"_id : "browse"_id},
                    {"enable_events"_id, Py_True},
                    {"enable_click_events"_id, clicks ? Py_True : Py_False},
                    {"expand_x"_id, Py_True}, {"expand_y"_id, Py_True}});
}

int set_table_row(PyObject* window, py::Id key, Py_ssize_t index, PyObject* row)
{
    py::Ref table = item(window, key);
    py::Ref shown = table ? py::getattr(table.get(), "Values"_id) : py::Ref();
    py::Ref view = shown ? py::getattr(table.get(), "TKTreeview"_id) : py::Ref();
    py::Ref iid = view ? py::Ref::steal(PyLong_FromSsize_t(index + 1)) : py::Ref();
    if (!iid || PySequence_SetItem(shown.get(), index, row) < 0)
        return -1;
    py::Ref set = py::getattr(view.get(), "item"_id);
    return set && py::call_kw(set.get(), {iid}, {{"values"_id, row}}) ? 0 : -1;
}

int set_table_heading(PyObject* window, py::Id key, PyObject* column, PyObject* text)
{
    py::Ref view = tree_view(window, key);
    py::Ref heading = view ? py::getattr(view.get(), "heading"_id) : py::Ref();
    return heading && py::call_kw(heading.get(), {column}, {{"text"_id, text}}) ? 0 : -1;
}

}  // namespace tw::ui
