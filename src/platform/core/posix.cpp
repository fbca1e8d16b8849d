// The file-system core on POSIX systems (Linux, macOS).
#ifndef _WIN32

#include "platform/core/native.h"
#include "platform/core/os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <algorithm>
#include <map>
#include <system_error>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#elif defined(__APPLE__)
#include <sys/xattr.h>
#endif

namespace tw::platform::native {

namespace {

// A descriptor closed on every way out.
struct Fd {
    int fd;
    explicit Fd(int opened) : fd(opened) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// ---- Renaming ------------------------------------------------------------

// The kernel's rename that fails when the new name is taken; -1 with errno.
int kernel_rename_no_replace(const char* src, const char* dst)
{
#if defined(__APPLE__)
    return renamex_np(src, dst, RENAME_EXCL);
#elif defined(__linux__) && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
    return renameat2(AT_FDCWD, src, AT_FDCWD, dst, RENAME_NOREPLACE);
#elif defined(__linux__) && defined(SYS_renameat2)
    // A C library without the wrapper (older glibc, some others).
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, src, AT_FDCWD, dst, RENAME_NOREPLACE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// The kernel or the file system lacks the atomic form: EINVAL from a file
// system without the flag, ENOSYS from an old kernel, EPERM from container
// filters that block unknown system calls. A genuine EPERM comes back from
// the plain rename that follows.
bool lacks_no_replace(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP ||
           error == EPERM;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void split(const std::string& path, std::string& folder, std::string& name)
{
    std::size_t cut = path.find_last_of('/');
    folder = cut == std::string::npos ? "." : (cut == 0 ? "/" : path.substr(0, cut));
    name = cut == std::string::npos ? path : path.substr(cut + 1);
}

// Whether `folder` holds an entry spelled exactly `name`. An unreadable
// folder is taken to hold it, so that nothing is renamed over it.
bool has_entry_spelled(const std::string& folder, const std::string& name)
{
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return true;
    bool found = false;
    while (const dirent* entry = readdir(dir))
        if (name == entry->d_name) {
            found = true;
            break;
        }
    closedir(dir);
    return found;
}

// ---- Extended attributes -----------------------------------------------

#if defined(__linux__)
ssize_t list_names(int fd, char* names, size_t size) { return flistxattr(fd, names, size); }
ssize_t get_value(int fd, const char* name, void* value, size_t size)
{
    return fgetxattr(fd, name, value, size);
}
int set_value(int fd, const char* name, const void* value, size_t size)
{
    return fsetxattr(fd, name, value, size, 0);
}
int remove_name(int fd, const char* name) { return fremovexattr(fd, name); }
#elif defined(__APPLE__)
ssize_t list_names(int fd, char* names, size_t size) { return flistxattr(fd, names, size, 0); }
ssize_t get_value(int fd, const char* name, void* value, size_t size)
{
    return fgetxattr(fd, name, value, size, 0, 0);
}
int set_value(int fd, const char* name, const void* value, size_t size)
{
    return fsetxattr(fd, name, value, size, 0, 0);
}
int remove_name(int fd, const char* name) { return fremovexattr(fd, name, 0); }
#endif

#if defined(__linux__) || defined(__APPLE__)
bool unsupported_here(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// The names of a file's extended attributes, each followed by a NUL.
int read_names(int fd, std::string& names)
{
    for (;;) {
        ssize_t size = list_names(fd, nullptr, 0);
        if (size <= 0)  // none (the usual case), or none to be had here
            return size == 0 || unsupported_here(errno) ? (names.clear(), 0) : errno;
        names.resize(static_cast<std::size_t>(size));
        size = list_names(fd, names.data(), names.size());
        if (size >= 0) {
            names.resize(static_cast<std::size_t>(size));
            return 0;
        }
        if (errno != ERANGE)  // grown in between: ask again
            return errno;
    }
}

// 0 with `value` set, ENODATA when the attribute went away, or the error.
int read_value(int fd, const char* name, std::string& value)
{
    for (;;) {
        ssize_t size = get_value(fd, name, nullptr, 0);
        if (size < 0)
            return errno;
        value.resize(static_cast<std::size_t>(size));
        size = get_value(fd, name, value.data(), value.size());
        if (size >= 0) {
            value.resize(static_cast<std::size_t>(size));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
    }
}

bool listed(const std::string& names, const char* name)
{
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1)
        if (std::strcmp(names.c_str() + at, name) == 0)
            return true;
    return false;
}

// Gives `to` exactly the extended attributes (and so the access lists) of
// `from`. `carried` turns false when the system refuses one to us.
int copy_attributes(int from, int to, bool& carried)
{
    std::string names, theirs, value;
    if (int error = read_names(from, names))
        return error;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char* name = names.c_str() + at;
        int error = read_value(from, name, value);
        if (error == ENODATA)
            continue;
        if (error)
            return error;
        if (set_value(to, name, value.data(), value.size()) != 0) {
            if (errno != EPERM && errno != EACCES && !unsupported_here(errno))
                return errno;
            carried = false;
            return 0;
        }
    }
    // What the new file got by itself (an access list inherited from the
    // folder) goes; a label the system will not let go of stays.
    if (read_names(to, theirs) == 0)
        for (std::size_t at = 0; at < theirs.size(); at += std::strlen(theirs.c_str() + at) + 1)
            if (!listed(names, theirs.c_str() + at))
                remove_name(to, theirs.c_str() + at);
    return 0;
}
#else
int copy_attributes(int, int, bool&) { return 0; }
#endif

// Writes all `size` bytes by `write_some(from, count, done)`, a write that
// may write fewer, going on after a signal. 0, or errno.
template <class WriteSome>
int write_fully(const char* bytes, std::size_t size, WriteSome&& write_some)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t wrote = write_some(bytes + done, size - done, done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0)
            return errno;
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}

int write_at(int fd, const char* bytes, std::size_t size, std::uint64_t offset)
{
    return write_fully(bytes, size, [&](const char* from, std::size_t count, std::size_t done) {
        return pwrite(fd, from, count, static_cast<off_t>(offset + done));
    });
}

int sync_fd(int fd)
{
    while (fsync(fd) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

}  // namespace

bool already_exists(Error error) { return error == EEXIST; }

Error rename_no_replace(const String& src, const String& dst)
{
    if (kernel_rename_no_replace(src.c_str(), dst.c_str()) == 0)
        return 0;
    int error = errno;
    return lacks_no_replace(error) ? rename_checked(src, dst) : error;
}

Error rename_checked(const String& src, const String& dst)
{
    struct stat existing;
    if (lstat(dst.c_str(), &existing) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return rename(src.c_str(), dst.c_str()) == 0 ? 0 : errno;
}

Error rename_respelled(const String& src, const String& dst)
{
    struct stat a, b;
    if (lstat(src.c_str(), &a) != 0)
        return errno;
    if (lstat(dst.c_str(), &b) != 0)
        return errno == ENOENT ? rename_no_replace(src, dst) : errno;
    std::string folder, name;
    split(dst, folder, name);
    // rename(2) between two names of one file does nothing and succeeds;
    // only one entry reached under two spellings may be renamed.
    if (!same_file(a, b) || has_entry_spelled(folder, name))
        return EEXIST;
    return rename(src.c_str(), dst.c_str()) == 0 ? 0 : errno;
}

Error sync_folder(const String& folder)
{
    Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return errno;
    int error = sync_fd(dir.fd);
    // Some file systems cannot sync a folder; there is nothing more to do.
    return (error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP) ? 0 : error;
}

#if defined(__linux__)
namespace {

// Before Linux 5.8, syncfs reported no failure of the writes it waited for.
bool syncfs_reports_failures()
{
    static const bool reports = [] {
        struct utsname system;
        int major = 0, minor = 0;
        return uname(&system) == 0 && std::sscanf(system.release, "%d.%d", &major, &minor) == 2 &&
               (major > 5 || (major == 5 && minor >= 8));
    }();
    return reports;
}

// File systems whose own sync writes every file's data and metadata and
// waits for it; others (network and user-space file systems among them) may
// leave durability to each file's own sync.
bool syncs_whole_file_system(int fd)
{
    struct statfs info;
    if (fstatfs(fd, &info) != 0)
        return false;
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0xF2F52010:  // f2fs
    case 0x01021994:  // tmpfs: nothing to make durable
        return true;
    default:
        return false;
    }
}

// A file system's sync also waits for whatever else is waiting to be
// written there, other programs' files included: it pays only when it
// saves the syncs of several files.
constexpr std::size_t kFewestForFileSystemSync = 4;

// A folder's own sync, once the first has committed the journal, costs
// about 0.15 ms on ext4; the file system's sync also writes every changed
// inode and folder block in place, 4 to 13 ms after thousands of renames.
// Folders are synced together only when there are enough of them to pay.
constexpr std::size_t kFewestFoldersForFileSystemSync = 32;

// Syncs the file system of staged[first] once, when that can be relied on
// and several files are staged on it; marks every staged file on it done.
void sync_file_system(const std::vector<Staged>& staged, std::size_t first, std::vector<char>& done)
{
    std::size_t on_it = 0;
    for (std::size_t i = first; i < staged.size(); ++i)
        on_it += staged[i].device == staged[first].device;
    if (on_it < kFewestForFileSystemSync)
        return;
    Fd file(open(staged[first].temp.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0 || !syncs_whole_file_system(file.fd) || syncfs(file.fd) != 0)
        return;  // each file on its own, which also tells which one failed
    for (std::size_t i = first; i < staged.size(); ++i)
        if (staged[i].device == staged[first].device)
            done[i] = 1;
}

}  // namespace
#endif

void sync_folders_together(std::set<String>& folders)
{
#if defined(__linux__)
    if (folders.size() < kFewestFoldersForFileSystemSync || !syncfs_reports_failures())
        return;
    std::map<dev_t, std::vector<std::set<String>::iterator>> by_device;
    for (auto folder = folders.begin(); folder != folders.end(); ++folder) {
        struct stat info;
        if (stat(folder->c_str(), &info) == 0)  // else its own sync says what is wrong
            by_device[info.st_dev].push_back(folder);
    }
    for (auto& [device, group] : by_device) {
        if (group.size() < kFewestFoldersForFileSystemSync)
            continue;
        Fd dir(open(group.front()->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd < 0 || !syncs_whole_file_system(dir.fd) || syncfs(dir.fd) != 0)
            continue;  // each folder on its own, which also tells which one failed
        for (auto folder : group)
            folders.erase(folder);
    }
#else
    (void)folders;
#endif
}

void sync_staged(const std::vector<Staged>& staged, std::vector<Error>& errors)
{
    errors.assign(staged.size(), 0);
    std::vector<char> done(staged.size(), 0);
#if defined(__linux__)
    if (syncfs_reports_failures())
        for (std::size_t i = 0; i < staged.size(); ++i)
            if (!done[i])
                sync_file_system(staged, i, done);
#endif
    for (std::size_t i = 0; i < staged.size(); ++i)
        if (!done[i])
            errors[i] = os::sync_file(staged[i].temp);
}

namespace {

FileInfo info_of(const struct stat& info)
{
    FileInfo out;
    out.id = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    out.size = static_cast<std::uint64_t>(info.st_size);
#if defined(__APPLE__)
    out.mtime_ns = std::int64_t{info.st_mtimespec.tv_sec} * 1000000000 + info.st_mtimespec.tv_nsec;
#else
    out.mtime_ns = std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
#endif
    out.links = static_cast<std::uint64_t>(info.st_nlink);
    out.regular = S_ISREG(info.st_mode);
    out.directory = S_ISDIR(info.st_mode);
    out.link = S_ISLNK(info.st_mode);
    return out;
}

// A file that nobody may write is refused even to a process that may write
// anything: its owner made it read-only, and a run honours that.
bool read_only_for_everyone(const struct stat& info) { return (info.st_mode & 0222) == 0; }

// Opening with O_NOFOLLOW meets a link that appeared since the path was
// resolved: the file is not the one decided on.
int opened_error(int error) { return error == ELOOP ? changed_since_decided() : error; }

// The open file is a regular file and, when one is expected, that one.
int check_opened(int fd, const FileId* expected, struct stat& info)
{
    if (fstat(fd, &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return expected ? changed_since_decided() : EINVAL;
    if (expected && info_of(info).id != *expected)
        return changed_since_decided();
    return 0;
}

constexpr std::size_t kChunk = 1 << 20;

}  // namespace

Error file_info(const String& path, bool follow_links, FileInfo& out)
{
    struct stat info;
    if ((follow_links ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0)
        return errno;
    out = info_of(info);
    return 0;
}

bool not_found(Error error) { return error == ENOENT || error == ENOTDIR; }

Error changed_since_decided() { return ESTALE; }
bool is_changed_since_decided(Error error) { return error == ESTALE; }
// An error no file operation gives, so that it cannot be mistaken.
Error no_place_for_backup() { return EDESTADDRREQ; }
bool is_no_place_for_backup(Error error) { return error == EDESTADDRREQ; }

ReplacedFiles::~ReplacedFiles()
{
    replaced(false);
    let_go_ahead();
    wait();
}

Error ReplacedFiles::look(const String& path, FileInfo& out)
{
    replaced(false);
#ifdef O_PATH
    // A path descriptor holds the file without opening it: no permission
    // is needed, and nothing a device does on open happens.
    int held = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (held >= 0 && fstat(held, &info) == 0) {
        looked_ = held;
        out = info_of(info);
        return 0;
    }
    if (held >= 0)
        ::close(held);
#endif
    return file_info(path, false, out);
}

void ReplacedFiles::replaced(bool moved)
{
    if (looked_ < 0)
        return;
    if (moved)
        kept_.push_back(looked_);
    else
        ::close(looked_);
    looked_ = -1;
}

void ReplacedFiles::let_go_ahead()
{
    if (kept_.empty())
        return;
    wait();
    std::vector<int> kept = std::move(kept_);
    kept_.clear();
    try {
        letting_go_ = std::thread([kept] {
            for (int fd : kept)
                ::close(fd);
        });
    } catch (const std::system_error&) {
        for (int fd : kept)
            ::close(fd);
    }
}

void ReplacedFiles::wait()
{
    if (letting_go_.joinable())
        letting_go_.join();
}

namespace os {

Error resolve_target(const String& path, String& target)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        target = path;
        return 0;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return errno;
    target = resolved;
    std::free(resolved);
    return 0;
}

Target::~Target()
{
    if (fd_ >= 0)
        close(fd_);
}

// Renaming over a read-only file is allowed, writing it is not: opening
// for writing (without truncating) meets the refusal the user expects.
Error Target::open(const String& path, const FileId* expected)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd_ < 0) {
        if (errno == ENOENT && !expected)
            return 0;
        return opened_error(errno == ENOENT ? changed_since_decided() : errno);
    }
    if (int error = check_opened(fd_, expected, info_))
        return error;
    if (geteuid() == 0 && read_only_for_everyone(info_))
        return EACCES;
    exists_ = true;
    FileInfo described = info_of(info_);
    id_ = described.id;
    links_ = described.links;
    return 0;
}

Error make_temp(const String& folder, const Char* suffix, String& made)
{
    File file;
    return file.create_temp(folder, suffix, made);
}

void remove_quietly(const String& path) { unlink(path.c_str()); }

Error sync_file(const String& path)
{
    Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return file.fd < 0 ? errno : sync_fd(file.fd);
}

bool is_access_denied(Error error) { return error == EACCES || error == EPERM; }
bool is_cross_device(Error error) { return error == EXDEV; }
bool is_busy(Error error) { return error == EWOULDBLOCK || error == EAGAIN; }
Error busy_error() { return EWOULDBLOCK; }
Error not_found_error() { return ENOENT; }

Error move_over(const String& temp, const String& target, FolderSyncs* syncs, ReplaceOutcome&)
{
    if (rename(temp.c_str(), target.c_str()) != 0)
        return errno;
    if (syncs)
        syncs->add(folder_of(target));
    else
        sync_folder(folder_of(target));  // best effort: the rename itself has happened
    return 0;
}

File::~File() { close(); }

void File::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool File::is_open() const { return fd_ >= 0; }

int File::release_descriptor() { return std::exchange(fd_, -1); }

Error File::create_temp(const String& folder, const Char* suffix, String& made)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        made = join(folder, temp_name(suffix));
        fd_ = ::open(made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ >= 0)
            return 0;
        if (errno != EEXIST)
            break;
    }
    int error = errno;
    made.clear();
    return error;
}

namespace {

bool cannot_carry_owner(int error)
{
    return error == EPERM || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

}  // namespace

// Owner and group first: changing them clears the setuid and setgid bits,
// which the mode then sets again. The attributes come before the mode too,
// since an access list rewrites the group bits.
Error File::finish_temp(const String& path, const Target& target, bool sync, Finished& out)
{
    out = Finished{};
    if (target.exists() && target.links() > 1)
        return 0;
    Fd reopened(fd_ >= 0 ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int fd = fd_ >= 0 ? fd_ : reopened.fd;
    if (fd < 0)
        return errno;
    struct stat now;
    if (target.exists()) {
        const struct stat& original = target.info_;
        // Not ours to give, or a file system without owners (FAT, some
        // FUSE ones): the new file cannot carry them, which is not a failure.
        if (fchown(fd, original.st_uid, original.st_gid) != 0)
            return cannot_carry_owner(errno) ? 0 : errno;
        out.carried = true;
        if (int error = copy_attributes(target.fd_, fd, out.carried))
            return error;
        if (!out.carried)
            return 0;
        if (fchmod(fd, original.st_mode & 07777) != 0 || fstat(fd, &now) != 0)
            return errno;
        // The system may drop a bit silently (setgid for a group not ours).
        out.carried = now.st_uid == original.st_uid && now.st_gid == original.st_gid &&
                      (now.st_mode & 07777) == (original.st_mode & 07777);
        if (!out.carried)
            return 0;
    } else if (fstat(fd, &now) != 0) {
        return errno;
    }
    out.carried = true;
    out.size = static_cast<std::uint64_t>(now.st_size);
    out.device = static_cast<std::uint64_t>(now.st_dev);
    out.id = info_of(now).id;
    return sync ? sync_fd(fd) : 0;
}

Error File::open_existing(const String& path)
{
    fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    return fd_ < 0 ? opened_error(errno) : 0;
}

Error File::open_checked(const String& path, const FileId* expected)
{
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd_ < 0)
        return opened_error(errno == ENOENT && expected ? changed_since_decided() : errno);
    struct stat info;
    return check_opened(fd_, expected, info);
}

Error File::create_new(const String& path)
{
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd_ < 0 ? errno : 0;
}

Error File::open_record(const String& path, bool create)
{
    int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_EXCL : 0);
    fd_ = open(path.c_str(), flags, 0600);
    return fd_ < 0 ? errno : 0;
}

Error File::info(FileInfo& out) const
{
    struct stat info;
    if (fstat(fd_, &info) != 0)
        return errno;
    out = info_of(info);
    return 0;
}

Error File::read_all(std::string& bytes, std::uint64_t limit)
{
    bytes.clear();
    std::vector<char> chunk(kChunk);
    while (bytes.size() < limit) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), limit - bytes.size()));
        ssize_t got = pread(fd_, chunk.data(), want, static_cast<off_t>(bytes.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return 0;
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return 0;
}

namespace {

// Reads the whole file open at `fd` from its start, handing each chunk to
// `each` (0 to go on, or the error); `size` and `sum` get its length and
// checksum.
template <class Each>
int each_chunk(int fd, std::uint64_t& size, std::uint64_t& sum, Each&& each)
{
    std::vector<char> chunk(kChunk);
    Digest digest;
    size = 0;
    for (;;) {
        ssize_t got = pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        digest.add(chunk.data(), static_cast<std::size_t>(got));
        if (int error = each(chunk.data(), static_cast<std::size_t>(got), size))
            return error;
        size += static_cast<std::uint64_t>(got);
    }
    sum = digest.value();
    return 0;
}

}  // namespace

Error File::copy_from(File& source, std::uint64_t& size, std::uint64_t& sum)
{
    int to = fd_;
    if (int error = each_chunk(source.fd_, size, sum, [to](const char* bytes, std::size_t count, std::uint64_t at) {
            return write_at(to, bytes, count, at);
        }))
        return error;
    struct stat now;
    if (fstat(fd_, &now) != 0)
        return errno;
    if (static_cast<std::uint64_t>(now.st_size) > size && ftruncate(fd_, static_cast<off_t>(size)) != 0)
        return errno;
    return sync_fd(fd_);
}

Error File::checksum(std::uint64_t& size, std::uint64_t& sum)
{
    return each_chunk(fd_, size, sum, [](const char*, std::size_t, std::uint64_t) { return 0; });
}

Error File::append(const std::string& bytes)
{
    int fd = fd_;
    return write_fully(bytes.data(), bytes.size(),
                       [fd](const char* from, std::size_t count, std::size_t) { return write(fd, from, count); });
}

Error File::sync() { return sync_fd(fd_); }

Error File::try_lock()
{
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

Error File::wait_lock()
{
    while (flock(fd_, LOCK_EX) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

Error make_folder(const String& path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return 0;
    return errno;
}

Error remove_folder(const String& path) { return rmdir(path.c_str()) == 0 ? 0 : errno; }
Error remove_file(const String& path) { return unlink(path.c_str()) == 0 ? 0 : errno; }

Error list_folder(const String& path, std::vector<String>& names)
{
    names.clear();
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return errno;
    while (const dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    closedir(dir);
    return 0;
}

Error hard_link(const String& existing, const String& made)
{
    return link(existing.c_str(), made.c_str()) == 0 ? 0 : errno;
}

Error rename_over(const String& from, const String& to)
{
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

Error free_space(const String& folder, std::uint64_t& bytes)
{
    struct statvfs info;
    if (statvfs(folder.c_str(), &info) != 0)
        return errno;
    bytes = std::uint64_t{info.f_bavail} * info.f_frsize;
    return 0;
}

String absolute(const String& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char* here = getcwd(nullptr, 0);
    if (!here)
        return path;
    String whole = join(here, path);
    std::free(here);
    return whole;
}

String real_path(const String& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return absolute(path);
    String real = resolved;
    std::free(resolved);
    return real;
}

String environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

void hide(const String&) {}

}  // namespace os

}  // namespace tw::platform::native

#endif  // !_WIN32
