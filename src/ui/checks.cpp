#include "ui/checks.h"

#include "run/paths.h"
#include "ui/options.h"
#include "ui/toolkit.h"

namespace tw::ui {

namespace {

struct Mode {
    py::Id key;
    ModeKind kind;
    py::Id operation;
};

// Read in this order; the first selected radio button picks the operation.
const Mode g_modes[] = {
    {"mode_folder"_id, ModeKind::folders, "replace_folder_names"_id},
    {"mode_filename"_id, ModeKind::file_names, "replace_file_names"_id},
    {"mode_content"_id, ModeKind::contents, "replace_file_contents"_id},
};

int choose_mode(PyObject* values, Request& request)
{
    for (const Mode& mode : g_modes) {
        py::Ref selected = item(values, mode.key);
        int on = selected ? py::truth(selected.get()) : -1;
        if (on < 0)
            return -1;
        if (on) {
            request.has_mode = true;
            request.mode = mode.kind;
            request.operation = mode.operation;
            return 0;
        }
    }
    return 0;
}

// 1 when the value is text holding nothing but white space, 0 if not, -1.
int is_blank(PyObject* value)
{
    if (!PyUnicode_Check(value))
        return 0;
    py::Ref stripped = py::call_method(value, "strip"_id);
    return stripped ? PyUnicode_GET_LENGTH(stripped.get()) == 0 : -1;
}

// os.path.<test>(path): 1, 0 or -1.
int path_test(py::Id test, PyObject* path)
{
    py::Ref os_path = run::os_path();
    py::Ref answer = os_path ? py::call_method(os_path.get(), test, path) : py::Ref();
    return answer ? py::truth(answer.get()) : -1;
}

py::Ref problem_with_path(py::Id format, PyObject* path)
{
    return format_text(format, py::Ref::steal(PyTuple_Pack(1, path)));
}

// Which ends of a text hold white space: bit 1 the start, bit 2 the end.
int padded_ends(PyObject* text)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0)
        return 0;
    return (Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, 0)) ? 1 : 0) |
           (Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, length - 1)) ? 2 : 0);
}

// "文件夹不存在", with the path quoted and its spaces pointed out when it
// begins or ends with some: they are invisible otherwise.
int folder_missing(PyObject* folder, py::Ref& problem)
{
    int padded = PyUnicode_Check(folder) ? padded_ends(folder) : 0;
    if (padded == 0) {
        problem = problem_with_path("替换失败：文件夹不存在：%s"_id, folder);
        return problem ? 0 : -1;
    }
    py::Id format = padded == 1 ? "替换失败：文件夹不存在：“%s”（路径开头有空格）"_id
                  : padded == 2 ? "替换失败：文件夹不存在：“%s”（路径末尾有空格）"_id
                                : "替换失败：文件夹不存在：“%s”（路径开头和末尾有空格）"_id;
    problem = problem_with_path(format, folder);
    return problem ? 0 : -1;
}

// Sets `problem` when the folder field does not name an existing folder.
int check_folder(PyObject* folder, py::Ref& problem)
{
    int blank = is_blank(folder);
    if (blank < 0)
        return -1;
    if (blank) {
        problem = py::Ref::borrow("替换失败：请先选择要处理的文件夹。"_id.get());
        return problem ? 0 : -1;
    }
    int is_folder = path_test("isdir"_id, folder);
    if (is_folder != 0)
        return is_folder < 0 ? -1 : 0;
    int exists = path_test("exists"_id, folder);
    if (exists < 0)
        return -1;
    if (exists) {
        problem = problem_with_path("替换失败：所选路径不是文件夹：%s"_id, folder);
        return problem ? 0 : -1;
    }
    return folder_missing(folder, problem);
}

}  // namespace

int read_request(PyObject* values, Request& request)
{
    if (!(request.folder = item(values, "folder_path"_id))
        || !(request.old_keyword = item(values, "old_keyword"_id))
        || !(request.new_keyword = item(values, "new_keyword"_id))
        || !(request.recursive = item(values, "recursive"_id)))
        return -1;
    return choose_mode(values, request) < 0 ? -1 : read_options(values, request.options);
}

int check_request(const Request& request, py::Ref& problem)
{
    problem = py::Ref();
    if (check_folder(request.folder.get(), problem) < 0)
        return -1;
    if (problem)
        return 0;
    PyObject* old_keyword = request.old_keyword.get();
    if (PyUnicode_Check(old_keyword) && PyUnicode_GET_LENGTH(old_keyword) == 0) {
        problem = py::Ref::borrow("替换失败：旧关键字不能为空。"_id.get());
        return problem ? 0 : -1;
    }
    return 0;
}

}  // namespace tw::ui
