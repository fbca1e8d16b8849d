#include "platform/fs.h"

#include "platform/core/os.h"
#include "platform/core/store.h"
#include "platform/thread_slot.h"
#include "platform/unlocked.h"
#include "py/builtins.h"
#include "py/error.h"
#include "py/ops.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace tw::platform {

namespace {

using native::Error;
using native::String;
using py::Ref;

// Enough staged for one flush: the count bounds the temporary files and the
// time before the changes are in place, the bytes the extra disk space.
constexpr std::size_t kBatchFiles = 128;
constexpr std::uint64_t kBatchBytes = std::uint64_t{64} << 20;

WriteBatch* installed_batch() { return static_cast<WriteBatch*>(ThreadSlot::find(kWriteBatchSlot)); }


// The path as a str, as os.fsdecode gives it.
Ref as_text(PyObject* path)
{
    PyObject* decoded = nullptr;
    return PyUnicode_FSDecoder(path, &decoded) ? Ref::steal(decoded) : Ref();
}

// Where the last name of a path starts, less one: -1 when it has no
// separator, -2 with an exception set.
Py_ssize_t last_separator(PyObject* path)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    Py_ssize_t cut = PyUnicode_FindChar(path, '/', 0, length, -1);
#ifdef _WIN32
    Py_ssize_t back = PyUnicode_FindChar(path, '\\', 0, length, -1);
    cut = (cut < -1 || back < -1) ? -2 : std::max(cut, back);
#endif
    return cut;
}

// A piece of a str, or the rest from `start` when `end` is -1.
Ref slice(PyObject* text, Py_ssize_t start, Py_ssize_t end = -1)
{
    return Ref::steal(PyUnicode_Substring(text, start, end < 0 ? PyUnicode_GET_LENGTH(text) : end));
}

// 1 when the two paths name one folder and differ only in the letter case
// of the last name; 0 otherwise; -1 with an exception set.
int differ_by_letter_case(PyObject* src, PyObject* dst)
{
    Ref a = as_text(src), b = a ? as_text(dst) : Ref();
    if (!b)
        return -1;
    Py_ssize_t cut = last_separator(a.get());
    if (cut < -1 || last_separator(b.get()) != cut)
        return PyErr_Occurred() ? -1 : 0;
    Ref folder_a = slice(a.get(), 0, cut + 1), folder_b = folder_a ? slice(b.get(), 0, cut + 1) : Ref();
    int same_folder = folder_b ? py::equals(folder_a.get(), folder_b.get()) : -1;
    if (same_folder <= 0)
        return same_folder;
    Ref name_a = slice(a.get(), cut + 1), name_b = name_a ? slice(b.get(), cut + 1) : Ref();
    Ref folded_a = name_b ? py::call_method(name_a.get(), "casefold"_id) : Ref();
    Ref folded_b = folded_a ? py::call_method(name_b.get(), "casefold"_id) : Ref();
    return folded_b ? py::equals(folded_a.get(), folded_b.get()) : -1;
}

// Notes where a failed replacement left the file's content.
void note_content_left_elsewhere(const native::ReplaceOutcome& out)
{
    py::PendingError error;
    if (!out.old_content_at.empty()) {
        Ref at = from_native(out.old_content_at);
        error.add_note(at ? Ref::steal(PyUnicode_FromFormat("the old content is kept in %R", at.get())).get()
                          : nullptr);
    }
    if (out.old_content_lost)
        error.add_note(Ref::steal(PyUnicode_FromString("the old content could not be written back")).get());
    if (!out.new_content_at.empty()) {
        Ref at = from_native(out.new_content_at);
        error.add_note(at ? Ref::steal(PyUnicode_FromFormat("the new content is in %R", at.get())).get()
                          : nullptr);
    }
    error.restore();
}

}  // namespace

