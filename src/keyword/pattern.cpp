// The keyword pattern: the old keyword is a regular expression in which a
// `*` stands for any run of characters, as short as possible.
#include "keyword/keyword.h"
#include "py/names.h"
#include "py/unpack.h"

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

py::Ref compile_keyword(PyObject* old_keyword)
{
    py::Ref convert = py::global("convert_to_regex"_id);
    if (!convert)
        return {};
    py::Ref expression = py::call(convert.get(), old_keyword);
    if (!expression)
        return {};
    py::Ref re = py::global("re"_id);
    if (!re)
        return {};
    return py::call_method(re.get(), "compile"_id, expression);
}

py::Ref compile_checked(PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref pattern = compile_keyword(old_keyword);
    if (!pattern)
        return {};
    py::Ref empty = py::Ref::steal(PyUnicode_New(0, 0));
    if (!empty || !py::call_method(pattern.get(), "sub"_id, new_keyword, empty))
        return {};
    return pattern;
}

int substitute(const Keyword& keyword, PyObject* text, Replacement& out)
{
    py::Ref result = py::call_method(keyword.pattern, "subn"_id, keyword.new_keyword, text);
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
    py::Ref found = py::call_method(keyword.pattern, "search"_id, text);
    int matched = found ? py::truth(found.get()) : -1;
    if (matched <= 0)
        return matched;
    if (substitute(keyword, text, out) < 0)
        return -1;
    return note_samples(keyword, text) < 0 ? -1 : 1;
}

}  // namespace tw::keyword
