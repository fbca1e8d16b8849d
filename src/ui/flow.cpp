#include "ui/flow.h"

#include "content/content.h"
#include "keyword/keyword.h"
#include "py/error.h"
#include "py/names.h"
#include "py/unpack.h"
#include "rename/rename.h"
#include "run/kept.h"
#include "run/paths.h"
#include "ui/background.h"
#include "ui/message.h"
#include "ui/off_thread.h"
#include "ui/preview.h"
#include "ui/progress.h"
#include "ui/reasons.h"
#include "ui/summary.h"
#include "ui/undo.h"

#include <array>

namespace tw::ui {

namespace {

// ---- the folder field -------------------------------------------------------------

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
// shows its new path, so the next run finds it. `followed` gets that path.
int follow_renamed_folder(const Owner& owner, const Request& request, const run::Report& report,
                          py::Ref& followed)
{
    if (request.mode != ModeKind::folders || !PyUnicode_Check(request.folder.get()))
        return 0;
    PyObject* renamed = report.renamed_folders();
    py::Ref chosen = renamed ? normalised(request.folder.get()) : py::Ref();
    if (!chosen)
        return -1;
    int status = py::for_each(renamed, [&](PyObject* pair) {
        std::array<py::Ref, 2> paths;  // old, new
        if (py::unpack(pair, paths) < 0)
            return -1;
        py::Ref old_path = normalised(paths[0].get());
        int same = old_path ? py::equals(old_path.get(), chosen.get()) : -1;
        if (same > 0)
            followed = paths[1];
        return same;
    });
    if (status < 0)
        return -1;
    return followed ? set_folder_field(owner.window, followed.get()) : 0;
}

// ---- settings -----------------------------------------------------------------------

// Saves the settings; a failure is told once, and the run goes on.
int save_quietly(const Owner& owner, Session& session)
{
    if (save_settings(session.settings, session.file) == 0)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_OSError))
        return -1;
    py::PendingError error;
    if (session.told_unsaved)
        return 0;
    session.told_unsaved = true;
    py::Ref reason = reason_text(error.value());
    py::Ref original = reason ? original_text(error.value()) : py::Ref();
    py::Ref text = original ? format_text("设置无法保存（%s）：%s\n%s"_id, py::Ref::steal(PyTuple_Pack(
        3, reason.get(), session.file.path.get(), original.get()))) : py::Ref();
    return text ? show_message(owner, text.get()) : -1;
}

// The keyword fields' drop-downs list the remembered keywords, the typed
// one first.
int show_remembered(const Owner& owner, const Session& session, const Request& request)
{
    struct Field { py::Id key; const py::Ref& typed; const py::Ref& list; };
    for (const Field& field : {Field{"old_keyword"_id, request.old_keyword, session.settings.old_keywords},
                               Field{"new_keyword"_id, request.new_keyword, session.settings.new_keywords}}) {
        py::Ref element_ = item(owner.window, field.key);
        py::Ref update = element_ ? py::getattr(element_.get(), "update"_id) : py::Ref();
        if (!update || !py::call_kw(update.get(), {}, {{"value"_id, field.typed},
                                                       {"values"_id, field.list}}))
            return -1;
    }
    return 0;
}

int remember(const Owner& owner, Session& session, const Request& request)
{
    if (remember_request(session.settings, request) < 0 || save_quietly(owner, session) < 0)
        return -1;
    return show_remembered(owner, session, request);
}

// ---- one run ------------------------------------------------------------------

// What the plan foresaw, for the run that follows it.
struct Foreseen {
    long items = 0;   // items the run will take up
    py::Ref left_out; // the paths the user left out, or null
    bool undoable = true;  // keep what undo needs (the backups fit the limit)
    // The plan's decisions on files, kept for its run (see run::Options::kept).
    run::KeptDecisions* kept = nullptr;
};

// Runs `task` off the event thread with the request's options (and what
// the plan foresaw) and waits for it: see run_off_thread.
int run_for_request(const Owner& owner, const Request& request, BackgroundRun& run, Pass pass,
                    const Foreseen& foreseen, BackgroundRun::Task task, Ended& ended)
{
    if (!run.ready())
        return -1;
    run::Options& options = run.options();
    options = request.options;
    options.from_window = true;
    options.left_out = foreseen.left_out;
    options.undoable = foreseen.undoable;
    options.kept = foreseen.kept;
    return run_off_thread(owner, run, pass, foreseen.items, std::move(task), ended);
}

// Says how a run (or a plan that could not be made) ended.
int report_outcome(const Owner& owner, const Request& request, const run::Report& report,
                   bool stopped_early, const Ended& ended)
{
    Summary summary;
    RunEnding ending{request.mode, report, stopped_early,
                     ended.error ? ended.error->value() : nullptr,
                     request.old_keyword.get(), request.new_keyword.get()};
    return make_summary(ending, summary) < 0 ? -1 : show_summary(owner, summary);
}

