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

String last_name(const String& path)
{
    std::size_t cut = path.find_last_of(L"\\/");
    return cut == String::npos ? path : path.substr(cut + 1);
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
    if (last_name(dst) == found.cFileName)
        return ERROR_ALREADY_EXISTS;
    return move_file(src, dst, 0);
}

// NTFS logs its metadata changes itself; Windows offers programs no flush
// of a folder's entries.
Error sync_folder(const String&) { return 0; }

// Windows offers programs no sync of a whole volume short of administrator
// rights: each file is synced on its own.
void sync_staged(const std::vector<Staged>& staged, std::vector<Error>& errors)
{
    errors.assign(staged.size(), 0);
    for (std::size_t i = 0; i < staged.size(); ++i)
        errors[i] = os::sync_file(staged[i].temp);
}

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
// in place would meet (read-only, locked). Only a regular file is replaced.
// The handle is not kept: ReplaceFileW must be free to move the file.
Error Target::open(const String& path)
{
    DWORD error = 0;
    Handle file(open_file(path, GENERIC_WRITE, share_all, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error));
    if (!file.open())
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    if (GetFileType(file.handle) != FILE_TYPE_DISK)
        return ERROR_INVALID_PARAMETER;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.handle, &info))
        return GetLastError();
    exists_ = true;
    id_ = identity_of(info);
    links_ = info.nNumberOfLinks;
    return 0;
}

String folder_of(const String& path)
{
    std::size_t cut = path.find_last_of(L"\\/");
    return cut == String::npos ? L"." : path.substr(0, cut);
}

String temp_folder()
{
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        return L".";
    String folder(buffer, length);
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    return folder;
}

Error make_temp(const String& folder, const Char* suffix, String& made)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        made = folder + L"\\.termweave-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter) + suffix;
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

File::~File()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

// The file is made for exclusive use and closed: the writer opens it by name.
Error File::create_temp(const String& folder, const Char* suffix, String& made)
{
    return make_temp(folder, suffix, made);
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
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.handle, &info))
        return GetLastError();
    out.carried = true;
    out.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    out.device = info.dwVolumeSerialNumber;
    if (sync && !FlushFileBuffers(file.handle))
        return GetLastError();
    return 0;
}

Error File::open_existing(const String& path)
{
    DWORD error = 0;
    handle_ = open_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, error);
    return error;
}

Error File::read_all(std::string& bytes)
{
    bytes.clear();
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN))
        return GetLastError();
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle_, chunk, sizeof chunk, &got, nullptr))
            return GetLastError();
        if (got == 0)
            return 0;
        bytes.append(chunk, got);
    }
}

namespace {

DWORD write_from_start(HANDLE handle, const std::string& bytes)
{
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN))
        return GetLastError();
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD part = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(handle, bytes.data() + done, part, &wrote, nullptr))
            return GetLastError();
        done += wrote;
    }
    return 0;
}

}  // namespace

Error File::fill(const std::string& bytes)
{
    if (Error error = write_from_start(handle_, bytes))
        return error;
    return FlushFileBuffers(handle_) ? 0 : GetLastError();
}

Error File::overwrite(const std::string& bytes)
{
    if (Error error = write_from_start(handle_, bytes))
        return error;
    if (!SetEndOfFile(handle_))
        return GetLastError();
    return FlushFileBuffers(handle_) ? 0 : GetLastError();
}

}  // namespace os

}  // namespace tw::platform::native

#endif  // _WIN32