bool to_native(PyObject* path, String& out)
{
#ifdef _WIN32
    PyObject* decoded = nullptr;
    if (!PyUnicode_FSDecoder(path, &decoded))
        return false;
    Ref text = Ref::steal(decoded);
    Py_ssize_t size = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(text.get(), &size);
    if (!wide)
        return false;
    out.assign(wide, static_cast<std::size_t>(size));
    PyMem_Free(wide);
#else
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded))
        return false;
    Ref bytes = Ref::steal(encoded);
    out.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
#endif
    return true;
}

Ref from_native(const String& path)
{
#ifdef _WIN32
    return Ref::steal(PyUnicode_FromWideChar(path.c_str(), static_cast<Py_ssize_t>(path.size())));
#else
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
#endif
}

int raise_os_error(Error error, PyObject* first, PyObject* second)
{
    const char* own = native::is_changed_since_decided(error)
                          ? "changed while the run worked on it (it was replaced, or a link or something "
                            "other than a file took its place); it was left alone"
                      : native::is_no_place_for_backup(error)
                          ? "must be rewritten in place, and there is no per-user state folder to keep a "
                            "backup of its old content in first; it was left as it was"
                          : nullptr;
    if (own) {
#ifdef ESTALE
        int code = native::is_changed_since_decided(error) ? ESTALE : EIO;
#else
        int code = EIO;
#endif
        py::Ref raised = py::Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", code, own, first));
        if (raised)
            PyErr_SetObject(PyExc_OSError, raised.get());
        return -1;
    }
#ifdef _WIN32
    PyErr_SetExcFromWindowsErrWithFilenameObjects(PyExc_OSError, static_cast<int>(error), first, second);
#else
    errno = error;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, first, second);
#endif
    return -1;
}

namespace {

// A rename as the run's record sees it: said before it is made (synced,
// unless `said` tells that it was already), with the item's identity, and
// what came of it after.
Error rename_recorded(native::Record* record, const String& src, const String& dst, bool respelled,
                      std::uint64_t said = 0)
{
    std::uint64_t number = said;
    if (record && !said) {
        native::FileInfo info;
        if (Error error = native::file_info(src, false, info))
            return error;
        if (Error error = record->before_rename(src, dst, info.id, number))
            return error;
    }
    Error error = respelled ? native::rename_respelled(src, dst) : native::rename_no_replace(src, dst);
    if (record)
        record->after_rename(number, error == 0);
    return error;
}

// What came of a rename tried as entry `said`: `error` from the try, which
// a change of letter case that the file system takes for the same name
// makes again, respelled. 0, or -1 with the exception set.
int settle_rename(native::Record* record, PyObject* src, PyObject* dst, const String& native_src,
                  const String& native_dst, std::uint64_t said, Error error)
{
    if (error && native::already_exists(error)) {
        int respelled = differ_by_letter_case(src, dst);
        if (respelled < 0)
            return -1;
        if (respelled) {
            Unlocked unlocked;
            error = rename_recorded(record, native_src, native_dst, true, said);
        }
    }
    return error ? raise_os_error(error, src, dst) : 0;
}

// One rename, its record entry made already when `said` is not 0.
int rename_one(native::Record* record, PyObject* src, PyObject* dst, const String& native_src,
               const String& native_dst, std::uint64_t said)
{
    Error error = 0;
    {
        Unlocked unlocked;
        error = rename_recorded(record, native_src, native_dst, false, said);
    }
    return settle_rename(record, src, dst, native_src, native_dst, said, error);
}

bool any_said(const std::vector<std::uint64_t>& said)
{
    return std::any_of(said.begin(), said.end(), [](std::uint64_t number) { return number != 0; });
}

// Tells the record of every rename to come: their entries written, not
// synced yet. said[i] stays 0 for a rename that renames nothing, or whose
// item is gone (made, and failing, on its own).
Error tell_all(native::Record* record, const std::vector<std::pair<String, String>>& renames,
               std::vector<std::uint64_t>& said)
{
    said.assign(renames.size(), 0);
    for (std::size_t i = 0; record && i < renames.size(); ++i) {
        native::FileInfo info;
        if (renames[i].first == renames[i].second || native::file_info(renames[i].first, false, info) != 0)
            continue;
        if (Error error = record->before_rename(renames[i].first, renames[i].second, info.id, said[i], false))
            return error;
    }
    return any_said(said) ? record->write_held() : 0;
}

// Tells the record of every rename to come, synced once.
Error say_all(native::Record* record, const std::vector<std::pair<String, String>>& renames,
              std::vector<std::uint64_t>& said)
{
    if (Error error = tell_all(record, renames, said))
        return error;
    return any_said(said) ? record->sync() : 0;
}

}  // namespace

