"""The syncs the module itself makes, counted with strace in a child: no new
file moves over an original before its data is synced, the run's record
says what may happen before it happens, and every folder a run renamed in
is synced after its renames."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import termweave_mira7
from run_support import need, probe  # noqa: F401

TRACED = "fsync,fdatasync,syncfs,openat,rename,renameat,renameat2,link,linkat,pwrite64,write"
# pid name(args) = result, the descriptors shown with their paths (-yy).
CALL = re.compile(r"^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)")
FD_PATH = re.compile(r"^\d+<(.*)>$")
# A call another thread interrupted: its start, and where it resumes.
UNFINISHED = re.compile(r"^(\d+\s+.*) <unfinished \.\.\.>$")
RESUMED = re.compile(r"^(\d+)\s+<\.\.\. \w+ resumed>(.*)$")


def joined(lines):
    """The lines with each interrupted call put together again, where it
    ended (its result is known only then)."""
    started = {}
    for line in lines:
        if found := UNFINISHED.match(line):
            started[line.split()[0]] = found.group(1)
        elif found := RESUMED.match(line):
            yield started.pop(found.group(1), "") + found.group(2)
        else:
            yield line


def quoted(arg):
    return arg.strip().strip('"')


def fd_path(arg):
    found = FD_PATH.match(arg.strip())
    return found.group(1) if found else None


def parse(line):
    """(call, paths) for a call that succeeded, else None."""
    found = CALL.match(line)
    if not found or int(found.group(3)) < 0:
        return None
    call, args = found.group(1), [a.strip() for a in found.group(2).split(", ")]
    if call in ("fsync", "fdatasync", "syncfs", "pwrite64"):
        return call, [fd_path(args[0])]
    if call == "write":  # only what is written to a run's record
        path = fd_path(args[0])
        return (call, [path, found.group(2)]) if is_record(path) else None
    if call == "openat":  # the path, and whether it was opened for writing
        return call, [quoted(args[1]), "O_WRONLY" in args[2] or "O_RDWR" in args[2]]
    if call in ("rename", "link"):
        return call, [quoted(args[0]), quoted(args[1])]
    if call in ("renameat", "renameat2", "linkat"):
        return call.rstrip("2").replace("renameat", "rename").replace("linkat", "link"), [quoted(args[1]),
                                                                                           quoted(args[3])]
    return None


def traced(tmp_path, script):
    """The calls that `script` (Python, with `tw` the module) makes, in order."""
    need(shutil.which("strace"), "strace is not available")
    log = tmp_path / "trace.txt"
    program = f"import sys; sys.path.insert(0, {os.path.dirname(termweave_mira7.__file__)!r})\n" \
              f"import termweave_mira7 as tw\n{script}"
    done = subprocess.run(["strace", "-f", "-qq", "-yy", "-s", "100000", "-e", f"trace={TRACED}", "-o", str(log),
                           sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    need(done.returncode == 0 or "ptrace" not in done.stderr, f"strace cannot trace here: {done.stderr}")
    assert done.returncode == 0, done.stderr
    return [call for call in map(parse, joined(log.read_text().splitlines())) if call]


def is_temp(path):
    return os.path.basename(path).startswith(".termweave-")


def is_record(path):
    return path is not None and path.endswith("/record") and "termweave_mira7/runs/" in path


def check_moves(calls):
    """Every new file moved over an original: its data synced after it was
    last opened for writing and before the move (on its own, or by a sync of
    its file system), and the record synced between the sync and the move.
    Returns the moves."""
    moves = []
    for at, (call, args) in enumerate(calls):
        if call != "rename" or not is_temp(args[0]):
            continue
        written = max(i for i, (c, a) in enumerate(calls[:at]) if c == "openat" and a == [args[0], True])
        synced = [i for i, (c, a) in enumerate(calls[written:at], written)
                  if (c in ("fsync", "fdatasync") and a[0] == args[0]) or c == "syncfs"]
        assert synced, f"{args[0]} moved over {args[1]} before its data was synced"
        assert any(c == "fsync" and is_record(a[0]) for c, a in calls[synced[0]:at]), \
            f"{args[1]} replaced before the run's record said so"
        moves.append((at, args[1]))
    return moves


def check_folders_synced(calls, renamed):
    """Each folder something was renamed into is synced after its last
    rename: on its own, or by a sync of its file system (these tests keep
    everything on one)."""
    for folder in {os.path.dirname(path) for _, path in renamed}:
        last = max(at for at, path in renamed if os.path.dirname(path) == folder)
        assert any((c == "fsync" and a[0] == folder) or c == "syncfs" for c, a in calls[last:]), \
            f"{folder} not synced after renames"


def make(root, names):
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("old")


# One batch holds the files of several folders: here one for the whole run,
# or three for 300 files (two of them syncing while the run goes on).
@pytest.mark.parametrize("files, file_system_syncs", [(2, 0), (12, 1), (300, 3)])
def test_a_content_run_syncs_each_file_before_its_move_and_each_folder_after(tmp_path, files, file_system_syncs):
    root = tmp_path / "chosen"
    make(root, [f"f{i}.txt" for i in range(files // 2)] + [f"sub/g{i}.txt" for i in range(files // 2)])
    calls = traced(tmp_path, f"tw.replace_file_contents({str(root)!r}, 'old', 'new', True)")
    moves = check_moves(calls)
    assert sorted(os.path.relpath(path, root) for _, path in moves) == sorted(
        str(p.relative_to(root)) for p in root.rglob("*.txt"))
    check_folders_synced(calls, moves)
    file_syncs = [a[0] for c, a in calls if c == "fsync" and a[0] and is_temp(a[0])]
    # Fewer than four files on a file system are synced one by one; more, by
    # one sync of the file system per batch (ext4 and the like).
    if [c for c, _ in calls if c == "syncfs"]:
        assert (len([c for c, _ in calls if c == "syncfs"]), len(file_syncs)) == (file_system_syncs, 0)
    else:
        assert len(file_syncs) == files
    for folder in (root, root / "sub"):
        assert [a[0] for c, a in calls if c == "fsync"].count(str(folder)) == 1  # once for the run


def test_a_run_that_keeps_undo_links_each_old_file_before_it_moves(probe, tmp_path):
    root = tmp_path / "chosen"
    make(root, ["a.txt", "b.txt"])
    calls = traced(tmp_path, f"""
