// CSV: every text cell substituted on its own, in the csv module's default
// dialect. All new rows are built before anything is written, and a file in
// which no cell changed is left as it is: rewriting it would re-quote it and
// could break a file in another dialect that merely passed through.
#include "content/content.h"
#include "py/builtins.h"
#include "platform/fs.h"
#include "py/names.h"
#include "py/scope.h"
#include "py/unpack.h"
#include "keyword/keyword.h"

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
    py::Ref file = platform::checked_text(file_path, ""_id.get());
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

// The keyword applied to every str cell of every row; `matches` adds up
// the replacements, `changed` tells whether any cell's text came out
// different.
struct Substitution {
    const keyword::Keyword& keyword;
    Py_ssize_t matches = 0;
    bool changed = false;
};

// pattern.subn(new_keyword, cell), counted.
py::Ref substitute_cell(Substitution& sub, PyObject* cell)
{
    keyword::Replacement result;
    if (keyword::substitute(sub.keyword, cell, result) < 0)
        return {};
    int same = py::equals(result.text.get(), cell);
    if (same < 0 || (result.count > 0 && keyword::note_samples(sub.keyword, cell) < 0))
        return {};
    sub.matches += result.count;
    sub.changed = sub.changed || !same;
    return result.text;
}

// The row with each str cell substituted; other cells as they are.
py::Ref substitute_row(Substitution& sub, PyObject* row)
{
    py::Ref new_row = py::Ref::steal(PyList_New(0));
    if (!new_row)
        return {};
    int status = py::for_each(row, [&](PyObject* cell) {
        py::Ref value = PyUnicode_Check(cell) ? substitute_cell(sub, cell) : py::Ref::borrow(cell);
        return value ? PyList_Append(new_row.get(), value.get()) : -1;
    });
    return status < 0 ? py::Ref() : new_row;
}

py::Ref substitute_rows(Substitution& sub, PyObject* rows)
{
    py::Ref new_rows = py::Ref::steal(PyList_New(0));
    if (!new_rows)
        return {};
    int status = py::for_each(rows, [&](PyObject* row) {
        py::Ref new_row = substitute_row(sub, row);
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

int decide_csv_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    out = Decision{};
    py::Ref rows = read_rows(file_path);
    if (!rows)
        return -1;
    Substitution sub{keyword};
    py::Ref new_rows = substitute_rows(sub, rows.get());
    if (!new_rows)
        return -1;
    if (!sub.changed)
        return 0;
    out.matches = sub.matches;
    out.write = [path = py::Ref::borrow(file_path), new_rows]() {
        return platform::replace_file(path.get(), [&](PyObject* temp_path) {
            return write_rows(temp_path, new_rows.get());
        });
    };
    return 0;
}

py::Ref replace_csv_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    return decide_and_write(file_path, old_keyword, new_keyword, decide_csv_content);
}

}  // namespace tw::content
