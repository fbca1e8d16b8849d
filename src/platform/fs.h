// The file-system layer as the rest of the module sees it: renames that
// never replace anything, and the one way the system replaces a file's
// content (all or nothing). Converts Python paths for the operating-system
// core in platform/core/ and turns its error codes into OSError.
#pragma once

#include "platform/core/native.h"
#include "platform/thread_slot.h"
#include "py/ref.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw::platform::native::os {
class File;
}

namespace tw::platform {

// The path as the operating system takes it (false with the exception
// set), and back as a str.
bool to_native(PyObject* path, native::String& out);
py::Ref from_native(const native::String& path);
// Raises OSError for a core error on `first` (and `second`); returns -1.
int raise_os_error(native::Error error, PyObject* first, PyObject* second = nullptr);

// ---- What the run in progress on this thread has installed ----------------
//
// Kept in the interpreter's dictionary of the thread, so that every copy of
// this code in the process finds it (the test probe is built from these
// same sources and calls the handlers of the imported module).

// The run's record (see platform/core/record.h), told of every temporary
// file, replacement and rename made on this thread while installed.
class RecordScope {
public:
    RecordScope() = default;
    ~RecordScope();
    RecordScope(const RecordScope&) = delete;
    RecordScope& operator=(const RecordScope&) = delete;
    // 0, or -1 with the exception set.
    int install(native::Record* record);
    void uninstall() { slot_.uninstall(); }

private:
    ThreadSlot slot_{kRunRecordSlot};
};
native::Record* installed_record();

// The file the run decided on for `path` (the identity os.stat gave,
// through links), while this object lives: every read and replacement of
// that path on this thread opens that very file or fails.
class ExpectFile {
public:
    ExpectFile() = default;
    ~ExpectFile();
    ExpectFile(const ExpectFile&) = delete;
    ExpectFile& operator=(const ExpectFile&) = delete;
    // `stat_result` as os.stat gives it. 0, or -1 with the exception set.
    int install(PyObject* path, PyObject* stat_result);

    py::Ref path;
    native::FileId id;

private:
    ThreadSlot slot_{kExpectedFileSlot};
};
// The identity expected for `path`, or null. Never fails.
const native::FileId* expected_for(PyObject* path);

// ---- Reading ------------------------------------------------------------------

// The whole file at `path`, read the way every read of a run goes (see
// native::read_checked): bytes, or empty with OSError set.
py::Ref read_checked(PyObject* path);
// A binary file object over the file at `path`, opened the same way, for
// reading part of a file; the caller closes it.
py::Ref open_checked(PyObject* path);
// The whole file read the same way into memory, as a binary stream (a
// BytesIO whose `name` and str() are `path`), for a library that reads a
// whole file: no file stays open, so the file can be replaced afterwards on
// every system.
py::Ref checked_stream(PyObject* path);
// The same as UTF-8 text, as open(path, encoding="utf-8", newline=newline)
// reads it (`newline` null for the default).
py::Ref checked_text(PyObject* path, PyObject* newline);
// 0 when the content of `path` may be replaced (native::may_write), the
// check a run meets and a preview foresees with; else -1 with the error.
int check_may_write(PyObject* path);

// A new name for a temporary file of the program's own, as the one rule
// for them makes it (see native::temp_name): a str, or empty with the
// exception set.
py::Ref temp_file_name();

// Renames `src` to `dst` (path strings). Fails with FileExistsError naming
// both paths when `dst` exists, even as another name of the same file;
// only a change of letter case that the file system treats as the same
// name goes through. Renaming a path to itself succeeds and changes nothing.
int rename_no_replace(PyObject* src, PyObject* dst);

// Renames decided together (a folder's files, a folder's subfolders) are
// said to the run's record together, with one sync, before the first is
// made: `said[i]` gets the record's entry for renames[i] (0 when there is
// no record, or the item is gone; it is then said when made). 0, or -1
// with the exception set (nothing may then be renamed).
int say_renames(const std::vector<std::pair<py::Ref, py::Ref>>& renames, std::vector<std::uint64_t>& said);
// rename_no_replace for a rename said before as entry `said`.
int rename_said(PyObject* src, PyObject* dst, std::uint64_t said);

// Renames made on a thread of their own while the run decides the next
// ones. A batch is said to the run's record on the run's thread (the
// entries written), then synced and made on its own thread, each rename as
// rename_said makes it; what came of each is taken back on the run's
// thread, in the same order. One batch is made at a time.
class RenameBatch {
public:
    // What came of one rename, told to the caller: `made` is 0, or -1 with
    // the exception rename_said would have raised set. 0, or -1 to stop.
    using Outcome = std::function<int(PyObject* src, PyObject* dst, int made)>;

