// The file-system core on Windows. Built here by a cross compiler only, so
// it sticks to documented behaviour and checks before anything final.
#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/core/native.h"
#include "platform/core/os.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tw::platform::native {

namespace {

struct Handle {
    HANDLE handle;
    explicit Handle(HANDLE opened) : handle(opened) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    bool open() const { return handle != INVALID_HANDLE_VALUE; }
};

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Another program (a virus scanner, an indexer, a backup tool) holds the file.
bool held_by_another(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Repeats `attempt` (a call returning success) while another program holds
// the file, waiting a little longer each time, about half a second in all.
// 0, or the last error.
template <class Attempt>
DWORD with_retries(Attempt attempt)
{
    DWORD wait = 10;
    for (int tries = 0;; ++tries) {
        if (attempt())
            return 0;
        DWORD error = GetLastError();
        if (!held_by_another(error) || tries == 6)
            return error;
        Sleep(wait);
        wait *= 2;
    }
}

// CreateFileW, retried while another program holds the file; the handle
// is invalid on failure, with the error in `error`.
HANDLE open_file(const String& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                 DWORD& error)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    error = with_retries([&] {
        handle = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    return handle;
}

bool exists(const String& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The file (volume and index) a path names now; false when there is none.
bool file_identity(const String& path, BY_HANDLE_FILE_INFORMATION& info)
{
    Handle file(CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.open() && GetFileInformationByHandle(file.handle, &info);
}

FileId identity_of(const BY_HANDLE_FILE_INFORMATION& info)
{
    return {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}


DWORD move_file(const String& from, const String& to, DWORD flags)
{
    return with_retries([&] { return MoveFileExW(from.c_str(), to.c_str(), flags) != 0; });
}

}  // namespace

bool already_exists(Error error) { return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS; }

// Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
Error rename_no_replace(const String& src, const String& dst) { return move_file(src, dst, 0); }

Error rename_checked(const String& src, const String& dst)
{
    if (exists(dst))
        return ERROR_ALREADY_EXISTS;
    return move_file(src, dst, 0);
}

Error rename_respelled(const String& src, const String& dst)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    if (!file_identity(src, a) || !file_identity(dst, b) || !same_file(a, b))
        return ERROR_ALREADY_EXISTS;
    // In a folder that tells letter case apart, dst may be an entry of its
    // own (a hard link): the stored spelling says which.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(dst.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError();
    FindClose(search);
    if (last_name_of(dst) == found.cFileName)
        return ERROR_ALREADY_EXISTS;
    return move_file(src, dst, 0);
}

// NTFS logs its metadata changes itself; Windows offers programs no flush
// of a folder's entries.
Error sync_folder(const String&) { return 0; }

void sync_folders_together(std::set<String>&) {}

// Windows refuses to replace a file that is held open, so nothing is held.
ReplacedFiles::~ReplacedFiles() = default;
Error ReplacedFiles::look(const String& path, FileInfo& out) { return file_info(path, false, out); }
void ReplacedFiles::replaced(bool) {}
void ReplacedFiles::let_go_ahead() {}
void ReplacedFiles::wait() {}

// Windows offers programs no sync of a whole volume short of administrator
// rights: each file is synced on its own.
void sync_staged(const std::vector<Staged>& staged, std::vector<Error>& errors)
{
    errors.assign(staged.size(), 0);
    for (std::size_t i = 0; i < staged.size(); ++i)
        errors[i] = os::sync_file(staged[i].temp);
}

namespace {

constexpr std::size_t kChunk = 1 << 20;

// A lock far past any content, so that it keeps other runs out without
// keeping anyone from reading the record.
constexpr DWORD kLockOffsetHigh = 0x40000000;

FileInfo info_of(const BY_HANDLE_FILE_INFORMATION& info, DWORD type)
{
    FileInfo out;
    out.id = identity_of(info);
    out.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    // 100 ns since 1601, as Python's os.stat gives st_mtime_ns on Windows.
    std::int64_t ticks = static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                                   info.ftLastWriteTime.dwLowDateTime);
    out.mtime_ns = (ticks - 116444736000000000LL) * 100;
    out.links = info.nNumberOfLinks;
    out.link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    out.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out.regular = !out.link && !out.directory && type == FILE_TYPE_DISK;
    return out;
}

DWORD describe(HANDLE handle, FileInfo& out)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return GetLastError();
    out = info_of(info, GetFileType(handle));
    return 0;
}

// The open file is a regular file (not a link that appeared since the path
// was resolved) and, when one is expected, that one.
DWORD check_opened(HANDLE handle, const FileId* expected)
{
    FileInfo info;
    if (DWORD error = describe(handle, info))
        return error;
    if (!info.regular)
        return expected || info.link ? changed_since_decided() : ERROR_INVALID_PARAMETER;
    if (expected && info.id != *expected)
        return changed_since_decided();
    return 0;
}

DWORD read_at(HANDLE handle, std::uint64_t offset, char* buffer, DWORD size, DWORD& got)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    got = 0;
    if (ReadFile(handle, buffer, size, &got, &at))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_HANDLE_EOF ? 0 : error;
}

DWORD write_at(HANDLE handle, std::uint64_t offset, const char* bytes, DWORD size)
{
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD wrote = 0;
        if (!WriteFile(handle, bytes, size, &wrote, &at))
            return GetLastError();
        bytes += wrote;
        size -= wrote;
        offset += wrote;
    }
    return 0;
}

DWORD cut_at(HANDLE handle, std::uint64_t size)
{
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle))
        return GetLastError();
    return 0;
}

}  // namespace

