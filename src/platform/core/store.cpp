#include "platform/core/store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace tw::platform::native {

namespace {

#ifdef _WIN32
constexpr Char kSeparator = L'\\';
#else
constexpr Char kSeparator = '/';
#endif

bool is_absolute(const String& path)
{
#ifdef _WIN32
    return path.size() > 2 && path[1] == L':';
#else
    return !path.empty() && path[0] == '/';
#endif
}

// Makes `path` and any missing folder above it.
Error make_folders(const String& path)
{
    String parent = folder_of(path);
    if (parent != path && !parent.empty()) {
        FileInfo info;
        if (file_info(parent, true, info) != 0)
            if (Error error = make_folders(parent))
                return error;
    }
    return os::make_folder(path);
}

// Names that sort by age: the time in microseconds, then random letters.
String run_folder_name()
{
    using namespace std::chrono;
    auto now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    char digits[32];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(now));
    String name(digits, digits + std::char_traits<char>::length(digits));
    return name + TW_NATIVE("-") + random_letters();
}

const String& root_of(const RecordState& state) { return state.root_now.empty() ? state.root : state.root_now; }

bool interrupted(const RecordState& state) { return !state.ended || (state.undo_started && !state.undo_ended); }

// Settles the interrupted record in `folder`, unless another process took
// it meanwhile (it is then in use, which the caller already looked at).
void settle_folder(const String& folder, std::vector<SettleNote>& notes)
{
    std::unique_ptr<Record> record;
    if (Record::open(folder, record) == 0)
        settle(*record, notes);
}

// Refuses (is_busy) a run on `root` while another run on an overlapping
// folder goes on; settles what interrupted runs on one left.
Error clear_the_way(const Store& store, const String& root, RunStart& out)
{
    std::vector<String> runs;
    if (Error error = store.list_runs(runs))
        return error;
    for (const String& folder : runs) {
        RecordState state;
        if (Record::read(folder, state, Record::Detail::outline) != 0)
            continue;
        bool overlapping = overlaps(state.root, root) || overlaps(root_of(state), root);
        if (!overlapping)
            continue;
        if (Record::in_use(folder)) {
            out.busy_root = root_of(state);
            return os::busy_error();
        }
        if (interrupted(state))
            settle_folder(folder, out.notes);
    }
    return 0;
}

}  // namespace

String state_folder()
{
#if defined(_WIN32)
    return os::environment("LOCALAPPDATA");
#elif defined(__APPLE__)
    String home = os::environment("HOME");
    return home.empty() ? home : home + "/Library/Application Support";
#else
    String configured = os::environment("XDG_STATE_HOME");
    if (is_absolute(configured))
        return configured;
    String home = os::environment("HOME");
    return home.empty() ? home : home + "/.local/state";
#endif
}

Error store_device(std::uint64_t& device)
{
    String folder = state_folder();
    if (!is_absolute(folder))
        return os::not_found_error();
    FileInfo info;
    Error error = file_info(folder, true, info);
    while (error && not_found(error) && folder_of(folder) != folder) {
        folder = folder_of(folder);
        error = file_info(folder, true, info);
    }
    device = info.id.device;
    return error;
}

std::uint64_t backup_copy_limit()
{
    constexpr std::uint64_t kMost = std::uint64_t{1} << 30;
    String folder = state_folder();
    std::uint64_t free_bytes = 0;
    while (!folder.empty() && os::free_space(folder, free_bytes) != 0 && folder_of(folder) != folder)
        folder = folder_of(folder);
    return free_bytes ? std::min(kMost, free_bytes / 10) : kMost;
}

Error Store::open()
{
    String state = state_folder();
    if (!is_absolute(state))
        return os::not_found_error();
    folder_ = join(state, TW_NATIVE("termweave_mira7"));
    if (Error error = make_folders(runs_folder()))
        return error;
    return 0;
}

String Store::runs_folder() const { return join(folder_, TW_NATIVE("runs")); }

Error Store::lock()
{
    String path = join(folder_, TW_NATIVE("lock"));
    Error error = lock_.open_record(path, false);
    if (not_found(error))
        error = lock_.open_record(path, true);
    if (error && !lock_.is_open())
        error = lock_.open_record(path, false);  // made meanwhile by another run
    return error ? error : lock_.wait_lock();
}

Error Store::list_runs(std::vector<String>& folders) const
{
    std::vector<String> names;
    if (Error error = os::list_folder(runs_folder(), names))
        return error;
    std::sort(names.begin(), names.end());
    folders.clear();
    for (const String& name : names)
        if (!name.empty() && name[0] != TW_NATIVE('.'))
            folders.push_back(join(runs_folder(), name));
    return 0;
}