    RenameBatch();
    // Waits for the batch being made; what came of it is then in the record only.
    ~RenameBatch();
    RenameBatch(const RenameBatch&) = delete;
    RenameBatch& operator=(const RenameBatch&) = delete;

    // Says `renames` (pairs of path strings) to the record and starts
    // making them once the batch being made is done, then tells what came
    // of that one. 0; -1 with the exception set when the record could not
    // be told (none of `renames` is made), when a batch's sync failed (none
    // of it was made) or when `outcome` stops.
    int start(std::vector<std::pair<py::Ref, py::Ref>> renames, const Outcome& outcome);
    // Waits for the batch being made and tells what came of it, as start.
    int finish(const Outcome& outcome);

private:
    struct Making;
    static int report(const std::unique_ptr<Making>& made, const Outcome& outcome);
    std::unique_ptr<Making> making_;
};

// Renames already said to the run's record, and synced, made in order on a
// thread of their own ahead of the walk: a folder-name run's subfolders
// that are renamed whatever comes, while the run visits beneath the ones
// before them. The run takes what came of each in turn.
class RenamesAhead {
public:
    RenamesAhead();
    // Stops making them and waits; the record learns what came of each made.
    ~RenamesAhead();
    RenamesAhead(const RenamesAhead&) = delete;
    RenamesAhead& operator=(const RenamesAhead&) = delete;

    // Starts making `renames` (pairs of path strings), said[i] the record's
    // entry for each. `stopped` is asked, on that thread, before each: once
    // it says so, no more are made. 0, or -1 with the exception set.
    int start(std::vector<std::pair<py::Ref, py::Ref>> renames, std::vector<std::uint64_t> said,
              std::function<bool()> stopped);
    // Waits for renames[index] and tells what came of it: 0 when made, -1
    // with the exception rename_said would have raised set, 1 when it was
    // not tried (stopped).
    int take(std::size_t index);
    // No more are tried; those tried are still taken in turn.
    void stop();

private:
    struct Making;
    std::unique_ptr<Making> making_;
};

// Refuses (ValueError naming both) a new name that is not a plain name in
// its folder: empty, ".", "..", or holding a path separator; on Windows also
// a name the system would read otherwise (see native::is_plain_name_windows).
int check_plain_name(PyObject* old_name, PyObject* new_name);

// Folders whose sync is put off until sync_folders (see native.h).
using FolderSyncs = native::FolderSyncs;

// Writes a file's new content through `write_to(temp_path)`, which must
// create the content at the temporary path it is given (a str) and return
// 0, or -1 with an exception set. The content then takes the place of the
// file's old content, all or nothing, keeping the file's owner, group, mode
// and extended attributes; a symbolic link stays a link and its target gets
// the content (see native::replace_file for how). With `syncs`, the folder
// is synced later by sync_folders rather than now. While a WriteBatch is
// installed on this thread, the batch takes the folder sync and, when it
// is staging, the replacement is only prepared (see WriteBatch). Returns 0,
// or -1 with the exception set; an OSError whose failure left the old
// content elsewhere carries a note saying where. The interpreter's lock is
// released while the disk works, and held while `write_to` runs.
int replace_file(PyObject* path, const std::function<int(PyObject* temp_path)>& write_to,
                 FolderSyncs* syncs = nullptr);

// The empty temporary file that replace_file gives its writer, written
// here rather than through open(temp_path, "wb") when open is the
// interpreter's own: the same bytes, without a file object, and without
// cutting an empty file (which asks ext4 to start writing the data back when
// it is closed). On Windows the file stays open for replace_file, so it is
// always written through open.
class NewContent {
public:
    NewContent();
    ~NewContent();
    NewContent(const NewContent&) = delete;
    NewContent& operator=(const NewContent&) = delete;

