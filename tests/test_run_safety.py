"""What keeps a run from harming what it was not asked to touch: one run at
a time on a folder, a file checked to be the one decided on whenever it is
opened or replaced, trees of any depth, files nobody may write, and backups
on another file system."""
import os
import signal
import stat
import subprocess
import sys
import time
import types

import pytest

import termweave_mira7
from run_support import UNDOABLE, need, probe  # noqa: F401

BUSY = "另一个替换正在处理此文件夹"


# ---- one run at a time -----------------------------------------------------------

HOLDING_CHILD = """
import os, sys, types
sys.path[:0] = [{probe_dir!r}]
import termweave_mira7, _termweave_probe as probe

def lstat(path, *args, **kwargs):
    if os.path.basename(path) == "a.txt":  # the run's look at its first file
        print("holding", flush=True)
        sys.stdin.read()  # until the test lets go
    return os.lstat(path, *args, **kwargs)

held = types.SimpleNamespace(**{{name: getattr(os, name) for name in dir(os) if not name.startswith("__")}})
held.lstat = lstat
termweave_mira7.os = held
probe.run("content", {root!r}, "old", "new", True, {{'undoable': True}})
print("done", flush=True)
"""


@pytest.fixture
def held(probe, tmp_path):
    """A run in another process that is working on tmp_path/chosen, held
    between two files until the test lets it go (or kills it)."""
    root = tmp_path / "chosen"
    (root / "sub").mkdir(parents=True)
    for name in ("a.txt", "sub/b.txt"):
        (root / name).write_text("old")
    child = subprocess.Popen([sys.executable, "-c", HOLDING_CHILD.format(
        probe_dir=os.path.dirname(probe.__file__), root=str(root))],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "holding\n"
    yield root, child
    if child.poll() is None:
        child.kill()
    child.wait()


def test_a_second_run_on_the_folder_inside_or_around_it_is_refused(probe, held, tmp_path):
    root, child = held
    (tmp_path / "beside").mkdir()
    for folder in (root, root / "sub", tmp_path):
        result, report = probe.run("files", str(folder), "old", "new", True)
        assert isinstance(result, RuntimeError) and str(result).startswith(BUSY)
        assert report["changed"] == 0
    assert isinstance(probe.undo(str(root)), RuntimeError)
    assert probe.run("files", str(tmp_path / "beside"), "old", "new", True)[0] is None
    child.stdin.close()
    assert child.stdout.read().split()[-1] == "done"
    assert probe.run("files", str(root), "zzz", "new", True)[0] is None  # free again


def test_the_folder_is_free_again_when_the_run_dies(probe, held):
    root, child = held
    child.send_signal(signal.SIGKILL)
    child.wait()
    result, report = probe.run("content", str(root), "old", "new", True)
    assert result is None and report["changed"] == 2


def test_a_file_renamed_by_another_program_before_its_move_is_not_recreated(tw, probe, monkeypatch, tmp_path):
    for name in ("a.txt", "b.txt"):
        (tmp_path / name).write_text("old")
    real = tw.replace_text_content

    def renamed_meanwhile(path, old, new):
        real(path, old, new)  # staged: its move waits for the batch
        if path.endswith("a.txt"):
            os.rename(path, path + ".renamed")
    monkeypatch.setattr(tw, "replace_text_content", renamed_meanwhile)
    result, report = probe.run("content", str(tmp_path), "old", "new", True)
    assert sorted(os.listdir(tmp_path)) == ["a.txt.renamed", "b.txt"]
    assert (tmp_path / "a.txt.renamed").read_text() == "old" and (tmp_path / "b.txt").read_text() == "new"
    (error,) = result.exceptions
    assert "changed while the run worked on it" in str(error) and error.filename == str(tmp_path / "a.txt")
    assert (report["changed"], report["failed"]) == (1, 1)


# ---- the file opened is the file decided on --------------------------------------

@pytest.fixture
def swap_after_probe(tw, monkeypatch):
    """Makes the run's look at `target` swap it for something else right
    after the look, as a racing program would."""
    def install(target, swap):
        swapped = []

        def lstat(path, *args, **kwargs):
            result = os.lstat(path, *args, **kwargs)
            if os.fspath(path) == str(target) and not swapped:
                swapped.append(path)
                swap()
            return result
        fake = types.SimpleNamespace(**{name: getattr(os, name) for name in dir(os) if not name.startswith("__")})
        fake.lstat = lstat
        monkeypatch.setattr(tw, "os", fake)
    return install


def office_file(path, kind):
    from conftest import office_documents
    office_documents(path.parent / "made")
    os.replace(path.parent / "made" / {"docx": "doc.docx", "pptx": "deck.pptx", "xlsx": "book.xlsx"}[kind], path)


@pytest.mark.parametrize("name", ["a.txt", "a.csv", "a.docx", "a.pptx", "a.xlsx"])
@pytest.mark.parametrize("swap_to", ["link outside", "pipe", "device"])
def test_a_file_swapped_after_the_look_is_never_followed(tw, swap_after_probe, tmp_path, name, swap_to):
    root = tmp_path / "chosen"
    root.mkdir()
    target = root / name
    outside = tmp_path / ("outside" + os.path.splitext(name)[1])
    if name.endswith("x"):
        office_file(target, name[-4:])
        office_file(outside, name[-4:])
    else:
        target.write_text("old,in")
        outside.write_text("old,out")
    kept = outside.read_bytes()

    def swap():
        target.unlink()
        if swap_to == "link outside":
            os.symlink(outside, target)
        elif swap_to == "pipe":
            os.mkfifo(target)
        else:
            os.symlink("/dev/zero", target)
    swap_after_probe(target, swap)
    started = time.monotonic()
    try:
        tw.replace_file_contents(str(root), "old", "new", True)
    except ExceptionGroup as group:
        (error,) = group.exceptions
        assert "changed while the run worked on it" in str(error)
    assert time.monotonic() - started < 30  # neither a pipe nor a device holds the run
    assert outside.read_bytes() == kept
    assert os.path.islink(target) or stat.S_ISFIFO(os.lstat(target).st_mode)


# ---- trees of any depth -------------------------------------------------------------

@pytest.fixture
def deep_root(tmp_path):
    """Where a tree too deep for os.walk and shutil.rmtree goes; removed
    afterwards by hand."""
    root = tmp_path / "deep"
    yield root
    stack, found = [str(root)], []
    while stack:
        folder = stack.pop()
        found.append(folder)
        for entry in os.scandir(folder):
            if entry.is_dir(follow_symlinks=False):
                stack.append(entry.path)
            else:
                os.unlink(entry.path)
    for folder in reversed(found):
        os.rmdir(folder)


@pytest.mark.parametrize("mode, changed", [("folders", 1), ("files", 2), ("content", 2)])
def test_a_tree_deeper_than_the_recursion_limit_is_walked_whole(probe, deep_root, mode, changed):
    root = deep_root
    bottom = str(root)
    for name in ["d"] * 1200 + ["old"]:  # os.makedirs itself recurses
        bottom = os.path.join(bottom, name)
        os.makedirs(bottom)
    bottom = os.path.dirname(bottom)
    for folder in (bottom, str(root)):
        with open(os.path.join(folder, "old.txt"), "w") as file:
            file.write("old")
    result, report = probe.run(mode, str(root), "old", "new", True)
    assert result is None and report["changed"] == changed
    assert os.path.isdir(os.path.join(bottom, "new" if mode == "folders" else "old"))
    name = "new.txt" if mode == "files" else "old.txt"
    with open(os.path.join(bottom, name)) as file:
        assert file.read() == ("new" if mode == "content" else "old")


# ---- files nobody may write -----------------------------------------------------------

@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="runs as root")
def test_running_as_root_a_file_nobody_may_write_is_left_and_reported(probe, tmp_path):
    (tmp_path / "locked.txt").write_text("old")
    (tmp_path / "locked.txt").chmod(0o444)
    (tmp_path / "open.txt").write_text("old")
    items, _ = probe.plan("content", str(tmp_path), "old", "new", True)
    planned = {os.path.basename(i["path"]): (i["outcome"], i["problem"] and type(i["problem"])) for i in items}
    assert planned == {"locked.txt": ("failure", PermissionError), "open.txt": ("change", None)}
    result, report = probe.run("content", str(tmp_path), "old", "new", True)
    (error,) = result.exceptions
    assert isinstance(error, PermissionError) and error.filename == str(tmp_path / "locked.txt")
    assert (tmp_path / "locked.txt").read_text() == "old" and (tmp_path / "open.txt").read_text() == "new"


