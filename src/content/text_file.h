// Reading the bytes of a text or CSV file: the one place that opens them,
// used both by the handlers (with the interpreter's lock) and by the scan
// that runs ahead of a run on a thread of its own (without it).
#pragma once

#include "platform/core/native.h"
#include "py/ref.h"

#include <cstdint>
#include <string>

namespace tw::content {

#ifdef _WIN32
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif

// What tells whether a file is still the one that was read: which file it
// is and its size and times.
struct FileIdentity {
    std::uint64_t device = 0, number = 0, size = 0;
    std::int64_t modified_ns = 0, changed_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A regular file open for reading from its start, through a last link,
// without blocking on a pipe or device, the way every read of a run opens a
// file (platform::native::os::File::open_checked); never read past the size
// it had when opened. Error codes are the system's (errno, or GetLastError
// on Windows).
class FileReader {
public:
    FileReader() = default;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader();

    // 0, or the error code (a folder, a pipe or a device is refused, and,
    // given `expected`, any file but that one).
    int open(const NativePath& path, const platform::native::FileId* expected = nullptr);
    // The same for the scan ahead of a run, which reads only for a verdict
    // that the run takes when the file it probes is the one read: opened
    // as the system follows links, with one look at what was opened.
    int open_to_scan(const NativePath& path);
    const FileIdentity& identity() const { return identity_; }
    // Reads up to `size` bytes; sets `count` (0 at the end). 0, or the error.
    int read(char* into, std::size_t size, std::size_t& count);
    // Back to the start. 0, or the error.
    int rewind();

private:
    FileIdentity identity_;
    std::uint64_t offset_ = 0;
#ifdef _WIN32
    void* handle_ = reinterpret_cast<void*>(-1);
#else
    // The identity of the file just opened, which must be a regular file.
    int describe_open();
    int fd_ = -1;
#endif
};

// The identity an os.stat result records (through links), which is the one
// a FileReader reads on the same system. 0, or -1 with the exception set.
int identity_of(PyObject* stat_result, FileIdentity& out);

// The path as the system spells it (os.fsencode's bytes on POSIX). 0, or -1
// with the exception set.
int native_path(PyObject* path, NativePath& out);

// The whole content of the file at `path` in one buffer, at most `limit`
// bytes of it. 0, or -1 with an OSError naming the path set.
int read_file_bytes(PyObject* path, std::string& out, std::size_t limit = SIZE_MAX);

}  // namespace tw::content
