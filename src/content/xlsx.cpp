// Workbooks: every cell of every worksheet, matched on the text form of its
// value, with a console trace; every ordinary failure is reported in one
// line so that one bad workbook never stops the caller's walk.
#include "content/content.h"
#include "content/package.h"
#include "content/workbook.h"
#include "content/workbook_values.h"
#include "platform/fs.h"
#include "py/builtins.h"
#include "py/error.h"
#include "py/names.h"
#include "keyword/keyword.h"
#include "run/report.h"

#include <memory>

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

// One pass over the cells: what it prints and what it records.
struct Walk {
    PyObject* file_path;
    PyObject* wb;
    const keyword::Keyword& keyword;
    bool print_lines;
    WorkbookChanges& changes;
    Py_ssize_t sheet = 0;
    Py_ssize_t matches = 0;
};

int trace_cell(PyObject* cell)
{
    py::Ref coordinate = py::getattr(cell, "coordinate"_id);
    py::Ref value = coordinate ? py::getattr(cell, "value"_id) : py::Ref();
    if (!value)
        return -1;
    return print_line("Cell "_id, coordinate, " value: "_id, value);
}

// cell.value, and its str as `text`; None for an empty cell.
py::Ref read_value(PyObject* cell, py::Ref& text)
{
    py::Ref value = py::getattr(cell, "value"_id);
    if (!value || value.get() == Py_None)
        return value;
    // Read again: `value` is a library property, computed on every read.
    value = py::getattr(cell, "value"_id);
    text = value ? py::Ref::steal(PyObject_Str(value.get())) : py::Ref();
    return text ? value : py::Ref();
}

// Whether the cell holds a formula: 1, 0, or -1.
int holds_formula(PyObject* cell)
{
    py::Ref data_type = py::getattr(cell, "data_type"_id);
    return data_type ? py::equals(data_type.get(), "f"_id) : -1;
}

long long integer_attribute(PyObject* cell, py::Id name)
{
    py::Ref value = py::getattr(cell, name);
    return value ? PyLong_AsLongLong(value.get()) : -1;
}

// Where the cell is and what the assignment made of the new text.
int record_change(PyObject* cell, Walk& walk, ChangedCell&& changed)
{
    changed.sheet = walk.sheet;
    changed.row = integer_attribute(cell, "row"_id);
    if (changed.row == -1 && PyErr_Occurred())
        return -1;
    changed.column = integer_attribute(cell, "column"_id);
    if (changed.column == -1 && PyErr_Occurred())
        return -1;
    changed.value = py::getattr(cell, "value"_id);
    changed.data_type = changed.value ? py::getattr(cell, "data_type"_id) : py::Ref();
    if (!changed.data_type)
        return -1;
    int formula = py::equals(changed.data_type.get(), "f"_id);
    if (formula < 0)
        return -1;
    walk.changes.has_formulas = walk.changes.has_formulas || formula;
    walk.changes.cells.push_back(std::move(changed));
    return 0;
}

int replace_in_cell(PyObject* cell, Walk& walk)
{
    if (walk.print_lines && trace_cell(cell) < 0)
        return -1;
    py::Ref original_value;
    py::Ref old_value = read_value(cell, original_value);
    if (!old_value || old_value.get() == Py_None)
        return old_value ? 0 : -1;
    // Whether the workbook computes anything: then results cached in the
    // file may depend on a changed cell and must be computed again. (A
    // preview also marks the matches it shows in formulas.)
    int formula = !walk.changes.has_formulas || walk.keyword.samples ? holds_formula(cell) : 0;
    if (formula < 0)
        return -1;
    walk.changes.has_formulas = walk.changes.has_formulas || formula;
    if (walk.keyword.samples)
        walk.keyword.samples->in_formula = formula;
    keyword::Replacement replaced;
    int matched = keyword::replace_in(walk.keyword, original_value.get(), replaced);
    if (matched <= 0)
        return matched;
    py::Ref& new_value = replaced.text;
    if (walk.print_lines &&
        print_line("Found '"_id, original_value, "' in "_id, walk.file_path,
                   ", replacing with '"_id, new_value, "'"_id) < 0)
        return -1;
    py::Ref stored = workbook::typed_value(walk.wb, old_value.get(), new_value.get());
    if (!stored || py::setattr(cell, "value"_id, stored.get()) < 0)
        return -1;
    walk.matches += replaced.count;
    ChangedCell changed;
    changed.old_text = original_value;
    changed.new_text = new_value;
    return record_change(cell, walk, std::move(changed));
}