def test_the_preview_shows_other_names_of_a_file(probe, tmp_path):
    (tmp_path / "a.txt").write_text("old")
    os.link(tmp_path / "a.txt", tmp_path / "elsewhere.txt")
    os.link(tmp_path / "a.txt", tmp_path / "third.txt")
    (tmp_path / "single.txt").write_text("old")
    items, _ = probe.plan("content", str(tmp_path), "old", "new", False)
    links = {os.path.basename(i["path"]): i["other_links"] for i in items}
    assert links == {"a.txt": 2, "elsewhere.txt": 2, "third.txt": 2, "single.txt": 0}
    copies = {os.path.basename(i["path"]): i["backup_copy_bytes"] for i in items}
    # One file, rewritten in place once for all its names: its copy counts once.
    assert sorted(copies.values()) == [0, 0, 0, 3] and copies["single.txt"] == 0


# ---- backups on another file system ---------------------------------------------------

@pytest.fixture
def mounted(tmp_path):
    """A folder on a file system of its own (a small tmpfs)."""
    need(os.name == "posix" and os.geteuid() == 0, "mounting a file system needs root")
    folder = tmp_path / "mounted"
    folder.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tw-test", str(folder)],
                          capture_output=True, text=True)
    need(done.returncode == 0, f"cannot mount a tmpfs here: {done.stderr}")
    yield folder
    subprocess.run(["umount", "-l", str(folder)], check=True)


