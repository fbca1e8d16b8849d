#include "run/run.h"

#include "platform/unlocked.h"
#include "py/boundary.h"
#include "py/error.h"
#include "run/hold.h"
#include "run/probe.h"

#include <cerrno>
#include <string>

namespace tw::run {

// What os.walk's onerror reaches; the run detaches it when it ends, so a
// callback kept alive elsewhere can never reach a run that is gone.
struct CallbackTarget {
    Run* run;
};

namespace {

const char* const kCapsuleName = "termweave_mira7.run";

void free_target(PyObject* capsule)
{
    delete static_cast<CallbackTarget*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* on_walk_error(PyObject* capsule, PyObject* error) noexcept
{
    return py::guard([&]() -> PyObject* {
        auto* target = static_cast<CallbackTarget*>(PyCapsule_GetPointer(capsule, kCapsuleName));
        if (!target)
            return nullptr;
        if (target->run && target->run->folder_not_listed(error) < 0)
            return nullptr;
        return Py_NewRef(Py_None);
    });
}

PyMethodDef g_on_walk_error = {"onerror", on_walk_error, METH_O, nullptr};

bool is_full_disk(PyObject* error)
{
    long value = py::errno_of(error);
#ifdef EDQUOT
    if (value == EDQUOT)
        return true;
#endif
    return value == ENOSPC;
}

std::string counted(long count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

void add_path_note(PyObject* error, Doing doing, PyObject* path)
{
    const char* format = doing == Doing::renaming            ? "while renaming %S"
                         : doing == Doing::replacing_content ? "while replacing content in %S"
                                                             : "while listing %S";
    py::Ref note = py::Ref::steal(PyUnicode_FromFormat(format, path));
    if (note && py::call_method(error, "add_note"_id, note))
        return;
    PyErr_Clear();  // the error itself matters more than its note
}

bool ends_run(PyObject* error)
{
    if (!PyErr_GivenExceptionMatches(error, PyExc_Exception))
        return true;
    if (PyErr_GivenExceptionMatches(error, PyExc_MemoryError))
        return true;
    return PyErr_GivenExceptionMatches(error, PyExc_OSError) && is_full_disk(error);
}

Run::Run(const char* operation, ItemWords words, Plan* plan)
    : operation_(operation), words_(words), plan_(plan), report_(current_report())
{
    if (!report_) {
        report_ = &own_report_;
        scope_.emplace(own_report_);
    }
    seen_before_ = report_->seen;
    failed_before_ = report_->failed;
    unlisted_before_ = report_->unlisted_folders;
}

Run::~Run()
{
    if (target_)
        target_->run = nullptr;
}

int Run::check_root(PyObject* root)
{
    if (PyUnicode_Check(root))
        return start_record(root);
    py::Ref path = py::Ref::steal(PyOS_FSPath(root));
    if (path && PyUnicode_Check(path.get()))
        return start_record(path.get());
    if (!path && !PyErr_ExceptionMatches(PyExc_TypeError))
        return -1;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "%s(): root_folder must be a str path or an os.PathLike giving one, not %.200s",
                 operation_, Py_TYPE(root)->tp_name);
    return -1;
}

py::Ref Run::error_callback()
{
    if (callback_)
        return callback_;
    auto* target = new CallbackTarget{this};
    py::Ref capsule = py::Ref::steal(PyCapsule_New(target, kCapsuleName, free_target));
    if (!capsule) {
        delete target;
        return {};
    }
    callback_ = py::Ref::steal(PyCFunction_New(&g_on_walk_error, capsule.get()));
    // Without the callback the capsule, and the target with it, is gone.
    if (callback_)
        target_ = target;
    return callback_;
}

py::Ref Run::start_walk(PyObject* root)
{
    walk_top_ = py::Ref::borrow(root);
    if (!root_)
        root_ = walk_top_;
    py::Ref os = py::global("os"_id);
    py::Ref walk = os ? py::getattr(os.get(), "walk"_id) : py::Ref();
    py::Ref callback = walk ? error_callback() : py::Ref();
    if (!callback)
        return {};
    return py::call_kw(walk.get(), {root}, {{"onerror"_id, callback}});
}

int Run::list_folder(PyObject* folder, py::Ref (&parts)[3])
{
    py::Ref walk = start_walk(folder);
    py::Ref it = walk ? py::Ref::steal(PyObject_GetIter(walk.get())) : py::Ref();
    if (!it)
        return -1;
    py::Ref triple = py::Ref::steal(PyIter_Next(it.get()));
    root_reached_ = true;
    if (!triple)
        return PyErr_Occurred() ? -1 : 0;
    if (py::unpack(triple.get(), parts) < 0 || drop_backup_folder(parts[1].get()) < 0)
        return -1;
    return 1;
}

int Run::go_deeper(PyObject* recursive)
{
    if (report_->cancel_requested())
        return 1;
    int deeper = py::truth(recursive);
    return deeper < 0 ? -1 : !deeper;
}

namespace {

// How many separators a path holds: os.walk adds one per level.
Py_ssize_t depth_of(PyObject* path)
{
    if (!PyUnicode_Check(path))
        return 0;
    Py_ssize_t depth = PyUnicode_Count(path, "/"_id.get(), 0, PY_SSIZE_T_MAX);
#ifdef _WIN32
    Py_ssize_t back = depth < 0 ? -1 : PyUnicode_Count(path, "\\"_id.get(), 0, PY_SSIZE_T_MAX);
    depth = back < 0 ? -1 : depth + back;
#endif
    return depth;
}

// 1 when `name` is the program's backup folder, 0 if not, -1.
int is_backup_folder(PyObject* name)
{
    platform::native::String native_name;
    if (!PyUnicode_Check(name))
        return 0;
    if (!platform::to_native(name, native_name))
        return -1;
    return platform::native::is_backup_folder_name(native_name);
}

}  // namespace

// The backup folder is taken out of the listing, uncounted: os.walk then
// does not go there, and folder renaming neither renames nor enters it.
int Run::drop_backup_folder(PyObject* subfolders)
{
    if (!PyList_Check(subfolders))
        return 0;
    for (Py_ssize_t i = PyList_GET_SIZE(subfolders); i-- > 0;) {
        int backups = is_backup_folder(PyList_GET_ITEM(subfolders, i));
        if (backups != 0 && (backups < 0 || PySequence_DelItem(subfolders, i) < 0))
            return -1;
    }
    return 0;
}

// Below kWalkDepth levels the subfolders are taken out of the listing too,
// and kept for a walk of their own.
int Run::defer_deep(PyObject* foldername, PyObject* subfolders, Py_ssize_t& top_depth)
{
    Py_ssize_t depth = depth_of(foldername);
    if (depth < 0)
        return -1;
    if (top_depth < 0)
        top_depth = depth;
    if (depth - top_depth < kWalkDepth || !PyList_Check(subfolders) || PyList_GET_SIZE(subfolders) == 0)
        return 0;
    for (Py_ssize_t i = PyList_GET_SIZE(subfolders); i-- > 0;) {
        py::Ref path = join_path(foldername, PyList_GET_ITEM(subfolders, i));
        if (!path)
            return -1;
        deferred_.push_back(std::move(path));
    }
    return PyList_SetSlice(subfolders, 0, PY_SSIZE_T_MAX, nullptr);
}

// The next folder left for later that os.walk would have entered (a link
// to a folder it would not), or none.
int Run::next_deferred(py::Ref& top)
{
    top = py::Ref();
    while (!deferred_.empty()) {
        py::Ref path = std::move(deferred_.back());
        deferred_.pop_back();
        int link = is_link(path.get());
        if (link < 0)
            return -1;
        if (!link) {
            top = std::move(path);
            return 0;
        }
    }
    return 0;
}

int Run::begin_item(PyObject* path)
{
    before_item(*report_, planning());
    if (report_->cancel_requested())
        return 1;
    take_up_item(path);
    return 0;
}

void Run::take_up_item(PyObject* path)
{
    ++report_->seen;
    report_->set_current(display_text(path));
}

// Work held back and the batch go first: they came earlier in the walk.
int Run::fail(ItemKind kind, PyObject* path, Doing doing)
{
    if (stopped_mid_item()) {
        // Cancelled in the middle of the item: it is left as it was, not done.
        PyErr_Clear();
        --report_->seen;
        return 1;
    }
    if (pending_work_ || (batch_ && batch_->pending() > 0)) {
        py::PendingError error;
        if ((pending_work_ && pending_work_->finish() < 0) || finish_writes() < 0)
            return -1;  // an earlier item ended the run
        error.restore();
    }
    return record(kind, path, doing);
}

// Records the pending exception against the item; while the run is already
// ending, every error is recorded in the report only.
int Run::record(ItemKind kind, PyObject* path, Doing doing, bool ending)
{
    py::PendingError error;
    if (!error.value())
        return 0;
    add_path_note(error.value(), doing, path);
    if (ending)
        return report_->record_failure(error.value());
    if (ends_run(error.value())) {
        error.restore();
        return -1;
    }
    if (planning())
        plan_->push_back({kind, Outcome::failure, py::Ref::borrow(path), {}, 0,
                          py::Ref::borrow(error.value())});
    int recorded = kind == ItemKind::folder_listing ? report_->record_unlisted_folder(error.value())
                                                    : report_->record_failure(error.value());
    if (recorded < 0)
        return -1;
    if (planning())
        return 0;
    if (!raised_)
        raised_ = py::Ref::steal(PyList_New(0));
    return raised_ ? PyList_Append(raised_.get(), error.value()) : -1;
}

int Run::pass_over(ItemKind kind, PyObject* path, PassOver reason)
{
    ++report_->passed_over;
    if (planning())
        plan_->push_back({kind, Outcome::passed_over, py::Ref::borrow(path), {}, 0, {}, reason});
    return 0;
}

int Run::start_record(PyObject* root)
{
    root_ = py::Ref::borrow(root);
    return planning() ? 0 : record_.start(root, operation_, report_->options.undoable, *report_);
}

int Run::change(ItemKind kind, PyObject* path, PyObject* new_path, Py_ssize_t matches)
{
    ++report_->changed;
    if (planning()) {
        plan_->push_back({kind, Outcome::change, py::Ref::borrow(path), py::Ref::borrow(new_path),
                          matches, {}});
        return 0;
    }
    if (kind == ItemKind::file_content)
        return 0;
    platform::native::String renamed;
    if (!platform::to_native(new_path, renamed))
        return -1;
    renamed_in_.add(platform::native::folder_of(renamed));
    if (kind != ItemKind::folder_name)
        return 0;
    int chosen = root_ ? py::equals(path, root_.get()) : 0;
    if (chosen < 0)
        return -1;
    if (chosen)
        record_.root_renamed(new_path);
    return report_->record_renamed_folder(path, new_path);
}

int Run::batch_writes()
{
    if (planning() || batch_)
        return 0;
    batch_.emplace();
    if (batch_->install() == 0)
        return 0;
    batch_.reset();
    return -1;
}

void Run::stage_writes(bool staging)
{
    if (batch_)
        batch_->staging = staging;
}

std::size_t Run::staged() const { return batch_ ? batch_->staged() : 0; }

int Run::staged_for(std::size_t since, PyObject* path)
{
    return batch_ && batch_->staged() > since ? batch_->staged_for(since, path) : 0;
}

int Run::before_reading(PyObject* stat_result)
{
    if (!batch_ || batch_->pending() == 0)
        return 0;
    py::Ref device = py::getattr(stat_result, "st_dev"_id);
    py::Ref number = device ? py::getattr(stat_result, "st_ino"_id) : py::Ref();
    if (!number)
        return -1;
    unsigned long long dev = PyLong_AsUnsignedLongLongMask(device.get());
    if (PyErr_Occurred())
        return -1;
    unsigned long long ino = PyLong_AsUnsignedLongLongMask(number.get());
    if (PyErr_Occurred())
        return -1;
    if (!batch_->holds(dev, ino))
        return 0;
    return finish_writes() < 0 ? -1 : 1;
}

// A full batch syncs on its own while the run goes on; the one before it
// is finished first.
int Run::flush_if_full() { return batch_ && batch_->full() ? batch_->flush_ahead(batch_done(false)) : 0; }

int Run::finish_writes(bool ending) { return batch_ ? batch_->flush(batch_done(ending)) : 0; }

// What the run makes of each replacement the batch finishes.
std::function<int(PyObject*, bool)> Run::batch_done(bool ending)
{
    return [this, ending](PyObject* path, bool moved) {
        if (moved)
            return change(ItemKind::file_content, path, nullptr, 0);
        return record(ItemKind::file_content, path, Doing::replacing_content, ending);
    };
}

int Run::check_inside(PyObject* path)
{
    if (!real_root_)
        real_root_ = real_path(root_.get());
    return real_root_ ? run::check_inside(real_root_.get(), path) : -1;
}

namespace {

unsigned long long stat_number(PyObject* stat_result, py::Id name)
{
    py::Ref value = py::getattr(stat_result, name);
    return value ? PyLong_AsUnsignedLongLongMask(value.get()) : static_cast<unsigned long long>(-1);
}

}  // namespace

// A file with several names is rewritten in place, so its old content is
// copied; so is one on a file system that neither the store nor the chosen
// folder is on.
int Run::note_backup_cost(PlannedItem& item, PyObject* stat_result)
{
    unsigned long long links = stat_number(stat_result, "st_nlink"_id);
    unsigned long long size = PyErr_Occurred() ? 0 : stat_number(stat_result, "st_size"_id);
    unsigned long long device = PyErr_Occurred() ? 0 : stat_number(stat_result, "st_dev"_id);
    unsigned long long inode = PyErr_Occurred() ? 0 : stat_number(stat_result, "st_ino"_id);
    if (PyErr_Occurred())
        return -1;
    if (!backup_devices_) {
        platform::native::String root;
        platform::native::FileInfo info;
        std::uint64_t store = 0;
        if (!platform::to_native(root_.get(), root))
            return -1;
        platform::native::store_device(store);
        platform::native::file_info(root, true, info);
        backup_devices_.emplace(store, info.id.device);
    }
    item.other_links = links > 1 ? static_cast<unsigned long>(links - 1) : 0;
    bool linkable = device == backup_devices_->first || device == backup_devices_->second;
    bool counted = links > 1 && !copies_counted_.emplace(device, inode).second;
    item.backup_copy_bytes = (links > 1 || !linkable) && !counted ? size : 0;
    return 0;
}

int Run::folder_not_listed(PyObject* error)
{
    bool missing_root = !root_reached_ && (PyErr_GivenExceptionMatches(error, PyExc_FileNotFoundError) ||
                                           PyErr_GivenExceptionMatches(error, PyExc_NotADirectoryError));
    if (missing_root)
        return 0;
    py::Ref path = py::getattr(error, "filename"_id);
    if (!path)
        return -1;
    if (path.get() == Py_None)
        path = walk_top_;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    return fail(ItemKind::folder_listing, path.get(), Doing::listing);
}

py::Ref Run::closing_message()
{
    long seen = report_->seen - seen_before_;
    long failed = report_->failed - failed_before_;
    long unlisted = report_->unlisted_folders - unlisted_before_;
    std::string text;
    if (failed > 0)
        text = std::to_string(failed) + " of " + counted(seen, words_.one, words_.many) +
               " could not be " + words_.not_done;
    if (unlisted > 0)
        text += (text.empty() ? "" : ", and ") + counted(unlisted, "folder", "folders") +
                " could not be read";
    return py::Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

py::Ref Run::finish(int status)
{
    if (batch_) {
        if (status < 0) {
            py::PendingError ending;
            if (finish_writes(true) < 0)
                PyErr_Clear();  // only a failure to record: the run ends with its own error
            ending.restore();
        } else if (finish_writes() < 0) {
            status = -1;
        }
        batch_->sync_folders();
    }
    if (renamed_in_.pending() > 0) {
        platform::Unlocked unlocked;
        renamed_in_.sync_all();  // the renames have happened: a failure changes nothing
    }
    record_.finish();
    if (status < 0)
        return {};
    if (!raised_ || PyList_GET_SIZE(raised_.get()) == 0)
        return py::none();
    py::Ref message = closing_message();
    py::Ref group = message ? py::call(PyExc_BaseExceptionGroup, message, raised_) : py::Ref();
    if (!group)
        return {};
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(group.get())), group.get());
    return {};
}

}  // namespace tw::run
