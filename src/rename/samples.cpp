// Samples of the matches a decision met, taken where the deciding code
// finds them, so that what a preview shows is what the run replaces.
#include "py/ops.h"
#include "py/unpack.h"
#include "rename/rename.h"

namespace tw::rename {

namespace {

// Characters of context kept on each side of a match; it stops earlier at
// a line break, so a sample stays on one line of the text.
constexpr Py_ssize_t k_context = 30;

bool is_line_break(Py_UCS4 c) { return c == '\n' || c == '\r'; }

Py_ssize_t context_start(PyObject* text, Py_ssize_t start)
{
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t from = start;
    while (from > 0 && start - from < k_context &&
           !is_line_break(PyUnicode_READ(kind, data, from - 1)))
        --from;
    return from;
}

Py_ssize_t context_end(PyObject* text, Py_ssize_t end)
{
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t to = end;
    while (to < length && to - end < k_context && !is_line_break(PyUnicode_READ(kind, data, to)))
        ++to;
    return to;
}

bool is_full(const MatchSamples& samples)
{
    return (samples.list ? PyList_GET_SIZE(samples.list.get()) : 0) >= samples.limit;
}

// The match's own replacement: match.expand(template), which for a
// template without a backslash is the template itself (as in sub).
py::Ref expansion(PyObject* match, PyObject* new_keyword)
{
    if (PyUnicode_Check(new_keyword) &&
        PyUnicode_FindChar(new_keyword, '\\', 0, PyUnicode_GET_LENGTH(new_keyword), 1) == -1)
        return py::Ref::borrow(new_keyword);
    return py::call_method(match, "expand"_id, new_keyword);
}

// match.span() as two offsets. 0, or -1.
int span_of(PyObject* match, Py_ssize_t& start, Py_ssize_t& end)
{
    py::Ref span = py::call_method(match, "span"_id);
    py::Ref parts[2];
    if (!span || py::unpack(span.get(), parts) < 0)
        return -1;
    start = PyLong_AsSsize_t(parts[0].get());
    end = start < 0 ? -1 : PyLong_AsSsize_t(parts[1].get());
    return end < 0 && PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int note_sample(MatchSamples& samples, PyObject* text, Py_ssize_t start, Py_ssize_t end,
                PyObject* replacement)
{
    if (is_full(samples) || !PyUnicode_Check(text) || !PyUnicode_Check(replacement))
        return 0;
    if (!samples.list && !(samples.list = py::Ref::steal(PyList_New(0))))
        return -1;
    py::Ref before = py::Ref::steal(PyUnicode_Substring(text, context_start(text, start), start));
    py::Ref old = before ? py::Ref::steal(PyUnicode_Substring(text, start, end)) : py::Ref();
    py::Ref after = old ? py::Ref::steal(PyUnicode_Substring(text, end, context_end(text, end)))
                        : py::Ref();
    py::Ref sample = after ? py::Ref::steal(PyTuple_Pack(4, before.get(), old.get(), replacement,
                                                         after.get()))
                           : py::Ref();
    return sample ? PyList_Append(samples.list.get(), sample.get()) : -1;
}

int note_samples(const Keyword& keyword, PyObject* text)
{
    if (!keyword.samples || is_full(*keyword.samples) || !PyUnicode_Check(text))
        return 0;
    py::Ref found = py::call_method(keyword.pattern, "finditer"_id, text);
    if (!found)
        return -1;
    return py::for_each(found.get(), [&](PyObject* match) {
        Py_ssize_t start = 0, end = 0;
        py::Ref replacement = span_of(match, start, end) < 0
            ? py::Ref() : expansion(match, keyword.new_keyword);
        if (!replacement || note_sample(*keyword.samples, text, start, end, replacement.get()) < 0)
            return -1;
        return is_full(*keyword.samples) ? 1 : 0;
    });
}

}  // namespace tw::rename
