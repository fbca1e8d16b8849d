"""Undo of the last run from its record: every kind of change put back
exactly, what changed since left alone with its reason, and which records
are kept."""
import os
import subprocess
import sys

import pytest

from conftest import office_documents, tree
from run_support import UNDOABLE, probe  # noqa: F401


def files(root):
    """Every file under root with its bytes."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = open(path, "rb").read()
    return found


@pytest.fixture
def mixed(tmp_path):
    """A folder of every kind of file the content run handles, one of them
    with a second name elsewhere in the folder."""
    root = tmp_path / "chosen"
    (root / "sub").mkdir(parents=True)
    (root / "notes.txt").write_bytes(b"an old line\r\nanother old one\r\n")
    (root / "table.csv").write_bytes(b"old,1\r\n\"old, quoted\",2\r\n")
    (root / "sub" / "linked.txt").write_bytes(b"old and linked")
    os.link(root / "sub" / "linked.txt", root / "second-name.txt")
    (root / "same.txt").write_bytes(b"nothing to see")
    office_documents(root / "office")
    return root


def test_a_content_run_is_undone_byte_for_byte(probe, mixed):
    before = files(mixed)
    result, report = probe.run("content", str(mixed), "old", "new", True, UNDOABLE)
    # The linked file is rewritten in place under its first name: its second
    # name then holds nothing left to replace.
    assert result is None and report["changed"] == 6
    assert files(mixed) != before
    items, notes = probe.undo_plan(str(mixed))
    assert notes == [] and {item["outcome"] for item in items} == {"change"}
    assert {item["kind"] for item in items} == {"content_restore"}
    report = probe.undo(str(mixed))
    assert report["changed"] == len(items) and report["failed"] == report["passed_over"] == 0
    assert files(mixed) == before
    assert os.stat(mixed / "second-name.txt").st_ino == os.stat(mixed / "sub" / "linked.txt").st_ino
    # Undone once: nothing is left to undo, whatever the folder field says.
    assert probe.undo_plan(str(mixed))[0] is None
    assert probe.undo(str(mixed)) is None and probe.undo("") is None


def test_a_file_replaced_by_a_new_one_gets_its_own_file_back(probe, tmp_path):
    (tmp_path / "a.txt").write_text("old")
    os.utime(tmp_path / "a.txt", ns=(1_000_000_000, 1_000_000_000))
    original = os.stat(tmp_path / "a.txt")
    probe.run("content", str(tmp_path), "old", "new", True, UNDOABLE)
    assert os.stat(tmp_path / "a.txt").st_ino != original.st_ino
    probe.undo(str(tmp_path))
    back = os.stat(tmp_path / "a.txt")
    assert (back.st_ino, back.st_mtime_ns) == (original.st_ino, original.st_mtime_ns)


def test_nested_folder_renames_are_undone_in_reverse(probe, tmp_path):
    root = tmp_path / "old_top"
    (root / "old_a" / "old_b").mkdir(parents=True)
    (root / "old_a" / "old_b" / "old.txt").write_text("kept")
    (root / "keep").mkdir()
    before = tree(tmp_path)
    probe.run("folders", str(root), "old", "new", True, UNDOABLE)
    assert tree(tmp_path) == {"new_top/", "new_top/new_a/", "new_top/new_a/new_b/", "new_top/keep/",
                              "new_top/new_a/new_b/old.txt"}
    items, _ = probe.undo_plan(str(tmp_path / "new_top"))  # the chosen folder where it is now
    assert [(os.path.relpath(i["path"], tmp_path), os.path.relpath(i["new_path"], tmp_path)) for i in items] == [
        ("new_top/new_a/new_b", "new_top/new_a/old_b"), ("new_top/new_a", "new_top/old_a"),
        ("new_top", "old_top")]
    assert probe.undo(str(tmp_path / "new_top"))["changed"] == 3
    assert tree(tmp_path) == before


def test_file_renames_are_undone_and_never_over_a_name_taken_again(probe, tmp_path):
    for name in ("old_a.txt", "old_b.txt", "old_c.txt"):
        (tmp_path / name).write_text(name)
    probe.run("files", str(tmp_path), "old", "new", True, UNDOABLE)
    (tmp_path / "old_b.txt").write_text("made since")   # the old name taken again
    os.rename(tmp_path / "new_c.txt", tmp_path / "moved.txt")  # moved away since
    items, _ = probe.undo_plan(str(tmp_path))
    reasons = {os.path.basename(i["path"]): (i["outcome"], i["reason"]) for i in items}
    assert reasons == {"new_a.txt": ("change", ""), "new_b.txt": ("passed_over", "name_taken"),
                       "new_c.txt": ("passed_over", "moved_since")}
    report = probe.undo(str(tmp_path))
    assert (report["changed"], report["passed_over"]) == (1, 2)
    assert sorted(os.listdir(tmp_path)) == ["moved.txt", "new_b.txt", "old_a.txt", "old_b.txt"]
    assert (tmp_path / "old_b.txt").read_text() == "made since"


@pytest.mark.parametrize("change", ["rewritten", "same size and time", "deleted"])
def test_a_file_changed_after_the_run_is_left_alone_and_named(probe, tmp_path, change):
    for name in ("a.txt", "b.txt"):
        (tmp_path / name).write_text("old text")
    probe.run("content", str(tmp_path), "old", "new", True, UNDOABLE)
    edited = tmp_path / "a.txt"
    if change == "rewritten":
        edited.write_text("edited by hand")
    elif change == "same size and time":  # only the checksum tells
        info = os.stat(edited)
        with open(edited, "r+b") as file:
            file.write(b"N")
        os.utime(edited, ns=(info.st_atime_ns, info.st_mtime_ns))
    else:
        edited.unlink()
    items, _ = probe.undo_plan(str(tmp_path))
    left = [(os.path.basename(i["path"]), i["reason"]) for i in items if i["outcome"] == "passed_over"]
    assert left == [("a.txt", "moved_since" if change == "deleted" else "edited_since")]
    probe.undo(str(tmp_path))
    assert (tmp_path / "b.txt").read_text() == "old text"
    assert not edited.exists() if change == "deleted" else edited.read_text() != "old text"


def test_undo_works_after_the_program_restarts(probe, tmp_path):
    (tmp_path / "a.txt").write_text("old")
    child = f"""
