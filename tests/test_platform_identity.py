"""A rewritten file keeps its identity: owner, group, special mode bits,
extended attributes, hard links; where a new file cannot carry them the old
one is rewritten in place, and a failed in-place write puts the old bytes back."""
import errno
import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import unavailable

pytestmark = pytest.mark.skipif(os.name != "posix", reason="POSIX owners, modes and links")
as_root = pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0,
                             reason="needs root to give files other owners")

USER, GROUP = 4241, 4242  # need no entry in /etc/passwd

# The child imports the module first, then drops to USER:GROUP with no
# supplementary groups (what `setpriv --reuid --regid --clear-groups` does;
# done in-process because the interpreter may live where that user cannot
# read). Optionally a file-size limit starts once the new content is written,
# so that only the rewrite of the original fails.
CHILD = """
import builtins, json, os, resource, signal, sys
args = json.loads(sys.argv[1])
if args["limit"]:
    real_open = builtins.open
    class LimitAfterWrite:
        def __init__(self, file):
            self.file = file
        def __enter__(self):
            return self.file.__enter__()
        def __exit__(self, *exc):
            kept = self.file.__exit__(*exc)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (args["limit"], resource.RLIM_INFINITY))
            return kept
    def open_limited(file, mode="r", *rest, **named):
        opened = real_open(file, mode, *rest, **named)
        return LimitAfterWrite(opened) if "w" in mode else opened
    builtins.open = open_limited
import termweave_mira7
if args["user"]:
    os.setgroups([])
    os.setgid(args["user"][1])
    os.setuid(args["user"][0])
try:
    termweave_mira7.replace_text_content(args["path"], args["old"], args["new"])
    print(json.dumps({"ok": True}))
except OSError as error:
    print(json.dumps({"errno": error.errno, "notes": getattr(error, "__notes__", [])}))
"""


