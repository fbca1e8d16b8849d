// The operating-system core of the file-system layer: plain C++ over the
// platform's native path strings and error codes, with no interpreter in
// sight, so that it builds (and is tested) on its own and for Windows.
// platform/fs.h converts to and from Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <set>
#include <vector>

namespace tw::platform::native {

#ifdef _WIN32
using Char = wchar_t;
using Error = unsigned long;  // GetLastError()
#else
using Char = char;
using Error = int;  // errno
#endif
using String = std::basic_string<Char>;
using StringView = std::basic_string_view<Char>;

// ---- Names ---------------------------------------------------------------

// A name that stays a name in its folder: not empty, ".", "..", and without
// a separator.
bool is_plain_name_posix(std::string_view name);
// The same, and nothing Windows would read as something else: a drive or
// stream prefix (":"), one of <>"|?*, a control character, a trailing dot
// or space (dropped by Windows), or a device name such as CON or COM1
// (with or without an extension, in any letter case).
bool is_plain_name_windows(std::wstring_view name);
// The rules of the system this is built for.
bool is_plain_name(StringView name);

// ---- Renaming --------------------------------------------------------------

// True for the error a rename gives when the new name is taken.
bool already_exists(Error error);

// Renames src to dst without ever replacing dst: 0, or the error (the
// "already exists" one when dst is taken, even by another name of src).
Error rename_no_replace(const String& src, const String& dst);

// The portable way of the above, used where the kernel's atomic form is
// missing: a check for dst right before the rename.
Error rename_checked(const String& src, const String& dst);

// Renames src to dst when dst is only another spelling of src's own entry
// in the folder (a letter-case change on a file system that ignores case).
// A separate entry under dst, even a hard link to src, counts as taken.
Error rename_respelled(const String& src, const String& dst);

// ---- Replacing a file's content -------------------------------------------

// Folders whose sync after a replacement is put off, so that a run over
// many files syncs each folder once. Each file's data is synced before it
// is renamed into place either way, so every file is old or new after a
// crash; what waits is only the durability of the renames.
class FolderSyncs {
public:
    FolderSyncs() = default;
    FolderSyncs(const FolderSyncs&) = delete;
    FolderSyncs& operator=(const FolderSyncs&) = delete;
    // Syncs what is still collected, ignoring failures.
    ~FolderSyncs();

    void add(const String& folder);
    std::size_t pending() const { return folders_.size(); }
    // Syncs every collected folder (all are tried) and forgets them.
    // 0, or the first error with its folder in `failed`.
    Error sync_all(String* failed = nullptr);

private:
    std::set<String> folders_;
};

// Syncs one folder, so that renames in it survive a crash.
Error sync_folder(const String& folder);

// Which file a path leads to: the device (volume) and the file's number on it.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t number = 0;
    bool operator==(const FileId&) const = default;
};

// A replacement prepared but not finished: the new content is written to a
// temporary file beside the target and carries the target's identity, but
// it is neither synced nor in place yet. Until it is moved, the target
// still holds its old content, whole.
struct Staged {
    String temp;
    String target;
    bool target_existed = false;  // (a missing target is created)
    FileId target_id;             // the file it replaces, to tell it is pending
    std::uint64_t device = 0;     // the file system (volume) both are on
    std::uint64_t size = 0;       // bytes of the new content
};

struct ReplaceOutcome {
    Error error = 0;            // 0 when done, or when the writer failed
    bool writer_failed = false; // the writer said no; its own error explains
    bool in_place = false;      // the file was rewritten in place
    bool staged = false;        // prepared only: see replace_file's `staged`
    String old_content_at;      // a failure left the old bytes here, not in the file
    bool old_content_lost = false;  // ... and could not even keep them there
    String new_content_at;      // a failure left the new bytes here
};

// Creates the new content at the temporary path it is given; false on failure.
using Writer = std::function<bool(const String& temp_path)>;

// Replaces the content of the file at `path` (through a symbolic link, its
// target) with what `write_to` writes, all or nothing. Normally the new
// content is written to a temporary file beside the old one, given the old
// one's owner, group, extended attributes and mode, synced and renamed over
// it. When a new file cannot carry the old one's identity (its owner or
// group cannot be kept, it has several hard links, or its folder is not
// writable), the old file is rewritten in place with its old bytes kept (in
// a synced backup beside it where the folder allows) and written back on
// failure. With `syncs`, the folder sync after a rename is left to it.
// With `staged`, a replacement that would end in a rename stops before the
// sync and the rename: `out.staged` is set and `*staged` describes it, to be
// finished by sync_staged and move_staged or dropped by discard_staged. A
// rewrite in place is finished at once all the same.
ReplaceOutcome replace_file(const String& path, const Writer& write_to, FolderSyncs* syncs = nullptr,
                            Staged* staged = nullptr);

// Makes the new content of staged replacements durable: where the system
// syncs a whole file system reliably and reports its failures (Linux 5.8
// and later, on file systems known to), once per file system; otherwise,
// and for the files of a file system whose sync failed, each file on its
// own. `errors[i]` is 0 or the failure of `staged[i]`.
void sync_staged(const std::vector<Staged>& staged, std::vector<Error>& errors);

// Moves a staged replacement, synced, over its target (its folder sync left
// to `syncs`). On failure the temporary file is removed unless `out` says
// where the new content went.
Error move_staged(const Staged& staged, FolderSyncs* syncs, ReplaceOutcome& out);

// Drops a staged replacement: the target keeps its old content.
void discard_staged(const Staged& staged);

}  // namespace tw::platform::native
