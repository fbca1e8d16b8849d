#include "platform/walk.h"

namespace tw::platform {

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

py::Ref start_walk(PyObject* root)
{
    py::Ref os = py::global("os"_id);
    return os ? py::call_method(os.get(), "walk"_id, root) : py::Ref();
}

}  // namespace tw::platform
