// Workbooks: every cell of every worksheet, matched on the text form of its
// value, with a console trace; every ordinary failure is reported in one
// line so that one bad workbook never stops the caller's walk.
#include "content/content.h"
#include "py/builtins.h"
#include "content/office_text.h"
#include "content/package.h"
#include "py/error.h"
#include "py/names.h"
#include "rename/rename.h"

namespace tw::content {

namespace {

// print(f"...") with one argument: each piece formatted as an f-string
// formats it (a literal text formats to itself), then joined.
int print_pieces(PyObject* const* pieces, Py_ssize_t count)
{
    py::Ref parts = py::Ref::steal(PyTuple_New(count));
    if (!parts)
        return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* text = PyObject_Format(pieces[i], nullptr);
        if (!text)
            return -1;
        PyTuple_SET_ITEM(parts.get(), i, text);
    }
    py::Ref empty = py::Ref::steal(PyUnicode_New(0, 0));
    py::Ref line = empty ? py::Ref::steal(PyUnicode_Join(empty.get(), parts.get())) : py::Ref();
    if (!line)
        return -1;
    return py::call(py::builtin_print(), line) ? 0 : -1;
}

template <class... Pieces>
int print_line(const Pieces&... pieces)
{
    PyObject* raw[sizeof...(Pieces)] = {};
    if (!py::resolve_all(raw, {py::Arg(pieces)...}))
        return -1;
    return print_pieces(raw, sizeof...(Pieces));
}

struct Run {
    PyObject* file_path;
    rename::Keyword keyword;
    bool changed = false;
};

int trace_cell(PyObject* cell)
{
    py::Ref coordinate = py::getattr(cell, "coordinate"_id);
    py::Ref value = coordinate ? py::getattr(cell, "value"_id) : py::Ref();
    if (!value)
        return -1;
    return print_line("Cell "_id, coordinate, " value: "_id, value);
}

// str(cell.value), or None for an empty cell.
py::Ref text_form(PyObject* cell)
{
    py::Ref value = py::getattr(cell, "value"_id);
    if (!value || value.get() == Py_None)
        return value;
    // Read again: `value` is a library property, computed on every read.
    value = py::getattr(cell, "value"_id);
    if (!value)
        return {};
    return py::Ref::steal(PyObject_Str(value.get()));
}

int replace_in_cell(PyObject* cell, Run& run)
{
    if (trace_cell(cell) < 0)
        return -1;
    py::Ref original_value = text_form(cell);
    if (!original_value || original_value.get() == Py_None)
        return original_value ? 0 : -1;
    rename::Replacement replaced;
    int matched = rename::replace_in(run.keyword, original_value.get(), replaced);
    if (matched <= 0)
        return matched;
    py::Ref& new_value = replaced.text;
    if (print_line("Found '"_id, original_value, "' in "_id, run.file_path,
                   ", replacing with '"_id, new_value, "'"_id) < 0)
        return -1;
    if (py::setattr(cell, "value"_id, new_value.get()) < 0)
        return -1;
    run.changed = true;
    return 0;
}

int replace_in_sheet(PyObject* sheet, Run& run)
{
    py::Ref iter_rows = py::getattr(sheet, "iter_rows"_id);
    if (!iter_rows)
        return -1;
    py::Ref rows = py::call_kw(iter_rows.get(), {}, {{"values_only"_id, Py_False}});
    if (!rows)
        return -1;
    return py::for_each(rows.get(), [&](PyObject* row) {
        return py::for_each(row, [&](PyObject* cell) { return replace_in_cell(cell, run); });
    });
}

int replace_in_workbook(PyObject* wb, Run& run)
{
    py::Ref worksheets = py::getattr(wb, "worksheets"_id);
    if (!worksheets)
        return -1;
    return py::for_each(worksheets.get(), [&](PyObject* sheet) {
        return replace_in_sheet(sheet, run);
    });
}

py::Ref load(PyObject* file_path)
{
    if (check_package(file_path) < 0) return {};
    py::Ref load_workbook = py::global("load_workbook"_id);
    if (!load_workbook)
        return {};
    return py::call(load_workbook.get(), file_path);
}

// The guarded work. A workbook with no match is left as it is: openpyxl
// rebuilds the whole file on save and drops what it does not model.
int process_workbook(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref pattern = rename::compile_keyword(old_keyword);
    if (!pattern)
        return -1;
    py::Ref wb = load(file_path);
    if (!wb)
        return -1;
    Run run{file_path, {pattern.get(), new_keyword}};
    if (replace_in_workbook(wb.get(), run) < 0)
        return -1;
    if (!run.changed)
        return 0;
    if (save_over(wb.get(), file_path) < 0)
        return -1;
    return print_line("Saved changes to "_id, file_path);
}

// except Exception as e: print(f"Error processing {file_path}: {e}")
// While the line is printed, e is the exception being handled, so a
// failure of the print itself is chained to it.
py::Ref report_failure(PyObject* file_path)
{
    py::PendingError e;
    py::Ref outer = py::Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(e.value());
    int printed = print_line("Error processing "_id, file_path, ": "_id, e.value());
    PyErr_SetHandledException(outer.get());
    if (printed < 0)
        return {};
    return py::none();
}

}  // namespace

py::Ref replace_xlsx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    if (process_workbook(file_path, old_keyword, new_keyword) == 0)
        return py::none();
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return {};
    return report_failure(file_path);
}

}  // namespace tw::content
