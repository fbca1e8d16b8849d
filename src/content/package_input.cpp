// What python-docx and python-pptx are handed: never a path (they would
// open whatever the path names by then), the checked content instead.
#include "content/package.h"

#include "platform/fs.h"
#include "py/ops.h"

namespace tw::content {

namespace {

// What the library says of a path where it finds no package.
void refuse_as_library(PyObject* file_path, const char* exceptions_module)
{
    py::Ref module = py::Ref::steal(PyImport_ImportModule(exceptions_module));
    py::Ref refusal = module ? py::getattr(module.get(), "PackageNotFoundError"_id) : py::Ref();
    py::Ref message = refusal ? py::Ref::steal(PyUnicode_FromFormat("Package not found at '%S'", file_path))
                              : py::Ref();
    if (message)
        PyErr_SetObject(refusal.get(), message.get());
}

}  // namespace

py::Ref package_for_library(PyObject* file_path, const char* exceptions_module)
{
    py::Ref stream = platform::checked_stream(file_path);
    if (!stream && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        PyErr_Clear();
        refuse_as_library(file_path, exceptions_module);
        return {};
    }
    py::Ref zipfile = stream ? py::Ref::steal(PyImport_ImportModule("zipfile")) : py::Ref();
    py::Ref is_zip = zipfile ? py::call_method(zipfile.get(), "is_zipfile"_id, stream) : py::Ref();
    py::Ref start = is_zip ? py::Ref::steal(PyLong_FromLong(0)) : py::Ref();
    int zip = start && py::call_method(stream.get(), "seek"_id, start) ? py::truth(is_zip.get()) : -1;
    if (zip != 0)
        return zip < 0 ? py::Ref() : stream;
    refuse_as_library(file_path, exceptions_module);
    return {};
}

}  // namespace tw::content
