// Matches one by one, with what each becomes, and the samples of them that
// a preview shows, taken where the deciding code finds them, so that what a
// preview shows is what the run replaces.
#include "keyword/engine.h"
#include "py/ops.h"
#include "py/unpack.h"

namespace tw::keyword {

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

// The match's own replacement: match.expand(template). A template without
// a backslash is its own expansion (as in sub), so it is not parsed.
py::Ref expansion(PyObject* match, PyObject* new_keyword)
{
    if (PyUnicode_Check(new_keyword)) {
        Py_ssize_t at = PyUnicode_FindChar(new_keyword, '\\', 0, PyUnicode_GET_LENGTH(new_keyword), 1);
        if (at == -2)
            return {};
        if (at == -1)
            return py::Ref::borrow(new_keyword);
    }
    return py::call_method(match, "expand"_id, new_keyword);
}

int read_offset(PyObject* number, Py_ssize_t& out)
{
    out = PyLong_AsSsize_t(number);
    return out == -1 && PyErr_Occurred() ? -1 : 0;
}

// match.span() as two offsets. 0, or -1.
int read_span(PyObject* match, Match& out)
{
    py::Ref span = py::call_method(match, "span"_id);
    py::Ref parts[2];
    if (!span || py::unpack(span.get(), parts) < 0)
        return -1;
    return read_offset(parts[0].get(), out.start) < 0 || read_offset(parts[1].get(), out.end) < 0
               ? -1 : 0;
}

// Calls `each` with the matches of the keyword in `text`, left to right,
// at most `limit` of them (all when negative), until it returns non-zero.
// 0, 1 when `each` stopped it, or -1.
template <class Each>
int for_each_match(const Keyword& keyword, PyObject* text, Py_ssize_t limit, Each&& each)
{
    py::Ref found = matches(keyword, text, limit);
    if (!found)
        return -1;
    return py::for_each(found.get(), [&](PyObject* item) {
        Match match;
        if (read_span(item, match) < 0 ||
            !(match.replacement = expansion(item, keyword.new_keyword)))
            return -1;
        return each(match);
    });
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
    if (!sample || PyList_Append(samples.list.get(), sample.get()) < 0)
        return -1;
    samples.formulas.push_back(samples.in_formula);
    return 0;
}

int note_samples(const Keyword& keyword, PyObject* text)
{
    if (!keyword.samples || is_full(*keyword.samples) || !PyUnicode_Check(text))
        return 0;
    Py_ssize_t wanted = keyword.samples->limit -
                        (keyword.samples->list ? PyList_GET_SIZE(keyword.samples->list.get()) : 0);
    int status = for_each_match(keyword, text, wanted, [&](Match& match) {
        if (note_sample(*keyword.samples, text, match.start, match.end, match.replacement.get()) < 0)
            return -1;
        return is_full(*keyword.samples) ? 1 : 0;
    });
    return status < 0 ? -1 : 0;
}

int find_matches(const Keyword& keyword, PyObject* text, std::vector<Match>& out)
{
    int status = for_each_match(keyword, text, -1, [&](Match& match) {
        if (!PyUnicode_Check(match.replacement.get())) {
            PyErr_SetString(PyExc_TypeError, "the replacement of a text match must be a str");
            return -1;
        }
        out.push_back(std::move(match));
        return 0;
    });
    return status < 0 ? -1 : 0;
}

}  // namespace tw::keyword
