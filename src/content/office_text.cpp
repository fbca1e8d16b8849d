#include "content/office_text.h"

#include "platform/fs.h"
#include "py/ops.h"

namespace tw::content {

int substitute_text(PyObject* holder, const rename::Keyword& keyword)
{
    py::Ref text = py::getattr(holder, "text"_id);
    rename::Replacement replaced;
    int matched = text ? rename::replace_in(keyword, text.get(), replaced) : -1;
    if (matched <= 0)
        return matched;
    return py::setattr(holder, "text"_id, replaced.text.get());
}

int save_over(PyObject* document, PyObject* file_path)
{
    return platform::replace_file(file_path, [&](PyObject* temp_path) {
        return py::call_method(document, "save"_id, temp_path) ? 0 : -1;
    });
}

}  // namespace tw::content
