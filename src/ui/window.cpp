// The main window: the icon file, the layout, and the event loop that runs
// one of the three operations per press of the run button.
#include "ui/ui.h"

#include "py/builtins.h"
#include "py/names.h"
#include "py/error.h"
#include "py/scope.h"
#include "py/unpack.h"
#include "ui/icon.h"

#include <array>
#include <span>

namespace tw::ui {

namespace {

struct Mode {
    py::Id key;
    py::Id operation;
};

// Read in this order; the first selected radio button picks the operation.
const Mode g_modes[] = {
    {"mode_folder"_id, "replace_folder_names"_id},
    {"mode_filename"_id, "replace_file_names"_id},
    {"mode_content"_id, "replace_file_contents"_id},
};

// The operation's four arguments, in the order it takes them.
const py::Id g_value_keys[] = {"folder_path"_id, "old_keyword"_id, "new_keyword"_id, "recursive"_id};

py::Ref item(PyObject* container, py::Id key)
{
    PyObject* str = key.get();
    return str ? py::Ref::steal(PyObject_GetItem(container, str)) : py::Ref();
}

// sg.<kind>, with sg looked up now: a host may rebind it between calls.
py::Ref toolkit(py::Id kind)
{
    py::Ref sg = py::global("sg"_id);
    return sg ? py::getattr(sg.get(), kind) : py::Ref();
}

// ---- icon file --------------------------------------------------------------

// base64.b64decode(ico), with base64 looked up now.
py::Ref icon_bytes()
{
    py::Ref ico = icon_text();
    py::Ref base64 = ico ? py::global("base64"_id) : py::Ref();
    return base64 ? py::call_method(base64.get(), "b64decode"_id, ico) : py::Ref();
}

// open(path, "xb"): never opens what is already there, a link included.
// A leftover of this process's own (a crash between writing and renaming)
// is removed once; removing a link removes only the link.
py::Ref create_new(PyObject* os, PyObject* path)
{
    py::Ref file = py::call(py::builtin_open(), path, "xb"_id);
    if (file || !PyErr_ExceptionMatches(PyExc_FileExistsError))
        return file;
    PyErr_Clear();
    if (!py::call_method(os, "unlink"_id, path))
        return {};
    return py::call(py::builtin_open(), path, "xb"_id);
}

int write_new_file(PyObject* os, PyObject* path, PyObject* data)
{
    py::Ref file = create_new(os, path);
    if (!file)
        return -1;
    int status = py::with_scope(file.get(), [&](PyObject* entered) {
        return py::call_method(entered, "write"_id, data) ? 0 : -1;
    });
    return status > 0 ? py::incomplete_after_suppressed_error() : status;
}

// The icon goes to a new file in the current folder that is then renamed
// over "brelvo.ico": the rename replaces whatever bears that name, a
// symbolic link included, where writing to the name would follow the link
// and overwrite its target. On failure the new file is removed.
int replace_icon_file(PyObject* data)
{
    py::Ref os = py::Ref::steal(PyImport_ImportModule("os"));
    py::Ref pid = os ? py::call_method(os.get(), "getpid"_id) : py::Ref();
    py::Ref temp = pid ? py::Ref::steal(PyUnicode_FromFormat(".termweave-brelvo-%S.tmp", pid.get()))
                       : py::Ref();
    if (!temp)
        return -1;
    if (write_new_file(os.get(), temp.get(), data) == 0 &&
        py::call_method(os.get(), "replace"_id, temp, "brelvo.ico"_id))
        return 0;
    py::PendingError error;
    if (!py::call_method(os.get(), "unlink"_id, temp))
        PyErr_Clear();
    error.restore();
    return -1;
}

// 1 when "brelvo.ico" holds the icon, 0 when the current folder refused it
// (the window then goes without an icon), -1 on any other error.
int write_icon_file()
{
    py::Ref data = icon_bytes();
    if (!data)
        return -1;
    if (replace_icon_file(data.get()) == 0)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_OSError))
        return -1;
    PyErr_Clear();
    return 0;
}

// ---- layout -----------------------------------------------------------------

