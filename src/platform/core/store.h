// Where the program keeps its state for the user: the per-user state folder
// ($XDG_STATE_HOME, else ~/.local/state, on Linux; %LOCALAPPDATA% on
// Windows; ~/Library/Application Support on macOS), in a folder of the
// program's own, "termweave_mira7". It holds the records of the last runs
// (record.h), each in a folder of its own under "runs" named so that names
// sort by age, and a lock file held for a moment while a run starts or
// ends, so that two runs starting at once see each other.
//
// A run is begun and ended here: only one run (or undo) at a time works on
// a folder or on anything inside it or around it; an interrupted record on
// an overlapping folder is settled first; a run that changed something
// removes the earlier records of its folder when it ends; at most the last
// kMaxRecords records are kept in all. Records of runs that were
// interrupted and never settled are kept whatever their number: they may
// hold the only copy of someone's old content.
#pragma once

#include "platform/core/record.h"

#include <memory>
#include <vector>

namespace tw::platform::native {

inline constexpr std::size_t kMaxRecords = 10;

// The per-user state folder; empty when the environment names none.
String state_folder();
// The file system (device) the store is, or would be, on: what a backup
// made by a second name must share. Looks only; makes nothing.
Error store_device(std::uint64_t& device);
// How many bytes of backups a run may copy before a preview says so and
// offers to run without undo: 1 GiB, or a tenth of the space free where the
// store is, whichever is less.
std::uint64_t backup_copy_limit();

class Store {
public:
    // Finds (and makes) the program's folder. 0, or the error.
    Error open();
    const String& folder() const { return folder_; }
    String runs_folder() const;
    // The store-wide lock, held for the life of this object once taken.
    Error lock();
    // Record folders, oldest first.
    Error list_runs(std::vector<String>& folders) const;
    Error new_run_folder(String& made) const;

private:
    String folder_;
    os::File lock_;
};

// Whether two real paths are one folder, or one lies inside the other.
bool overlaps(const String& a, const String& b);

// What settling an interrupted record found and did.
struct SettleNote {
    enum class Kind {
        finished,      // a rewrite in place had finished: the file holds its new content
        rolled_back,   // a rewrite in place was cut short: the old content is back
        not_repaired,  // a rewrite cut short whose backup is gone or damaged: left as it is
        temps_removed, // `count` temporary files of the run removed
    };
    Kind kind;
    String path;
    std::uint64_t count = 0;
};

// Settles what an interrupted record says (settle.cpp): each intended step
// found done or not done on disk, a rewrite in place cut short finished or
// rolled back from its backup, and the temporary files it names removed.
// The record then ends, unless an undo was under way (it may go on).
Error settle(Record& record, std::vector<SettleNote>& notes);

// Removes a record and every backup it names.
void remove_record(const String& folder, const RecordState& state);

struct RunStart {
    std::unique_ptr<Record> record;  // null when there is none (or none could be made)
    std::vector<SettleNote> notes;   // what settling interrupted records found
    String busy_root;                // the folder of a run still going, when that refused this one
};

// Begins a run over `root` (a real path): takes the store lock, refuses
// (is_busy, with `busy_root`) when a run on an overlapping folder is still
// going, settles interrupted records on overlapping folders, and starts
// this run's record.
Error start_run(const String& root, std::string_view operation, bool undoable, RunStart& out);

// What start_run does before it starts the record, for a preview that is
// about to read the folder: refuses (is_busy, with `busy_root`) while a run
// on an overlapping folder goes on, and settles interrupted records there.
Error settle_before_run(const String& root, RunStart& out);

// Ends a run: its record's last entry, then the records it outdates go
// (when it changed anything). A record with nothing to undo goes itself.
void finish_run(std::unique_ptr<Record>& record);

// The record that undo would undo for `folder` (a real path; empty for the
// last run of all), taken for this process and settled; `out.record` is
// null when there is none. is_busy (with `busy_root`) when a run on an
// overlapping folder is still going.
Error open_last_run(const String& folder, RunStart& out);

}  // namespace tw::platform::native
