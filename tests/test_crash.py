"""A run or an undo killed at a random point (kill -9), then the next run or
undo: every file holds its old bytes or its new ones, never a mix, nothing
the user made is deleted, and the program's leftovers are gone."""
import os
import random
import shutil
import subprocess

import pytest

from conftest import tree
from crash_support import (kill_after, kill_when, leftovers, make_tree, mixed_files, names, rewriting_in_place,
                           time_it)
from run_support import UNDOABLE, need, probe  # noqa: F401

# Files with a second name are rewritten in place: those are the ones a kill
# can catch half written.
LINKED = [3 << 20] * 4
PLAIN = [64 << 10] * 8


def run_action(root):
    return f"probe.run('content', {str(root)!r}, 'old', 'new', True, {{'undoable': True}})"


@pytest.fixture(scope="module")
def run_seconds(probe, tmp_path_factory):
    root = tmp_path_factory.mktemp("timing")
    make_tree(root, LINKED, PLAIN)
    return time_it(probe, run_action(root))


@pytest.mark.parametrize("trial", range(12))
def test_a_run_killed_anywhere_is_settled_by_the_next_one(probe, tmp_path, run_seconds, trial):
    root = tmp_path / "chosen"
    expected = make_tree(root, LINKED, PLAIN)
    kill_after(probe, run_action(root), random.Random(trial).uniform(0, run_seconds * 1.2))
    assert names(root) >= set(expected)  # nothing of the user's deleted
    result, report = probe.run("content", str(root), "zzz", "x", True)  # settles what the record says
    assert result is None
    assert mixed_files(root, expected) == [] and leftovers(root) == []
    # The run cut short is undone exactly: what it did, it kept the old files of.
    probe.undo(str(root))
    assert all(open(root / name, "rb").read() == old for name, (old, _) in expected.items())


@pytest.mark.parametrize("trial", range(4))
def test_a_run_killed_halfway_through_a_rewrite_in_place_is_rolled_back(probe, tmp_path, state_folder, trial):
    root = tmp_path / "chosen"
    expected = make_tree(root, [24 << 20], [])
    old, new = expected["linked0.txt"]
    assert kill_when(probe, run_action(root), rewriting_in_place(state_folder, root / "linked0.txt", old))
    assert names(root) >= set(expected)
    result, report = probe.run("content", str(root), "zzz", "x", True)
    assert result is None and mixed_files(root, expected) == [] and leftovers(root) == []
    # Under either of its names, whichever the walk met first.
    settled = [note.rsplit("/", 1)[0].split("：")[0] for note in report["notes"] if "linked0.txt" in note]
    assert settled in (["上次替换在改写时中断，已从备份恢复原内容"], ["上次中断的替换已完成"])
    probe.undo(str(root))
    assert all(open(root / name, "rb").read() == old for name, (old, _) in expected.items())


@pytest.mark.parametrize("trial", range(3))
def test_an_undo_killed_halfway_through_putting_a_file_back_in_place_can_be_made_again(probe, tmp_path,
                                                                                      state_folder, trial):
    root = tmp_path / "chosen"
    expected = make_tree(root, [24 << 20], [])
    old, new = expected["linked0.txt"]
    assert probe.run("content", str(root), "old", "new", True, UNDOABLE)[0] is None
    assert kill_when(probe, f"probe.undo({str(root)!r})", rewriting_in_place(state_folder, root / "linked0.txt", new))
    # Settling rolls the cut-short rewrite back and the undo puts the old
    # content back; or, when the kill came after the last byte, settling
    # finds the undo already done and nothing is left to undo.
    report = probe.undo(str(root))
    assert report is None or (report["changed"] == 1 and report["passed_over"] == 0)
    assert mixed_files(root, expected) == [] and leftovers(root) == []
    assert all(open(root / name, "rb").read() == old for name, (old, _) in expected.items())