Error Store::new_run_folder(String& made) const
{
    made = join(runs_folder(), run_folder_name());
    return os::make_folder(made);
}

bool overlaps(const String& a, const String& b)
{
    if (a.empty() || b.empty())
        return false;
    const String& shorter = a.size() <= b.size() ? a : b;
    const String& longer = a.size() <= b.size() ? b : a;
    if (longer.compare(0, shorter.size(), shorter) != 0)
        return false;
    return longer.size() == shorter.size() || shorter.back() == kSeparator || longer[shorter.size()] == kSeparator;
}

Error settle_before_run(const String& root, RunStart& out)
{
    Store store;
    if (Error error = store.open())
        return error;
    if (Error error = store.lock())
        return error;
    return clear_the_way(store, root, out);
}

Error start_run(const String& root, std::string_view operation, bool undoable, RunStart& out)
{
    Store store;
    String folder;
    if (Error error = store.open())
        return error;
    if (Error error = store.lock())
        return error;
    if (Error error = clear_the_way(store, root, out))
        return error;
    if (Error error = store.new_run_folder(folder))
        return error;
    Error error = Record::create(folder, root, operation, undoable, out.record);
    if (error) {
        os::remove_file(join(folder, kRecordFileName));
        os::remove_folder(folder);
    }
    return error;
}

namespace {

bool anything_done(const RecordState& state)
{
    return std::any_of(state.items.begin(), state.items.end(),
                       [](const RecordItem& item) { return item.state == ItemState::done; });
}

// Removes the records a finished run outdates: the earlier ones of its
// folder when it changed something, and the oldest beyond kMaxRecords.
void prune(const Store& store, const String& own, const String& root, bool changed)
{
    std::vector<String> runs;
    if (store.list_runs(runs) != 0)
        return;
    std::vector<std::pair<String, RecordState>> kept;
    for (const String& folder : runs) {
        RecordState state;
        if (folder == own || Record::read(folder, state, Record::Detail::outline) != 0 || Record::in_use(folder) ||
            !state.ended)
            continue;
        if (changed && (root_of(state) == root || state.root == root))
            remove_record(folder, state);
        else
            kept.emplace_back(folder, std::move(state));
    }
    bool own_kept = !own.empty();
    for (std::size_t i = 0; i + kMaxRecords < kept.size() + own_kept; ++i)
        remove_record(kept[i].first, kept[i].second);
}

}  // namespace

void finish_run(std::unique_ptr<Record>& record)
{
    record->end();
    bool changed = anything_done(record->state());
    Store store;
    if (store.open() != 0 || store.lock() != 0)
        return;
    String own = record->folder();
    String root = root_of(record->state());
    bool keep = changed && record->state().undoable;
    if (!keep) {
        RecordState state = record->state();
        record.reset();
        remove_record(own, state);
        own.clear();
    }
    prune(store, own, root, changed);
}

Error open_last_run(const String& folder, RunStart& out)
{
    Store store;
    if (Error error = store.open())
        return os::is_access_denied(error) ? error : 0;
    if (Error error = store.lock())
        return error;
    std::vector<String> runs;
    if (Error error = store.list_runs(runs))
        return error;
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
        RecordState state;
        if (Record::read(*it, state, Record::Detail::outline) != 0 || (!folder.empty() && root_of(state) != folder))
            continue;
        if (Error error = clear_the_way(store, root_of(state), out))
            return error;
        if (Error error = Record::open(*it, out.record))
            return os::is_busy(error) ? (out.busy_root = root_of(state), error) : error;
        if (interrupted(out.record->state()) && !out.record->state().undo_started)
            settle(*out.record, out.notes);
        return 0;
    }
    return 0;
}

namespace {

// Removes the files in a folder of the run's own, then the folder.
void remove_folder_of_run(const String& folder)
{
    std::vector<String> names;
    os::list_folder(folder, names);
    for (const String& name : names)
        os::remove_quietly(join(folder, name));
    os::remove_folder(folder);
}

}  // namespace

void remove_record(const String& folder, const RecordState& state)
{
    if (!state.backup_folder.empty()) {
        remove_folder_of_run(state.backup_folder);
        os::remove_folder(folder_of(state.backup_folder));  // only when no other run keeps backups there
    }
    remove_folder_of_run(folder);
}

}  // namespace tw::platform::native
