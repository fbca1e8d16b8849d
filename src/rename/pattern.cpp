// The keyword pattern: the old keyword is a regular expression in which a
// `*` stands for any run of characters, as short as possible.
#include "py/names.h"
#include "py/unpack.h"
#include "rename/rename.h"

namespace tw::rename {

py::Ref convert_to_regex(PyObject* pattern)
{
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

int replace_in(const Keyword& keyword, PyObject* text, Replacement& out)
{
    py::Ref found = py::call_method(keyword.pattern, "search"_id, text);
    int matched = found ? py::truth(found.get()) : -1;
    if (matched <= 0)
        return matched;
    py::Ref result = py::call_method(keyword.pattern, "subn"_id, keyword.new_keyword, text);
    py::Ref parts[2];
    if (!result || py::unpack(result.get(), parts) < 0)
        return -1;
    Py_ssize_t count = PyLong_AsSsize_t(parts[1].get());
    if (count < 0 && PyErr_Occurred())
        return -1;
    out.text = parts[0];
    out.count = count;
    return note_samples(keyword, text) < 0 ? -1 : 1;
}

}  // namespace tw::rename
