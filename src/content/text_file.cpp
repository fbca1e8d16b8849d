#include "content/text_file.h"

#include "platform/core/os.h"
#include "platform/fs.h"
#include "py/ops.h"

#include <algorithm>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tw::content {

namespace {

// The one checked open of the file-system core, through a last link.
int open_checked(const NativePath& path, const platform::native::FileId* expected, platform::native::os::File& file)
{
    platform::native::String target;
    if (platform::native::Error error = platform::native::os::resolve_target(path, target))
        return static_cast<int>(error);
    return static_cast<int>(file.open_checked(target, expected));
}

}  // namespace

#ifdef _WIN32

namespace {

std::int64_t nanoseconds(FILETIME time)
{
    // 100 ns ticks since 1601, as the interpreter's os.stat counts them from 1970.
    std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - 116444736000000000LL) * 100;
}

int describe(HANDLE handle, FileIdentity& out)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info))
        return GetLastError() ? static_cast<int>(GetLastError()) : ERROR_INVALID_PARAMETER;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return ERROR_ACCESS_DENIED;  // what opening a folder as a file gives
    out.device = info.dwVolumeSerialNumber;
    out.number = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    out.modified_ns = nanoseconds(info.ftLastWriteTime);
    out.changed_ns = nanoseconds(info.ftCreationTime);
    return 0;
}

}  // namespace

FileReader::~FileReader()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

int FileReader::open(const NativePath& path, const platform::native::FileId* expected)
{
    platform::native::os::File file;
    if (int error = open_checked(path, expected, file))
        return error;
    handle_ = file.release_handle();
    return describe(handle_, identity_);
}

int FileReader::open_to_scan(const NativePath& path) { return open(path); }

int FileReader::read(char* into, std::size_t size, std::size_t& count)
{
    count = 0;
    std::uint64_t left = identity_.size > offset_ ? identity_.size - offset_ : 0;
    DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>({size, left, 1u << 30}));
    DWORD got = 0;
    if (wanted && !ReadFile(handle_, into, wanted, &got, nullptr))
        return static_cast<int>(GetLastError());
    count = got;
    offset_ += got;
    return 0;
}

int FileReader::rewind()
{
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN))
        return static_cast<int>(GetLastError());
    offset_ = 0;
    return 0;
}

int native_path(PyObject* path, NativePath& out)
{
    Py_ssize_t length = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(path, &length);
    if (!wide)
        return -1;
    out.assign(wide, static_cast<std::size_t>(length));
    PyMem_Free(wide);
    return 0;
}

namespace {

int set_error(int error, PyObject* path)
{
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, error, path);
    return -1;
}

}  // namespace

#else

namespace {

void describe(const struct stat& info, FileIdentity& out)
{
    out.device = static_cast<std::uint64_t>(info.st_dev);
    out.number = static_cast<std::uint64_t>(info.st_ino);
    out.size = static_cast<std::uint64_t>(info.st_size);
#ifdef __APPLE__
    out.modified_ns = info.st_mtimespec.tv_sec * 1000000000LL + info.st_mtimespec.tv_nsec;
    out.changed_ns = info.st_ctimespec.tv_sec * 1000000000LL + info.st_ctimespec.tv_nsec;
#else
    out.modified_ns = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
    out.changed_ns = info.st_ctim.tv_sec * 1000000000LL + info.st_ctim.tv_nsec;
#endif
}

}  // namespace

FileReader::~FileReader()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int FileReader::open(const NativePath& path, const platform::native::FileId* expected)
{
    platform::native::os::File file;
    if (int error = open_checked(path, expected, file))
        return error;
    fd_ = file.release_descriptor();
    return describe_open();
}

int FileReader::open_to_scan(const NativePath& path)
{
    // Not blocking: a pipe or device swapped in since the listing is
    // refused below rather than waited on.
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ < 0 ? errno : describe_open();
}

int FileReader::describe_open()
{
    struct stat info;
    if (fstat(fd_, &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    describe(info, identity_);
    return 0;
}

int FileReader::read(char* into, std::size_t size, std::size_t& count)
{
    count = 0;
    std::uint64_t left = identity_.size > offset_ ? identity_.size - offset_ : 0;
    std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>({size, left, 1u << 30}));
    if (wanted == 0)
        return 0;
    ssize_t got;
    do {
        got = ::read(fd_, into, wanted);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return errno;
    count = static_cast<std::size_t>(got);
    offset_ += count;
    return 0;
}

int FileReader::rewind()
{
    if (lseek(fd_, 0, SEEK_SET) < 0)
        return errno;
    offset_ = 0;
    return 0;
}

int native_path(PyObject* path, NativePath& out)
{
    py::Ref bytes = py::Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!bytes)
        return -1;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return 0;
}

namespace {

int set_error(int error, PyObject* path)
{
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return -1;
}

}  // namespace

#endif

int identity_of(PyObject* stat_result, FileIdentity& out)
{
    static const py::Id fields[] = {"st_dev"_id, "st_ino"_id, "st_size"_id, "st_mtime_ns"_id,
                                    "st_ctime_ns"_id};
    std::uint64_t values[5];
    for (int i = 0; i < 5; ++i) {
        py::Ref value = py::getattr(stat_result, fields[i]);
        if (!value)
            return -1;
        values[i] = PyLong_AsUnsignedLongLongMask(value.get());
        if (PyErr_Occurred())
            return -1;
    }
    out.device = values[0];
    out.number = values[1];
    out.size = values[2];
    out.modified_ns = static_cast<std::int64_t>(values[3]);
    out.changed_ns = static_cast<std::int64_t>(values[4]);
    return 0;
}

int read_file_bytes(PyObject* path, std::string& out, std::size_t limit)
{
    out.clear();
    NativePath native;
    if (native_path(path, native) < 0)
        return -1;
    FileReader file;
    const platform::native::FileId* expected = platform::expected_for(path);
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = file.open(native, expected);
    Py_END_ALLOW_THREADS
    if (error)
        return platform::raise_os_error(static_cast<platform::native::Error>(error), path);
    out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(file.identity().size, limit)));
    std::size_t filled = 0;
    Py_BEGIN_ALLOW_THREADS
    std::size_t count = 0;
    while (filled < out.size() && (error = file.read(out.data() + filled, out.size() - filled, count)) == 0 &&
           count > 0)
        filled += count;
    Py_END_ALLOW_THREADS
    out.resize(filled);  // a file cut short meanwhile
    return error ? set_error(error, path) : 0;
}

}  // namespace tw::content