// Runs the request's operation off the event thread and waits for it.
// Returns 1 when the user left the program meanwhile, 0 to go on, -1.
int run_operation(const Owner& owner, Session& session, const Request& request,
                  const Foreseen& foreseen)
{
    py::Ref operation = py::global(request.operation);
    if (!operation)
        return -1;
    BackgroundRun run;
    Ended ended;
    if (run_for_request(owner, request, run, Pass::act, foreseen, [&] {
            return py::call(operation.get(), request.folder, request.old_keyword,
                            request.new_keyword, request.recursive);
        }, ended) < 0)
        return -1;
    py::Ref followed;
    if (follow_renamed_folder(owner, request, run.report(), followed) < 0)
        return -1;
    if (followed && (session.settings.folder = followed, save_quietly(owner, session) < 0))
        return -1;
    // A stop that came after the last item left nothing undone.
    bool stopped_early = run.cancelled() &&
                         (foreseen.items == 0 || run.report().seen.load() < foreseen.items);
    if (report_outcome(owner, request, run.report(), stopped_early, ended) < 0)
        return -1;
    return ended.leaving ? 1 : 0;
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
// the operation decides with; nothing on disk changes. Its decisions on
// files go into `foreseen.kept`. 0 with `planned` and `foreseen.items`
// set, or -1 with the exception set.
int build_plan(const Owner& owner, const Request& request, run::Plan& plan, Planned& planned,
               Foreseen& foreseen)
{
    PlanFunction decide = plan_function(request.mode);
    BackgroundRun run;
    Ended ended;
    Foreseen planning;
    planning.kept = foreseen.kept;
    if (run_for_request(owner, request, run, Pass::plan, planning, [&] {
            int status = decide(request.folder.get(), request.old_keyword.get(),
                                request.new_keyword.get(), request.recursive.get(), plan);
            return status < 0 ? py::Ref() : py::none();
        }, ended) < 0)
        return -1;
    foreseen.items = run.report().seen.load();
    planned = ended.leaving ? Planned::leaving
            : ended.error || run.cancelled() ? Planned::dropped : Planned::ready;
    if (!ended.error || ended.leaving)
        return 0;
    // Only an error that ends the whole run ends a plan (a bad keyword or
    // template); nothing was changed, so no counts go with it.
    run::Report nothing;
    return report_outcome(owner, request, nothing, false, ended);
}

// The preview's warning when the keyword, compiled as the run compiles it,
// matches the empty text: it would then match between any two characters.
// 0 with `warning` set (or left empty), or -1 with the exception set.
int empty_match_warning(const Request& request, py::Ref& warning)
{
    keyword::Compiled compiled;
    if (keyword::compile_for(request.options, request.old_keyword.get(),
                             request.new_keyword.get(), compiled) < 0)
        return -1;
    int empty = keyword::matches_empty_text(compiled.keyword());
    if (empty > 0)
        warning = py::Ref::borrow(
            "旧关键字可以匹配空文本：新关键字会插入到每两个字符之间（例如 abc 变成 YaYbYcY），请检查关键字。"_id.get());
    return empty < 0 || (empty > 0 && !warning) ? -1 : 0;
}

// Plans the request, shows the plan, and runs what the user kept when the
// user confirms it. Returns 1 when the user left the program meanwhile, 0
// to go on, -1.
int preview_and_run(const Owner& owner, Session& session, const Request& request)
{
    int clear = settle_before_preview(owner, request);
    if (clear <= 0)
        return clear;
    run::Plan plan;
    Planned planned = Planned::dropped;
    run::KeptDecisions kept;
    Foreseen foreseen;
    foreseen.kept = &kept;
    if (build_plan(owner, request, plan, planned, foreseen) < 0)
        return -1;
    if (planned != Planned::ready)
        return planned == Planned::leaving ? 1 : 0;
    PlanCounts counts = count_plan(plan);
    if (counts.nothing_to_do()) {
        py::Ref text = nothing_found_text(counts);
        return text ? show_message(owner, text.get()) : -1;
    }
    PreviewAnswer answer;
    PreviewWords words;
    py::Ref warning;
    if (empty_match_warning(request, warning) < 0 ||
        limit_backups(plan, request, counts, words, foreseen.undoable) < 0 ||
        show_preview(owner, request, plan, counts, warning.get(), answer, words) < 0)
        return -1;
    plan.clear();  // the run takes only the kept decisions that still hold
    if (!answer.confirmed)
        return 0;
    if (answer.ticked == 0 && counts.changes > 0)
        return show_message(owner, "没有勾选任何要修改的项目，未做任何修改。"_id.get());
    foreseen.left_out = std::move(answer.left_out);
    return run_operation(owner, session, request, foreseen);
}

}  // namespace

int set_run_enabled(const Owner& owner, bool enabled)
{
    return update_element(owner.window, "执行替换"_id, {"disabled"_id, enabled ? Py_False : Py_True});
}

int handle_run(const Owner& owner, Session& session, PyObject* values)
{
    Request request;
    py::Ref problem;
    if (read_request(values, request) < 0 || check_request(request, problem) < 0)
        return -1;
    if (problem)
        return show_message(owner, problem.get());
    if (!request.has_mode)
        return show_message(owner, "替换完成！"_id.get());
    if (remember(owner, session, request) < 0 || set_run_enabled(owner, false) < 0)
        return -1;
    int status = preview_and_run(owner, session, request);
    return status != 0 ? status : set_run_enabled(owner, true);
}

}  // namespace tw::ui
