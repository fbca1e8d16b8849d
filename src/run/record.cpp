#include "run/record.h"

#include "platform/unlocked.h"
#include "py/error.h"

namespace tw::run {

namespace native = platform::native;

py::Ref settle_note_text(const native::SettleNote& note)
{
    py::Ref path = platform::from_native(note.path);
    if (!path)
        return {};
    switch (note.kind) {
    case native::SettleNote::Kind::finished:
        return py::Ref::steal(PyUnicode_FromFormat("上次中断的替换已完成：%U", path.get()));
    case native::SettleNote::Kind::rolled_back:
        return py::Ref::steal(PyUnicode_FromFormat("上次替换在改写时中断，已从备份恢复原内容：%U", path.get()));
    case native::SettleNote::Kind::not_repaired:
        return py::Ref::steal(
            PyUnicode_FromFormat("上次替换在改写时中断，备份缺失或损坏，未能恢复：%U", path.get()));
    case native::SettleNote::Kind::temps_removed:
        break;
    }
    return py::Ref::steal(PyUnicode_FromFormat("已删除上次中断的替换在 %U 中留下的 %llu 个临时文件", path.get(),
                                               static_cast<unsigned long long>(note.count)));
}

int refuse_busy(const native::String& busy_root)
{
    py::Ref folder = platform::from_native(busy_root);
    if (folder)
        PyErr_Format(PyExc_RuntimeError, "另一个替换正在处理此文件夹：%U", folder.get());
    return -1;
}

int RunRecord::start(PyObject* root, const char* operation, bool undoable, Report& report)
{
    native::String native_root;
    if (!platform::to_native(root, native_root))
        return -1;
    native::RunStart started;
    native::Error error = 0;
    {
        platform::Unlocked unlocked;
        error = native::start_run(native::os::real_path(native_root), operation, undoable, started);
    }
    for (const native::SettleNote& note : started.notes) {
        py::Ref line = settle_note_text(note);
        if (!line || report.record_note(line.get()) < 0)
            return -1;
    }
    if (error && platform::native::os::is_busy(error))
        return refuse_busy(started.busy_root);
    if (error || !started.record)
        return 0;  // no state folder: the run goes on without a record
    record_ = std::move(started.record);
    return scope_.install(record_.get());
}

void RunRecord::root_renamed(PyObject* new_root)
{
    if (!record_)
        return;
    py::PendingError pending;
    native::String now;
    if (platform::to_native(new_root, now))
        record_->root_moved(native::os::real_path(now));
    PyErr_Clear();
    pending.restore();
}

void RunRecord::finish() noexcept
{
    if (!record_)
        return;
    scope_.uninstall();
    try {
        platform::Unlocked unlocked;
        native::finish_run(record_);
    } catch (...) {
        // Out of memory while ending: the record stays, unended, and the
        // next run on the folder settles it.
    }
    record_.reset();
}

}  // namespace tw::run
