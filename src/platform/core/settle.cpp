// Settling an interrupted record: for each step it says may have happened,
// the disk tells whether it did. Only a rewrite in place can be found
// half done (the file holds part of its new content); it is finished when
// the new content turns out to be there whole, and otherwise rolled back
// from its backup, which was synced before the first byte was written.
#include "platform/core/store.h"

namespace tw::platform::native {

namespace {

// The size and checksum of the file at `path` (no link followed); false
// when it cannot be read.
bool content_of(const String& path, Identity& content)
{
    os::File file;
    FileInfo info;
    if (file.open_checked(path, nullptr) != 0 || file.info(info) != 0)
        return false;
    content.id = info.id;
    content.mtime_ns = info.mtime_ns;
    return file.checksum(content.size, content.sum) == 0;
}

bool same_content(const Identity& a, const Identity& b) { return a.size == b.size && a.sum == b.sum; }

bool is_file(const String& path, const FileId& id)
{
    FileInfo info;
    return file_info(path, false, info) == 0 && info.id == id;
}

bool exists(const String& path)
{
    FileInfo info;
    return file_info(path, false, info) == 0;
}

// Puts the backup's content back into the file at `path`, in place.
bool roll_back(const RecordItem& item)
{
    Identity kept;
    if (!content_of(item.backup, kept) || !same_content(kept, item.old_content))
        return false;
    os::File file, backup;
    std::uint64_t size = 0, sum = 0;
    return file.open_existing(item.path) == 0 && backup.open_checked(item.backup, nullptr) == 0 &&
           file.copy_from(backup, size, sum) == 0 && sum == item.old_content.sum;
}

void settle_rewrite(Record& record, const RecordItem& item, std::vector<SettleNote>& notes)
{
    Identity now;
    if (content_of(item.path, now) && same_content(now, item.written)) {
        record.after_rewrite(item.number, &now);
        notes.push_back({SettleNote::Kind::finished, item.path});
    } else if (content_of(item.path, now) && same_content(now, item.old_content)) {
        record.after_rewrite(item.number, nullptr);
    } else if (roll_back(item)) {
        record.after_rewrite(item.number, nullptr);
        notes.push_back({SettleNote::Kind::rolled_back, item.path});
    } else {
        notes.push_back({SettleNote::Kind::not_repaired, item.path});
    }
}

void settle_step(Record& record, const RecordItem& item, std::vector<SettleNote>& notes)
{
    switch (item.type) {
    case ItemType::swap:
        // The move is one rename: the new file is in place, or the old one is.
        record.after_swap(item.number, is_file(item.path, item.written.id));
        break;
    case ItemType::rewrite:
        settle_rewrite(record, item, notes);
        break;
    case ItemType::rename:
        record.after_rename(item.number, is_file(item.new_path, item.old_id) && !exists(item.path));
        break;
    }
}

// Whether an undo cut short had already put the item back.
bool put_back(const RecordItem& item)
{
    Identity now;
    switch (item.type) {
    case ItemType::swap:
        if (!item.backup_copied)
            return is_file(item.path, item.old_id) && !exists(item.backup);
        return content_of(item.path, now) && same_content(now, item.old_content);
    case ItemType::rewrite:
        return content_of(item.path, now) && same_content(now, item.old_content);
    case ItemType::rename:
        return is_file(item.path, item.old_id) && !exists(item.new_path);
    }
    return false;
}

std::uint64_t remove_temps(const RecordState& state)
{
    std::uint64_t removed = 0;
    for (const RecordTemp& temp : state.temps)
        if (is_file(temp.path, temp.id) && os::remove_file(temp.path) == 0)
            ++removed;
    return removed;
}

}  // namespace

Error settle(Record& record, std::vector<SettleNote>& notes)
{
    std::vector<RecordItem> items = record.state().items;
    for (const RecordItem& item : items) {
        if (item.state == ItemState::intended)
            settle_step(record, item, notes);
        if (item.undoing && !item.undone && put_back(item))
            record.undone(item.number);
    }
    if (std::uint64_t removed = remove_temps(record.state()))
        notes.push_back({SettleNote::Kind::temps_removed, record.state().root, removed});
    if (!record.state().ended)
        return record.end();
    return record.sync();
}

}  // namespace tw::platform::native
