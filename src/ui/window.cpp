// The main window: the icon file, the layout, and the event loop that runs
// one of the three operations per press of the run button, off the event
// thread, after checking what the user typed and after the user has seen
// and confirmed what it would do.
#include "ui/ui.h"

#include "content/content.h"
#include "platform/fs.h"
#include "py/builtins.h"
#include "py/names.h"
#include "py/error.h"
#include "py/scope.h"
#include "py/unpack.h"
#include "rename/rename.h"
#include "run/paths.h"
#include "ui/background.h"
#include "ui/checks.h"
#include "ui/icon.h"
#include "ui/message.h"
#include "ui/off_thread.h"
#include "ui/preview.h"
#include "ui/progress.h"
#include "ui/summary.h"
#include "ui/toolkit.h"
#include "ui/undo.h"

#include <array>
#include <optional>

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
    py::Ref file = py::call(py::builtin_open(), path, "xb"_id);
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

py::Ref folder_row(py::Ref& browse)
{
    std::array<py::Ref, 2> row;
    bool made = (row[0] = element("InputText"_id, {}, {{"key"_id, "folder_path"_id}}))
        && (row[1] = element("FolderBrowse"_id, {}, {{"button_text"_id, "选择文件夹"_id}}));
    browse = row[1];
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
    std::array<py::Ref, 3> row;
    bool made = (row[0] = element("Button"_id, {"执行替换"_id}, {}))
        && (row[1] = element("Button"_id, {"撤销上次替换"_id}, {}))
        && (row[2] = element("Button"_id, {"退出"_id}, {}));
    return made ? list_of(row) : py::Ref();
}

