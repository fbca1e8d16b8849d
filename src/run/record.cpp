#include "run/record.h"

#include "platform/unlocked.h"
#include "py/error.h"

namespace tw::run {

namespace native = platform::native;

namespace {

// `before` + `path` + `after`, the texts in UTF-8 (the interpreter's own
// formatting takes only ASCII formats).
py::Ref around(const char* before, PyObject* path, const std::string& after = std::string())
{
    py::Ref head = py::Ref::steal(PyUnicode_FromString(before));
    py::Ref tail = head ? py::Ref::steal(PyUnicode_FromStringAndSize(after.data(), static_cast<Py_ssize_t>(
                                                                        after.size())))
                        : py::Ref();
    return tail ? py::Ref::steal(PyUnicode_FromFormat("%U%S%U", head.get(), path, tail.get())) : py::Ref();
}

}  // namespace

py::Ref settle_note_text(const native::SettleNote& note)
{
    py::Ref path = platform::from_native(note.path);
    if (!path)
        return {};
    switch (note.kind) {
    case native::SettleNote::Kind::finished:
        return around("上次中断的替换已完成：", path.get());
    case native::SettleNote::Kind::rolled_back:
        return around("上次替换在改写时中断，已从备份恢复原内容：", path.get());
    case native::SettleNote::Kind::not_repaired:
        return around("上次替换在改写时中断，备份缺失或损坏，未能恢复：", path.get());
    case native::SettleNote::Kind::temps_removed:
        break;
    }
    return around("已删除上次中断的替换在 ", path.get(),
                  " 中留下的 " + std::to_string(note.count) + " 个临时文件");
}

int refuse_busy(const native::String& busy_root)
{
    py::Ref folder = platform::from_native(busy_root);
    py::Ref message = folder ? around("另一个替换正在处理此文件夹：", folder.get()) : py::Ref();
    if (message)
        PyErr_SetObject(PyExc_RuntimeError, message.get());
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
