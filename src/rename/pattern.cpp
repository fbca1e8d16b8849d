// The keyword pattern: the old keyword is a regular expression in which a
// `*` stands for any run of characters, as short as possible.
#include "py/names.h"
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

}  // namespace tw::rename