import sys
sys.path[:0] = {[os.path.dirname(probe.__file__)]!r}
import termweave_mira7, _termweave_probe as probe
print(probe.run("content", {str(tmp_path)!r}, "old", "new", True, {{'undoable': True}})[0])
"""
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == ["None"], done.stderr
    assert (tmp_path / "a.txt").read_text() == "new"
    assert probe.undo("")["changed"] == 1  # the last run of all, from this process
    assert (tmp_path / "a.txt").read_text() == "old"


def record_folders(state_folder):
    runs = state_folder / "termweave_mira7" / "runs"
    return sorted(os.listdir(runs)) if runs.exists() else []


def test_which_records_are_kept(probe, tmp_path, state_folder):
    folders = [tmp_path / f"f{i}" for i in range(12)]
    for folder in folders:
        folder.mkdir()
        (folder / "a.txt").write_text("old")
    probe.run("content", str(folders[0]), "old", "new", True, UNDOABLE)
    first = record_folders(state_folder)
    assert len(first) == 1
    # A run that changes nothing leaves the folder's record as it was; one
    # made without undo leaves none of its own.
    probe.run("content", str(folders[0]), "zzz", "y", True, UNDOABLE)
    probe.run("content", str(folders[1]), "old", "new", True)
    assert record_folders(state_folder) == first
    # The next run on the folder that changes something replaces its record.
    probe.run("content", str(folders[0]), "new", "newer", True, UNDOABLE)
    second = record_folders(state_folder)
    assert len(second) == 1 and second != first
    for folder in folders[2:]:
        probe.run("content", str(folder), "old", "new", True, UNDOABLE)
    kept = record_folders(state_folder)
    assert len(kept) == 10 and second[0] not in kept  # the oldest goes first
    assert probe.undo_plan(str(folders[0]))[0] is None


def test_a_run_without_undo_removes_its_backups(probe, tmp_path, state_folder):
    (tmp_path / "a.txt").write_text("old")
    os.link(tmp_path / "a.txt", tmp_path / "b.txt")  # rewritten in place, with a backup first
    probe.run("content", str(tmp_path), "old", "new", True)
    assert (tmp_path / "b.txt").read_text() == "new"
    assert record_folders(state_folder) == []
