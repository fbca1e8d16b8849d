// Replacing a file's content all or nothing, from the steps in os.h, with
// the run's record (record.h) told before each step that could change the
// file.
#include "platform/core/native.h"
#include "platform/core/os.h"
#include "platform/core/record.h"

#include <utility>

namespace tw::platform::native {

namespace {

// A file of ours that goes away with this object unless kept.
struct OwnedFile {
    String path;
    ~OwnedFile()
    {
        if (!path.empty())
            os::remove_quietly(path);
    }
    String keep() { return std::exchange(path, String()); }
};

// The run's record, asked for once, when first needed.
class RecordFor {
public:
    explicit RecordFor(const ReplaceContext& context) : context_(context) {}
    Record* get()
    {
        if (!asked_ && context_.record)
            record_ = context_.record();
        asked_ = true;
        return record_;
    }

private:
    const ReplaceContext& context_;
    Record* record_ = nullptr;
    bool asked_ = false;
};

// Names a temporary file in the record, so that a later run may remove it
// after a crash: nothing is removed because of its name alone.
void name_in_record(Record* record, const os::File& file, const String& path)
{
    FileInfo info;
    std::uint64_t number = 0;
    if (record && file.info(info) == 0)
        record->made_temp(path, info.id, number);
}

// The content that `staging` holds, and its checksum.
Error content_identity(os::File& file, Identity& content)
{
    FileInfo info;
    if (Error error = file.info(info))
        return error;
    content.id = info.id;
    content.mtime_ns = info.mtime_ns;
    return file.checksum(content.size, content.sum);
}

// Rewrites `target` in place with the bytes staged in `staging`. The old
// content is first copied into the run's record, synced, and the record
// says so before the first byte is written; the copy goes only after the
// rewrite it protects has finished (or when put back), unless it is kept
// for undo. If the rewrite fails and even putting the old content back
// fails, the copy stays and the outcome names it.
Error rewrite_in_place(const String& target, const String& staging, const FileId* expected, Record* record,
                       ReplaceOutcome& out)
{
    if (!record)
        return no_place_for_backup();
    os::File source, file, copy;
    Identity old_content, fresh;
    if (Error error = source.open_checked(staging, nullptr))
        return error;
    if (Error error = file.open_existing(target))
        return error;
    FileInfo info;
    if (Error error = file.info(info))
        return error;
    if (expected && info.id != *expected)
        return changed_since_decided();
    OwnedFile backup{record->new_path_here(TW_NATIVE("r"))};
    if (Error error = copy.create_new(backup.path))
        return error;
    if (Error error = copy.copy_from(file, old_content.size, old_content.sum))
        return error;
    std::uint64_t number = 0;
    if (Error error = content_identity(source, fresh))
        return error;
    if (Error error = sync_folder(record->folder()))
        return error;
    if (Error error = record->before_rewrite(target, backup.path, old_content, fresh, number))
        return error;
    out.in_place = true;
    Identity written;
    Error failed = file.copy_from(source, written.size, written.sum);
    if (!failed && file.info(info) == 0) {
        written.id = info.id;
        written.mtime_ns = info.mtime_ns;
        record->after_rewrite(number, &written);
        if (record->keeps_backups())
            backup.keep();
        return 0;
    }
    std::uint64_t size = 0, sum = 0;
    if (file.copy_from(copy, size, sum) == 0 && sum == old_content.sum) {
        record->after_rewrite(number, nullptr);
        return failed;
    }
    out.old_content_at = backup.keep();
    return failed;
}

// Where the new content is written first: beside the target, or, when its
// folder refuses new files, in the run's record (the target is then
// rewritten in place).
Error make_staging(const String& folder, RecordFor& record, os::File& file, OwnedFile& temp, bool& beside)
{
    Error refused = file.create_temp(folder, TW_NATIVE(".tmp"), temp.path);
    beside = refused == 0;
    if (beside) {
        name_in_record(record.get(), file, temp.path);
        return 0;
    }
    if (!os::is_access_denied(refused))
        return refused;
    if (!record.get())
        return no_place_for_backup();
    temp.path = record.get()->new_path_here(TW_NATIVE("s"));
    return file.create_new(temp.path);
}

// The writer wrote by name: the file there must still be the one made.
Error check_still_ours(const os::File& file, const String& path)
{
    FileInfo made, there;
    if (Error error = file.info(made))
        return error;
    if (file_info(path, false, there) != 0 || there.id != made.id || !there.regular)
        return changed_since_decided();
    return 0;
}

}  // namespace

FolderSyncs::~FolderSyncs() { sync_all(); }

void FolderSyncs::add(const String& folder) { folders_.insert(folder); }

Error FolderSyncs::sync_all(String* failed)
{
    sync_folders_together(folders_);
    Error first = 0;
    for (const String& folder : folders_) {
        Error error = sync_folder(folder);
        if (error && !first) {
            first = error;
            if (failed)
                *failed = folder;
        }
    }
    folders_.clear();
    return first;
}

ReplaceOutcome replace_file(const String& path, const Writer& write_to, FolderSyncs* syncs, Staged* staged,
                            const ReplaceContext& context)
{
    ReplaceOutcome out;
    String target_path;
    os::Target target;
    if ((out.error = os::resolve_target(path, target_path)) ||
        (out.error = target.open(target_path, context.expected)))
        return out;
    RecordFor record(context);
    OwnedFile temp;
    os::File temp_file;
    bool beside = false;
    if ((out.error = make_staging(folder_of(target_path), record, temp_file, temp, beside)))
        return out;
    if (!write_to(temp.path)) {
        out.writer_failed = true;
        return out;
    }
    os::Finished finished;
    if ((out.error = check_still_ours(temp_file, temp.path)) ||
        (beside && (out.error = temp_file.finish_temp(temp.path, target, !staged, finished))))
        return out;
    if (!finished.carried) {
        out.error = rewrite_in_place(target_path, temp.path, context.expected, record.get(), out);
        return out;
    }
    std::vector<Staged> ready{Staged{temp.keep(), std::move(target_path), target.exists(), target.id(),
                                     finished.id, finished.device, finished.size}};
    if (staged) {
        *staged = ready[0];
        out.staged = true;
        return out;
    }
    std::vector<Error> errors(1, 0);
    record_staged(record.get(), ready, errors);
    out.error = errors[0] ? (discard_staged(ready[0]), errors[0]) : move_staged(ready[0], syncs, out, record.get());
    return out;
}

void record_staged(Record* record, std::vector<Staged>& staged, std::vector<Error>& errors)
{
    if (!record)
        return;
    bool any = false;
    for (std::size_t i = 0; i < staged.size(); ++i) {
        if (errors[i])
            continue;
        os::File file;
        Identity written;
        Error error = file.open_checked(staged[i].temp, &staged[i].temp_id);
        if (!error)
            error = record->keeps_backups() ? content_identity(file, written) : 0;
        if (!error && !record->keeps_backups())
            written.id = staged[i].temp_id;
        if (!error)
            error = record->before_swap(staged[i], written, staged[i].number);
        errors[i] = error;
        any = any || !error;
    }
    if (Error error = any ? record->sync() : 0)
        for (std::size_t i = 0; i < staged.size(); ++i)
            errors[i] = errors[i] ? errors[i] : error;
}

namespace {

bool is_ours(const String& path, const FileId& id)
{
    FileInfo info;
    return file_info(path, false, info) == 0 && info.id == id;
}

}  // namespace

Error move_staged(const Staged& staged, FolderSyncs* syncs, ReplaceOutcome& out, Record* record,
                  ReplacedFiles* replaced)
{
    FileInfo now;
    Error looked = replaced ? replaced->look(staged.target, now) : file_info(staged.target, false, now);
    bool unchanged = staged.target_existed ? looked == 0 && now.regular && now.id == staged.target_id
                                           : not_found(looked);
    bool temp_ours = is_ours(staged.temp, staged.temp_id);
    Error error = unchanged && temp_ours ? os::move_over(staged.temp, staged.target, syncs, out)
                                         : changed_since_decided();
    if (replaced)
        replaced->replaced(!error);
    if (error && out.new_content_at.empty() && temp_ours)
        os::remove_quietly(staged.temp);
    if (record && staged.number)
        record->after_swap(staged.number, !error);
    return error;
}

void discard_staged(const Staged& staged, Record* record)
{
    if (is_ours(staged.temp, staged.temp_id))
        os::remove_quietly(staged.temp);
    if (record && staged.number)
        record->after_swap(staged.number, false);
}

}  // namespace tw::platform::native