int rename_no_replace(PyObject* src, PyObject* dst) { return rename_said(src, dst, 0); }

int rename_said(PyObject* src, PyObject* dst, std::uint64_t said)
{
    int identical = PyObject_RichCompareBool(src, dst, Py_EQ);
    if (identical != 0)
        return identical < 0 ? -1 : 0;
    String native_src, native_dst;
    if (!to_native(src, native_src) || !to_native(dst, native_dst))
        return -1;
    return rename_one(installed_record(), src, dst, native_src, native_dst, said);
}

namespace {

bool to_native_pairs(const std::vector<std::pair<py::Ref, py::Ref>>& renames,
                     std::vector<std::pair<String, String>>& paths)
{
    paths.resize(renames.size());
    for (std::size_t i = 0; i < renames.size(); ++i)
        if (!to_native(renames[i].first.get(), paths[i].first) || !to_native(renames[i].second.get(), paths[i].second))
            return false;
    return true;
}

}  // namespace

int say_renames(const std::vector<std::pair<py::Ref, py::Ref>>& renames, std::vector<std::uint64_t>& said)
{
    std::vector<std::pair<String, String>> paths;
    if (!to_native_pairs(renames, paths))
        return -1;
    native::Record* record = installed_record();
    Error error = 0;
    {
        Unlocked unlocked;
        error = say_all(record, paths, said);
    }
    return error && !renames.empty() ? raise_os_error(error, renames[0].first.get()) : 0;
}

// ---- renames made on a thread of their own ------------------------------------

namespace {

// A rename made on a thread of its own, said to the record as entry
// `said`. An item gone when its rename was said is not renamed there: why,
// as a look at it now tells (back meanwhile, it changed since decided).
Error rename_said_elsewhere(native::Record* record, const String& src, const String& dst, std::uint64_t said)
{
    if (!record || said)
        return native::rename_no_replace(src, dst);
    native::FileInfo info;
    Error error = native::file_info(src, false, info);
    return error ? error : native::changed_since_decided();
}

}  // namespace

namespace {

// Renames said to the run's record, made in order on a thread of their
// own (see RenameBatch and RenamesAhead); what came of each is taken back
// on the run's thread.
struct SaidRenames {
    std::vector<std::pair<py::Ref, py::Ref>> renames;
    std::vector<std::pair<String, String>> paths;
    std::vector<std::uint64_t> said;  // the record's entry of each (0 for none)
    std::vector<Error> errors;        // per rename, as its first try left it
    std::vector<char> noted;          // the record knows what came of it
    native::Record* record = nullptr;
    std::thread thread;

    // The renames to make, as the run's thread has them. False with the
    // exception set.
    bool take_over(std::vector<std::pair<py::Ref, py::Ref>> decided)
    {
        if (!to_native_pairs(decided, paths))
            return false;
        renames = std::move(decided);
        said.assign(paths.size(), 0);
        errors.assign(paths.size(), 0);
        noted.assign(paths.size(), 0);
        record = installed_record();
        return true;
    }

    void try_rename(std::size_t index)
    {
        const auto& [src, dst] = paths[index];
        if (src != dst)
            errors[index] = rename_said_elsewhere(record, src, dst, said[index]);
    }

