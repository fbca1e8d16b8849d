// The record of one run, kept in the per-user state folder (store.h): what
// the run may have done, written before it does it, so that after a crash,
// a power loss, a cancel or an exit part-way it still says exactly that.
// Undo reads it to put things back; the next run on the folder reads an
// interrupted one first and settles it (settle.cpp).
//
// A record is a folder of the store holding the file "record" and the
// backups the run keeps. The file is a journal: one line per entry,
// appended, each with its own checksum so that a line torn by a power loss
// is told from a written one. Entries name the program's temporary files,
// the backups, each replacement and rename before it happens, and what
// came of it. While its run (or undo) goes on, the file is locked; the
// system drops the lock when the process ends, however it ends, so an
// unlocked record without its end is an interrupted run.
//
// Backups: a file replaced by a new one is kept by a second name (a hard
// link) in the record's folder, which costs no copy; on another file
// system, in a folder of its own at the top of the chosen folder (see
// kBackupFolderName); only where neither can link, by a copy. A file
// rewritten in place keeps its inode, so its old content is always copied,
// and the copy is synced before the first byte is written.
#pragma once

#include "platform/core/native.h"
#include "platform/core/os.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tw::platform::native {

enum class ItemType {
    swap,     // a new file moved over the old one
    rewrite,  // a file rewritten in place (several names, or a closed folder)
    rename,   // a file or folder renamed
};

enum class ItemState {
    intended,  // about to happen: whether it did, the disk tells
    done,
    dropped,   // did not happen (the file keeps its old content or name)
};

struct RecordItem {
    std::uint64_t number = 0;
    ItemType type = ItemType::swap;
    ItemState state = ItemState::intended;
    String path;            // the file; for a rename, where the item was
    String new_path;        // a rename: where it went
    String backup;          // where the old content is kept ("" for none)
    bool backup_copied = false;  // a copy, rather than a second name of the old file
    FileId old_id;          // a swap: the file replaced; a rename: the item renamed
    Identity old_content;   // the old content's size and checksum (rewrites, copies)
    Identity written;       // what the run left in place (a swap: known beforehand)
    bool undoing = false;   // an undo is putting it back
    bool undone = false;
    bool by_undo = false;   // made by an undo putting things back: never undone itself
};

// A temporary file of the program's own.
struct RecordTemp {
    std::uint64_t number = 0;
    String path;
    FileId id;
    bool gone = false;
};

struct RecordState {
    std::string operation;  // replace_file_contents, replace_file_names, ...
    String root;            // the chosen folder, as its real path
    String root_now;        // where a run that renamed it left it ("" if it did not)
    String backup_folder;   // the run's folder of backups in the chosen folder ("" for none)
    bool undoable = false;  // backups were kept for undo
    std::int64_t started = 0;  // seconds since 1970
    std::vector<RecordItem> items;
    std::vector<RecordTemp> temps;
    bool ended = false;        // the run ended (finished, or settled after a crash)
    bool undo_started = false;
    bool undo_ended = false;

    RecordItem* item(std::uint64_t number);
    RecordTemp* temp(std::uint64_t number);
};

// The name of the journal in a record's folder.
extern const Char* const kRecordFileName;

class Record {
public:
    Record() = default;
    // Writes what is still held back (see Write).
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    // Starts the record of a new run over `root` in the new folder
    // `folder` of the store, locked, its first entry synced.
    static Error create(const String& folder, const String& root, std::string_view operation,
                        bool undoable, std::unique_ptr<Record>& out);
    // Opens the record in `folder` and takes its lock: is_busy() when its
    // run is still going.
    static Error open(const String& folder, std::unique_ptr<Record>& out);
    // How much of a record to read: the whole of it, or only what it says
    // of its run as a whole (the operation, the chosen folder and where it
    // went, the backup folder, whether the run and an undo began and
    // ended), without its items and temporary files.
    enum class Detail { whole, outline };
    // Reads the record in `folder` without taking its lock.
    static Error read(const String& folder, RecordState& state, Detail detail = Detail::whole);
    // Whether the run of the record in `folder` is still going.
    static bool in_use(const String& folder);

    const String& folder() const { return folder_; }
    const RecordState& state() const { return state_; }
    RecordState& state() { return state_; }
    // Keeps backups for undo (off while an undo itself replaces files).
    bool keeps_backups() const { return state_.undoable && !undoing_; }

    // ---- as replacements and renames go -----------------------------------
    // Names a temporary file of the run's own; `number` is its entry.
    Error made_temp(const String& path, const FileId& id, std::uint64_t& number);
    // Before the staged file moves over its target: keeps the old file
    // when the run keeps backups and says that the move may happen. The
    // caller syncs (once for a batch).
    Error before_swap(const Staged& staged, const Identity& written, std::uint64_t& number);
    void after_swap(std::uint64_t number, bool moved);
    // A path in the record's folder for a backup or staged content.
    String new_path_here(const Char* prefix);
    // Before a rewrite in place: its backup, synced, is at `backup`. Synced.
    Error before_rewrite(const String& target, const String& backup, const Identity& old_content,
                         const Identity& fresh, std::uint64_t& number);
    void after_rewrite(std::uint64_t number, const Identity* written);
    // Before a rename; synced unless the caller syncs once for several.
    Error before_rename(const String& src, const String& dst, const FileId& id, std::uint64_t& number,
                        bool sync_now = true);
    void after_rename(std::uint64_t number, bool renamed);
    // The chosen folder itself was renamed.
    void root_moved(const String& now);

    // ---- undo ------------------------------------------------------------------
    Error begin_undo();
    Error undoing(std::uint64_t number);
    Error undone(std::uint64_t number);
    Error end_undo();

    // The run ended: the last entry, synced.
    Error end();
    Error sync();
    // Writes the entries held back, without a sync.
    Error write_held();
    // Syncs what was written to the journal, and only that: another thread
    // may do this while this one goes on adding entries.
    Error sync_written() { return file_.sync(); }

private:
    // When an entry reaches the disk: held back and written with the next
    // one that is written (outcomes, which the disk tells as well, and
    // steps said together before one sync), written at once (what a
    // process killed next must leave behind, such as a temporary file's
    // name), or written and synced.
    enum class Write { later, now, synced };
    Error add(std::string_view tag, const std::vector<std::string>& fields, Write when = Write::now);
    RecordItem new_item(ItemType type, const String& path);
    Error keep_old(const Staged& staged, RecordItem& item);
    Error link_backup(const String& target, const FileId& id, String& backup);

    String folder_;
    os::File file_;
    RecordState state_;
    std::uint64_t next_number_ = 1;
    std::uint64_t backups_ = 0;
    bool undoing_ = false;
    String hidden_folder_;  // the backup folder at the top of the chosen folder, once made
    FolderSyncs dirty_folders_;  // folders given a backup since the last sync
    std::string held_back_;      // entries not written yet
};

// Fields as the journal writes them, and one intact entry applied to a
// state as it is read back (false for an entry that does not read).
std::string encode_field(const String& text);
bool decode_field(std::string_view field, String& text);

inline std::string number(std::uint64_t value) { return std::to_string(value); }
inline std::string number(std::int64_t value) { return std::to_string(value); }
inline std::string id_fields(const FileId& id) { return number(id.device) + " " + number(id.number); }
inline std::string identity_fields(const Identity& identity)
{
    return id_fields(identity.id) + " " + number(identity.size) + " " + number(identity.mtime_ns) + " " +
           number(identity.sum);
}
bool apply_entry(RecordState& state, const std::vector<std::string_view>& fields);

}  // namespace tw::platform::native
