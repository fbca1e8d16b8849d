#include "run/undo.h"

#include "platform/core/undo.h"
#include "platform/unlocked.h"
#include "py/error.h"
#include "run/paths.h"
#include "run/record.h"
#include "run/run.h"

#include <vector>

namespace tw::run {

namespace {

namespace native = platform::native;

PassOver reason_for(native::UndoCheck check)
{
    switch (check) {
    case native::UndoCheck::edited: return PassOver::edited_since;
    case native::UndoCheck::missing: return PassOver::moved_since;
    case native::UndoCheck::name_taken: return PassOver::name_taken;
    case native::UndoCheck::backup_missing: return PassOver::backup_missing;
    case native::UndoCheck::ready: break;
    }
    return PassOver::none;
}

ItemKind kind_for(const native::UndoStep& step, const std::string& operation)
{
    if (step.type != native::ItemType::rename)
        return ItemKind::content_restore;
    return operation == "replace_folder_names" ? ItemKind::folder_name : ItemKind::file_name;
}

// A step as the preview shows it: a file to restore, or a rename from
// where the item is now back to where it was.
int planned_item(const native::UndoStep& step, const std::string& operation, PlannedItem& out)
{
    bool rename = step.type == native::ItemType::rename;
    out.kind = kind_for(step, operation);
    out.outcome = step.check == native::UndoCheck::ready ? Outcome::change : Outcome::passed_over;
    out.reason = reason_for(step.check);
    out.path = platform::from_native(rename ? step.new_path : step.path);
    if (out.path && rename)
        out.new_path = platform::from_native(step.path);
    return out.path && (!rename || out.new_path) ? 0 : -1;
}

int record_notes(const std::vector<native::SettleNote>& notes, Report& report)
{
    for (const native::SettleNote& note : notes) {
        py::Ref line = settle_note_text(note);
        if (!line || report.record_note(line.get()) < 0)
            return -1;
    }
    return 0;
}

// The error that stopped one step, recorded against its path.
int fail_step(native::Error error, const native::UndoStep& step, Report& report)
{
    py::Ref path = platform::from_native(step.type == native::ItemType::rename ? step.new_path : step.path);
    if (!path)
        return -1;
    platform::raise_os_error(error, path.get());
    py::PendingError raised;
    add_path_note(raised.value(), step.type == native::ItemType::rename ? Doing::renaming
                                                                         : Doing::replacing_content,
                  path.get());
    if (ends_run(raised.value())) {
        raised.restore();
        return -1;
    }
    return report.record_failure(raised.value());
}

}  // namespace

int Undo::open(PyObject* folder, Report& report)
{
    native::String wanted;
    if (!platform::to_native(folder, wanted))
        return -1;
    native::RunStart opened;
    native::Error error = 0;
    {
        platform::Unlocked unlocked;
        error = native::open_last_run(wanted.empty() ? wanted : native::os::real_path(wanted), opened);
    }
    if (record_notes(opened.notes, report) < 0)
        return -1;
    if (error && native::os::is_busy(error))
        return refuse_busy(opened.busy_root);
    if (error)
        return platform::raise_os_error(error, folder);
    record_ = std::move(opened.record);
    return 0;
}

py::Ref Undo::folder() const
{
    const native::RecordState& state = record_->state();
    return platform::from_native(state.root_now.empty() ? state.root : state.root_now);
}

std::string Undo::operation() const { return record_ ? record_->state().operation : std::string(); }

int Undo::plan(Plan& plan)
{
    plan.clear();
    found_ = false;
    if (!record_ || record_->state().undo_ended || !record_->state().undoable)
        return 0;
    std::vector<native::UndoStep> steps;
    {
        platform::Unlocked unlocked;
        native::plan_undo(record_->state(), steps);
    }
    found_ = !steps.empty();
    for (const native::UndoStep& step : steps) {
        PlannedItem item{};
        if (planned_item(step, record_->state().operation, item) < 0)
            return -1;
        plan.push_back(std::move(item));
    }
    return 0;
}

int Undo::act(Report& report)
{
    std::vector<native::UndoStep> steps;
    native::Error begun = 0;
    native::FolderSyncs syncs;
    {
        platform::Unlocked unlocked;
        native::plan_undo(record_->state(), steps);
        begun = record_->begin_undo();
    }
    if (begun) {
        py::Ref folder = platform::from_native(record_->folder());
        return folder ? platform::raise_os_error(begun, folder.get()) : -1;
    }
    for (const native::UndoStep& step : steps) {
        if (report.cancel_requested())
            return 0;
        ++report.seen;
        py::Ref shown = platform::from_native(step.type == native::ItemType::rename ? step.new_path : step.path);
        if (!shown)
            return -1;
        report.set_current(display_text(shown.get()));
        native::UndoCheck check = native::UndoCheck::ready;
        native::Error error = 0;
        {
            platform::Unlocked unlocked;
            error = native::undo_step(*record_, step.number, syncs, check);
        }
        if (error && fail_step(error, step, report) < 0)
            return -1;
        if (!error)
            ++(check == native::UndoCheck::ready ? report.changed : report.passed_over);
    }
    platform::Unlocked unlocked;
    syncs.sync_all();
    record_->end_undo();
    return 0;
}

void Undo::close() noexcept
{
    record_.reset();
}

}  // namespace tw::run
