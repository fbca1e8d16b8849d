"""A folder shown through FUSE as a file system that ignores letter case
and keeps it, as NTFS and APFS do by default: one entry per name whatever
its spelling, the same identity under every spelling, and a rename that
only changes the case renames the entry itself. Like FAT or exFAT through
FUSE, it keeps no owners: changing one is not implemented.

    python case_folding_fs.py FOLDER MOUNT_POINT   (runs until unmounted)
"""
import errno
import os
import sys

from fuse import FUSE, Operations

STAT_FIELDS = ("st_mode", "st_ino", "st_dev", "st_nlink", "st_uid", "st_gid", "st_size",
               "st_atime", "st_mtime", "st_ctime")


class CaseFolding(Operations):
    def __init__(self, root):
        self.root = root

    def real(self, path):
        """The stored path of path: each part matched regardless of case."""
        found = self.root
        for part in filter(None, path.split("/")):
            exact = os.path.join(found, part)
            if not os.path.lexists(exact) and os.path.isdir(found):
                folded = part.casefold()
                part = next((name for name in os.listdir(found) if name.casefold() == folded), part)
            found = os.path.join(found, part)
        return found

    def getattr(self, path, fh=None):
        info = os.lstat(self.real(path))
        return {field: getattr(info, field) for field in STAT_FIELDS}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self.real(path))

    def readlink(self, path):
        return os.readlink(self.real(path))

    def mkdir(self, path, mode):
        os.mkdir(self.real(path), mode)

    def rmdir(self, path):
        os.rmdir(self.real(path))

    def unlink(self, path):
        os.unlink(self.real(path))

    def symlink(self, target, source):
        os.symlink(source, self.real(target))

    def link(self, target, source):
        os.link(self.real(source), self.real(target))

    def rename(self, old, new):
        source, taken = self.real(old), self.real(new)
        if source == taken:  # the same entry: take the new spelling
            taken = os.path.join(os.path.dirname(taken), os.path.basename(new))
        os.rename(source, taken)

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode)

    def chown(self, path, uid, gid):
        raise OSError(errno.ENOSYS, "no owners here")

    def truncate(self, path, length, fh=None):
        os.truncate(self.real(path), length)

    def utimens(self, path, times=None):
        os.utime(self.real(path), ns=None if times is None else tuple(int(t * 1e9) for t in times),
                 follow_symlinks=False)

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self.real(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def fsync(self, path, datasync, fh):
        os.fsync(fh)

    def release(self, path, fh):
        os.close(fh)

    def statfs(self, path):
        info = os.statvfs(self.real(path))
        return {field: getattr(info, field) for field in (
            "f_bsize", "f_frsize", "f_blocks", "f_bfree", "f_bavail", "f_files", "f_ffree",
            "f_favail", "f_flag", "f_namemax")}


if __name__ == "__main__":
    FUSE(CaseFolding(os.path.abspath(sys.argv[1])), sys.argv[2], foreground=True, use_ino=True,
         hard_remove=True, entry_timeout=0, attr_timeout=0, negative_timeout=0)
