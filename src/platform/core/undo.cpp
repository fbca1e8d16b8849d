#include "platform/core/undo.h"

#include <set>

namespace tw::platform::native {

namespace {

// Whether the file at `path` is still what the run left there. For an item
// an undo cut short was putting back, its content alone tells: settling may
// have rolled that back, which wrote the run's content again.
bool as_left(const String& path, const Identity& expected, bool with_content, bool content_only)
{
    FileInfo info;
    if (file_info(path, false, info) != 0 || !info.regular || info.size != expected.size)
        return false;
    if (!content_only && (info.id != expected.id || info.mtime_ns != expected.mtime_ns))
        return false;
    if (!with_content)
        return true;
    os::File file;
    std::uint64_t size = 0, sum = 0;
    return file.open_checked(path, &info.id) == 0 && file.checksum(size, sum) == 0 && size == expected.size &&
           sum == expected.sum;
}

bool backup_kept(const RecordItem& item)
{
    FileInfo info;
    if (item.backup.empty() || file_info(item.backup, false, info) != 0 || !info.regular)
        return false;
    return item.backup_copied ? info.size == item.old_content.size : info.id == item.old_id;
}

// The disk as the undo steps before this one leave it: names they free and
// names they take.
struct Foreseen {
    std::set<String> freed, taken;

    bool exists(const String& path) const
    {
        if (taken.count(path))
            return true;
        if (freed.count(path))
            return false;
        FileInfo info;
        return file_info(path, false, info) == 0;
    }
};

UndoCheck check_content(const RecordItem& item, bool with_content)
{
    FileInfo info;
    if (file_info(item.path, false, info) != 0)
        return UndoCheck::missing;
    if (!as_left(item.path, item.written, with_content, item.undoing))
        return UndoCheck::edited;
    return backup_kept(item) ? UndoCheck::ready : UndoCheck::backup_missing;
}

UndoCheck check_rename(const RecordItem& item, const Foreseen& disk)
{
    FileInfo info;
    bool there = !disk.freed.count(item.new_path) && file_info(item.new_path, false, info) == 0 &&
                 info.id == item.old_id;
    if (!there)
        return UndoCheck::missing;
    return disk.exists(item.path) ? UndoCheck::name_taken : UndoCheck::ready;
}

UndoCheck check_step(const RecordItem& item, const Foreseen& disk, bool with_content)
{
    return item.type == ItemType::rename ? check_rename(item, disk) : check_content(item, with_content);
}

// Writes the backup's content to the temporary file a replacement made.
Writer copying(const String& backup)
{
    return [backup](const String& temp) {
        os::File source, target;
        std::uint64_t size = 0, sum = 0;
        return source.open_checked(backup, nullptr) == 0 && target.open_existing(temp) == 0 &&
               target.copy_from(source, size, sum) == 0;
    };
}

Error put_back(Record& record, const RecordItem& item, FolderSyncs& syncs)
{
    if (item.type == ItemType::rename) {
        Error error = rename_no_replace(item.new_path, item.path);
        if (!error)
            syncs.add(folder_of(item.path));
        return error;
    }
    if (!item.backup_copied) {
        Error error = os::rename_over(item.backup, item.path);
        if (!error)
            syncs.add(folder_of(item.path));
        return error;
    }
    ReplaceContext context;
    context.expected = &item.written.id;
    context.record = [&record] { return &record; };
    ReplaceOutcome out = replace_file(item.path, copying(item.backup), &syncs, nullptr, context);
    return out.writer_failed && !out.error ? changed_since_decided() : out.error;
}

}  // namespace

void plan_undo(const RecordState& state, std::vector<UndoStep>& steps)
{
    steps.clear();
    Foreseen disk;
    for (auto it = state.items.rbegin(); it != state.items.rend(); ++it) {
        const RecordItem& item = *it;
        bool offered = item.state == ItemState::done && !item.undone && !item.by_undo &&
                       (item.type == ItemType::rename || !item.backup.empty());
        if (!offered)
            continue;
        UndoStep step{item.number, item.type, item.path, item.new_path, check_step(item, disk, true)};
        if (step.check == UndoCheck::ready && item.type == ItemType::rename) {
            disk.freed.insert(item.new_path);
            disk.taken.insert(item.path);
            disk.freed.erase(item.path);
        }
        steps.push_back(step);
    }
}

Error undo_step(Record& record, std::uint64_t number, FolderSyncs& syncs, UndoCheck& check)
{
    const RecordItem* found = record.state().item(number);
    if (!found)
        return os::not_found_error();
    RecordItem item = *found;
    check = check_step(item, Foreseen{}, true);
    if (check != UndoCheck::ready)
        return 0;
    if (Error error = record.undoing(number))
        return error;
    if (Error error = put_back(record, item, syncs))
        return error;
    return record.undone(number);
}

}  // namespace tw::platform::native
