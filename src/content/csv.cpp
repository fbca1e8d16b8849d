// CSV: every text cell substituted on its own, in the csv module's default
// dialect. All new rows are built before anything is written, and a file in
// which no cell changed is left as it is: rewriting it would re-quote it and
// could break a file in another dialect that merely passed through.
#include "content/content.h"
#include "py/builtins.h"
#include "platform/fs.h"
#include "py/names.h"
#include "py/scope.h"
#include "rename/rename.h"

namespace tw::content {

namespace {

// open(path, mode=mode, newline="", encoding="utf-8")
py::Ref open_csv(PyObject* path, py::Id mode)
{
    return py::call_kw(py::builtin_open(), {path},
                       {{"mode"_id, mode}, {"newline"_id, ""_id}, {"encoding"_id, "utf-8"_id}});
}

// list(csv.reader(file)) over the whole file.
py::Ref read_rows(PyObject* file_path)
{
    py::Ref file = open_csv(file_path, "r"_id);
    if (!file)
        return {};
    py::Ref rows;
    int status = py::with_scope(file.get(), [&](PyObject* entered) {
        py::Ref csv = py::global("csv"_id);
        py::Ref reader = csv ? py::call_method(csv.get(), "reader"_id, entered) : py::Ref();
        if (!reader)
            return -1;
        rows = py::Ref::steal(PySequence_List(reader.get()));
        return rows ? 0 : -1;
    });
    if (status > 0)
        py::unbound_after_suppressed_error("rows");
    return status == 0 ? rows : py::Ref();
}

// The row with each str cell substituted; `changed` is set when a cell's
// text came out different.
py::Ref substitute_row(PyObject* pattern, PyObject* new_keyword, PyObject* row, bool& changed)
{
    py::Ref new_row = py::Ref::steal(PyList_New(0));
    if (!new_row)
        return {};
    int status = py::for_each(row, [&](PyObject* cell) {
        py::Ref value = py::Ref::borrow(cell);
        if (PyUnicode_Check(cell)) {
            value = py::call_method(pattern, "sub"_id, new_keyword, cell);
            if (!value)
                return -1;
            int same = py::equals(value.get(), cell);
            if (same < 0)
                return -1;
            changed = changed || !same;
        }
        return PyList_Append(new_row.get(), value.get());
    });
    return status < 0 ? py::Ref() : new_row;
}

py::Ref substitute_rows(PyObject* pattern, PyObject* new_keyword, PyObject* rows, bool& changed)
{
    py::Ref new_rows = py::Ref::steal(PyList_New(0));
    if (!new_rows)
        return {};
    int status = py::for_each(rows, [&](PyObject* row) {
        py::Ref new_row = substitute_row(pattern, new_keyword, row, changed);
        return new_row ? PyList_Append(new_rows.get(), new_row.get()) : -1;
    });
    return status < 0 ? py::Ref() : new_rows;
}

int write_rows(PyObject* path, PyObject* new_rows)
{
    py::Ref file = open_csv(path, "w"_id);
    if (!file)
        return -1;
    int status = py::with_scope(file.get(), [&](PyObject* entered) {
        py::Ref csv = py::global("csv"_id);
        py::Ref writer = csv ? py::call_method(csv.get(), "writer"_id, entered) : py::Ref();
        if (!writer)
            return -1;
        return py::for_each(new_rows, [&](PyObject* new_row) {
            return py::call_method(writer.get(), "writerow"_id, new_row) ? 0 : -1;
        });
    });
    return status > 0 ? py::incomplete_after_suppressed_error() : status;
}

}  // namespace

py::Ref replace_csv_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref pattern = rename::compile_keyword(old_keyword);
    if (!pattern)
        return {};
    py::Ref rows = read_rows(file_path);
    if (!rows)
        return {};
    bool changed = false;
    py::Ref new_rows = substitute_rows(pattern.get(), new_keyword, rows.get(), changed);
    if (!new_rows)
        return {};
    if (!changed)
        return py::none();
    int status = platform::replace_file(file_path, [&](PyObject* temp_path) {
        return write_rows(temp_path, new_rows.get());
    });
    return status < 0 ? py::Ref() : py::none();
}

}  // namespace tw::content