Error file_info(const String& path, bool follow_links, FileInfo& out)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    Handle file(CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!file.open())
        return GetLastError();
    return describe(file.handle, out);
}

bool not_found(Error error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

Error changed_since_decided() { return ERROR_FILE_INVALID; }
bool is_changed_since_decided(Error error) { return error == ERROR_FILE_INVALID; }
// An error no file operation gives, so that it cannot be mistaken.
Error no_place_for_backup() { return ERROR_INVALID_TARGET_HANDLE; }
bool is_no_place_for_backup(Error error) { return error == ERROR_INVALID_TARGET_HANDLE; }

namespace os {

Error resolve_target(const String& path, String& target)
{
    Handle file(CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    target = path;
    if (!file.open())
        return 0;  // missing: created where named
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetFinalPathNameByHandleW(file.handle, buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0)
            return GetLastError();
        if (length < buffer.size()) {
            target.assign(buffer.data(), length);
            return 0;
        }
        buffer.resize(length + 1);
    }
}

Target::~Target() = default;

// Opening for writing without truncating: the refusal that writing the file
// in place would meet (read-only, locked). Only a regular file is replaced,
// and a link that appeared since the path was resolved is not followed.
// The handle is not kept: ReplaceFileW must be free to move the file.
Error Target::open(const String& path, const FileId* expected)
{
    DWORD error = 0;
    Handle file(open_file(path, GENERIC_WRITE, share_all, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, error));
    if (!file.open()) {
        if (not_found(error))
            return expected ? changed_since_decided() : 0;
        return error;
    }
    if (DWORD refused = check_opened(file.handle, expected))
        return refused;
    FileInfo info;
    if (DWORD failed = describe(file.handle, info))
        return failed;
    exists_ = true;
    id_ = info.id;
    links_ = info.links;
    return 0;
}

Error make_temp(const String& folder, const Char* suffix, String& made)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        made = join(folder, temp_name(suffix));
        HANDLE handle = CreateFileW(made.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            return 0;
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) {
            made.clear();
            return error;
        }
    }
    made.clear();
    return ERROR_FILE_EXISTS;
}

void remove_quietly(const String& path)
{
    with_retries([&] { return DeleteFileW(path.c_str()) != 0; });
}

Error sync_file(const String& path)
{
    DWORD error = 0;
    Handle file(open_file(path, GENERIC_WRITE, share_all, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error));
    if (!file.open())
        return error;
    return FlushFileBuffers(file.handle) ? 0 : GetLastError();
}

bool is_access_denied(Error error) { return error == ERROR_ACCESS_DENIED; }
bool is_cross_device(Error error) { return error == ERROR_NOT_SAME_DEVICE; }
bool is_busy(Error error) { return error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION; }
Error busy_error() { return ERROR_LOCK_VIOLATION; }
Error not_found_error() { return ERROR_FILE_NOT_FOUND; }

