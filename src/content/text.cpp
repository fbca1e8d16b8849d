// Plain text: the whole file as strict UTF-8, rewritten only when the
// keyword occurs. Text mode on both sides, so line ends come back as the
// platform's separator.
#include "content/content.h"
#include "py/builtins.h"
#include "platform/fs.h"
#include "py/scope.h"
#include "keyword/keyword.h"

namespace tw::content {

namespace {

// open(path, mode, encoding="utf-8")
py::Ref open_text(PyObject* path, py::Id mode)
{
    return py::call_kw(py::builtin_open(), {path, mode},
                       {{"encoding"_id, "utf-8"_id}});
}

py::Ref read_text(PyObject* file_path)
{
    py::Ref file = platform::checked_text(file_path, nullptr);
    if (!file)
        return {};
    py::Ref content;
    int status = py::with_scope(file.get(), [&](PyObject* entered) {
        content = py::call_method(entered, "read"_id);
        return content ? 0 : -1;
    });
    if (status > 0)
        py::unbound_after_suppressed_error("content");
    return status == 0 ? content : py::Ref();
}

int write_text(PyObject* path, PyObject* new_content)
{
    py::Ref file = open_text(path, "w"_id);
    if (!file)
        return -1;
    int status = py::with_scope(file.get(), [&](PyObject* entered) {
        return py::call_method(entered, "write"_id, new_content) ? 0 : -1;
    });
    return status > 0 ? py::incomplete_after_suppressed_error() : status;
}

}  // namespace

int decide_text_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    out = Decision{};
    py::Ref content = read_text(file_path);
    if (!content)
        return -1;
    keyword::Replacement new_content;
    int matched = keyword::replace_in(keyword, content.get(), new_content);
    if (matched <= 0)
        return matched;
    out.matches = new_content.count;
    out.write = [path = py::Ref::borrow(file_path), text = new_content.text]() {
        return platform::replace_file(path.get(), [&](PyObject* temp_path) {
            return write_text(temp_path, text.get());
        });
    };
    return 0;
}

py::Ref replace_text_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    return decide_and_write(file_path, old_keyword, new_keyword, decide_text_content);
}

}  // namespace tw::content
