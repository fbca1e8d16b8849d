#include "run/probe.h"

#include "platform/fs.h"
#include "py/error.h"
#include "run/paths.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>

namespace tw::run {

namespace {

constexpr long kFileTypeMask = 0170000;
constexpr long kRegularFile = 0100000;
constexpr Py_ssize_t kBinaryProbeSize = 8192;  // as grep and ripgrep decide

// A stat result's integer attribute; -1 with the exception set.
long long stat_field(PyObject* stat_result, py::Id name)
{
    py::Ref value = py::getattr(stat_result, name);
    return value ? PyLong_AsLongLong(value.get()) : -1;
}

int is_regular(PyObject* stat_result)
{
    long long mode = stat_field(stat_result, "st_mode"_id);
    if (mode == -1 && PyErr_Occurred())
        return -1;
    return (mode & kFileTypeMask) == kRegularFile;
}

// A link that leads nowhere: dangling, or a loop of links.
bool leads_nowhere()
{
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError))
        return true;
#ifdef ELOOP
    if (PyErr_ExceptionMatches(PyExc_OSError)) {
        py::PendingError error;
        bool loop = py::errno_of(error.value()) == ELOOP;
        error.restore();
        return loop;
    }
#endif
    return false;
}

// os.<name>, a flag for os.open or os.access, or 0 where the platform has
// no such flag.
long os_flag(PyObject* os, py::Id name)
{
    py::Ref value = py::getattr(os, name);
    if (!value) {
        PyErr_Clear();
        return 0;
    }
    long flag = PyLong_AsLong(value.get());
    if (flag == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return flag;
}

// os.access(path, mode) with the os module's flags named: 1, 0 or -1.
int may_access(PyObject* path, std::initializer_list<py::Id> flags)
{
    py::Ref os = py::global("os"_id);
    if (!os)
        return -1;
    long mode = 0;
    for (py::Id flag : flags)
        mode |= os_flag(os.get(), flag);
    py::Ref mode_value = py::Ref::steal(PyLong_FromLong(mode));
    py::Ref allowed = mode_value ? py::call_method(os.get(), "access"_id, path, mode_value) : py::Ref();
    return allowed ? py::truth(allowed.get()) : -1;
}

int refuse_access(PyObject* first, PyObject* second = nullptr)
{
    errno = EACCES;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, first, second);
    return -1;
}

int may_change_folder(PyObject* folder)
{
    return may_access(folder, {"W_OK"_id, "X_OK"_id});
}

}  // namespace

bool is_own_temporary(PyObject* filename)
{
    platform::native::String name;
    if (!PyUnicode_Check(filename))
        return false;
    if (!platform::to_native(filename, name)) {
        PyErr_Clear();  // a name the system cannot take is nobody's temporary file
        return false;
    }
    return platform::native::is_temp_name(name);
}

int probe_file(PyObject* path, FileState& out)
{
    out = FileState{};
    py::Ref info = stat_path(path, false);
    if (!info)
        return PyErr_ExceptionMatches(PyExc_FileNotFoundError) ? (PyErr_Clear(), 0) : -1;
    long long mode = stat_field(info.get(), "st_mode"_id);
    if (mode == -1 && PyErr_Occurred())
        return -1;
    out.link = (mode & kFileTypeMask) == 0120000;
    if (out.link) {
        info = stat_path(path, true);
        if (!info)
            return leads_nowhere() ? (PyErr_Clear(), 0) : -1;
    }
    int regular = is_regular(info.get());
    if (regular < 0)
        return -1;
    out.regular = regular;
    if (regular)
        out.stat = info;
    return 0;
}

int looks_binary(PyObject* path)
{
    py::Ref file = platform::open_checked(path);
    if (!file) {
        // Not a regular file by now, or not the one probed: passed over too.
        if (!PyErr_ExceptionMatches(PyExc_OSError))
            return -1;
        PyErr_Clear();
        return 1;
    }
    py::Ref size = py::Ref::steal(PyLong_FromSsize_t(kBinaryProbeSize));
    py::Ref head = size ? py::call_method(file.get(), "read"_id, size) : py::Ref();
    if (!head || !PyBytes_Check(head.get())) {
        if (head)
            PyErr_SetString(PyExc_TypeError, "read did not return bytes");
        return py::fail_after([&] { return py::call_method(file.get(), "close"_id) ? 0 : -1; });
    }
    if (!py::call_method(file.get(), "close"_id))
        return -1;
    return std::memchr(PyBytes_AS_STRING(head.get()), 0,
                       static_cast<std::size_t>(PyBytes_GET_SIZE(head.get()))) != nullptr;
}

py::Ref write_signature(PyObject* stat_result)
{
    static const py::Id fields[] = {"st_dev"_id, "st_ino"_id, "st_size"_id, "st_mtime_ns"_id,
                                    "st_ctime_ns"_id};
    py::Ref signature = py::Ref::steal(PyTuple_New(5));
    if (!signature)
        return {};
    for (Py_ssize_t i = 0; i < 5; ++i) {
        py::Ref value = py::getattr(stat_result, fields[i]);
        if (!value)
            return {};
        PyTuple_SET_ITEM(signature.get(), i, value.release());
    }
    return signature;
}

py::Ref real_path(PyObject* path)
{
    py::Ref os_path_module = os_path();
    py::Ref real = os_path_module ? py::call_method(os_path_module.get(), "realpath"_id, path) : py::Ref();
    return real ? py::call_method(os_path_module.get(), "normcase"_id, real) : py::Ref();
}

// The run's own check (see platform::check_may_write): a file in a folder
// that refuses new files is still rewritten, in place, so only the file
// decides.
int check_may_write(PyObject* path) { return platform::check_may_write(path); }

int check_may_rename(PyObject* folder, PyObject* src, PyObject* dst)
{
    int writable = may_change_folder(folder);
    if (writable <= 0)
        return writable < 0 ? -1 : refuse_access(src, dst);
    return 0;
}

int check_inside(PyObject* real_root, PyObject* path)
{
    py::Ref target = real_path(path);
    py::Ref os = target ? py::global("os"_id) : py::Ref();
    py::Ref sep = os ? py::getattr(os.get(), "sep"_id) : py::Ref();
    if (!sep)
        return -1;
    if (!PyUnicode_Check(target.get()) || !PyUnicode_Check(real_root)) {
        PyErr_SetString(PyExc_TypeError, "paths must be str");
        return -1;
    }
    py::Ref prefix = py::Ref::borrow(real_root);
    if (PyUnicode_Tailmatch(real_root, sep.get(), 0, PY_SSIZE_T_MAX, 1) != 1)
        prefix = py::Ref::steal(PyUnicode_Concat(real_root, sep.get()));
    if (!prefix)
        return -1;
    Py_ssize_t inside = PyUnicode_Tailmatch(target.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
    if (inside != 0)
        return inside < 0 ? -1 : 0;
    PyErr_Format(PyExc_PermissionError, "%R leads to %R, outside the chosen folder", path,
                 target.get());
    return -1;
}

}  // namespace tw::run
