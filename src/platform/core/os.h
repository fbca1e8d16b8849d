// The few operating-system steps the replacement is built from, one
// implementation per system (posix.cpp, windows.cpp). Each returns 0 or
// the system's error code.
#pragma once

#include "platform/core/native.h"

#include <cstdint>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tw::platform::native::os {

// The file that `path` names, through a symbolic link.
Error resolve_target(const String& path, String& target);

// The file whose content is replaced, checked and described. Opening it for
// writing (without truncating) meets the refusal the user expects (read-only,
// locked); only a regular file is replaced, so a device or pipe reached
// through a link is not swapped for a plain file. A missing file may be
// created. On POSIX it stays open, for the identity a new file takes from it.
class Target {
public:
    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target();

    Error open(const String& path);
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

String folder_of(const String& path);
// Where a file may be staged when its own folder is closed to us.
String temp_folder();
// Creates a new empty file with a unique hidden name in `folder`.
Error make_temp(const String& folder, const Char* suffix, String& made);
void remove_quietly(const String& path);
// The folder refuses new files (rather than failing for another reason).
bool is_access_denied(Error error);

// What finishing a temporary file found.
struct Finished {
    bool carried = false;     // it carries the target's identity
    std::uint64_t size = 0;   // its length
    std::uint64_t device = 0; // the file system (volume) it is on
};

// Moves the finished temporary file over the target. On failure the
// temporary file is still there unless `out.new_content_at` says where the
// new content went; the caller removes it only in the first case.
Error move_over(const String& temp, const String& target, FolderSyncs* syncs, ReplaceOutcome& out);

// Syncs one file's data by its path.
Error sync_file(const String& path);

// An open file: the temporary file being finished, or one read and
// rewritten whole on the in-place path.
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

    Error open_existing(const String& path);
    Error read_all(std::string& bytes);
    // Writes `bytes` from the start, cuts the file to their length, syncs.
    Error overwrite(const std::string& bytes);
    // Writes `bytes` into a file still empty (just created) and syncs.
    Error fill(const std::string& bytes);

private:
#ifdef _WIN32
    void* handle_ = reinterpret_cast<void*>(-1);
#else
    int fd_ = -1;
#endif
};

}  // namespace tw::platform::native::os