    // 1 when the file is open to be written here; 0 when it is to be
    // written through open; -1 with the exception set.
    int open(PyObject* temp_path);
    // Appends `bytes`, the interpreter's lock released. 0, or -1 with OSError.
    int write(const std::string& bytes);
    void close();

private:
    py::Ref path_;
    std::unique_ptr<native::os::File> file_;
};

// Syncs every folder collected. 0, or -1 with OSError naming the first
// folder that failed (the others are synced all the same).
int sync_folders(FolderSyncs& syncs);

// Replacements of a run over many files, finished together.
//
// Installed on the calling thread by install(), until it is destroyed. While
// it stages, replace_file prepares each replacement (the new content in a
// temporary file beside the target, with the target's identity) without
// syncing or moving it; flush then syncs the data of all of them at once
// and moves each over its target, in the order they were prepared. Each
// folder a rename touched is synced once, by sync_folders.
//
// Why a crash stays harmless: until flush, every target still holds its
// old content and only a temporary file (named in the run's record, which
// the next run on the folder settles) holds the new. flush moves no file
// before its data is durable (the sync reports each failure, and a file
// whose sync failed is dropped) and before the run's record says, synced,
// which moves may happen (and keeps the old files for undo); each move is
// one atomic rename, made only while the target is still the file it was,
// so after a crash every file holds its old content or its new one, whole,
// as with a replacement finished at once. Only the durability of the
// renames waits for the folder syncs.
//
// A full batch may be flushed ahead (flush_ahead): its data syncs on a
// thread of its own while the owner stages the next, and it is moved into
// place by the next flush. Nothing is moved sooner than before, only later.
//
// The owner must flush before anything could read a staged target again
// (see holds), and before any error leaves it.
class WriteBatch {
public:
    WriteBatch();
    ~WriteBatch();  // finishes what is still staged, quietly, and syncs the folders

    // Installs it on this thread, over any batch installed before (which
    // comes back when this one goes). 0, or -1 with the exception set.
    int install();
    WriteBatch(const WriteBatch&) = delete;
    WriteBatch& operator=(const WriteBatch&) = delete;

    // Whether replace_file stages; when not, it finishes each replacement
    // at once and leaves only the folder sync to the batch.
    bool staging = true;

    std::size_t staged() const { return staged_.size(); }
    // Replacements not finished: staged, or syncing ahead.
    std::size_t pending() const;
    // Enough is staged that it should be flushed now.
    bool full() const;
    // Whether the file (device, number as os.stat gives them) is the
    // target of a staged replacement, which reading it would not see.
    bool holds(std::uint64_t device, std::uint64_t number) const;
    // 1 when a replacement staged since `since` (a count of staged()) is
    // for `path`, else 0; -1 with the exception set.
    int staged_for(std::size_t since, PyObject* path) const;

    // Finishes every staged replacement in the order staged, calling
    // done(path, moved) for each, path being the one replace_file was
    // given: moved is true once the new content is in place, false with
    // the OSError set when the replacement failed (the file keeps its old
    // content). done returns 0 to go on, -1 to stop: the replacements not
    // yet finished are then dropped (their files keep their old content).
    // Returns 0, or -1 when done stopped it (its exception pending). Call it
    // with no exception pending.
    int flush(const std::function<int(PyObject* path, bool moved)>& done);
    // Finishes, as flush does, the batch synced ahead before, if any, and
    // starts syncing the staged replacements on a thread of their own
    // (or, where none can be started, finishes them too). 0, or -1 as flush.
    int flush_ahead(const std::function<int(PyObject* path, bool moved)>& done);
    // Syncs every folder a rename touched; failures are ignored, as after a
    // replacement finished at once (the renames have happened).
    void sync_folders();

    // For replace_file, which stages into it.
    std::vector<native::Staged> staged_;
    std::vector<py::Ref> paths_;  // each as replace_file was given it
    std::uint64_t bytes_ = 0;
    native::FolderSyncs folders_;
    native::ReplacedFiles replaced_;  // the old files the moves replaced

    struct Synced;  // replacements whose data sync has started or ended

private:
    int finish_ahead(const std::function<int(PyObject* path, bool moved)>& done);
    int take_staged(Synced& batch, const std::function<int(PyObject* path, bool moved)>& done);

    ThreadSlot slot_{kWriteBatchSlot};
    std::unique_ptr<Synced> ahead_;  // syncing on its own thread
};

}  // namespace tw::platform