    // The record learns what came of renames[index], once.
    void note(std::size_t index)
    {
        if (noted[index])
            return;
        noted[index] = 1;
        if (record && said[index])
            record->after_rename(said[index], errors[index] == 0);
    }

    // What came of renames[index], noted: 0, or -1 with the exception set.
    int outcome(std::size_t index)
    {
        note(index);
        return settle_rename(record, renames[index].first.get(), renames[index].second.get(), paths[index].first,
                             paths[index].second, said[index], errors[index]);
    }
};

}  // namespace

// The record's entries are made on the run's thread; the thread of the
// batch only syncs the journal and renames, so the record is never used by
// two threads at once but for that sync (see Record::sync_written).
struct RenameBatch::Making : SaidRenames {
    Error sync_error = 0;  // the record's sync failed: nothing was renamed

    void make()
    {
        sync_error = record && any_said(said) ? record->sync_written() : 0;
        for (std::size_t i = 0; !sync_error && i < paths.size(); ++i)
            try_rename(i);
    }

    // The record learns what came of each rename (before any is reported,
    // so that a report that stops the run leaves none unknown).
    void note_all()
    {
        for (std::size_t i = 0; !sync_error && i < paths.size(); ++i)
            note(i);
    }
};

RenameBatch::RenameBatch() = default;

RenameBatch::~RenameBatch()
{
    if (!making_)
        return;
    if (making_->thread.joinable())
        making_->thread.join();
    making_->note_all();
}

int RenameBatch::start(std::vector<std::pair<py::Ref, py::Ref>> renames, const Outcome& outcome)
{
    auto next = std::make_unique<Making>();
    if (!next->take_over(std::move(renames)))
        return -1;
    Error error = 0;
    {
        Unlocked unlocked;
        error = tell_all(next->record, next->paths, next->said);
        if (making_ && making_->thread.joinable())
            making_->thread.join();
    }
    std::unique_ptr<Making> made = std::exchange(making_, nullptr);
    if (error)  // what was made before is told first, in walk order
        return report(made, outcome) < 0 ? -1 : raise_os_error(error, next->renames[0].first.get());
    Making* batch = next.get();
    try {
        next->thread = std::thread([batch] { batch->make(); });
    } catch (const std::system_error&) {
        Unlocked unlocked;
        batch->make();
    }
    making_ = std::move(next);
    return report(made, outcome);
}

int RenameBatch::finish(const Outcome& outcome)
{
    if (making_ && making_->thread.joinable()) {
        Unlocked unlocked;
        making_->thread.join();
    }
    return report(std::exchange(making_, nullptr), outcome);
}

int RenameBatch::report(const std::unique_ptr<Making>& made, const Outcome& outcome)
{
    if (!made)
        return 0;
    if (made->sync_error)
        return raise_os_error(made->sync_error, made->renames[0].first.get());
    made->note_all();
    for (std::size_t i = 0; i < made->renames.size(); ++i)
        if (outcome(made->renames[i].first.get(), made->renames[i].second.get(), made->outcome(i)) < 0)
            return -1;
    return 0;
}

// ---- renames made ahead of the walk ----------------------------------------------

struct RenamesAhead::Making : SaidRenames {
    std::function<bool()> stopped;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable progress;
    std::size_t tried = 0;  // under `lock`
    bool over = false;      // under `lock`: no more will be tried

    void make()
    {
        for (std::size_t i = 0; i < paths.size() && !stop.load() && !stopped(); ++i) {
            try_rename(i);
            std::lock_guard<std::mutex> hold(lock);
            tried = i + 1;
            progress.notify_one();
        }
        std::lock_guard<std::mutex> hold(lock);
        over = true;
        progress.notify_one();
    }

    // Whether renames[index] was tried, once that is known.
    bool wait_for(std::size_t index)
    {
        std::unique_lock<std::mutex> hold(lock);
        progress.wait(hold, [&] { return tried > index || over; });
        return tried > index;
    }
};

