// CSV: every cell substituted on its own, the cells found as the csv
// module's default dialect reads them. Only the fields whose text changed
// are written back, each quoted if it was quoted or if its new text needs
// it; every other byte (delimiters, spacing, line ends, untouched fields, a
// last line without a line end) stays, so the file reads back with the csv
// module as the same rows a full rewrite in the default dialect would give.
// A file in which no cell changed is left as it is.
#include "content/content.h"
#include "content/csv_fields.h"
#include "content/text_codec.h"
#include "keyword/keyword.h"
#include "platform/fs.h"
#include "py/names.h"

#include <memory>

namespace tw::content {

namespace {

// csv.field_size_limit(), which the csv module's reader enforces.
int field_size_limit(Py_ssize_t& out)
{
    py::Ref csv = py::global("csv"_id);
    py::Ref limit = csv ? py::call_method(csv.get(), "field_size_limit"_id) : py::Ref();
    if (!limit)
        return -1;
    out = PyLong_AsSsize_t(limit.get());
    return out == -1 && PyErr_Occurred() ? -1 : 0;
}

// The csv module's own error for a cell longer than the limit.
int field_too_large(Py_ssize_t limit)
{
    py::Ref csv = py::global("csv"_id);
    py::Ref error = csv ? py::getattr(csv.get(), "Error"_id) : py::Ref();
    if (error)
        PyErr_Format(error.get(), "field larger than field limit (%zd)", limit);
    return -1;
}

// The cell of a field that is not plain: quotes doubled inside the quotes
// taken as one, the closing quote dropped, the rest as it is.
py::Ref cell_of_quoted(PyObject* text, const CsvField& field)
{
    std::vector<Py_UCS4> cell;
    cell.reserve(static_cast<std::size_t>(field.length));
    bool inside = true;
    for (Py_ssize_t i = field.start + 1; i < field.end; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (inside && c == '"') {
            bool doubled = i + 1 < field.end && PyUnicode_READ_CHAR(text, i + 1) == '"';
            if (!doubled) {
                inside = false;
                continue;
            }
            ++i;
        }
        cell.push_back(c);
    }
    return py::Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cell.data(),
                                                    static_cast<Py_ssize_t>(cell.size())));
}

py::Ref cell_of(PyObject* text, const CsvField& field)
{
    if (!field.quoted)
        return py::Ref::steal(PyUnicode_Substring(text, field.start, field.end));
    if (field.plain)
        return py::Ref::steal(PyUnicode_Substring(text, field.start + 1, field.end - 1));
    return cell_of_quoted(text, field);
}

// What the default dialect's writer would quote: a comma, a quote, CR or LF.
int needs_quotes(PyObject* cell)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(cell);
    for (Py_UCS4 c : {',', '"', '\r', '\n'}) {
        Py_ssize_t at = PyUnicode_FindChar(cell, c, 0, length, 1);
        if (at != -1)
            return at == -2 ? -1 : 1;
    }
    return 0;
}

// The field as written: quoted when it was, when its text needs it, or when
// it is the only field of its row and empty (a bare blank line would read
// back as a row without fields).
py::Ref written_field(PyObject* cell, bool was_quoted, bool alone)
{
    int quote = was_quoted || (alone && PyUnicode_GET_LENGTH(cell) == 0) ? 1 : needs_quotes(cell);
    if (quote <= 0)
        return quote < 0 ? py::Ref() : py::Ref::borrow(cell);
    py::Ref doubled = py::Ref::steal(PyUnicode_Replace(cell, "\""_id.get(), "\"\""_id.get(), -1));
    return doubled ? py::Ref::steal(PyUnicode_FromFormat("\"%U\"", doubled.get())) : py::Ref();
}

// The keyword applied to every cell; the changed fields become splices.
struct CsvEdit {
    const keyword::Keyword& keyword;
    PyObject* text;
    Py_ssize_t matches = 0;
    std::vector<Splice> splices;
};

int edit_field(CsvEdit& edit, const CsvField& field, bool alone)
{
    py::Ref cell = cell_of(edit.text, field);
    keyword::Replacement result;
    if (!cell || keyword::substitute(edit.keyword, cell.get(), result) < 0)
        return -1;
    int same = py::equals(result.text.get(), cell.get());
    if (same < 0 || (result.count > 0 && keyword::note_samples(edit.keyword, cell.get()) < 0))
        return -1;
    edit.matches += result.count;
    if (same)
        return 0;
    py::Ref written = written_field(result.text.get(), field.quoted, alone);
    if (!written)
        return -1;
    edit.splices.push_back({field.start, field.end, std::move(written)});
    return 0;
}

template <class Char>
int edit_fields(CsvEdit& edit, Py_ssize_t limit)
{
    const Char* chars = static_cast<const Char*>(PyUnicode_DATA(edit.text));
    CsvReader<Char> reader(chars, PyUnicode_GET_LENGTH(edit.text), limit);
    CsvRead read = reader.read([&](const std::vector<CsvField>& fields) {
        for (const CsvField& field : fields) {
            if (edit_field(edit, field, fields.size() == 1) < 0)
                return -1;
        }
        return 0;
    });
    if (read == CsvRead::field_too_large)
        return field_too_large(limit);
    return read == CsvRead::done ? 0 : -1;
}

int edit_cells(CsvEdit& edit)
{
    Py_ssize_t limit = 0;
    if (field_size_limit(limit) < 0)
        return -1;
    switch (PyUnicode_KIND(edit.text)) {
    case PyUnicode_1BYTE_KIND: return edit_fields<Py_UCS1>(edit, limit);
    case PyUnicode_2BYTE_KIND: return edit_fields<Py_UCS2>(edit, limit);
    default: return edit_fields<Py_UCS4>(edit, limit);
    }
}

}  // namespace

int decide_csv_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    out = Decision{};
    auto decoded = std::make_shared<DecodedText>();
    if (read_text_file(file_path, *decoded) < 0)
        return -1;
    CsvEdit edit{keyword, decoded->text.get()};
    if (edit_cells(edit) < 0)
        return -1;
    if (edit.splices.empty())
        return 0;
    out.matches = edit.matches;
    out.encoding = encoding_name(*decoded);
    auto splices = std::make_shared<std::vector<Splice>>(std::move(edit.splices));
    out.write = [path = py::Ref::borrow(file_path), decoded, splices]() {
        return platform::replace_file(path.get(), [&](PyObject* temp_path) {
            return write_spliced(temp_path, *decoded, *splices);
        });
    };
    return 0;
}

py::Ref replace_csv_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    return decide_and_write(file_path, old_keyword, new_keyword, decide_csv_content);
}

}  // namespace tw::content