int replace_in_sheet(PyObject* sheet, Walk& walk)
{
    py::Ref iter_rows = py::getattr(sheet, "iter_rows"_id);
    if (!iter_rows)
        return -1;
    py::Ref rows = py::call_kw(iter_rows.get(), {}, {{"values_only"_id, Py_False}});
    if (!rows)
        return -1;
    return py::for_each(rows.get(), [&](PyObject* row) {
        return py::for_each(row, [&](PyObject* cell) { return replace_in_cell(cell, walk); });
    });
}

int replace_in_workbook(PyObject* wb, Walk& walk)
{
    py::Ref worksheets = py::getattr(wb, "worksheets"_id);
    if (!worksheets)
        return -1;
    return py::for_each(worksheets.get(), [&](PyObject* sheet) {
        if (replace_in_sheet(sheet, walk) < 0)
            return -1;
        ++walk.sheet;
        return 0;
    });
}

py::Ref load(PyObject* file_path)
{
    if (check_package(file_path) < 0) return {};
    py::Ref load_workbook = py::global("load_workbook"_id);
    py::Ref stream = load_workbook ? platform::checked_stream(file_path) : py::Ref();
    return stream ? py::call(load_workbook.get(), stream) : py::Ref();
}

// The guarded work. A workbook with no match is left as it is.
int process_workbook(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    keyword::Compiled compiled;
    if (keyword::compile_keyword(old_keyword, new_keyword, compiled) < 0)
        return -1;
    Decision decision;
    if (decide_xlsx_content(file_path, compiled.keyword(), true, decision) < 0)
        return -1;
    return decision.write ? decision.write() : 0;
}

// except Exception as e: print(f"Error processing {file_path}: {e}")
// While the line is printed, e is the exception being handled, so a
// failure of the print itself is chained to it. Called on its own the
// handler then returns; in a run the exception goes on to the run, which
// records it against the file as it does any handler's (or ends the run,
// for a full disk or a lack of memory).
py::Ref report_failure(PyObject* file_path)
{
    py::PendingError e;
    py::Ref outer = py::Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(e.value());
    int printed = print_line("Error processing "_id, file_path, ": "_id, e.value());
    PyErr_SetHandledException(outer.get());
    if (printed < 0)
        return {};
    if (!run::current_report())
        return py::none();
    e.restore();
    return {};
}

}  // namespace

int decide_xlsx_content(PyObject* file_path, const keyword::Keyword& keyword, bool print_lines,
                        Decision& out)
{
    py::Ref wb = load(file_path);
    if (!wb)
        return -1;
    auto changes = std::make_shared<WorkbookChanges>();
    changes->wb = wb;
    changes->keyword = keyword::Compiled{py::Ref::borrow(keyword.pattern), py::Ref::borrow(keyword.new_keyword),
                                         py::Ref::borrow(keyword.matcher), keyword.risks, keyword.timed};
    Walk walk{file_path, wb.get(), keyword, print_lines, *changes};
    if (replace_in_workbook(wb.get(), walk) < 0)
        return -1;
    out.matches = walk.matches;
    if (changes->cells.empty())
        return 0;
    py::Ref path = py::Ref::borrow(file_path);
    out.write = [changes, path]() {
        if (write_changed_cells(path.get(), *changes) < 0)
            return -1;
        return print_line("Saved changes to "_id, path);
    };
    return 0;
}

py::Ref replace_xlsx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    if (process_workbook(file_path, old_keyword, new_keyword) == 0)
        return py::none();
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return {};
    return report_failure(file_path);
}

}  // namespace tw::content