def replace_in_child(tw, path, old, new, user=None, limit=0, tmpdir=None):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tw.__file__))
    if tmpdir:
        env["TMPDIR"] = str(tmpdir)
    args = json.dumps({"path": str(path), "old": old, "new": new, "user": user, "limit": limit})
    done = subprocess.run([sys.executable, "-c", CHILD, args], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout, done.stderr
    return json.loads(done.stdout)


@pytest.fixture
def shared():
    """A folder that other users can reach (pytest's own is private)."""
    folder = Path(tempfile.mkdtemp(prefix="tw-identity-"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


def strays(folder):
    return [name for name in os.listdir(folder) if name.startswith(".termweave-")]


def identity(path):
    info = os.stat(path)
    return info.st_ino, info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode), info.st_nlink


@as_root
@pytest.mark.parametrize("mode", [0o4755, 0o2755, 0o6750])
def test_setuid_and_setgid_bits_survive(tw, tmp_path, mode):
    path = tmp_path / "tool.txt"
    path.write_text("old")
    os.chown(path, USER, GROUP)
    path.chmod(mode)
    tw.replace_text_content(str(path), "old", "new")
    info = path.stat()
    assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (mode, USER, GROUP)
    assert path.read_text() == "new"


@as_root
def test_someone_elses_group_writable_file_keeps_owner_and_group(tw, shared):
    folder = shared / "team"
    folder.mkdir()
    folder.chmod(0o777)  # the other user could put a new file here
    path = folder / "plan.txt"
    path.write_text("old plan")
    os.chown(path, 0, GROUP)
    path.chmod(0o664)
    before = identity(path)
    assert replace_in_child(tw, path, "old", "new", user=[USER, GROUP]) == {"ok": True}
    assert path.read_text() == "new plan"
    assert identity(path) == before
    assert strays(folder) == []


@as_root
def test_extended_attributes_and_access_list_are_copied(tw, tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("old")
    # POSIX access list: owner rw, user 4241 rw, group r, mask rw, others r.
    entries = [(0x01, 6, 0xFFFFFFFF), (0x02, 6, USER), (0x04, 4, 0xFFFFFFFF),
               (0x10, 6, 0xFFFFFFFF), (0x20, 4, 0xFFFFFFFF)]
    acl = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)
    try:
        os.setxattr(path, "user.origin", b"scanner 7")
        os.setxattr(path, "system.posix_acl_access", acl)
    except OSError as error:
        if error.errno in (errno.ENOTSUP, errno.EOPNOTSUPP):
            unavailable("the file system has no extended attributes or access lists")
        raise
    mode = stat.S_IMODE(path.stat().st_mode)
    tw.replace_text_content(str(path), "old", "new")
    assert path.read_text() == "new"
    assert os.getxattr(path, "user.origin") == b"scanner 7"
    assert os.getxattr(path, "system.posix_acl_access") == acl
    assert stat.S_IMODE(path.stat().st_mode) == mode


@pytest.mark.parametrize("through_symlink", [False, True])
def test_hard_linked_file_is_rewritten_in_place(tw, tmp_path, through_symlink):
    path = tmp_path / "a.txt"
    path.write_text("old text")
    other = tmp_path / "b.txt"
    os.link(path, other)
    before = identity(path)
    named = path
    if through_symlink:
        named = tmp_path / "link.txt"
        named.symlink_to(path)
    tw.replace_text_content(str(named), "old", "new")
    assert other.read_text() == path.read_text() == "new text"
    assert identity(path) == before and before[4] == 2
    if through_symlink:
        assert os.readlink(named) == str(path)
    assert strays(tmp_path) == []


@as_root
def test_file_in_unwritable_folder_is_rewritten_in_place(tw, shared):
    folder = shared / "locked"
    folder.mkdir()
    path = folder / "mine.txt"
    path.write_text("old words")
    os.chown(path, USER, GROUP)
    staging = shared / "staging"
    staging.mkdir()
    staging.chmod(0o777)
    before = identity(path)
    assert replace_in_child(tw, path, "old", "new", user=[USER, GROUP], tmpdir=staging) == {"ok": True}
    assert path.read_text() == "new words"
    assert identity(path) == before
    assert os.listdir(folder) == ["mine.txt"] and os.listdir(staging) == []


LIMIT = 4096
OLD = "old line\n" * 100          # fits under the limit
NEW = "n" * (2 * LIMIT)            # does not


@as_root
def test_failed_in_place_write_of_a_linked_file_puts_old_bytes_back(tw, tmp_path):
    path = tmp_path / "a.txt"
    path.write_text(OLD)
    os.link(path, tmp_path / "b.txt")
    before = identity(path)
    result = replace_in_child(tw, path, "old line\n" * 100, NEW, limit=LIMIT)
    assert result == {"errno": errno.EFBIG, "notes": []}
    assert path.read_text() == (tmp_path / "b.txt").read_text() == OLD
    assert identity(path) == before
    assert strays(tmp_path) == []


@as_root
def test_failed_in_place_write_in_unwritable_folder_puts_old_bytes_back(tw, shared):
    folder = shared / "locked"
    folder.mkdir()
    path = folder / "mine.txt"
    path.write_text(OLD)
    os.chown(path, USER, GROUP)
    staging = shared / "staging"
    staging.mkdir()
    staging.chmod(0o777)
    result = replace_in_child(tw, path, "old line\n" * 100, NEW, user=[USER, GROUP],
                              limit=LIMIT, tmpdir=staging)
    assert result == {"errno": errno.EFBIG, "notes": []}
    assert path.read_text() == OLD
    assert os.listdir(folder) == ["mine.txt"] and os.listdir(staging) == []


@as_root
def test_unwritable_file_in_unwritable_folder_is_still_refused(tw, shared):
    folder = shared / "locked"
    folder.mkdir()
    path = folder / "theirs.txt"
    path.write_text("old")
    path.chmod(0o644)  # root's, readable by the other user, not writable
    result = replace_in_child(tw, path, "old", "new", user=[USER, GROUP], tmpdir=shared)
    assert result["errno"] == errno.EACCES
    assert path.read_text() == "old" and os.listdir(folder) == ["theirs.txt"]
