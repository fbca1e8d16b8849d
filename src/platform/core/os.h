// The few operating-system steps the replacement, the state folder and the
// run records are built from, one implementation per system (posix.cpp,
// windows.cpp). Each returns 0 or the system's error code.
#pragma once

#include "platform/core/native.h"

#include <cstdint>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tw::platform::native::os {

// The file that `path` names, through a symbolic link.
Error resolve_target(const String& path, String& target);

// The file whose content is replaced, checked and described. Opening it for
// writing (without truncating) meets the refusal the user expects (read-only,
// locked); only a regular file is replaced, so a device or pipe reached
// through a link is not swapped for a plain file, and a link that appears
// in its place is not followed. Given `expected`, a file found to be
// another one is refused (changed_since_decided). A missing file may be
// created, unless one was expected. On POSIX it stays open, for the
// identity a new file takes from it.
class Target {
public:
    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target();

    Error open(const String& path, const FileId* expected = nullptr);
    bool exists() const { return exists_; }
    FileId id() const { return id_; }
    std::uint64_t links() const { return links_; }

private:
    friend class File;
    bool exists_ = false;
    FileId id_;
    std::uint64_t links_ = 0;
#ifndef _WIN32
    int fd_ = -1;
    struct stat info_ {};
#endif
};

// Creates a new empty file with a unique hidden name in `folder`.
Error make_temp(const String& folder, const Char* suffix, String& made);
void remove_quietly(const String& path);
// The folder refuses new files (rather than failing for another reason).
bool is_access_denied(Error error);
// The two paths are on different file systems (a hard link cannot join them).
bool is_cross_device(Error error);

// What finishing a temporary file found.
struct Finished {
    bool carried = false;     // it carries the target's identity
    std::uint64_t size = 0;   // its length
    std::uint64_t device = 0; // the file system (volume) it is on
    FileId id;                // the new file
};

// Moves the finished temporary file over the target. On failure the
// temporary file is still there unless `out.new_content_at` says where the
// new content went; the caller removes it only in the first case.
Error move_over(const String& temp, const String& target, FolderSyncs* syncs, ReplaceOutcome& out);

// Syncs one file's data by its path.
Error sync_file(const String& path);

// An open file: the temporary file being finished, one read and rewritten
// whole on the in-place path, a backup, or a run's record.
class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // Creates a new file with a unique hidden name in `folder`, like
    // make_temp; where the system lets others open it meanwhile, it stays
    // open for finish_temp.
    Error create_temp(const String& folder, const Char* suffix, String& made);
    // Gives the temporary file at `path` (this one, if open) the target's
    // identity where a new file can carry it, and syncs its data when `sync`
    // is set. `out.carried` is false (with 0 returned) when it cannot: the
    // target must then be rewritten in place.
    Error finish_temp(const String& path, const Target& target, bool sync, Finished& out);

    // Read and write, for a rewrite in place.
    Error open_existing(const String& path);
    // Read only, checked (see read_checked in native.h).
    Error open_checked(const String& path, const FileId* expected);
    // A new file that must not exist yet, private to this user.
    Error create_new(const String& path);
    // Read and write, appended to, created when missing (a run's record).
    Error open_record(const String& path, bool create);

    Error info(FileInfo& out) const;
    // The whole content, at most `limit` bytes.
    Error read_all(std::string& bytes, std::uint64_t limit = UINT64_MAX);
    // Writes all of `source`'s content from the start of this file, cuts
    // this file to that length and syncs it; `sum` gets the content's
    // checksum and `size` its length.
    Error copy_from(File& source, std::uint64_t& size, std::uint64_t& sum);
    // The checksum and length of the whole content.
    Error checksum(std::uint64_t& size, std::uint64_t& sum);
    Error append(const std::string& bytes);
    Error sync();
    // A lock that the system drops when the process ends, however it ends.
    // try_lock: 0, or the "busy" error when another holder has it.
    Error try_lock();
    Error wait_lock();
    void close();
    bool is_open() const;

#ifdef _WIN32
    void* release_handle();
#else
    int release_descriptor();
#endif

private:
#ifdef _WIN32
    void* handle_ = reinterpret_cast<void*>(-1);
#else
    int fd_ = -1;
#endif
};

// True for the error try_lock gives when another holder has the lock.
bool is_busy(Error error);
Error busy_error();
Error not_found_error();

// ---- Folders and names ------------------------------------------------------

// Creates a folder only this user may enter; 0 when it is already there.
Error make_folder(const String& path);
Error remove_folder(const String& path);
Error remove_file(const String& path);
// The names in a folder, "." and ".." left out.
Error list_folder(const String& path, std::vector<String>& names);
// A second name for a file; EXDEV (or the system's equivalent) across
// file systems.
Error hard_link(const String& existing, const String& made);
// Replaces `to` with `from` by a rename (both on one file system).
Error rename_over(const String& from, const String& to);
// Bytes free for this user on the file system of `folder`.
Error free_space(const String& folder, std::uint64_t& bytes);
// The path from the root, as the current folder makes it.
String absolute(const String& path);
// The one spelling of a folder that runs and records compare: through every
// link, from the root, and on Windows in lower case (as os.path.normcase
// folds it); the absolute path when the folder is not there.
String real_path(const String& path);
// An environment variable, empty when unset.
String environment(const char* name);
// Hides a file or folder where the system marks hidden items (Windows);
// elsewhere a leading dot already does.
void hide(const String& path);

}  // namespace tw::platform::native::os