RenamesAhead::RenamesAhead() = default;

RenamesAhead::~RenamesAhead()
{
    if (!making_)
        return;
    stop();
    if (making_->thread.joinable())
        making_->thread.join();
    for (std::size_t i = 0; i < making_->tried; ++i)
        making_->note(i);
}

int RenamesAhead::start(std::vector<std::pair<py::Ref, py::Ref>> renames, std::vector<std::uint64_t> said,
                        std::function<bool()> stopped)
{
    auto making = std::make_unique<Making>();
    if (!making->take_over(std::move(renames)))
        return -1;
    making->said = std::move(said);
    making->stopped = std::move(stopped);
    Making* ahead = making.get();
    try {
        making->thread = std::thread([ahead] { ahead->make(); });
    } catch (const std::system_error&) {
        making->over = true;  // none made ahead: each is made in its turn
    }
    making_ = std::move(making);
    return 0;
}

int RenamesAhead::take(std::size_t index)
{
    bool tried = false;
    {
        Unlocked unlocked;
        tried = making_->wait_for(index);
    }
    return tried ? making_->outcome(index) : 1;
}

void RenamesAhead::stop()
{
    if (making_)
        making_->stop.store(true);
}

py::Ref temp_file_name()
{
#ifdef _WIN32
    return from_native(native::temp_name(L".tmp"));
#else
    return from_native(native::temp_name(".tmp"));
#endif
}

int check_plain_name(PyObject* old_name, PyObject* new_name)
{
    String name;
    if (!to_native(new_name, name))
        return -1;
    if (native::is_plain_name(name))
        return 0;
#ifdef _WIN32
    PyErr_Format(PyExc_ValueError,
                 "cannot rename %R to %R: the new name must not be empty, '.' or '..', "
                 "contain a path separator or any of :<>\"|?*, end in a dot or space, "
                 "or be a device name",
                 old_name, new_name);
#else
    PyErr_Format(PyExc_ValueError,
                 "cannot rename %R to %R: the new name must not be empty, '.' or '..', "
                 "or contain a path separator",
                 old_name, new_name);
#endif
    return -1;
}

namespace {

// A record of its own for a replacement made outside any run (a handler
// called on its own) that needs one: for the backup of a rewrite in place.
// It goes once the replacement is over; a crash leaves it for the next run
// on the folder to settle.
class TransientRecord {
public:
    ~TransientRecord() { finish(); }
    native::Record* get(const String& path)
    {
        if (!record_ && !tried_) {
            tried_ = true;
            native::Store store;
            String folder;
            if (store.open() == 0 && store.new_run_folder(folder) == 0 &&
                native::Record::create(folder, native::os::absolute(native::folder_of(path)), "replace_file",
                                       false, record_) != 0)
                native::remove_record(folder, {});
        }
        return record_.get();
    }
    void finish()
    {
        if (record_)
            native::finish_run(record_);
    }

private:
    std::unique_ptr<native::Record> record_;
    bool tried_ = false;
};

int keep_staged(WriteBatch& batch, PyObject* path, const native::Staged& staged, native::Record* record)
{
    try {
        batch.paths_.push_back(Ref::borrow(path));
        batch.staged_.push_back(staged);
    } catch (...) {
        if (batch.paths_.size() > batch.staged_.size())
            batch.paths_.pop_back();
        native::discard_staged(staged, record);
        throw;
    }
    batch.bytes_ += staged.size;
    return 0;
}

}  // namespace

