// The keyword pattern: the old keyword is a regular expression in which a
// `*` stands for any run of characters, as short as possible.
#include "keyword/engine.h"
#include "keyword/keyword.h"
#include "py/names.h"
#include "py/unpack.h"
#include "run/report.h"

#include <algorithm>
#include <string_view>

namespace tw::keyword {

namespace {

template <class Char>
void expand_stars(const Char* keyword, Py_ssize_t length, Char* out)
{
    for (const Char* end = keyword + length; keyword != end; ++keyword) {
        if (*keyword == '*') {
            *out++ = '.';
            *out++ = '*';
            *out++ = '?';
        } else {
            *out++ = *keyword;
        }
    }
}

template <class Char>
Py_ssize_t count_stars(const void* data, Py_ssize_t length)
{
    const Char* chars = static_cast<const Char*>(data);
    return std::count(chars, chars + length, Char('*'));
}

// What str.replace("*", ".*?") gives for an exact str, with no method call:
// the keyword itself when it holds no `*` (as str.replace returns it), else
// a new string of the keyword's own kind, since the inserted characters are
// ASCII and a `*` was already there.
py::Ref expand_str(PyObject* keyword)
{
    if (PyUnicode_READY(keyword) < 0)
        return {};
    Py_ssize_t length = PyUnicode_GET_LENGTH(keyword);
    int kind = PyUnicode_KIND(keyword);
    const void* data = PyUnicode_DATA(keyword);
    Py_ssize_t stars = kind == PyUnicode_1BYTE_KIND   ? count_stars<Py_UCS1>(data, length)
                       : kind == PyUnicode_2BYTE_KIND ? count_stars<Py_UCS2>(data, length)
                                                      : count_stars<Py_UCS4>(data, length);
    if (stars == 0)
        return py::Ref::borrow(keyword);
    if (stars > (PY_SSIZE_T_MAX - length) / 2) {
        PyErr_SetString(PyExc_OverflowError, "replace string is too long");
        return {};
    }
    py::Ref result = py::Ref::steal(
        PyUnicode_New(length + 2 * stars, PyUnicode_MAX_CHAR_VALUE(keyword)));
    if (!result)
        return {};
    void* out = PyUnicode_DATA(result.get());
    if (kind == PyUnicode_1BYTE_KIND)
        expand_stars(static_cast<const Py_UCS1*>(data), length, static_cast<Py_UCS1*>(out));
    else if (kind == PyUnicode_2BYTE_KIND)
        expand_stars(static_cast<const Py_UCS2*>(data), length, static_cast<Py_UCS2*>(out));
    else
        expand_stars(static_cast<const Py_UCS4*>(data), length, static_cast<Py_UCS4*>(out));
    return result;
}

}  // namespace

// A built-in str's type cannot be changed, so its replace is known and done
// here; any other object, a str subclass included, is asked through its own
// `replace`, so that its override and its errors stay what they are.
py::Ref convert_to_regex(PyObject* pattern)
{
    if (PyUnicode_CheckExact(pattern))
        return expand_str(pattern);
    return py::call_method(pattern, "replace"_id, "*"_id, ".*?"_id);
}

namespace {

// ".*?".join(re.escape(part) for part in old_keyword.split("*")): plain
// text in which only `*` stands for any run of characters.
py::Ref plain_expression(PyObject* re, PyObject* old_keyword)
{
    if (!PyUnicode_Check(old_keyword)) {
        PyErr_Format(PyExc_TypeError, "a plain-text keyword must be a str, not %.200s",
                     Py_TYPE(old_keyword)->tp_name);
        return {};
    }
    py::Ref star = py::Ref::borrow("*"_id.get());
    py::Ref parts = star ? py::Ref::steal(PyUnicode_Split(old_keyword, star.get(), -1)) : py::Ref();
    if (!parts)
        return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        py::Ref escaped = py::call_method(re, "escape"_id, PyList_GET_ITEM(parts.get(), i));
        if (!escaped || PyList_SetItem(parts.get(), i, escaped.release()) < 0)
            return {};
    }
    py::Ref wildcard = py::Ref::borrow(".*?"_id.get());
    return wildcard ? py::Ref::steal(PyUnicode_Join(wildcard.get(), parts.get())) : py::Ref();
}

// The new keyword as plain text: each backslash doubled, so that the
// template gives it back as it is.
py::Ref plain_template(PyObject* new_keyword)
{
    py::Ref one = py::Ref::borrow("\\"_id.get());
    py::Ref two = one ? py::Ref::borrow("\\\\"_id.get()) : py::Ref();
    return two ? py::Ref::steal(PyUnicode_Replace(new_keyword, one.get(), two.get(), -1)) : py::Ref();
}

// re.compile(expression), or with re.IGNORECASE.
py::Ref compile_expression(PyObject* re, PyObject* expression, bool ignore_case)
{
    if (!ignore_case)
        return py::call_method(re, "compile"_id, expression);
    py::Ref flag = py::getattr(re, "IGNORECASE"_id);
    return flag ? py::call_method(re, "compile"_id, expression, flag) : py::Ref();
}

}  // namespace