// ReplaceFileW with a backup name, so that on every failure both contents
// are somewhere known. Its documented failures:
// - ERROR_UNABLE_TO_REMOVE_REPLACED, ERROR_UNABLE_TO_MOVE_REPLACEMENT (with
//   a backup name) and the rest: both files keep their names;
// - ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the original is under the backup
//   name, the new content still under the temporary one.
// The original is checked (same file as before, at its name) rather than
// trusted; only then may the caller delete the temporary file.
Error move_over(const String& temp, const String& target, FolderSyncs*, ReplaceOutcome& out)
{
    BY_HANDLE_FILE_INFORMATION before, after;
    if (!file_identity(target, before))
        return move_file(temp, target, MOVEFILE_WRITE_THROUGH);  // no original: a plain move
    String backup;
    if (Error error = make_temp(folder_of(target), L".bak", backup))
        return error;
    remove_quietly(backup);  // the name is ours; ReplaceFileW creates the file
    Error error = with_retries([&] {
        return ReplaceFileW(target.c_str(), temp.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                            nullptr, nullptr) != 0;
    });
    if (!error) {
        remove_quietly(backup);
        return 0;
    }
    if (file_identity(target, after) && same_file(before, after)) {
        if (exists(backup))
            remove_quietly(backup);  // cannot be the original: that is in place
        return error;
    }
    if (!exists(target) && exists(backup)) {
        // The original was moved aside: finish the replacement, or undo it.
        if (move_file(temp, target, MOVEFILE_WRITE_THROUGH) == 0) {
            remove_quietly(backup);
            return 0;
        }
        if (move_file(backup, target, MOVEFILE_WRITE_THROUGH) == 0)
            return error;
    }
    // Neither could be put back: keep both where the user can find them.
    if (exists(backup))
        out.old_content_at = backup;
    if (exists(temp))
        out.new_content_at = temp;
    return error;
}

File::~File() { close(); }

void File::close()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool File::is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

void* File::release_handle() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

// The file is made for exclusive use and closed: the writer opens it by
// name. It is opened again, shared, so that its identity can be checked.
Error File::create_temp(const String& folder, const Char* suffix, String& made)
{
    if (Error error = make_temp(folder, suffix, made))
        return error;
    DWORD error = 0;
    handle_ = open_file(made, 0, share_all, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error);
    return error;
}

// ReplaceFileW gives the new file the old one's attributes, access lists
// and streams; a second hard link it cannot keep.
Error File::finish_temp(const String& path, const Target& target, bool sync, Finished& out)
{
    out = Finished{};
    if (target.exists() && target.links() > 1)
        return 0;
    DWORD error = 0;
    Handle file(open_file(path, GENERIC_WRITE, share_all, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error));
    if (!file.open())
        return error;
    FileInfo info;
    if (DWORD failed = describe(file.handle, info))
        return failed;
    out.carried = true;
    out.size = info.size;
    out.device = info.id.device;
    out.id = info.id;
    if (sync && !FlushFileBuffers(file.handle))
        return GetLastError();
    return 0;
}

Error File::open_existing(const String& path)
{
    DWORD error = 0;
    handle_ = open_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT, error);
    if (error)
        return error;
    FileInfo info;
    if (DWORD failed = describe(handle_, info))
        return failed;
    return info.link ? changed_since_decided() : 0;
}

Error File::open_checked(const String& path, const FileId* expected)
{
    DWORD error = 0;
    handle_ = open_file(path, GENERIC_READ, share_all, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, error);
    if (error)
        return not_found(error) && expected ? changed_since_decided() : error;
    return check_opened(handle_, expected);
}

Error File::create_new(const String& path)
{
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

Error File::open_record(const String& path, bool create)
{
    handle_ = CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, share_all, nullptr,
                          create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

Error File::info(FileInfo& out) const { return describe(handle_, out); }

Error File::read_all(std::string& bytes, std::uint64_t limit)
{
    bytes.clear();
    std::vector<char> chunk(kChunk);
    while (bytes.size() < limit) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(chunk.size(), limit - bytes.size()));
        DWORD got = 0;
        if (DWORD error = read_at(handle_, bytes.size(), chunk.data(), want, got))
            return error;
        if (got == 0)
            return 0;
        bytes.append(chunk.data(), got);
    }
    return 0;
}

