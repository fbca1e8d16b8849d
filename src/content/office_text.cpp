#include "content/office_text.h"

#include "content/package.h"
#include "platform/fs.h"
#include "py/names.h"
#include "py/ops.h"

namespace tw::content {

int save_over(PyObject* document, PyObject* file_path)
{
    return platform::replace_file(file_path, [&](PyObject* temp_path) {
        return py::call_method(document, "save"_id, temp_path) ? 0 : -1;
    });
}

py::Ref load_unless_unmatched(PyObject* file_path, const keyword::Keyword& keyword, PackageScan::Kind kind)
{
    int unmatched = check_package_for_text(file_path, keyword, kind);
    if (unmatched != 0)
        return unmatched < 0 ? py::Ref() : py::none();
    bool document = kind == PackageScan::Kind::document;
    // Looked up in the module's namespace at each use, like every name the
    // handlers call.
    py::Ref found = py::global(document ? "docx"_id : "Presentation"_id);
    py::Ref load = found && document ? py::getattr(found.get(), "Document"_id) : found;
    return load ? py::call(load.get(), file_path) : py::Ref();
}

}  // namespace tw::content
