import os
import shutil
import stat
import subprocess
import sys

import pytest

from conftest import unavailable

posix_only = pytest.mark.skipif(os.name != "posix", reason="needs POSIX resource limits and modes")

# Run in a child: the file-size limit must not reach the test process.
CHILD = """
import resource, signal, sys
import termweave_mira7
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
try:
    getattr(termweave_mira7, sys.argv[1])(sys.argv[2], "old", "much longer new text")
except OSError as error:
    print(type(error).__name__, error.errno)
"""


def strays(folder):
    return [name for name in os.listdir(folder) if name.startswith(".termweave-")]


@posix_only
@pytest.mark.parametrize("function, name, data", [
    ("replace_text_content", "big.txt", b"old line\n" * 2000),
    ("replace_csv_content", "big.csv", b"old,cell\r\n" * 2000),
])
def test_write_failing_half_way_keeps_original(tw, tmp_path, function, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tw.__file__))
    done = subprocess.run([sys.executable, "-c", CHILD, function, str(path)],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == ["OSError", "27"], done.stderr  # EFBIG
    assert path.read_bytes() == data
    assert strays(tmp_path) == []


def unprivileged():
    """Command prefix under which file modes bind (root loses its override)."""
    if os.geteuid() != 0:
        return []
    if not shutil.which("setpriv"):
        unavailable("setpriv is missing: root's file-permission override cannot be dropped")
    return ["setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner"]


READ_ONLY = """
import sys, termweave_mira7
try:
    getattr(termweave_mira7, sys.argv[1])(sys.argv[2], "old", "new")
except PermissionError:
    print("refused")
"""


@posix_only
@pytest.mark.parametrize("function, name", [("replace_text_content", "f.txt"), ("replace_csv_content", "f.csv")])
def test_read_only_file_is_refused_not_replaced(tw, tmp_path, function, name):
    path = tmp_path / name
    path.write_bytes(b"old\n")
    path.chmod(0o444)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tw.__file__))
    done = subprocess.run(unprivileged() + [sys.executable, "-c", READ_ONLY, function, str(path)],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "refused", done.stderr
    assert path.read_bytes() == b"old\n"
    assert strays(tmp_path) == []


@posix_only
def test_permission_bits_are_kept(tw, tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("old")
    path.chmod(0o640)
    tw.replace_text_content(str(path), "old", "new")
    assert path.read_text() == "new"
    assert stat.S_IMODE(path.stat().st_mode) == 0o640


def test_symlink_stays_a_link_and_its_target_changes(tw, tmp_path):
    target = tmp_path / "real" / "f.txt"
    target.parent.mkdir()
    target.write_text("old")
    link = tmp_path / "link.txt"
    try:
        link.symlink_to(target)
    except OSError:
        unavailable("symbolic links are not permitted here")
    tw.replace_text_content(str(link), "old", "new")
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_text() == "new"
    assert strays(tmp_path) == [] and strays(target.parent) == []


@posix_only
def test_replacement_is_a_new_file_not_an_overwrite(tw, tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("old")
    with open(path) as held:  # a reader that opened before the rewrite
        tw.replace_text_content(str(path), "old", "new")
        assert held.read() == "old"
    assert path.read_text() == "new"
    assert strays(tmp_path) == []


@pytest.mark.skipif(not hasattr(os, "mknod") or os.geteuid() != 0, reason="needs root for mknod")
def test_a_device_behind_a_link_is_not_swapped_for_a_file(tw, tmp_path):
    device = tmp_path / "null"
    os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    os.symlink(device, tmp_path / "notes.txt")
    with pytest.raises(OSError):
        tw.replace_text_content(str(tmp_path / "notes.txt"), "*", "text")
    assert stat.S_ISCHR(os.lstat(device).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["notes.txt", "null"]
