// Reading a file the way every read of a run goes (no link followed that
// appeared since the path was resolved, without blocking, a regular file
// only, checked to be the file the run decided on, bounded by its size).
#include "platform/fs.h"

#include "platform/core/os.h"
#include "platform/unlocked.h"
#include "py/builtins.h"
#include "py/ops.h"

#include <utility>

namespace tw::platform {

namespace {

using native::Error;

// A file object over an open descriptor (a handle on Windows), which it
// then owns.
py::Ref file_object(native::os::File& file)
{
#ifdef _WIN32
    py::Ref msvcrt = py::Ref::steal(PyImport_ImportModule("msvcrt"));
    py::Ref handle = msvcrt ? py::Ref::steal(PyLong_FromVoidPtr(file.release_handle())) : py::Ref();
    py::Ref flags = handle ? py::Ref::steal(PyLong_FromLong(0)) : py::Ref();
    py::Ref fd = flags ? py::call_method(msvcrt.get(), "open_osfhandle"_id, handle, flags) : py::Ref();
#else
    py::Ref fd = py::Ref::steal(PyLong_FromLong(file.release_descriptor()));
#endif
    return fd ? py::call(py::builtin_open(), fd, "rb"_id) : py::Ref();
}

// str() of a checked stream: the path it was read from, so that a library
// that names its input in a message names the file as it did for a path.
PyObject* stream_name(PyObject* self) noexcept { return PyObject_GetAttrString(self, "name"); }

// io.BytesIO with that str().
PyObject* checked_stream_type()
{
    static py::Ref& type = py::process_wide_ref();
    if (type)
        return type.get();
    py::Ref io = py::Ref::steal(PyImport_ImportModule("io"));
    py::Ref base = io ? py::getattr(io.get(), "BytesIO"_id) : py::Ref();
    py::Ref bases = base ? py::Ref::steal(PyTuple_Pack(1, base.get())) : py::Ref();
    if (!bases)
        return nullptr;
    static PyType_Slot slots[] = {{Py_tp_str, reinterpret_cast<void*>(stream_name)}, {0, nullptr}};
    static PyType_Spec spec = {"termweave_mira7.CheckedStream", 0, 0, Py_TPFLAGS_DEFAULT, slots};
    type = py::Ref::steal(PyType_FromSpecWithBases(&spec, bases.get()));
    return type.get();
}

}  // namespace

py::Ref read_checked(PyObject* path)
{
    native::String native_path;
    if (!to_native(path, native_path))
        return {};
    const native::FileId* expected = expected_for(path);
    std::string bytes;
    Error error = 0;
    {
        Unlocked unlocked;
        error = native::read_checked(native_path, expected, bytes);
    }
    if (error) {
        raise_os_error(error, path);
        return {};
    }
    return py::Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

py::Ref open_checked(PyObject* path)
{
    native::String native_path, target;
    if (!to_native(path, native_path))
        return {};
    const native::FileId* expected = expected_for(path);
    native::os::File file;
    Error error = 0;
    {
        Unlocked unlocked;
        error = native::os::resolve_target(native_path, target);
        if (!error)
            error = file.open_checked(target, expected);
    }
    if (error) {
        raise_os_error(error, path);
        return {};
    }
    return file_object(file);
}

py::Ref checked_stream(PyObject* path)
{
    py::Ref bytes = read_checked(path);
    PyObject* type = bytes ? checked_stream_type() : nullptr;
    py::Ref stream = type ? py::call(type, bytes) : py::Ref();
    if (!stream || py::setattr(stream.get(), "name"_id, path) < 0)
        return {};
    return stream;
}

py::Ref checked_text(PyObject* path, PyObject* newline)
{
    py::Ref stream = checked_stream(path);
    py::Ref io = stream ? py::Ref::steal(PyImport_ImportModule("io")) : py::Ref();
    py::Ref wrapper = io ? py::getattr(io.get(), "TextIOWrapper"_id) : py::Ref();
    if (!wrapper)
        return {};
    if (!newline)
        return py::call_kw(wrapper.get(), {stream}, {{"encoding"_id, "utf-8"_id}});
    return py::call_kw(wrapper.get(), {stream}, {{"encoding"_id, "utf-8"_id}, {"newline"_id, newline}});
}

int check_may_write(PyObject* path)
{
    native::String native_path;
    if (!to_native(path, native_path))
        return -1;
    Error error = 0;
    {
        Unlocked unlocked;
        error = native::may_write(native_path);
    }
    return error ? raise_os_error(error, path) : 0;
}

}  // namespace tw::platform
