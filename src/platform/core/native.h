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
#include <thread>
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

// A string literal in the system's own characters.
#ifdef _WIN32
#define TW_NATIVE(text) L##text
#else
#define TW_NATIVE(text) text
#endif

// ---- Names ---------------------------------------------------------------

// The program's own files, made and recognised here only. A temporary file
// is ".termweave-" + random letters + `suffix` (".tmp" for new content,
// ".old" and ".bak" as older versions left them beside a file); the folder
// of backups that a run may keep at the top of its chosen folder is
// ".termweave-undo". A run passes both over and never deletes anything
// because of its name: only a record proves a file its own.
String temp_name(const Char* suffix);
// Random letters and digits, for names that must not meet an earlier one.
String random_letters(int count = 10);
bool is_temp_name(StringView name);
extern const Char* const kBackupFolderName;
bool is_backup_folder_name(StringView name);

// The last name of a path, and the folder holding it ("." for a bare name).
String last_name_of(const String& path);
String folder_of(const String& path);
String join(const String& folder, const String& name);


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
// Syncs together, by one sync of their file system, the folders that lie
// several on a file system whose own sync covers them (as sync_staged does
// for files), and takes them out of `folders`; the rest are left to be
// synced one by one.
void sync_folders_together(std::set<String>& folders);

// Which file a path leads to: the device (volume) and the file's number on it.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t number = 0;
    bool operator==(const FileId&) const = default;
};

// What one look at a path (or an open file) tells.
struct FileInfo {
    FileId id;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::uint64_t links = 0;
    bool regular = false;
    bool directory = false;
    bool link = false;  // the name itself is a symbolic link (or reparse point)
};

// What tells a file's content apart from another: which file it is, its
// length, when it was last written, and a checksum of its bytes.
struct Identity {
    FileId id;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::uint64_t sum = 0;
    bool operator==(const Identity&) const = default;
};

// Looks at `path` (through a last link when `follow_links`). ENOENT (or the
// system's "not found") when nothing is there.
Error file_info(const String& path, bool follow_links, FileInfo& out);
bool not_found(Error error);

// The error for a file that is not, or no longer, the one the run decided
// on: replaced, swapped for a link or something that is not a regular file.
Error changed_since_decided();
bool is_changed_since_decided(Error error);
// The error for a rewrite in place that has nowhere to keep a backup of
// the old content first (no per-user state folder): it is not made.
Error no_place_for_backup();
bool is_no_place_for_backup(Error error);

// Opens the file at `path` for reading the way every read of a run goes:
// through a last symbolic link to its target, but never through one that
// appears after that (no-follow), without blocking, a regular file only,
// and, given `expected`, the very file the run decided on (checked on the
// open file). `bytes` gets at most the size the open file had.
Error read_checked(const String& path, const FileId* expected, std::string& bytes);

// Whether the content of the file at `path` may be replaced: the check a
// run meets when it replaces it (opening it for writing without changing
// it), and a preview foresees with. Running with every right, a file that
// gives nobody the right to write is still refused. 0, or the error.
Error may_write(const String& path);

// A streaming checksum of file content (not a cryptographic one: it tells
// an edited file from the one a run wrote).
class Digest {
public:
    void add(const char* bytes, std::size_t size);
    std::uint64_t value() const;

private:
    std::uint64_t state_ = 0x6A09E667F3BCC908ull;
    std::uint64_t pending_ = 0;
    unsigned pending_bytes_ = 0;
    std::uint64_t total_ = 0;
};

class Record;

// A replacement prepared but not finished: the new content is written to a
// temporary file beside the target and carries the target's identity, but
// it is neither synced nor in place yet. Until it is moved, the target
// still holds its old content, whole.
struct Staged {
    String temp;
    String target;
    bool target_existed = false;  // (a missing target is created)
    FileId target_id;             // the file it replaces, checked again right before the move
    FileId temp_id;               // the new file
    std::uint64_t device = 0;     // the file system (volume) both are on
    std::uint64_t size = 0;       // bytes of the new content
    std::uint64_t number = 0;     // its item in the run's record (0: none)
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

// What a replacement knows of the run it is part of.
struct ReplaceContext {
    // The file the run decided on (through links), or null: a file found
    // to be another one by the time it is opened or replaced is left alone.
    const FileId* expected = nullptr;
    // The run's record, made on first need (null when there is none and
    // none can be made): it names every temporary file, keeps the backups
    // and says what may have been done, for undo and for crash repair.
    std::function<Record*()> record;
};

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
                            Staged* staged = nullptr, const ReplaceContext& context = {});

// Makes the new content of staged replacements durable: where the system
// syncs a whole file system reliably and reports its failures (Linux 5.8
// and later, on file systems known to), once per file system; otherwise,
// and for the files of a file system whose sync failed, each file on its
// own. `errors[i]` is 0 or the failure of `staged[i]`.
void sync_staged(const std::vector<Staged>& staged, std::vector<Error>& errors);

// Before staged replacements are moved: the record keeps what each move
// would replace (where the run keeps backups) and says, synced, which
// moves may happen. `errors[i]` (0 when the sync succeeded) turns into the
// failure of `staged[i]` when it cannot be recorded.
void record_staged(Record* record, std::vector<Staged>& staged, std::vector<Error>& errors);

// Files that moves replaced, held so that what letting go of them costs
// (ext4 frees their blocks then, and discards them on a file system mounted
// with discard) is paid on a thread of their own rather than within the
// move. Where the system cannot hold a file without opening it for reading
// or writing, nothing is held.
class ReplacedFiles {
public:
    ReplacedFiles() = default;
    // Lets go of every file held, and waits.
    ~ReplacedFiles();
    ReplacedFiles(const ReplacedFiles&) = delete;
    ReplacedFiles& operator=(const ReplacedFiles&) = delete;

    // Looks at the file at `path` itself (not followed) as file_info does,
    // and holds it until replaced() says whether it was replaced.
    Error look(const String& path, FileInfo& out);
    // Keeps the file looked at last when a move replaced it; else lets go.
    void replaced(bool moved);
    // Lets go of the files kept, on a thread of their own.
    void let_go_ahead();

private:
    void wait();
    std::vector<int> kept_;  // descriptors, where the system has them
    int looked_ = -1;
    std::thread letting_go_;
};

// Moves a staged replacement, synced, over its target (its folder sync left
// to `syncs`), when the target is still the file it was: otherwise, or on
// failure, the temporary file is removed unless `out` says where the new
// content went. The record (if any) learns what came of it.
Error move_staged(const Staged& staged, FolderSyncs* syncs, ReplaceOutcome& out, Record* record = nullptr,
                  ReplacedFiles* replaced = nullptr);

// Drops a staged replacement: the target keeps its old content.
void discard_staged(const Staged& staged, Record* record = nullptr);

}  // namespace tw::platform::native
