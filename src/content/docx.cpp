// Word documents: body paragraphs and body table cells, matched and
// replaced on their whole text, then saved over the same path.
#include "content/content.h"
#include "content/office_text.h"
#include "content/package.h"
#include "py/names.h"
#include "rename/rename.h"

namespace tw::content {

namespace {

int replace_in_paragraphs(PyObject* doc, const rename::Keyword& sub)
{
    py::Ref paragraphs = py::getattr(doc, "paragraphs"_id);
    if (!paragraphs)
        return -1;
    return py::for_each(paragraphs.get(), [&](PyObject* paragraph) {
        return substitute_text(paragraph, sub);
    });
}

// row.cells repeats a merged cell for every grid position it covers;
// substituting at each visit would apply the keyword again to text that
// already holds the replacement, so each cell element is taken once.
int replace_in_cell_once(PyObject* cell, PyObject* seen, const rename::Keyword& sub)
{
    py::Ref element = py::getattr(cell, "_tc"_id);
    if (!element)
        return -1;
    int known = PySet_Contains(seen, element.get());
    if (known != 0)
        return known < 0 ? -1 : 0;
    if (PySet_Add(seen, element.get()) < 0)
        return -1;
    return substitute_text(cell, sub);
}

int replace_in_table(PyObject* table, const rename::Keyword& sub)
{
    py::Ref seen = py::Ref::steal(PySet_New(nullptr));
    py::Ref rows = seen ? py::getattr(table, "rows"_id) : py::Ref();
    if (!rows)
        return -1;
    return py::for_each(rows.get(), [&](PyObject* row) {
        py::Ref cells = py::getattr(row, "cells"_id);
        if (!cells)
            return -1;
        return py::for_each(cells.get(), [&](PyObject* cell) {
            return replace_in_cell_once(cell, seen.get(), sub);
        });
    });
}

int replace_in_tables(PyObject* doc, const rename::Keyword& sub)
{
    py::Ref tables = py::getattr(doc, "tables"_id);
    if (!tables)
        return -1;
    return py::for_each(tables.get(), [&](PyObject* table) {
        return replace_in_table(table, sub);
    });
}

py::Ref open_document(PyObject* file_path)
{
    if (check_package(file_path) < 0) return {};
    py::Ref docx = py::global("docx"_id);
    if (!docx)
        return {};
    py::Ref document = py::getattr(docx.get(), "Document"_id);
    if (!document)
        return {};
    return py::call(document.get(), file_path);
}

}  // namespace

py::Ref replace_docx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref pattern = rename::compile_keyword(old_keyword);
    if (!pattern)
        return {};
    py::Ref doc = open_document(file_path);
    if (!doc)
        return {};
    rename::Keyword sub{pattern.get(), new_keyword};
    if (replace_in_paragraphs(doc.get(), sub) < 0 || replace_in_tables(doc.get(), sub) < 0)
        return {};
    return save_over(doc.get(), file_path) < 0 ? py::Ref() : py::none();
}

}  // namespace tw::content