@pytest.mark.parametrize("trial", range(8))
def test_an_undo_killed_anywhere_can_be_made_again(probe, tmp_path, run_seconds, trial):
    root = tmp_path / "chosen"
    expected = make_tree(root, LINKED, PLAIN)
    assert probe.run("content", str(root), "old", "new", True, UNDOABLE)[0] is None
    kill_after(probe, f"probe.undo({str(root)!r})", random.Random(100 + trial).uniform(0, run_seconds))
    assert names(root) >= set(expected)
    probe.undo(str(root))  # settles the undo cut short, then does the rest
    assert mixed_files(root, expected) == [] and leftovers(root) == []
    assert all(open(root / name, "rb").read() == old for name, (old, _) in expected.items())


@pytest.fixture
def closed_folder(tmp_path):
    """A folder that refuses new entries while its files stay writable
    (immutable, even for root), so that its files are rewritten in place."""
    root = tmp_path / "chosen"
    root.mkdir()
    need(os.name == "posix" and os.geteuid() == 0 and shutil.which("chattr"), "needs root and chattr")
    yield root
    subprocess.run(["chattr", "-i", str(root)], check=False)


@pytest.mark.parametrize("trial", range(3))
def test_a_run_killed_rewriting_a_folder_closed_to_new_files_keeps_its_backups_in_the_state_folder(
        probe, tmp_path, state_folder, monkeypatch, closed_folder, trial):
    root = closed_folder
    # Large enough that a rewrite under way is seen before it ends, also
    # on a loaded machine.
    expected = make_tree(root, [], [24 << 20] * 3)
    subprocess.run(["chattr", "+i", str(root)], check=True)
    system_temp = tmp_path / "system-temp"
    system_temp.mkdir()
    monkeypatch.setenv("TMPDIR", str(system_temp))
    first = random.Random(200 + trial).randrange(3)
    old = expected[f"plain{first}.txt"][0]
    assert kill_when(probe, run_action(root), rewriting_in_place(state_folder, root / f"plain{first}.txt", old))
    assert names(root) == set(expected)
    result, report = probe.run("content", str(root), "zzz", "x", True)
    assert result is None and mixed_files(root, expected) == [] and leftovers(root) == []
    assert os.listdir(system_temp) == []
    probe.undo(str(root))
    assert all(open(root / name, "rb").read() == old for name, (old, _) in expected.items())


def rename_action(root, mode):
    return f"probe.run({mode!r}, {str(root)!r}, 'old', 'new', True, {{'undoable': True}})"


def make_names(root):
    """Folders holding a file each, all of whose names a rename run changes."""
    for top in range(3):
        for sub in range(500):
            folder = root / f"old_{top}" / f"old_{sub:03d}"
            folder.mkdir(parents=True)
            (folder / f"old_{sub}.txt").write_text(str(sub))
    return tree(root)


def renamed(root, mode, top, sub):
    """A condition: the run has renamed that item (files: beneath old
    folders; folders: beneath its renamed parent)."""
    if mode == "folders":
        return lambda: os.path.isdir(root / f"new_{top}" / f"new_{sub:03d}")
    return lambda: os.path.isfile(root / f"old_{top}" / f"old_{sub:03d}" / f"new_{sub}.txt")


# Renames are made on a thread of their own, ahead of the walk (folders) or
# while it decides the next ones (files): killed part-way, a run leaves only
# renames its record said, and undo puts back every one that was made.
@pytest.mark.parametrize("mode", ["folders", "files"])
@pytest.mark.parametrize("top, sub", [(0, 40), (0, 300), (1, 100)])
def test_a_rename_run_killed_part_way_is_undone_to_the_old_names(probe, tmp_path, mode, top, sub):
    root = tmp_path / "chosen"
    before = make_names(root)
    assert kill_when(probe, rename_action(root, mode), renamed(root, mode, top, sub))
    assert tree(root) != before
    probe.undo(str(root))
    assert tree(root) == before
    assert all((root / name).read_text() == name.split("_")[-1][:-4]
               for name in before if name.endswith(".txt"))
