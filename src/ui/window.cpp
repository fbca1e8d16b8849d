// The main window: the icon file, the layout (with what the last session
// remembered), and the event loop that hands each press of the run button
// to the run's flow.
#include "ui/ui.h"

#include "platform/fs.h"
#include "py/names.h"
#include "py/error.h"
#include "py/scope.h"
#include "run/paths.h"
#include "ui/flow.h"
#include "ui/icon.h"
#include "ui/message.h"
#include "ui/options.h"
#include "ui/toolkit.h"
#include "ui/undo.h"

#include <array>
#include <vector>

namespace tw::ui {

namespace {

// ---- display ------------------------------------------------------------------

// 1 when the error is the toolkit's own (tkinter.TclError), 0 if not, -1.
int is_tcl_error(PyObject* error)
{
    py::Ref tkinter = py::Ref::steal(PyImport_ImportModule("tkinter"));
    py::Ref tcl_error = tkinter ? py::getattr(tkinter.get(), "TclError"_id) : py::Ref();
    return tcl_error ? PyErr_GivenExceptionMatches(error, tcl_error.get()) : -1;
}

// Without a desktop no window can open: the program says so in one line
// and exits (SystemExit with the line as its message) instead of leaving a
// traceback, and before it writes anything.
int check_display()
{
    py::Ref window_type = toolkit("Window"_id);
    if (!window_type)
        return -1;
    if (py::call_method(window_type.get(), "get_screen_size"_id))
        return 0;
    py::PendingError error;
    // The toolkit failing to open its first Tk window: there is no display.
    int no_display = is_tcl_error(error.value());
    if (no_display == 0)
        error.restore();
    if (no_display <= 0) {
        if (no_display < 0)
            error.chain_into_pending();
        return -1;
    }
    py::Ref reason = py::Ref::steal(PyObject_Str(error.value()));
    py::Ref line = reason ? py::Ref::steal(PyUnicode_FromFormat(
        "termweave_mira7 needs a desktop (a display) to open its window: %U", reason.get())) : py::Ref();
    if (line)
        PyErr_SetObject(PyExc_SystemExit, line.get());
    return -1;
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
int write_new_file(PyObject* path, PyObject* data)
{
    return py::with_file_written(path, "xb"_id, [&](PyObject* file) {
        return py::call_method(file, "write"_id, data) ? 0 : -1;
    });
}

// The icon goes to a new file in the current folder that is then renamed
// over "brelvo.ico": the rename replaces whatever bears that name, a
// symbolic link included, where writing to the name would follow the link
// and overwrite its target. On failure the new file is removed.
int replace_icon_file(PyObject* data)
{
    py::Ref os = py::Ref::steal(PyImport_ImportModule("os"));
    py::Ref temp = os ? platform::temp_file_name() : py::Ref();
    if (!temp)
        return -1;
    if (write_new_file(temp.get(), data) < 0)
        return -1;  // nothing of ours was made (a name taken is never opened)
    if (py::call_method(os.get(), "replace"_id, temp, "brelvo.ico"_id))
        return 0;
    return py::fail_after([&] { return py::call_method(os.get(), "unlink"_id, temp) ? 0 : -1; });
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

PyObject* boolean(bool value) { return value ? Py_True : Py_False; }

// The folder field shows the folder of the last run, when there was one.
py::Ref folder_row(const Settings& saved, py::Ref& browse)
{
    std::array<py::Ref, 2> row;
    bool made = (row[0] = saved.folder
                     ? element("InputText"_id, {}, {{"default_text"_id, saved.folder},
                                                    {"key"_id, "folder_path"_id}})
                     : element("InputText"_id, {}, {{"key"_id, "folder_path"_id}}))
        && (row[1] = element("FolderBrowse"_id, {}, {{"button_text"_id, "选择文件夹"_id}}));
    browse = row[1];
    return made ? list_of(row) : py::Ref();
}

// A keyword field that also drops down the keywords last used, showing the
// last one. Its width stays put when the list changes.
py::Ref keyword_row(py::Id label, py::Id key, PyObject* remembered)
{
    std::array<py::Ref, 2> row;
    PyObject* last = PyList_GET_SIZE(remembered) > 0 ? PyList_GET_ITEM(remembered, 0) : ""_id.get();
    py::Ref size = last ? py::Ref::steal(Py_BuildValue("(ii)", 43, 1)) : py::Ref();
    bool made = size && (row[0] = element("Text"_id, {label.get()}, {}))
        && (row[1] = element("Combo"_id, {remembered},
                             {{"default_value"_id, last}, {"key"_id, key.get()},
                              {"size"_id, size}, {"auto_size_text"_id, Py_False}}));
    return made ? list_of(row) : py::Ref();
}

py::Ref recursion_row(const Settings& saved)
{
    std::array<py::Ref, 1> row;
    row[0] = element("Checkbox"_id, {"递归搜索"_id},
                     {{"key"_id, "recursive"_id}, {"default"_id, boolean(saved.recursive)}});
    return row[0] ? list_of(row) : py::Ref();
}

py::Ref mode_button(py::Id text, py::Id key, bool selected)
{
    if (selected)
        return element("Radio"_id, {text, "mode"_id}, {{"key"_id, key}, {"default"_id, Py_True}});
    return element("Radio"_id, {text, "mode"_id}, {{"key"_id, key}});
}

py::Ref mode_row(const Settings& saved)
{
    std::array<py::Ref, 3> row;
    bool made = (row[0] = mode_button("替换文件夹名称"_id, "mode_folder"_id,
                                      saved.mode == ModeKind::folders))
        && (row[1] = mode_button("替换文件名称"_id, "mode_filename"_id,
                                 saved.mode == ModeKind::file_names))
        && (row[2] = mode_button("替换文件内容"_id, "mode_content"_id,
                                 saved.mode == ModeKind::contents));
    return made ? list_of(row) : py::Ref();
}

py::Ref button_row()
{
    std::array<py::Ref, 3> row;
    bool made = (row[0] = element("Button"_id, {"执行替换"_id}, {}))
        && (row[1] = element("Button"_id, {"撤销上次替换"_id}, {}))
        && (row[2] = element("Button"_id, {"退出"_id}, {}));
    return made ? list_of(row) : py::Ref();
}

// The specified rows, the option rows below the mode row, and the buttons
// last, showing what `saved` remembers. `browse` receives the
// folder-browse button.
py::Ref build_layout(const Settings& saved, py::Ref& browse)
{
    std::vector<py::Ref> rows;
    auto add = [&](py::Ref row) {
        bool made = static_cast<bool>(row);
        if (made)
            rows.push_back(std::move(row));
        return made;
    };
    bool made = add(folder_row(saved, browse))
        && add(keyword_row("旧关键字："_id, "old_keyword"_id, saved.old_keywords.get()))
        && add(keyword_row("新关键字："_id, "new_keyword"_id, saved.new_keywords.get()))
        && add(recursion_row(saved)) && add(mode_row(saved))
        && add_option_rows(saved.options, rows) == 0 && add(button_row());
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

// ---- the folder field -------------------------------------------------------------

// The browse button opens its dialog in the folder already typed, when
// that is a folder (otherwise where the dialog would start anyway).
struct BrowseStart {
    PyObject* browse;
    py::Ref typed;  // the folder text last looked at

    int follow(PyObject* values)
    {
        if (!PyDict_Check(values))
            return 0;
        PyObject* key = "folder_path"_id.get();
        PyObject* folder = key ? PyDict_GetItemWithError(values, key) : nullptr;
        if (!folder)
            return PyErr_Occurred() ? -1 : 0;
        // Looked at only when it changed: a folder on an unreachable share
        // can take long to answer.
        int same = typed ? py::equals(typed.get(), folder) : 0;
        if (same != 0)
            return same < 0 ? -1 : 0;
        typed = py::Ref::borrow(folder);
        py::Ref os_path = run::os_path();
        py::Ref is_folder = os_path ? py::call_method(os_path.get(), "isdir"_id, folder) : py::Ref();
        int found = is_folder ? py::truth(is_folder.get()) : -1;
        if (found < 0)
            return -1;
        return py::setattr(browse, "InitialFolder"_id, found ? folder : Py_None);
    }
};

// ---- event loop ---------------------------------------------------------------

int run_event_loop(const Owner& owner, Session& session, PyObject* browse)
{
    BrowseStart browse_start{browse, {}};
    for (;;) {
        py::Ref event, values;
        if (read_window(owner, owner.window, event, values) < 0)
            return -1;
        int leave = is_exit_event(event.get());
        if (leave)
            return leave < 0 ? -1 : 0;
        if (browse_start.follow(values.get()) < 0)
            return -1;
        int run = py::equals(event.get(), "执行替换"_id);
        int undo = run == 0 ? py::equals(event.get(), "撤销上次替换"_id) : 0;
        if (run < 0 || undo < 0)
            return -1;
        int status = run ? handle_run(owner, session, values.get())
                   : undo ? handle_undo(owner, values.get()) : 0;
        if (status != 0)
            return status < 0 ? -1 : 0;
    }
}

// A settings file that was set aside is told once, over the main window.
int tell_settings_problem(const Owner& owner, const Session& session)
{
    PyObject* problem = session.file.problem.get();
    if (!problem)
        return 0;
    return py::call_method(owner.window, "finalize"_id) ? show_message(owner, problem) : -1;
}

}  // namespace

py::Ref main_window()
{
    if (check_display() < 0)
        return {};
    int icon = write_icon_file();
    if (icon < 0)
        return {};
    InterruptRelay interrupts;
    Session session;
    if (interrupts.start() < 0 || load_settings(session.settings, session.file) < 0)
        return {};
    Owner owner{nullptr, icon > 0, &interrupts};
    py::Ref browse;
    py::Ref layout = build_layout(session.settings, browse);
    py::Ref window = layout ? open_window(layout.get(), owner.with_icon) : py::Ref();
    owner.window = window.get();
    if (!window || tell_settings_problem(owner, session) < 0 ||
        run_event_loop(owner, session, browse.get()) < 0)
        return {};
    if (!py::call_method(window.get(), "close"_id))
        return {};
    // One that came while the window closed still ends the program.
    return interrupts.has_caught() ? (interrupts.raise_caught(), py::Ref()) : py::none();
}

}  // namespace tw::ui
