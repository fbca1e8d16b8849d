#include "run/paths.h"

#include <string>

namespace tw::run {

py::Ref os_path()
{
    py::Ref os = py::global("os"_id);
    return os ? py::getattr(os.get(), "path"_id) : py::Ref();
}

py::Ref join_path(PyObject* folder, PyObject* name)
{
    py::Ref path = os_path();
    return path ? py::call_method(path.get(), "join"_id, folder, name) : py::Ref();
}

int is_link(PyObject* path)
{
    py::Ref os_path_module = os_path();
    py::Ref link = os_path_module ? py::call_method(os_path_module.get(), "islink"_id, path) : py::Ref();
    return link ? py::truth(link.get()) : -1;
}

py::Ref stat_path(PyObject* path, bool follow_links)
{
    py::Ref os = py::global("os"_id);
    if (!os)
        return {};
    return py::call_method(os.get(), follow_links ? "stat"_id : "lstat"_id, path);
}

std::string display_text(PyObject* path)
{
    py::Ref text = py::Ref::steal(PyObject_Str(path));
    py::Ref bytes = text ? py::Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"))
                         : py::Ref();
    if (!bytes) {
        PyErr_Clear();  // only for display: an unshowable path shows as nothing
        return {};
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace tw::run
