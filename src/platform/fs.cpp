#include "platform/fs.h"

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tw::platform {

namespace {

using py::Ref;

#ifdef _WIN32
using NativeString = std::wstring;
const wchar_t* const separators = L"\\/";

// The path as the operating system takes it; false with an exception set.
bool to_native(PyObject* path, NativeString& out)
{
    Ref fs = Ref::steal(PyOS_FSPath(path));
    if (!fs)
        return false;
    Py_ssize_t size = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(fs.get(), &size);
    if (!wide)
        return false;
    out.assign(wide, static_cast<std::size_t>(size));
    PyMem_Free(wide);
    return true;
}

Ref from_native(const NativeString& path)
{
    return Ref::steal(PyUnicode_FromWideChar(path.c_str(), static_cast<Py_ssize_t>(path.size())));
}

int raise_os_error(PyObject* first, PyObject* second = nullptr)
{
    PyErr_SetExcFromWindowsErrWithFilenameObjects(PyExc_OSError, 0, first, second);
    return -1;
}
#else
using NativeString = std::string;
const char* const separators = "/";

bool to_native(PyObject* path, NativeString& out)
{
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes))
        return false;
    Ref owned = Ref::steal(bytes);
    out.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    return true;
}

Ref from_native(const NativeString& path)
{
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

int raise_os_error(PyObject* first, PyObject* second = nullptr)
{
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, first, second);
    return -1;
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return lstat(a.c_str(), &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// rename(2) without replacing: the kernel's atomic no-replace rename where
// the file system has it, otherwise a check right before the rename.
int native_rename_no_replace(const std::string& src, const std::string& dst)
{
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return -1;
#endif
    struct stat existing;
    if (lstat(dst.c_str(), &existing) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(src.c_str(), dst.c_str());
}
#endif

}  // namespace

int rename_no_replace(PyObject* src, PyObject* dst)
{
    int identical = PyObject_RichCompareBool(src, dst, Py_EQ);
    if (identical != 0)
        return identical < 0 ? -1 : 0;
    NativeString native_src, native_dst;
    if (!to_native(src, native_src) || !to_native(dst, native_dst))
        return -1;
#ifdef _WIN32
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
    if (MoveFileExW(native_src.c_str(), native_dst.c_str(), 0))
        return 0;
    return raise_os_error(src, dst);
#else
    if (native_rename_no_replace(native_src, native_dst) == 0)
        return 0;
    if (errno == EEXIST && same_file(native_src, native_dst)) {
        // The same file under another spelling (a case-only change on a
        // case-insensitive file system): nothing is replaced.
        if (rename(native_src.c_str(), native_dst.c_str()) == 0)
            return 0;
    }
    return raise_os_error(src, dst);
#endif
}

int check_plain_name(PyObject* old_name, PyObject* new_name)
{
    NativeString name;
    if (!to_native(new_name, name))
        return -1;
    const NativeString dot(1, '.'), dot_dot(2, '.');
    bool plain = !name.empty() && name != dot && name != dot_dot &&
                 name.find_first_of(separators) == NativeString::npos;
    if (plain)
        return 0;
    PyErr_Format(PyExc_ValueError,
                 "cannot rename %R to %R: the new name must not be empty, '.' or '..', "
                 "or contain a path separator",
                 old_name, new_name);
    return -1;
}

namespace {

#ifdef _WIN32
bool resolve_target(const NativeString& path, NativeString& target)
{
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        target = path;
        return true;
    }
    wchar_t buffer[32768];
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, 32768, FILE_NAME_NORMALIZED);
    CloseHandle(handle);
    target = (length > 0 && length < 32768) ? NativeString(buffer, length) : path;
    return true;
}

NativeString folder_of(const NativeString& path)
{
    std::size_t cut = path.find_last_of(separators);
    return cut == NativeString::npos ? L"." : path.substr(0, cut);
}

bool make_temp(const NativeString& folder, NativeString& temp)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = folder + L"\\.termweave-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter) + L".tmp";
        HANDLE handle = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

bool sync_file(const NativeString& path)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool ok = FlushFileBuffers(handle);
    CloseHandle(handle);
    return ok;
}

// ReplaceFileW keeps the original's attributes and security descriptor.
bool move_over(const NativeString& temp, const NativeString& target)
{
    if (ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                     nullptr, nullptr))
        return true;
    return MoveFileExW(temp.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

void remove_quietly(const NativeString& path) { DeleteFileW(path.c_str()); }

// Opening for writing without truncating: the refusal that writing the file
// in place would meet (read-only, locked). A missing file may be created.
bool may_write(const NativeString& target)
{
    HANDLE handle = CreateFileW(target.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool regular = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    if (!regular)
        SetLastError(ERROR_INVALID_PARAMETER);
    return regular;
}
#else
bool resolve_target(const std::string& path, std::string& target)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        target = path;
        return true;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return false;
    target = resolved;
    std::free(resolved);
    return true;
}

std::string folder_of(const std::string& path)
{
    std::size_t cut = path.find_last_of('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

bool make_temp(const std::string& folder, std::string& temp)
{
    temp = folder + "/.termweave-XXXXXX.tmp";
    int fd = mkstemps(temp.data(), 4);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Syncs the new content and gives it the original's permission bits and,
// where the process may, its owner.
bool sync_file(const std::string& temp, const std::string& target)
{
    int fd = open(temp.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    struct stat original;
    bool ok = true;
    if (stat(target.c_str(), &original) == 0) {
        ok = fchmod(fd, original.st_mode & 07777) == 0;
        if (ok && fchown(fd, original.st_uid, original.st_gid) != 0 && errno != EPERM)
            ok = false;
    }
    ok = ok && fsync(fd) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

bool move_over(const std::string& temp, const std::string& target)
{
    if (rename(temp.c_str(), target.c_str()) != 0)
        return false;
    int fd = open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);  // best effort: the rename itself has happened
        close(fd);
    }
    return true;
}

void remove_quietly(const std::string& path) { unlink(path.c_str()); }

// Opening for writing without truncating: the refusal that writing the file
// in place would meet, since renaming over a read-only file is allowed.
// Only a regular file is replaced: a device or pipe reached through a link
// would otherwise be swapped for a plain file.
bool may_write(const std::string& target)
{
    int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT;
    struct stat info;
    bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    if (!regular)
        errno = EINVAL;
    return regular;
}
#endif

// Removes the temporary file without disturbing the pending exception.
int discard_temp(const NativeString& temp)
{
    remove_quietly(temp);
    return -1;
}

}  // namespace

int replace_file(PyObject* path, const std::function<int(PyObject* temp_path)>& write_to)
{
    NativeString native, target, temp;
    if (!to_native(path, native))
        return -1;
    if (!resolve_target(native, target))
        return raise_os_error(path);
    if (!may_write(target))
        return raise_os_error(path);
    if (!make_temp(folder_of(target), temp))
        return raise_os_error(path);
    Ref temp_path = from_native(temp);
    if (!temp_path || write_to(temp_path.get()) < 0)
        return discard_temp(temp);
#ifdef _WIN32
    bool synced = sync_file(temp);
#else
    bool synced = sync_file(temp, target);
#endif
    if (!synced || !move_over(temp, target)) {
        raise_os_error(path);
        return discard_temp(temp);
    }
    return 0;
}

}  // namespace tw::platform