namespace {

// Reads the whole file open at `handle` from its start, handing each chunk
// to `each` (0 to go on, or the error); `size` and `sum` get its length and
// checksum.
template <class Each>
DWORD each_chunk(HANDLE handle, std::uint64_t& size, std::uint64_t& sum, Each&& each)
{
    std::vector<char> chunk(kChunk);
    Digest digest;
    size = 0;
    for (;;) {
        DWORD got = 0;
        if (DWORD error = read_at(handle, size, chunk.data(), static_cast<DWORD>(chunk.size()), got))
            return error;
        if (got == 0)
            break;
        digest.add(chunk.data(), got);
        if (DWORD error = each(chunk.data(), got, size))
            return error;
        size += got;
    }
    sum = digest.value();
    return 0;
}

}  // namespace

Error File::copy_from(File& source, std::uint64_t& size, std::uint64_t& sum)
{
    HANDLE to = handle_;
    if (DWORD error = each_chunk(static_cast<HANDLE>(source.handle_), size, sum,
                                 [to](const char* bytes, DWORD count, std::uint64_t at) {
                                     return write_at(to, at, bytes, count);
                                 }))
        return error;
    if (DWORD error = cut_at(handle_, size))
        return error;
    return FlushFileBuffers(handle_) ? 0 : GetLastError();
}

Error File::checksum(std::uint64_t& size, std::uint64_t& sum)
{
    return each_chunk(handle_, size, sum, [](const char*, DWORD, std::uint64_t) -> DWORD { return 0; });
}

Error File::append(const std::string& bytes)
{
    DWORD wrote = 0;
    if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr))
        return GetLastError();
    return wrote == bytes.size() ? 0 : ERROR_WRITE_FAULT;
}

Error File::sync() { return FlushFileBuffers(handle_) ? 0 : GetLastError(); }

Error File::try_lock()
{
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return 0;
    return GetLastError();
}

Error File::wait_lock()
{
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    return LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) ? 0 : GetLastError();
}

Error make_folder(const String& path)
{
    if (CreateDirectoryW(path.c_str(), nullptr))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS ? 0 : error;
}

Error remove_folder(const String& path) { return RemoveDirectoryW(path.c_str()) ? 0 : GetLastError(); }
Error remove_file(const String& path) { return DeleteFileW(path.c_str()) ? 0 : GetLastError(); }

Error list_folder(const String& path, std::vector<String>& names)
{
    names.clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(join(path, L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError();
    do {
        String name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

Error hard_link(const String& existing, const String& made)
{
    return CreateHardLinkW(made.c_str(), existing.c_str(), nullptr) ? 0 : GetLastError();
}

Error rename_over(const String& from, const String& to)
{
    return move_file(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

Error free_space(const String& folder, std::uint64_t& bytes)
{
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
        return GetLastError();
    bytes = available.QuadPart;
    return 0;
}

String absolute(const String& path)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    String whole(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, whole.data(), nullptr);
    whole.resize(size);
    return whole;
}

String real_path(const String& path)
{
    String resolved;
    if (resolve_target(absolute(path), resolved) != 0)
        resolved = absolute(path);
    if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0)
        resolved = L"\\" + resolved.substr(7);
    else if (resolved.rfind(L"\\\\?\\", 0) == 0)
        resolved = resolved.substr(4);
    std::replace(resolved.begin(), resolved.end(), L'/', L'\\');
    if (!resolved.empty())
        CharLowerBuffW(resolved.data(), static_cast<DWORD>(resolved.size()));
    return resolved;
}

String environment(const char* name)
{
    std::wstring wide(name, name + std::char_traits<char>::length(name));
    DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0)
        return String();
    String value(size, L'\0');
    size = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
    value.resize(size);
    return value;
}

void hide(const String& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
}

}  // namespace os

}  // namespace tw::platform::native

#endif  // _WIN32
