// The entries a run adds as it goes, and the backups they name.
#include "platform/core/record.h"

#include <utility>

namespace tw::platform::native {

namespace {

String number_text(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    return String(digits.begin(), digits.end());
}


// A second name for the file at `target`, checked to be the file expected.
Error link_checked(const String& target, const FileId& id, const String& backup)
{
    if (Error error = os::hard_link(target, backup))
        return error;
    FileInfo kept;
    if (file_info(backup, false, kept) == 0 && kept.id == id)
        return 0;
    os::remove_quietly(backup);
    return changed_since_decided();
}

// A synced copy of the file at `target` (the file expected) at `backup`.
Error copy_checked(const String& target, const FileId& id, const String& backup, Identity& copied)
{
    os::File source, copy;
    if (Error error = source.open_checked(target, &id))
        return error;
    if (Error error = copy.create_new(backup))
        return error;
    Error error = copy.copy_from(source, copied.size, copied.sum);
    if (error)
        os::remove_quietly(backup);
    return error;
}

}  // namespace

String Record::new_path_here(const Char* prefix)
{
    // Numbered in order, with random letters so that a record reopened
    // after a crash never meets a name it already used.
    return join(folder_, prefix + number_text(++backups_) + TW_NATIVE("-") + random_letters());
}

// Where the old file may be kept without a copy: beside the record, or on
// the chosen folder's own file system, in its backup folder.
Error Record::link_backup(const String& target, const FileId& id, String& backup)
{
    backup = new_path_here(TW_NATIVE("b"));
    Error error = link_checked(target, id, backup);
    if (!os::is_cross_device(error)) {
        dirty_folders_.add(folder_);
        return error;
    }
    if (hidden_folder_.empty()) {
        String top = join(state_.root, kBackupFolderName), mine = join(top, last_name_of(folder_));
        FileInfo there;
        if (file_info(mine, false, there) == 0 || os::make_folder(top) != 0 || os::make_folder(mine) != 0)
            return error;  // a folder of that name that is not the run's is never taken for it
        os::hide(top);
        sync_folder(state_.root);
        // Said before anything goes there: whatever is in it is then the run's.
        if (Error said = add("backups", {encode_field(mine)}, Write::synced))
            return said;
        hidden_folder_ = state_.backup_folder = mine;
    }
    backup = join(hidden_folder_, last_name_of(backup));
    error = link_checked(target, id, backup);
    if (!error)
        dirty_folders_.add(hidden_folder_);
    return error;
}

Error Record::keep_old(const Staged& staged, RecordItem& item)
{
    Error linked = link_backup(staged.target, staged.target_id, item.backup);
    if (!linked)
        return 0;
    if (is_changed_since_decided(linked))
        return linked;
    item.backup = new_path_here(TW_NATIVE("c"));
    item.backup_copied = true;
    if (Error error = copy_checked(staged.target, staged.target_id, item.backup, item.old_content))
        return error;
    dirty_folders_.add(folder_);
    return 0;
}

// An item this run takes up now, with the next number.
RecordItem Record::new_item(ItemType type, const String& path)
{
    RecordItem item;
    item.type = type;
    item.by_undo = undoing_;
    item.number = next_number_++;
    item.path = path;
    return item;
}

Error Record::before_swap(const Staged& staged, const Identity& written, std::uint64_t& made)
{
    RecordItem item = new_item(ItemType::swap, staged.target);
    item.old_id = staged.target_id;
    item.written = written;
    if (keeps_backups() && staged.target_existed)
        if (Error error = keep_old(staged, item))
            return error;
    made = item.number;
    state_.items.push_back(item);
    return add("swap", {number(item.number), encode_field(item.path), encode_field(item.backup),
                        item.backup_copied ? "1" : "0", id_fields(item.old_id),
                        number(item.old_content.size) + " " + number(item.old_content.sum),
                        identity_fields(written)},
               Write::later);
}

void Record::after_swap(std::uint64_t made, bool moved)
{
    if (RecordItem* item = state_.item(made))
        item->state = moved ? ItemState::done : ItemState::dropped;
    add(moved ? "swapped" : "dropped", {number(made)}, Write::later);
}

Error Record::before_rewrite(const String& target, const String& backup, const Identity& old_content,
                             const Identity& fresh, std::uint64_t& made)
{
    RecordItem item = new_item(ItemType::rewrite, target);
    made = item.number;
    item.backup = backup;
    item.backup_copied = true;
    item.old_content = old_content;
    item.written = fresh;
    state_.items.push_back(item);
    return add("rewrite", {number(made), encode_field(target), encode_field(backup),
                           number(old_content.size) + " " + number(old_content.sum),
                           number(fresh.size) + " " + number(fresh.sum)},
               Write::synced);
}

void Record::after_rewrite(std::uint64_t made, const Identity* written)
{
    RecordItem* item = state_.item(made);
    if (item) {
        item->state = written ? ItemState::done : ItemState::dropped;
        if (written)
            item->written = *written;
    }
    if (written)
        add("rewritten", {number(made), identity_fields(*written)}, Write::synced);
    else
        add("restored", {number(made)}, Write::synced);
}

Error Record::before_rename(const String& src, const String& dst, const FileId& id, std::uint64_t& made,
                            bool sync_now)
{
    RecordItem item = new_item(ItemType::rename, src);
    made = item.number;
    item.new_path = dst;
    item.old_id = id;
    state_.items.push_back(std::move(item));
    return add("rename", {number(made), encode_field(src), encode_field(dst), id_fields(id)},
               sync_now ? Write::synced : Write::later);
}

void Record::after_rename(std::uint64_t made, bool renamed)
{
    if (RecordItem* item = state_.item(made))
        item->state = renamed ? ItemState::done : ItemState::dropped;
    add(renamed ? "renamed" : "kept", {number(made)}, Write::later);
}

Error Record::begin_undo()
{
    undoing_ = true;
    state_.undo_started = true;
    return add("undo", {}, Write::synced);
}

Error Record::undoing(std::uint64_t item)
{
    if (RecordItem* found = state_.item(item))
        found->undoing = true;
    return add("undoing", {number(item)}, Write::synced);
}

Error Record::undone(std::uint64_t item)
{
    if (RecordItem* found = state_.item(item))
        found->undone = true;
    return add("undone", {number(item)}, Write::later);
}

Error Record::end_undo()
{
    state_.undo_ended = true;
    return add("undo-end", {}, Write::synced);
}

}  // namespace tw::platform::native
