#include "ui/undo.h"

#include "platform/core/store.h"
#include "platform/fs.h"
#include "platform/unlocked.h"
#include "run/record.h"
#include "run/undo.h"
#include "ui/flow.h"
#include "ui/message.h"
#include "ui/off_thread.h"
#include "ui/preview_text.h"
#include "ui/reasons.h"
#include "ui/summary.h"

#include <algorithm>
#include <string>

namespace tw::ui {

namespace {

namespace native = platform::native;

// Failures listed in a message about an undo; the counts tell the rest.
constexpr Py_ssize_t k_listed_failures = 20;

ModeKind mode_of(const std::string& operation)
{
    if (operation == "replace_folder_names")
        return ModeKind::folders;
    return operation == "replace_file_names" ? ModeKind::file_names : ModeKind::contents;
}

py::Ref joined(PyObject* lines)
{
    PyObject* newline = "\n"_id.get();
    return newline ? py::Ref::steal(PyUnicode_Join(newline, lines)) : py::Ref();
}

// `first`, then what settling found, then the failures, one a line.
py::Ref message_lines(py::Ref first, const run::Report& report)
{
    py::Ref lines = first ? py::Ref::steal(PyList_New(0)) : py::Ref();
    PyObject* notes = lines ? report.notes() : nullptr;
    PyObject* failures = notes ? report.failures() : nullptr;
    if (!failures || PyList_Append(lines.get(), first.get()) < 0 ||
        PyList_SetSlice(lines.get(), 1, 1, notes) < 0)
        return {};
    Py_ssize_t shown = std::min<Py_ssize_t>(PyList_GET_SIZE(failures), k_listed_failures);
    for (Py_ssize_t i = 0; i < shown; ++i) {
        PyObject* error = PyList_GET_ITEM(failures, i);
        py::Ref place = py::getattr(error, "filename"_id);
        py::Ref reason = place ? reason_text(error) : py::Ref();
        py::Ref line = reason ? format_text("%s：%s"_id, py::Ref::steal(PyTuple_Pack(2, place.get(), reason.get())))
                              : py::Ref();
        if (!line || PyList_Append(lines.get(), line.get()) < 0)
            return {};
    }
    return joined(lines.get());
}

py::Ref undo_summary(const PlanCounts& counts)
{
    if (counts.passed_over == 0)
        return format_text("将撤销上次替换：%d 项。"_id, py::Ref::steal(Py_BuildValue("(l)", counts.changes)));
    return format_text("将撤销上次替换：%d 项；%d 项已不是替换后的样子，不撤销。"_id,
                       py::Ref::steal(Py_BuildValue("(ll)", counts.changes, counts.passed_over)));
}

py::Ref undo_ending(const run::Report& report, bool cancelled)
{
    py::Ref counts = py::Ref::steal(Py_BuildValue("(lll)", report.changed.load(), report.passed_over.load(),
                                                  report.failed.load()));
    py::Ref first = format_text(cancelled ? "撤销已取消：已撤销 %d 项，%d 项未动，%d 项失败。"_id
                                          : "撤销完成：已撤销 %d 项，%d 项未动，%d 项失败。"_id,
                                counts);
    return message_lines(first, report);
}

// The error that ended an undo (or kept it from starting), for the user.
int show_failure(const Owner& owner, const run::Report& report, PyObject* error, const char* prefix)
{
    py::Ref text = py::Ref::steal(PyObject_Str(error));
    py::Ref first = text ? py::Ref::steal(PyUnicode_FromFormat("%s%U", prefix, text.get())) : py::Ref();
    py::Ref message = first ? message_lines(first, report) : py::Ref();
    return message ? show_message(owner, message.get()) : -1;
}

// Finds the record and plans off the event thread. 1 when the user left
// meanwhile, 0 with `planned` telling whether to go on, -1.
int find_and_plan(const Owner& owner, PyObject* folder, run::Undo& undo, run::Plan& plan, bool& planned)
{
    BackgroundRun finding;
    Ended ended;
    planned = false;
    if (run_off_thread(owner, finding, Pass::plan, 0, [&] {
            run::Report* report = run::current_report();
            return undo.open(folder, *report) < 0 || undo.plan(plan) < 0 ? py::Ref() : py::none();
        }, ended) < 0)
        return -1;
    if (ended.leaving)
        return 1;
    if (ended.error)
        return show_failure(owner, finding.report(), ended.error->value(), "撤销失败：");
    if (undo.found()) {
        planned = true;
        return 0;
    }
    py::Ref nothing = message_lines(py::Ref::borrow("没有可撤销的替换"_id.get()), finding.report());
    return nothing ? show_message(owner, nothing.get()) : -1;
}

// Undoes off the event thread and tells the user how it went.
int act(const Owner& owner, run::Undo& undo)
{
    BackgroundRun acting;
    Ended ended;
    if (run_off_thread(owner, acting, Pass::act, 0, [&] {
            return undo.act(*run::current_report()) < 0 ? py::Ref() : py::none();
        }, ended) < 0)
        return -1;
    if (ended.leaving)
        return 1;
    if (ended.error)
        return show_failure(owner, acting.report(), ended.error->value(), "撤销失败：");
    py::Ref text = undo_ending(acting.report(), acting.cancelled());
    return text ? show_message(owner, text.get()) : -1;
}

// Shows what undo found and, when the user confirms it, undoes. 1 when
// the user left the program meanwhile, 0 to go on, -1.
int preview_and_undo(const Owner& owner, run::Undo& undo, const run::Plan& plan)
{
    Request request;
    request.folder = undo.folder();
    request.mode = mode_of(undo.operation());
    request.has_mode = true;
    PlanCounts counts = count_plan(plan);
    PreviewWords words{request.folder ? undo_summary(counts) : py::Ref(), "确认撤销"_id,
                       "按“确认撤销”把以上各项恢复为替换前的样子；按“取消”不做任何修改。"_id,
                       false};
    PreviewAnswer answer;
    if (!words.summary || show_preview(owner, request, plan, counts, nullptr, answer, words) < 0)
        return -1;
    return answer.confirmed ? act(owner, undo) : 0;
}

}  // namespace

int handle_undo(const Owner& owner, PyObject* values)
{
    py::Ref folder = item(values, "folder_path"_id);
    if (!folder)
        return -1;
    run::Undo undo;
    run::Plan plan;
    bool planned = false;
    if (set_run_enabled(owner, false) < 0)
        return -1;
    int status = find_and_plan(owner, PyUnicode_Check(folder.get()) ? folder.get() : ""_id.get(), undo, plan,
                               planned);
    if (status == 0 && planned)
        status = preview_and_undo(owner, undo, plan);
    return status != 0 ? status : set_run_enabled(owner, true);
}

int settle_before_preview(const Owner& owner, const Request& request)
{
    native::String root;
    if (!platform::to_native(request.folder.get(), root))
        return -1;
    native::RunStart settled;
    native::Error error = 0;
    {
        platform::Unlocked unlocked;
        error = native::settle_before_run(native::os::real_path(root), settled);
    }
    run::Report report;
    for (const native::SettleNote& note : settled.notes) {
        py::Ref line = run::settle_note_text(note);
        if (!line || report.record_note(line.get()) < 0)
            return -1;
    }
    bool busy = error && native::os::is_busy(error);
    if (busy && run::refuse_busy(settled.busy_root) < 0) {
        py::PendingError refused;
        return show_failure(owner, report, refused.value(), "替换失败：") < 0 ? -1 : 0;
    }
    if (settled.notes.empty())
        return 1;
    py::Ref text = message_lines(py::Ref::borrow("上次在此文件夹的替换曾被中断，已先处理："_id.get()), report);
    return text && show_message(owner, text.get()) == 0 ? 1 : -1;
}

int limit_backups(const run::Plan& plan, const Request& request, const PlanCounts& counts,
                  PreviewWords& words, bool& undoable)
{
    undoable = true;
    unsigned long long copies = 0;
    for (const run::PlannedItem& planned : plan)
        copies += planned.outcome == run::Outcome::change ? planned.backup_copy_bytes : 0;
    unsigned long long limit = native::backup_copy_limit();
    if (copies <= limit)
        return 0;
    undoable = false;
    py::Ref head = preview_summary(request.mode, counts);
    py::Ref sizes = head ? py::Ref::steal(Py_BuildValue("(OKK)", head.get(), (copies + (1 << 20) - 1) >> 20,
                                                        limit >> 20)) : py::Ref();
    words.summary = format_text("%s\n保留撤销需要复制 %d MB 的备份，超过上限 %d MB：这次替换之后将无法撤销。"_id, sizes);
    words.confirm = "不保留撤销并替换"_id;
    words.hint = "勾选的项目将被修改（空格键或点击勾选列可切换）。按“不保留撤销并替换”执行（之后不能撤销）；按“取消”不做任何修改。"_id;
    return words.summary ? 0 : -1;
}

}  // namespace tw::ui