// `browse` receives the folder-browse button.
py::Ref build_layout(py::Ref& browse)
{
    std::array<py::Ref, 6> rows;
    bool made = (rows[0] = folder_row(browse))
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

// Puts `path` in the folder field. Through the field's own text variable:
// the element's update() also re-applies this theme's colours, which Tk
// refuses, and fails after the text has changed.
int set_folder_field(PyObject* window, PyObject* path)
{
    py::Ref field = item(window, "folder_path"_id);
    py::Ref text = field ? py::getattr(field.get(), "TKStringVar"_id) : py::Ref();
    return text && py::call_method(text.get(), "set"_id, path) ? 0 : -1;
}

// os.path.normpath(path)
py::Ref normalised(PyObject* path)
{
    py::Ref os_path = run::os_path();
    return os_path ? py::call_method(os_path.get(), "normpath"_id, path) : py::Ref();
}

// When folder renaming renamed the chosen folder itself, the folder field
// shows its new path, so the next run finds it.
int follow_renamed_folder(const Owner& owner, const Request& request, const run::Report& report)
{
    if (request.mode != ModeKind::folders || !PyUnicode_Check(request.folder.get()))
        return 0;
    PyObject* renamed = report.renamed_folders();
    py::Ref chosen = renamed ? normalised(request.folder.get()) : py::Ref();
    if (!chosen)
        return -1;
    py::Ref new_path;
    int status = py::for_each(renamed, [&](PyObject* pair) {
        std::array<py::Ref, 2> paths;  // old, new
        if (py::unpack(pair, paths) < 0)
            return -1;
        py::Ref old_path = normalised(paths[0].get());
        int same = old_path ? py::equals(old_path.get(), chosen.get()) : -1;
        if (same > 0)
            new_path = paths[1];
        return same;
    });
    if (status < 0)
        return -1;
    return new_path ? set_folder_field(owner.window, new_path.get()) : 0;
}

// ---- one run ------------------------------------------------------------------

// The summary of a finished run. 0, or -1 with the exception set.
int report_outcome(const Owner& owner, const Request& request, const BackgroundRun& run,
                   const Ended& ended)
{
    if (follow_renamed_folder(owner, request, run.report()) < 0)
        return -1;
    py::Ref text = summary_text({request.mode, run.report(), run.cancelled(),
                                 ended.error ? ended.error->value() : nullptr});
    return text ? show_message(owner, text.get()) : -1;
}

// Runs the request's operation off the event thread and waits for it;
// `undoable`: it keeps what undo needs. Returns 1 when the user left the
// program meanwhile, 0 to go on, -1.
int run_operation(const Owner& owner, const Request& request, bool undoable)
{
    py::Ref operation = py::global(request.operation);
    if (!operation)
        return -1;
    BackgroundRun run;
    run.options().undoable = undoable;
    Ended ended;
    if (run_off_thread(owner, run, Pass::act, [&] {
            return py::call(operation.get(), request.folder, request.old_keyword,
                            request.new_keyword, request.recursive);
        }, ended) < 0)
        return -1;
    return ended.leaving ? 1 : report_outcome(owner, request, run, ended);
}

using PlanFunction = int (*)(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                             PyObject* recursive, run::Plan& plan);

PlanFunction plan_function(ModeKind mode)
{
    switch (mode) {
    case ModeKind::folders: return rename::plan_folder_names;
    case ModeKind::file_names: return rename::plan_file_names;
    case ModeKind::contents: break;
    }
    return content::plan_file_contents;
}

// What came of building a plan.
enum class Planned {
    ready,    // the plan is complete
    dropped,  // cancelled, or failed (and the user was told why)
    leaving,  // the user left the program meanwhile
};

// Builds the request's plan off the event thread, with the same code that
// the operation decides with; nothing on disk changes. 0 with `planned`
// set, or -1 with the exception set.
int build_plan(const Owner& owner, const Request& request, run::Plan& plan, Planned& planned)
{
    PlanFunction decide = plan_function(request.mode);
    BackgroundRun run;
    Ended ended;
    if (run_off_thread(owner, run, Pass::plan, [&] {
            int status = decide(request.folder.get(), request.old_keyword.get(),
                                request.new_keyword.get(), request.recursive.get(), plan);
            return status < 0 ? py::Ref() : py::none();
        }, ended) < 0)
        return -1;
    planned = ended.leaving ? Planned::leaving
            : ended.error || run.cancelled() ? Planned::dropped : Planned::ready;
    if (!ended.error || ended.leaving)
        return 0;
    // Only an error that ends the whole run ends a plan (a bad keyword or
    // template); nothing was changed, so no counts go with it.
    run::Report nothing;
    py::Ref text = summary_text({request.mode, nothing, false, ended.error->value()});
    return text ? show_message(owner, text.get()) : -1;
}

// Plans the request, shows the plan, and runs the operation when the user
// confirms it. Returns 1 when the user left the program meanwhile, 0 to go
// on, -1.
int preview_and_run(const Owner& owner, const Request& request)
{
    int clear = settle_before_preview(owner, request);
    if (clear <= 0)
        return clear;
    run::Plan plan;
    Planned planned = Planned::dropped;
    if (build_plan(owner, request, plan, planned) < 0)
        return -1;
    if (planned != Planned::ready)
        return planned == Planned::leaving ? 1 : 0;
    PlanCounts counts = count_plan(plan);
    if (counts.nothing_to_do()) {
        py::Ref text = nothing_found_text(counts);
        return text ? show_message(owner, text.get()) : -1;
    }
    bool confirmed = false, undoable = true;
    PreviewWords words;
    if (limit_backups(plan, request, counts, words, undoable) < 0 ||
        show_preview(owner, request, plan, counts, confirmed, words) < 0)
        return -1;
    plan.clear();  // the run decides afresh
    return confirmed ? run_operation(owner, request, undoable) : 0;
}

int set_run_enabled(const Owner& owner, bool enabled)
{
    return update_element(owner.window, "执行替换"_id, {"disabled"_id, enabled ? Py_False : Py_True});
}

// A press of the run button: check what was typed, plan, preview, run. The
// run button stays disabled until the run's summary has been shown.
// Returns 1 when the user left the program meanwhile, 0 to go on, -1.
int handle_run(const Owner& owner, PyObject* values)
{
    Request request;
    py::Ref problem;
    if (read_request(values, request) < 0 || check_request(request, problem) < 0)
        return -1;
    if (problem)
        return show_message(owner, problem.get());
    if (!request.has_mode)
        return show_message(owner, "替换完成！"_id.get());
    if (set_run_enabled(owner, false) < 0)
        return -1;
    int status = preview_and_run(owner, request);
    return status != 0 ? status : set_run_enabled(owner, true);
}

// ---- event loop ---------------------------------------------------------------

int run_event_loop(const Owner& owner, PyObject* browse)
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
        int status = run ? handle_run(owner, values.get()) : undo ? handle_undo(owner, values.get()) : 0;
        if (status != 0)
            return status < 0 ? -1 : 0;
    }
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
    if (interrupts.start() < 0)
        return {};
    Owner owner{nullptr, icon > 0, &interrupts};
    py::Ref browse;
    py::Ref layout = build_layout(browse);
    py::Ref window = layout ? open_window(layout.get(), owner.with_icon) : py::Ref();
    owner.window = window.get();
    if (!window || run_event_loop(owner, browse.get()) < 0)
        return {};
    if (!py::call_method(window.get(), "close"_id))
        return {};
    // One that came while the window closed still ends the program.
    return interrupts.has_caught() ? (interrupts.raise_caught(), py::Ref()) : py::none();
}

}  // namespace tw::ui
