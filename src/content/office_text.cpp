#include "content/office_text.h"

#include "platform/fs.h"
#include "py/ops.h"

namespace tw::content {

int save_over(PyObject* document, PyObject* file_path)
{
    return platform::replace_file(file_path, [&](PyObject* temp_path) {
        return py::call_method(document, "save"_id, temp_path) ? 0 : -1;
    });
}

}  // namespace tw::content
