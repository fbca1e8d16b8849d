// Replacing a file's content all or nothing, from the steps in os.h.
#include "platform/core/native.h"
#include "platform/core/os.h"

#include <cerrno>
#include <new>
#include <utility>

namespace tw::platform::native {

namespace {

#ifdef _WIN32
#define TW_NATIVE(text) L##text
#else
#define TW_NATIVE(text) text
#endif

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

// A new file in `folder` holding `bytes`, synced, its name made durable.
Error write_copy(const String& folder, const std::string& bytes, OwnedFile& copy)
{
    if (Error error = os::make_temp(folder, TW_NATIVE(".old"), copy.path))
        return error;
    os::File file;
    if (Error error = file.open_existing(copy.path))
        return error;
    if (Error error = file.fill(bytes))
        return error;
    return sync_folder(folder);
}

#ifdef _WIN32
constexpr Error out_of_memory = 8;  // ERROR_NOT_ENOUGH_MEMORY
#else
constexpr Error out_of_memory = ENOMEM;
#endif

// The last resort after a failed rewrite could not be undone: nothing may
// escape from here, the old bytes exist nowhere else.
Error keep_elsewhere(const std::string& bytes, OwnedFile& copy) noexcept
{
    try {
        return write_copy(os::temp_folder(), bytes, copy);
    } catch (const std::bad_alloc&) {
        return out_of_memory;
    }
}

// Rewrites `target` in place with the bytes staged in `staging`. The old
// bytes stay in memory and, when `backup_folder` is given, in a synced file
// there for as long as the target is being rewritten; on failure they are
// written back, and if even that fails they are left in a file whose path
// the outcome gives.
Error rewrite_in_place(const String& target, const String& staging, const String& backup_folder,
                       ReplaceOutcome& out)
{
    std::string fresh, old;
    {
        os::File source;
        if (Error error = source.open_existing(staging))
            return error;
        if (Error error = source.read_all(fresh))
            return error;
    }
    os::File file;
    if (Error error = file.open_existing(target))
        return error;
    if (Error error = file.read_all(old))
        return error;
    OwnedFile backup;
    if (!backup_folder.empty())
        if (Error error = write_copy(backup_folder, old, backup))
            return error;
    out.in_place = true;
    Error failed = file.overwrite(fresh);
    if (!failed)
        return 0;
    if (file.overwrite(old) == 0)
        return failed;
    if (backup.path.empty() && keep_elsewhere(old, backup) != 0) {
        out.old_content_lost = true;
        return failed;
    }
    out.old_content_at = backup.keep();
    return failed;
}

}  // namespace

FolderSyncs::~FolderSyncs() { sync_all(); }

void FolderSyncs::add(const String& folder) { folders_.insert(folder); }

Error FolderSyncs::sync_all(String* failed)
{
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

ReplaceOutcome replace_file(const String& path, const Writer& write_to, FolderSyncs* syncs, Staged* staged)
{
    ReplaceOutcome out;
    String target_path;
    os::Target target;
    if ((out.error = os::resolve_target(path, target_path)) || (out.error = target.open(target_path)))
        return out;
    String folder = os::folder_of(target_path);
    OwnedFile temp;
    os::File temp_file;
    Error refused = temp_file.create_temp(folder, TW_NATIVE(".tmp"), temp.path);
    bool beside = refused == 0;
    if (!beside) {
        // A folder closed to new files: stage the content elsewhere and
        // rewrite the file in place, if the file itself may be written.
        if (!os::is_access_denied(refused) || os::make_temp(os::temp_folder(), TW_NATIVE(".tmp"), temp.path)) {
            out.error = refused;
            return out;
        }
    }
    if (!write_to(temp.path)) {
        out.writer_failed = true;
        return out;
    }
    os::Finished finished;
    if (beside && (out.error = temp_file.finish_temp(temp.path, target, !staged, finished)))
        return out;
    if (!finished.carried) {
        out.error = rewrite_in_place(target_path, temp.path, beside ? folder : String(), out);
        return out;
    }
    if (staged) {
        *staged = Staged{temp.keep(), std::move(target_path), target.exists(), target.id(),
                         finished.device, finished.size};
        out.staged = true;
        return out;
    }
    out.error = os::move_over(temp.path, target_path, syncs, out);
    if (!out.error || !out.new_content_at.empty())
        temp.keep();
    return out;
}

Error move_staged(const Staged& staged, FolderSyncs* syncs, ReplaceOutcome& out)
{
    Error error = os::move_over(staged.temp, staged.target, syncs, out);
    if (error && out.new_content_at.empty())
        os::remove_quietly(staged.temp);
    return error;
}

void discard_staged(const Staged& staged) { os::remove_quietly(staged.temp); }

}  // namespace tw::platform::native