py::Ref element(py::Id kind, std::initializer_list<py::Arg> positional,
                std::initializer_list<py::Keyword> keywords)
{
    py::Ref factory = toolkit(kind);
    return factory ? py::call_kw(factory.get(), positional, keywords) : py::Ref();
}

py::Ref list_of(std::span<const py::Ref> items)
{
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list)
        return {};
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
    return list;
}

py::Ref folder_row()
{
    std::array<py::Ref, 2> row;
    bool made = (row[0] = element("InputText"_id, {}, {{"key"_id, "folder_path"_id}}))
        && (row[1] = element("FolderBrowse"_id, {}, {{"button_text"_id, "选择文件夹"_id}}));
    return made ? list_of(row) : py::Ref();
}

py::Ref labelled_field_row(py::Id label, py::Id key)
{
    std::array<py::Ref, 2> row;
    bool made = (row[0] = element("Text"_id, {label.get()}, {}))
        && (row[1] = element("InputText"_id, {}, {{"key"_id, key.get()}}));
    return made ? list_of(row) : py::Ref();
}

py::Ref recursion_row()
{
    std::array<py::Ref, 1> row;
    row[0] = element("Checkbox"_id, {"递归搜索"_id},
                     {{"key"_id, "recursive"_id}, {"default"_id, Py_True}});
    return row[0] ? list_of(row) : py::Ref();
}

py::Ref mode_row()
{
    py::Id group = "mode"_id;
    std::array<py::Ref, 3> row;
    bool made = (row[0] = element("Radio"_id, {"替换文件夹名称"_id, group},
                                  {{"key"_id, "mode_folder"_id}, {"default"_id, Py_True}}))
        && (row[1] = element("Radio"_id, {"替换文件名称"_id, group},
                             {{"key"_id, "mode_filename"_id}}))
        && (row[2] = element("Radio"_id, {"替换文件内容"_id, group},
                             {{"key"_id, "mode_content"_id}}));
    return made ? list_of(row) : py::Ref();
}

py::Ref button_row()
{
    std::array<py::Ref, 2> row;
    bool made = (row[0] = element("Button"_id, {"执行替换"_id}, {}))
        && (row[1] = element("Button"_id, {"退出"_id}, {}));
    return made ? list_of(row) : py::Ref();
}

py::Ref build_layout()
{
    std::array<py::Ref, 6> rows;
    bool made = (rows[0] = folder_row())
        && (rows[1] = labelled_field_row("旧关键字："_id, "old_keyword"_id))
        && (rows[2] = labelled_field_row("新关键字："_id, "new_keyword"_id))
        && (rows[3] = recursion_row())
        && (rows[4] = mode_row())
        && (rows[5] = button_row());
    return made ? list_of(rows) : py::Ref();
}

py::Ref open_window(PyObject* layout, bool with_icon)
{
    py::Ref window_type = toolkit("Window"_id);
    if (!window_type)
        return {};
    py::Id title = "关键字替换工具_mira7"_id;
    if (with_icon)
        return py::call_kw(window_type.get(), {title, layout}, {{"icon"_id, "brelvo.ico"_id}});
    return py::call_kw(window_type.get(), {title, layout}, {});
}

// ---- pop-ups ----------------------------------------------------------------

int show_popup(py::Arg text, bool with_icon)
{
    py::Ref popup = toolkit("popup"_id);
    if (!popup)
        return -1;
    py::Ref shown = with_icon
        ? py::call_kw(popup.get(), {text}, {{"icon"_id, "brelvo.ico"_id}})
        : py::call_kw(popup.get(), {text}, {});
    return shown ? 0 : -1;
}

// Drops an ordinary error met while describing another; an interrupt stays.
int drop_ordinary_error()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

// str(error), or its type's name when that says nothing (or fails).
py::Ref error_message(PyObject* error)
{
    py::Ref text = py::Ref::steal(PyObject_Str(error));
    if (!text && drop_ordinary_error() < 0)
        return {};
    if (text && PyUnicode_GetLength(text.get()) > 0)
        return text;
    return py::Ref::steal(PyType_GetName(Py_TYPE(error)));
}

