#include "content/office_text.h"

#include "platform/fs.h"
#include "py/ops.h"

namespace tw::content {

namespace {

int text_matches(PyObject* holder, const Substitution& sub)
{
    py::Ref text = py::getattr(holder, "text"_id);
    if (!text)
        return -1;
    py::Ref found = py::call_method(sub.pattern, "search"_id, text);
    if (!found)
        return -1;
    return py::truth(found.get());
}

}  // namespace

int substitute_text(PyObject* holder, const Substitution& sub)
{
    int matched = text_matches(holder, sub);
    if (matched <= 0)
        return matched;
    // The text is read afresh for the substitution, as the library may
    // hand out a different string on each read.
    py::Ref text = py::getattr(holder, "text"_id);
    if (!text)
        return -1;
    py::Ref new_text = py::call_method(sub.pattern, "sub"_id, sub.new_keyword, text);
    if (!new_text)
        return -1;
    return py::setattr(holder, "text"_id, new_text.get());
}

int save_over(PyObject* document, PyObject* file_path)
{
    return platform::replace_file(file_path, [&](PyObject* temp_path) {
        return py::call_method(document, "save"_id, temp_path) ? 0 : -1;
    });
}

}  // namespace tw::content
