#include "run/paths.h"

#include "platform/fs.h"
#include "platform/unlocked.h"

#include <string>

namespace tw::run {

namespace {

// os.path's functions as the module found them at start-up. Their rules
// are written out below for POSIX paths only; on Windows (ntpath) they are
// always called.
py::Ref& g_join = py::process_wide_ref();
py::Ref& g_splitext = py::process_wide_ref();
py::Ref& g_islink = py::process_wide_ref();

// os.path.<name> as the module's os gives it now; `own` tells whether it is
// the function noted at start-up.
py::Ref path_function(py::Id name, const py::Ref& noted, bool& own)
{
    py::Ref path = os_path();
    py::Ref function = path ? py::getattr(path.get(), name) : py::Ref();
    own = function && function.get() == noted.get();
    return function;
}

bool plain_str(PyObject* first, PyObject* second = nullptr)
{
    return PyUnicode_CheckExact(first) && (!second || PyUnicode_CheckExact(second));
}

py::Ref concat(PyObject* first, PyObject* second)
{
    return py::Ref::steal(PyUnicode_Concat(first, second));
}

// posixpath.join(folder, name): a name that starts at the root replaces the
// folder; otherwise one separator between them, unless the folder is empty
// or ends in one.
py::Ref posix_join(PyObject* folder, PyObject* name)
{
    Py_ssize_t folder_length = PyUnicode_GET_LENGTH(folder);
    if (PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '/')
        return py::Ref::borrow(name);
    if (folder_length == 0 || PyUnicode_READ_CHAR(folder, folder_length - 1) == '/')
        return concat(folder, name);
    py::Ref head = concat(folder, "/"_id.get());
    return head ? concat(head.get(), name) : py::Ref();
}

// posixpath.splitext(path): the extension begins at the last dot after the
// last separator, unless only dots precede it in the name.
py::Ref posix_splitext(PyObject* path)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    Py_ssize_t separator = PyUnicode_FindChar(path, '/', 0, length, -1);
    Py_ssize_t dot = PyUnicode_FindChar(path, '.', 0, length, -1);
    if (separator == -2 || dot == -2)
        return {};
    for (Py_ssize_t i = separator + 1; dot > separator && i < dot; ++i) {
        if (PyUnicode_READ_CHAR(path, i) != '.') {
            py::Ref root = py::Ref::steal(PyUnicode_Substring(path, 0, dot));
            py::Ref extension = root ? py::Ref::steal(PyUnicode_Substring(path, dot, length)) : py::Ref();
            return extension ? py::Ref::steal(PyTuple_Pack(2, root.get(), extension.get())) : py::Ref();
        }
    }
    py::Ref empty = py::Ref::steal(PyUnicode_Substring(path, 0, 0));
    return empty ? py::Ref::steal(PyTuple_Pack(2, path, empty.get())) : py::Ref();
}

// posixpath.islink(path): an lstat that fails, or a path the system cannot
// take, is not a link.
int posix_islink(PyObject* path)
{
    platform::native::String native;
    if (!platform::to_native(path, native)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    platform::native::FileInfo info;
    platform::native::Error error = 0;
    {
        platform::Unlocked unlocked;
        error = platform::native::file_info(native, false, info);
    }
    return error == 0 && info.link ? 1 : 0;
}

}  // namespace

py::Ref os_path()
{
    py::Ref os = py::global("os"_id);
    return os ? py::getattr(os.get(), "path"_id) : py::Ref();
}

int know_path_functions()
{
#ifndef _WIN32
    py::Ref path = os_path();
    g_join = path ? py::getattr(path.get(), "join"_id) : py::Ref();
    g_splitext = g_join ? py::getattr(path.get(), "splitext"_id) : py::Ref();
    g_islink = g_splitext ? py::getattr(path.get(), "islink"_id) : py::Ref();
    return g_islink ? 0 : -1;
#else
    return 0;
#endif
}

py::Ref join_path(PyObject* folder, PyObject* name)
{
    bool own = false;
    py::Ref join = path_function("join"_id, g_join, own);
    if (own && plain_str(folder, name))
        return posix_join(folder, name);
    return join ? py::call(join.get(), folder, name) : py::Ref();
}

py::Ref split_extension(PyObject* path)
{
    bool own = false;
    py::Ref splitext = path_function("splitext"_id, g_splitext, own);
    if (own && plain_str(path))
        return posix_splitext(path);
    return splitext ? py::call(splitext.get(), path) : py::Ref();
}

int is_link(PyObject* path)
{
    bool own = false;
    py::Ref islink = path_function("islink"_id, g_islink, own);
    if (own && plain_str(path))
        return posix_islink(path);
    py::Ref link = islink ? py::call(islink.get(), path) : py::Ref();
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
