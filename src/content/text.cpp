// Plain text: the whole file as strict UTF-8, rewritten only when the
// keyword occurs. Text mode on both sides, so line ends come back as the
// platform's separator.
#include "content/content.h"
#include "module/state.h"
#include "platform/fs.h"
#include "py/scope.h"
#include "rename/rename.h"

namespace tw::content {

namespace {

// open(path, mode, encoding="utf-8")
py::Ref open_text(PyObject* path, py::Id mode)
{
    return py::call_kw(module::builtin_open(), {path, mode.get()},
                       {{"encoding"_id, "utf-8"_id.get()}});
}

py::Ref read_text(PyObject* file_path)
{
    py::Ref file = open_text(file_path, "r"_id);
    if (!file)
        return {};
    py::Ref content;
    int status = py::with_scope(file.get(), [&](PyObject* entered) {
        content = py::call_method(entered, "read"_id);
        return content ? 0 : -1;
    });
    return status < 0 ? py::Ref() : content;
}

int write_text(PyObject* path, PyObject* new_content)
{
    py::Ref file = open_text(path, "w"_id);
    if (!file)
        return -1;
    return py::with_scope(file.get(), [&](PyObject* entered) {
        return py::call_method(entered, "write"_id, new_content) ? 0 : -1;
    });
}

}  // namespace

py::Ref replace_text_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref pattern = rename::compile_keyword(old_keyword);
    if (!pattern)
        return {};
    py::Ref content = read_text(file_path);
    if (!content)
        return {};
    py::Ref found = py::call_method(pattern.get(), "search"_id, content);
    if (!found)
        return {};
    int matched = py::truth(found.get());
    if (matched < 0)
        return {};
    if (!matched)
        return py::none();
    py::Ref new_content = py::call_method(pattern.get(), "sub"_id, new_keyword, content);
    if (!new_content)
        return {};
    int status = platform::replace_file(file_path, [&](PyObject* temp_path) {
        return write_text(temp_path, new_content.get());
    });
    return status < 0 ? py::Ref() : py::none();
}

}  // namespace tw::content