int compile_for(const run::Options& options, PyObject* old_keyword, PyObject* new_keyword,
                Compiled& out)
{
    out = Compiled{};
    py::Ref expression;
    py::Ref re;
    if (options.regular_expression) {
        py::Ref convert = py::global("convert_to_regex"_id);
        expression = convert ? py::call(convert.get(), old_keyword) : py::Ref();
        re = expression ? py::global("re"_id) : py::Ref();
    } else {
        re = py::global("re"_id);
        expression = re ? plain_expression(re.get(), old_keyword) : py::Ref();
    }
    bool ignore_case = !options.case_sensitive;
    out.pattern = re ? compile_expression(re.get(), expression.get(), ignore_case) : py::Ref();
    if (!out.pattern)
        return -1;
    if (new_keyword) {
        out.new_keyword = options.regular_expression ? py::Ref::borrow(new_keyword)
                                                     : plain_template(new_keyword);
        if (!out.new_keyword)
            return -1;
    }
    if (!options.from_window)
        return 0;
    return compile_matcher(expression.get(), out.new_keyword.get(), ignore_case, out);
}

int compile_keyword(PyObject* old_keyword, PyObject* new_keyword, Compiled& out)
{
    return compile_for(run::current_options(), old_keyword, new_keyword, out);
}

int compile_checked(PyObject* old_keyword, PyObject* new_keyword, Compiled& out)
{
    if (compile_keyword(old_keyword, new_keyword, out) < 0)
        return -1;
    py::Ref empty = py::Ref::steal(PyUnicode_New(0, 0));
    if (!empty || !py::call_method(out.pattern.get(), "sub"_id, out.new_keyword, empty))
        return -1;
    return 0;
}

int matches_empty_text(const Keyword& keyword)
{
    py::Ref empty = py::Ref::steal(PyUnicode_New(0, 0));
    py::Ref found = empty ? search(keyword, empty.get()) : py::Ref();
    return found ? py::truth(found.get()) : -1;
}

int substitute(const Keyword& keyword, PyObject* text, Replacement& out)
{
    py::Ref result = subn(keyword, text);
    py::Ref parts[2];
    if (!result || py::unpack(result.get(), parts) < 0)
        return -1;
    Py_ssize_t count = PyLong_AsSsize_t(parts[1].get());
    if (count < 0 && PyErr_Occurred())
        return -1;
    out.text = parts[0];
    out.count = count;
    return 0;
}

int replace_in(const Keyword& keyword, PyObject* text, Replacement& out)
{
    if (keyword.matcher) {
        // One pass instead of two, each of regex's timed calls being
        // costly: subn counts a match wherever search would find one.
        if (substitute(keyword, text, out) < 0)
            return -1;
        return out.count == 0 ? 0 : (note_samples(keyword, text) < 0 ? -1 : 1);
    }
    py::Ref found = search(keyword, text);
    int matched = found ? py::truth(found.get()) : -1;
    if (matched <= 0)
        return matched;
    if (substitute(keyword, text, out) < 0)
        return -1;
    return note_samples(keyword, text) < 0 ? -1 : 1;
}

}  // namespace tw::keyword