// Appends str(note) for each note the error carries; a malformed
// __notes__ is ignored rather than hiding the error itself.
int append_notes(PyObject* lines, PyObject* error)
{
    py::Ref notes = py::getattr(error, "__notes__"_id);
    if (!notes)
        return drop_ordinary_error();
    if (PyUnicode_Check(notes.get()))
        return 0;
    int status = py::for_each(notes.get(), [&](PyObject* note) {
        py::Ref text = py::Ref::steal(PyObject_Str(note));
        return text ? PyList_Append(lines, text.get()) : -1;
    });
    return status < 0 ? drop_ordinary_error() : 0;
}

// "替换失败：" and the pending error's message, then its notes one per line.
// Takes the pending exception.
py::Ref failure_text()
{
    py::PendingError error;
    PyObject* prefix = "替换失败："_id.get();
    if (!error.value() || !prefix)
        return {};
    py::Ref message = error_message(error.value());
    py::Ref first = message ? py::Ref::steal(PyUnicode_Concat(prefix, message.get())) : py::Ref();
    py::Ref lines = first ? py::Ref::steal(PyList_New(0)) : py::Ref();
    if (!lines || PyList_Append(lines.get(), first.get()) < 0 || append_notes(lines.get(), error.value()) < 0)
        return {};
    PyObject* newline = "\n"_id.get();
    return newline ? py::Ref::steal(PyUnicode_Join(newline, lines.get())) : py::Ref();
}

// A failed run must not take the window down with it; only ordinary errors
// are reported, so Ctrl+C and exit requests still end the program.
int report_failure(bool with_icon)
{
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    py::Ref text = failure_text();
    return text ? show_popup(text.get(), with_icon) : -1;
}

// ---- event loop ---------------------------------------------------------------

// The operation named by the first selected mode: 1, 0 when none is
// selected, -1 on error.
int chosen_operation(PyObject* values, py::Id* operation)
{
    for (const Mode& mode : g_modes) {
        py::Ref selected = item(values, mode.key);
        int on = selected ? py::truth(selected.get()) : -1;
        if (on != 0) {
            *operation = mode.operation;
            return on;
        }
    }
    return 0;
}

int run_replacement(PyObject* values, bool with_icon)
{
    std::array<py::Ref, 4> args;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!(args[i] = item(values, g_value_keys[i])))
            return -1;
    }
    py::Id name{};
    int chosen = chosen_operation(values, &name);
    if (chosen < 0)
        return -1;
    if (chosen) {
        py::Ref operation = py::global(name);
        if (!operation)
            return -1;
        if (!py::call(operation.get(), args[0], args[1], args[2], args[3]))
            return report_failure(with_icon);
    }
    return show_popup("替换完成！"_id, with_icon);
}

// 1 when the event ends the loop (window closed or "退出"), 0 if not, -1 on error.
int is_exit_event(PyObject* event)
{
    py::Ref closed = toolkit("WIN_CLOSED"_id);
    int hit = closed ? py::equals(event, closed.get()) : -1;
    return hit != 0 ? hit : py::equals(event, "退出"_id);
}

int run_event_loop(PyObject* window, bool with_icon)
{
    for (;;) {
        py::Ref result = py::call_method(window, "read"_id);
        std::array<py::Ref, 2> pair;  // event, values
        if (!result || py::unpack(result.get(), pair) < 0)
            return -1;
        int leave = is_exit_event(pair[0].get());
        if (leave)
            return leave < 0 ? -1 : 0;
        int run = py::equals(pair[0].get(), "执行替换"_id);
        if (run < 0 || (run && run_replacement(pair[1].get(), with_icon) < 0))
            return -1;
    }
}

}  // namespace

py::Ref main_window()
{
    int icon = write_icon_file();
    if (icon < 0)
        return {};
    bool with_icon = icon > 0;
    py::Ref layout = build_layout();
    py::Ref window = layout ? open_window(layout.get(), with_icon) : py::Ref();
    if (!window || run_event_loop(window.get(), with_icon) < 0)
        return {};
    return py::call_method(window.get(), "close"_id) ? py::none() : py::Ref();
}

}  // namespace tw::ui