int replace_file(PyObject* path, const std::function<int(PyObject* temp_path)>& write_to,
                 FolderSyncs* syncs)
{
    String native_path;
    if (!to_native(path, native_path))
        return -1;
    WriteBatch* batch = installed_batch();
    if (batch && !syncs)
        syncs = &batch->folders_;
    bool stage = batch && batch->staging;
    native::Record* record = installed_record();
    TransientRecord transient;
    native::ReplaceContext context;
    context.expected = expected_for(path);
    context.record = [&] { return record ? record : transient.get(native_path); };
    native::Staged staged;
    native::ReplaceOutcome out;
    {
        Unlocked unlocked;
        auto write = [&](const String& temp) {
            Relocked locked(unlocked);
            Ref temp_path = from_native(temp);
            return temp_path && write_to(temp_path.get()) >= 0;
        };
        out = native::replace_file(native_path, write, syncs, stage ? &staged : nullptr, context);
        transient.finish();
    }
    if (out.staged)
        return keep_staged(*batch, path, staged, record);
    if (out.writer_failed) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "writing the new content of %R failed without an error", path);
        return -1;
    }
    if (!out.error)
        return 0;
    raise_os_error(out.error, path);
    note_content_left_elsewhere(out);
    return -1;
}

NewContent::NewContent() = default;
NewContent::~NewContent() = default;

int NewContent::open(PyObject* temp_path)
{
#ifdef _WIN32
    (void)temp_path;
    return 0;
#else
    String native_path;
    if (!py::open_is_interpreters())
        return 0;
    if (!to_native(temp_path, native_path))
        return -1;
    auto file = std::make_unique<native::os::File>();
    native::FileInfo info;
    if (file->open_existing(native_path) != 0 || file->info(info) != 0 || !info.regular || info.size != 0)
        return 0;  // not the empty file expected: open meets it as it is
    path_ = Ref::borrow(temp_path);
    file_ = std::move(file);
    return 1;
#endif
}

int NewContent::write(const std::string& bytes)
{
    Error error = 0;
    {
        Unlocked unlocked;
        error = file_->append(bytes);
    }
    return error ? raise_os_error(error, path_.get()) : 0;
}

void NewContent::close()
{
    if (file_)
        file_->close();
}

int sync_folders(FolderSyncs& syncs)
{
    String failed;
    Error error = 0;
    {
        Unlocked unlocked;
        error = syncs.sync_all(&failed);
    }
    if (!error)
        return 0;
    Ref folder = from_native(failed);
    return folder ? raise_os_error(error, folder.get()) : -1;
}

struct WriteBatch::Synced {
    std::vector<native::Staged> staged;
    std::vector<Ref> paths;
    std::vector<Error> errors;
    std::thread thread;  // syncing the data, when it syncs ahead
};

namespace {

// Moves each synced replacement over its target, in the order staged,
// once the run's record says so, calling done for each. 0, or -1 when done
// stopped it.
int move_synced(WriteBatch::Synced& batch, native::FolderSyncs& folders, native::ReplacedFiles& replaced,
                const std::function<int(PyObject* path, bool moved)>& done)
{
    std::vector<native::Staged>& staged = batch.staged;
    native::Record* record = installed_record();
    {
        Unlocked unlocked;
        native::record_staged(record, staged, batch.errors);
    }
    // Whatever is not finished when this ends (stopped, or out of memory)
    // is dropped: those files keep their old content.
    std::size_t next = 0;
    // The old files replaced are let go of on a thread of their own.
    struct DropRest {
        std::vector<native::Staged>& staged;
        std::size_t& next;
        native::Record* record;
        native::ReplacedFiles& replaced;
        ~DropRest()
        {
            for (; next < staged.size(); ++next)
                native::discard_staged(staged[next], record);
            Unlocked unlocked;
            replaced.let_go_ahead();
        }
    } drop_rest{staged, next, record, replaced};
    for (; next < staged.size(); ++next) {
        native::ReplaceOutcome out;
        Error error = batch.errors[next];
        if (error) {
            native::discard_staged(staged[next], record);
        } else {
            Unlocked unlocked;
            error = native::move_staged(staged[next], &folders, out, record, &replaced);
        }
        if (error) {
            raise_os_error(error, batch.paths[next].get());
            note_content_left_elsewhere(out);
        }
        if (done(batch.paths[next].get(), !error) < 0) {
            ++next;
            return -1;
        }
    }
    return 0;
}

// Drops replacements not finished: their files keep their old content.
void discard_all(std::vector<native::Staged>& staged)
{
    native::Record* record = installed_record();
    for (native::Staged& each : staged)
        native::discard_staged(each, record);
    staged.clear();
}

}  // namespace