sys.path.insert(0, {os.path.dirname(probe.__file__)!r})
import _termweave_probe as probe
probe.run("content", {str(root)!r}, "old", "new", True, {{'undoable': True}})""")
    for at, target in check_moves(calls):
        linked = [i for i, (c, a) in enumerate(calls[:at]) if c == "link" and a[0] == target]
        assert linked, f"{target} replaced without its old file kept"
        backups = os.path.dirname(calls[linked[-1]][1][1])
        assert any(c == "fsync" and a[0] == backups for c, a in calls[linked[-1]:at])


def test_a_rewrite_in_place_syncs_its_backup_and_the_record_before_its_first_write(tmp_path):
    root = tmp_path / "chosen"
    make(root, ["a.txt"])
    os.link(root / "a.txt", root / "b.txt")
    calls = traced(tmp_path, f"tw.replace_file_contents({str(root)!r}, 'old', 'new', False)")
    target = str(root / "a.txt")
    writes = [i for i, (c, a) in enumerate(calls) if c == "pwrite64" and a[0] in (target, str(root / "b.txt"))]
    assert writes, "the file was not rewritten in place"
    before = calls[:writes[0]]
    backup = [a[0] for c, a in before if c == "pwrite64" and "termweave_mira7/runs/" in (a[0] or "")]
    assert backup and any(c == "fsync" and a[0] == backup[-1] for c, a in before), "backup not synced first"
    synced_record = [i for i, (c, a) in enumerate(before) if c == "fsync" and is_record(a[0])]
    assert synced_record and synced_record[-1] > max(i for i, (c, a) in enumerate(before) if a[0] == backup[-1])
    assert any(c == "fsync" and a[0] in (target, str(root / "b.txt")) for c, a in calls[writes[-1]:])


@pytest.mark.parametrize("operation, names", [
    ("replace_file_names", ["old_a.txt", "old_b.txt", "sub/old_c.txt"]),
    ("replace_folder_names", ["old_x/old_y/f.txt", "old_z/f.txt"]),
    # Renames in a few folders, each folder synced; in many, one sync of the
    # file system where it covers them.
    ("replace_file_names", [f"d{i}/old_{i}.txt" for i in range(5)]),
    ("replace_file_names", [f"d{i}/old_{i}.txt" for i in range(40)]),
    # Batches said to the record while the one before is being made.
    ("replace_file_names", [f"old_{i}.txt" for i in range(600)]),
    # Subfolders renamed ahead of the walk while it visits beneath others.
    ("replace_folder_names", [f"old_{t}/old_{s}/f.txt" for t in range(3) for s in range(40)]),
])
def test_a_rename_run_records_each_rename_first_and_syncs_each_folder_after(tmp_path, operation, names):
    root = tmp_path / "chosen"
    make(root, names)
    calls = traced(tmp_path, f"tw.{operation}({str(root)!r}, 'old', 'new', True)")
    renames = [(at, a) for at, (c, a) in enumerate(calls) if c == "rename"]
    folders = {"/".join(name.split("/")[:depth]) for name in names for depth in range(1, name.count("/") + 1)}
    assert len(renames) == len(names if operation == "replace_file_names" else folders)
    for at, (src, dst) in renames:
        said = [i for i, (c, a) in enumerate(calls[:at]) if c == "write" and f"rename " in a[1] and src in a[1]]
        assert said, f"{src} renamed before the run's record said so"
        assert any(c == "fsync" and is_record(a[0]) for c, a in calls[said[-1]:at]), "record not synced first"
    check_folders_synced(calls, [(at, a[1]) for at, a in renames])
