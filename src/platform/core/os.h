// The few operating-system steps the replacement is built from, one
// implementation per system (posix.cpp, windows.cpp). Each returns 0 or
// the system's error code.
#pragma once

#include "platform/core/native.h"

#include <string>

namespace tw::platform::native::os {

// The file that `path` names, through a symbolic link.
Error resolve_target(const String& path, String& target);
// The refusal writing the file in place would meet (read-only, locked, not
// a regular file); a missing file may be created.
Error check_replaceable(const String& target);
String folder_of(const String& path);
// Where a file may be staged when its own folder is closed to us.
String temp_folder();
// Creates a new empty file with a unique hidden name in `folder`.
Error make_temp(const String& folder, const Char* suffix, String& made);
void remove_quietly(const String& path);
// The folder refuses new files (rather than failing for another reason).
bool is_access_denied(Error error);

// Gives the temporary file the target's identity where a new file can
// carry it, and syncs its data. `carried` is false (with 0 returned) when
// it cannot: the target must then be rewritten in place.
Error finish_temp(const String& temp, const String& target, bool& carried);
// Moves the finished temporary file over the target. On failure the
// temporary file is still there unless `out.new_content_at` says where the
// new content went; the caller removes it only in the first case.
Error move_over(const String& temp, const String& target, FolderSyncs* syncs, ReplaceOutcome& out);

// An open existing file, read and rewritten whole; for the in-place path.
class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

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