WriteBatch::WriteBatch() = default;

int WriteBatch::install() { return slot_.install(this); }

WriteBatch::~WriteBatch()
{
    try {
        slot_.uninstall();
        if (pending() > 0) {
            py::PendingError pending;
            flush([](PyObject*, bool moved) {
                if (!moved)
                    PyErr_Clear();  // nobody is left to tell; the file keeps its old content
                return 0;
            });
            pending.restore();
        }
        sync_folders();
    } catch (...) {
        // Out of memory while tidying up: what is still staged stays in
        // temporary files, named in the run's record for a later run to
        // remove; the files are whole.
    }
    if (ahead_ && ahead_->thread.joinable())
        ahead_->thread.join();
}

std::size_t WriteBatch::pending() const { return staged_.size() + (ahead_ ? ahead_->staged.size() : 0); }

bool WriteBatch::full() const { return staged_.size() >= kBatchFiles || bytes_ >= kBatchBytes; }

bool WriteBatch::holds(std::uint64_t device, std::uint64_t number) const
{
    native::FileId id{device, number};
    auto replaces = [&](const native::Staged& each) { return each.target_existed && each.target_id == id; };
    return std::any_of(staged_.begin(), staged_.end(), replaces) ||
           (ahead_ && std::any_of(ahead_->staged.begin(), ahead_->staged.end(), replaces));
}

int WriteBatch::staged_for(std::size_t since, PyObject* path) const
{
    for (std::size_t i = since; i < paths_.size(); ++i) {
        int same = py::equals(paths_[i].get(), path);
        if (same != 0)
            return same;
    }
    return 0;
}

int WriteBatch::finish_ahead(const std::function<int(PyObject* path, bool moved)>& done)
{
    if (!ahead_)
        return 0;
    {
        Unlocked unlocked;
        ahead_->thread.join();
    }
    std::unique_ptr<Synced> batch = std::move(ahead_);
    return move_synced(*batch, folders_, replaced_, done);
}

// Takes the staged replacements into `batch`, after finishing the batch
// synced ahead; when that stops, they are dropped and -1 returned.
int WriteBatch::take_staged(Synced& batch, const std::function<int(PyObject* path, bool moved)>& done)
{
    batch.staged.swap(staged_);
    batch.paths.swap(paths_);
    bytes_ = 0;
    if (finish_ahead(done) == 0)
        return 0;
    discard_all(batch.staged);
    return -1;
}

int WriteBatch::flush(const std::function<int(PyObject* path, bool moved)>& done)
{
    Synced batch;
    if (take_staged(batch, done) < 0)
        return -1;
    if (batch.staged.empty())
        return 0;
    {
        Unlocked unlocked;
        native::sync_staged(batch.staged, batch.errors);
    }
    return move_synced(batch, folders_, replaced_, done);
}

int WriteBatch::flush_ahead(const std::function<int(PyObject* path, bool moved)>& done)
{
    auto batch = std::make_unique<Synced>();
    if (take_staged(*batch, done) < 0)
        return -1;
    try {
        Synced* syncing = batch.get();
        batch->thread = std::thread([syncing] { native::sync_staged(syncing->staged, syncing->errors); });
    } catch (const std::system_error&) {
        {
            Unlocked unlocked;
            native::sync_staged(batch->staged, batch->errors);
        }
        return move_synced(*batch, folders_, replaced_, done);
    }
    ahead_ = std::move(batch);
    return 0;
}

void WriteBatch::sync_folders()
{
    if (folders_.pending() == 0)
        return;
    Unlocked unlocked;
    folders_.sync_all();
}

}  // namespace tw::platform
