// Undoing a run from its record: each step it made put back, the last
// first, and only where the disk still holds what the run left. A file
// edited since, a renamed item moved or deleted, a name taken again, or a
// backup gone: that step is left alone, with the reason.
#pragma once

#include "platform/core/record.h"

#include <vector>

namespace tw::platform::native {

enum class UndoCheck {
    ready,           // as the run left it: it is put back
    edited,          // the file was changed since the run
    missing,         // the item was moved or deleted since the run
    name_taken,      // its old name is taken again
    backup_missing,  // the old content is no longer where it was kept
};

struct UndoStep {
    std::uint64_t number = 0;  // the item in the record
    ItemType type = ItemType::swap;
    String path;      // a file to restore; for a rename, where the item goes back to
    String new_path;  // for a rename, where the item is now
    UndoCheck check = UndoCheck::ready;
};

// What undoing the record would do, in the order it would: steps that
// happened and are not undone yet, the last first, each checked against
// the disk as the steps before it would leave it.
void plan_undo(const RecordState& state, std::vector<UndoStep>& steps);

// Checks the step again and puts it back when it is still ready: `check`
// says what was found. 0 (also when it was left alone), or the error that
// stopped it (nothing of it then changed). Renames made in folders are
// added to `syncs`.
Error undo_step(Record& record, std::uint64_t number, FolderSyncs& syncs, UndoCheck& check);

}  // namespace tw::platform::native
