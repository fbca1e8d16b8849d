#include "platform/fs.h"

#include "py/error.h"
#include "py/ops.h"

#include <algorithm>
#include <cerrno>
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

// The batch installed on a thread is kept in the interpreter's dictionary
// of that thread, so that every copy of this code in the process finds it
// (the test probe is built from these same sources).
constexpr const char* kBatchName = "termweave_mira7.write_batch";

PyObject* batch_key() { return "termweave_mira7.write_batch"_id.get(); }

WriteBatch* installed_batch()
{
    PyObject* dict = PyThreadState_GetDict();
    PyObject* key = dict ? batch_key() : nullptr;
    PyObject* capsule = key ? PyDict_GetItemWithError(dict, key) : nullptr;
    if (!capsule) {
        PyErr_Clear();  // none installed (or no memory to look): write at once
        return nullptr;
    }
    return static_cast<WriteBatch*>(PyCapsule_GetPointer(capsule, kBatchName));
}

// The interpreter's lock released for the life of this object, so that
// other threads (the window's) go on while the disk keeps this one
// waiting. No Python object may be touched in its scope outside a Relocked.
class Unlocked {
public:
    Unlocked() { release(); }
    ~Unlocked() { acquire(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    void acquire()
    {
        if (saved_)
            PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }
    void release()
    {
        if (!saved_)
            saved_ = PyEval_SaveThread();
    }

private:
    PyThreadState* saved_ = nullptr;
};

// The lock held again inside an Unlocked scope, for a call back into Python.
class Relocked {
public:
    explicit Relocked(Unlocked& unlocked) : unlocked_(unlocked) { unlocked_.acquire(); }
    ~Relocked() { unlocked_.release(); }
    Relocked(const Relocked&) = delete;
    Relocked& operator=(const Relocked&) = delete;

private:
    Unlocked& unlocked_;
};

// The path as the operating system takes it; false with an exception set.
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

int raise_os_error(Error error, PyObject* first, PyObject* second = nullptr)
{
#ifdef _WIN32
    PyErr_SetExcFromWindowsErrWithFilenameObjects(PyExc_OSError, static_cast<int>(error), first, second);
#else
    errno = error;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, first, second);
#endif
    return -1;
}

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

int rename_no_replace(PyObject* src, PyObject* dst)
{
    int identical = PyObject_RichCompareBool(src, dst, Py_EQ);
    if (identical != 0)
        return identical < 0 ? -1 : 0;
    String native_src, native_dst;
    if (!to_native(src, native_src) || !to_native(dst, native_dst))
        return -1;
    Error error = 0;
    {
        Unlocked unlocked;
        error = native::rename_no_replace(native_src, native_dst);
    }
    if (error && native::already_exists(error)) {
        int respelled = differ_by_letter_case(src, dst);
        if (respelled < 0)
            return -1;
        if (respelled) {
            Unlocked unlocked;
            error = native::rename_respelled(native_src, native_dst);
        }
    }
    return error ? raise_os_error(error, src, dst) : 0;
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
    native::Staged staged;
    native::ReplaceOutcome out;
    {
        Unlocked unlocked;
        auto write = [&](const String& temp) {
            Relocked locked(unlocked);
            Ref temp_path = from_native(temp);
            return temp_path && write_to(temp_path.get()) >= 0;
        };
        out = native::replace_file(native_path, write, syncs, stage ? &staged : nullptr);
    }
    if (out.staged) {
        try {
            batch->paths_.push_back(Ref::borrow(path));
            batch->staged_.push_back(staged);
        } catch (...) {
            if (batch->paths_.size() > batch->staged_.size())
                batch->paths_.pop_back();
            native::discard_staged(staged);
            throw;
        }
        batch->bytes_ += staged.size;
        return 0;
    }
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

WriteBatch::WriteBatch() = default;

int WriteBatch::install()
{
    PyObject* dict = PyThreadState_GetDict();
    PyObject* key = dict ? batch_key() : nullptr;
    if (!key) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "no thread state to install a write batch in");
        return -1;
    }
    previous_ = Ref::borrow(PyDict_GetItemWithError(dict, key));
    if (!previous_ && PyErr_Occurred())
        return -1;
    Ref capsule = Ref::steal(PyCapsule_New(this, kBatchName, nullptr));
    if (!capsule || PyDict_SetItem(dict, key, capsule.get()) < 0)
        return -1;
    installed_ = capsule;
    return 0;
}

void WriteBatch::uninstall()
{
    if (!installed_)
        return;
    py::PendingError pending;
    PyObject* dict = PyThreadState_GetDict();
    PyObject* key = dict ? batch_key() : nullptr;
    PyObject* now = key ? PyDict_GetItemWithError(dict, key) : nullptr;
    if (now == installed_.get()) {
        int status = previous_ ? PyDict_SetItem(dict, key, previous_.get()) : PyDict_DelItem(dict, key);
        if (status < 0)
            PyErr_Clear();
    }
    PyErr_Clear();
    installed_ = Ref();
    previous_ = Ref();
    pending.restore();
}

WriteBatch::~WriteBatch()
{
    try {
        uninstall();
        if (!staged_.empty()) {
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
        // temporary files that a later run removes; the files are whole.
    }
}

bool WriteBatch::full() const { return staged_.size() >= kBatchFiles || bytes_ >= kBatchBytes; }

bool WriteBatch::holds(std::uint64_t device, std::uint64_t number) const
{
    native::FileId id{device, number};
    return std::any_of(staged_.begin(), staged_.end(), [&](const native::Staged& each) {
        return each.target_existed && each.target_id == id;
    });
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

int WriteBatch::flush(const std::function<int(PyObject* path, bool moved)>& done)
{
    std::vector<native::Staged> staged;
    std::vector<Ref> paths;
    staged.swap(staged_);
    paths.swap(paths_);
    bytes_ = 0;
    if (staged.empty())
        return 0;
    std::vector<Error> errors;
    {
        Unlocked unlocked;
        native::sync_staged(staged, errors);
    }
    // Whatever is not finished when this ends (stopped, or out of memory)
    // is dropped: those files keep their old content.
    std::size_t next = 0;
    struct DropRest {
        std::vector<native::Staged>& staged;
        std::size_t& next;
        ~DropRest()
        {
            for (; next < staged.size(); ++next)
                native::discard_staged(staged[next]);
        }
    } drop_rest{staged, next};
    for (; next < staged.size(); ++next) {
        native::ReplaceOutcome out;
        Error error = errors[next];
        if (error) {
            native::discard_staged(staged[next]);
        } else {
            Unlocked unlocked;
            error = native::move_staged(staged[next], &folders_, out);
        }
        if (error) {
            raise_os_error(error, paths[next].get());
            note_content_left_elsewhere(out);
        }
        if (done(paths[next].get(), !error) < 0) {
            ++next;
            return -1;
        }
    }
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