def contents(folder):
    return {os.path.join(p, n): open(os.path.join(p, n), "rb").read()
            for p, _, names in os.walk(folder) for n in names}


def test_backups_on_another_file_system_cost_no_copy_and_are_never_walked(probe, mounted):
    root = mounted / "chosen"
    root.mkdir()
    (root / "a.txt").write_text("old a")
    (root / "b.txt").write_text("old b")
    probe.run("content", str(root), "old", "new", True, UNDOABLE)
    backups = root / ".termweave-undo"
    kept = contents(backups)
    assert sorted(kept.values()) == [b"old a", b"old b"]
    assert all(os.stat(path).st_nlink == 1 for path in kept)  # the old files themselves
    # Runs over the folder neither count nor touch what is kept there.
    assert probe.run("folders", str(root), "undo", "x", True)[1]["changed"] == 0
    assert probe.run("content", str(root), "old", "x", True)[1]["seen"] == 2
    assert contents(backups) == kept
    # The next run that changes something outdates them.
    assert probe.run("files", str(root), "b", "c", True)[1]["changed"] == 1
    assert not backups.exists()


def test_undo_of_files_on_other_file_systems(probe, mounted):
    root = mounted / "chosen"
    (root / "inner").mkdir(parents=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tw-inner", str(root / "inner")])
    need(done.returncode == 0, "cannot mount a second tmpfs here")
    try:
        (root / "a.txt").write_text("old a")
        (root / "inner" / "b.txt").write_text("old b")  # no second name possible: copied
        items, _ = probe.plan("content", str(root), "old", "new", True)
        assert {os.path.basename(i["path"]): i["backup_copy_bytes"] for i in items} == {"a.txt": 0, "b.txt": 5}
        probe.run("content", str(root), "old", "new", True, UNDOABLE)
        assert probe.undo(str(root))["changed"] == 2
        assert (root / "a.txt").read_text() == "old a" and (root / "inner" / "b.txt").read_text() == "old b"
    finally:
        subprocess.run(["umount", "-l", str(root / "inner")])
