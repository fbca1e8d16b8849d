"""Whole runs over real trees, as an unprivileged user so that permissions
hold: every processable item is processed, the rest is passed over or
recorded, nothing hangs, and the plan agrees with what the run then does."""
import os
import time

import pytest

from conftest import office_documents
from run_support import give_to_user, need, run_as_user, shared_tmp, probe  # noqa: F401

need(hasattr(os, "mkfifo") and hasattr(os, "setuid"), "needs a POSIX system")

OLD_TIME = time.time() - 20 * 60


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
    return path


def office_files(folder):
    office_documents(folder)
    write(folder / "plain.txt", "old")
    write(folder / "table.csv", "old,x\r\n")


def lock(path, mode):
    os.chmod(path, mode)


def note_path(note):
    for prefix in ("while replacing content in ", "while renaming ", "while listing "):
        if note.startswith(prefix):
            return note[len(prefix):]
    raise AssertionError(note)


@pytest.fixture
def content_tree(shared_tmp):
    base = os.path.join(shared_tmp, "base")
    from pathlib import Path
    base = Path(base)
    root = base / "chosen"
    write(root / "good.txt", "old text\n")
    write(root / "notes.md", "an old note")
    write(root / "table.csv", "old,x\r\n")
    write(root / "gbk.csv", "旧,old\r\n".encode("gbk"))
    write(root / "latin1.csv", "café,old\r\n".encode("latin-1"))
    write(root / "utf16.txt", "old text".encode("utf-16"))
    write(root / "picture.png", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR old")
    write(root / "memo.doc", "old")
    office_files(root)
    os.mkfifo(root / "pipe.txt")
    os.utime(write(root / ".termweave-stale01.tmp", "old"), (OLD_TIME, OLD_TIME))
    write(root / ".termweave-fresh01.tmp", "old")
    write(root / "readonly.txt", "old")
    write(root / "rofolder" / "inside.txt", "old")
    write(root / "unreadable" / "hidden.txt", "old")
    write(base / "outside" / "target.txt", "old outside")
    os.symlink("../outside/target.txt", root / "outside_link.txt")
    write(root / "good2.txt", "old two")
    os.symlink("good2.txt", root / "inside_link.txt")
    os.symlink("missing.txt", root / "dangling.txt")
    write(root / "sub" / "deeper.txt", "old deep")
    office_files(base / "warm")
    give_to_user(base)
    lock(root / "readonly.txt", 0o444)
    lock(root / "rofolder", 0o555)
    lock(root / "unreadable", 0o000)
    return base


def test_content_run_over_a_mixed_tree(probe, content_tree):
    root = content_tree / "chosen"
    record = run_as_user(probe, "content", str(root), "old", "new", warm_up=str(content_tree / "warm"))

    # Every processable file was fully processed.
    assert (root / "good.txt").read_bytes() == b"new text\n"
    assert (root / "notes.md").read_text() == "an new note"
    assert (root / "table.csv").read_bytes() == b"new,x\r\n"
    assert (root / "sub" / "deeper.txt").read_text() == "new deep"
    assert (root / "good2.txt").read_text() == "new two"
    assert (root / "utf16.txt").read_bytes() == "new text".encode("utf-16")
    assert (root / "gbk.csv").read_bytes() == "旧,new\r\n".encode("gbk")
    # A folder that refuses new files: its file is rewritten in place.
    assert (root / "rofolder" / "inside.txt").read_text() == "new"
    assert os.path.islink(root / "inside_link.txt")
    import docx
    import openpyxl
    import pptx
    assert docx.Document(root / "doc.docx").paragraphs[0].text == "the new plan"
    assert pptx.Presentation(root / "deck.pptx").slides[0].shapes[0].text == "new slide"
    assert openpyxl.load_workbook(root / "book.xlsx").active["A1"].value == "new cell"

    # Passed over, untouched; a file named like a temporary file of the
    # program is never deleted for its name, however old.
    assert (root / "picture.png").read_bytes().endswith(b" old")
    assert (root / "memo.doc").read_text() == "old"
    assert (root / ".termweave-fresh01.tmp").read_text() == "old"
    assert (root / ".termweave-stale01.tmp").read_text() == "old"
    assert (content_tree / "outside" / "target.txt").read_text() == "old outside"
    assert (root / "latin1.csv").read_bytes() == "café,old\r\n".encode("latin-1")
    assert (root / "readonly.txt").read_text() == "old"
    assert (root / "unreadable" / "hidden.txt").read_text() == "old"

    # One group, exactly the expected errors, in walk order, each naming its path.
    assert record["result"] == "ExceptionGroup"
    assert record["message"].startswith("3 of 22 files could not be changed, and 1 folder could not be read")
    errors = {e["notes"][-1]: e for e in record["errors"]}
    expected = {
        f"while replacing content in {root / 'latin1.csv'}": "UnicodeDecodeError",
        f"while replacing content in {root / 'readonly.txt'}": "PermissionError",
        f"while replacing content in {root / 'outside_link.txt'}": "PermissionError",
        f"while listing {root / 'unreadable'}": "PermissionError",
    }
    assert {note: e["type"] for note, e in errors.items()} == expected
    assert "outside the chosen folder" in errors[f"while replacing content in {root / 'outside_link.txt'}"]["text"]
    paths = [note_path(e["notes"][-1]) for e in record["errors"]]
    order = record["walk_order"]
    assert [order.index(p) for p in paths] == sorted(order.index(p) for p in paths)

    report = record["report"]
    # 22 files listed: 12 changed (good2.txt once, through itself or its
    # link), 6 passed over, 3 failed, and the second visit of good2.txt
    # found nothing left to replace.
    assert report == dict(record["report"], seen=22, changed=12, passed_over=6, failed=3, unlisted_folders=1)
    assert record["failures"] == record["errors"]

    # The plan saw the same tree, changed nothing, and agrees with the run.
    assert record["plan_changed_nothing"]
    plan = record["plan"]
    planned_failures = {i["problem"]["notes"][-1]: i["problem"]["type"] for i in plan if i["outcome"] == "failure"}
    assert planned_failures == expected
    planned = {os.path.realpath(i["path"]) for i in plan if i["outcome"] == "change"}
    changed = {os.path.realpath(root / n) for n in ("good.txt", "notes.md", "table.csv", "good2.txt",
                                                    "utf16.txt", "gbk.csv",
                                                    "sub/deeper.txt", "plain.txt", "rofolder/inside.txt")}
    office = {os.path.realpath(root / n) for n in ("doc.docx", "deck.pptx", "book.xlsx")}
    assert planned == changed | office
    passed = sorted((os.path.basename(i["path"]), i["reason"]) for i in plan if i["outcome"] == "passed_over")
    assert passed == [(".termweave-fresh01.tmp", "own_temporary"), (".termweave-stale01.tmp", "own_temporary"),
                      ("dangling.txt", "not_regular"), ("memo.doc", "old_format"),
                      ("picture.png", "binary"), ("pipe.txt", "not_regular")]


@pytest.fixture
def names_tree(shared_tmp):
    from pathlib import Path
    base = Path(shared_tmp) / "base"
    root = base / "chosen"
    for name in ("old_a.txt", "new_a.txt", "old_b.txt", "rofolder/old_c.txt",
                 "unreadable/old_d.txt", "sub/old_e.txt", ".termweave-old01.tmp"):
        write(root / name, name)
    os.utime(write(root / ".termweave-old02.tmp", "x"), (OLD_TIME, OLD_TIME))
    os.mkfifo(root / "old_pipe")
    give_to_user(base)
    lock(root / "rofolder", 0o555)
    lock(root / "unreadable", 0o000)
    return root


def test_file_names_over_a_tree_with_conflicts_and_locked_folders(probe, names_tree):
    root = names_tree
    record = run_as_user(probe, "files", str(root), "old", "new")
    listed = {os.path.relpath(os.path.join(p, n), root) for p, _, fs in os.walk(root) for n in fs}
    assert listed == {"old_a.txt", "new_a.txt", "new_b.txt", "rofolder/old_c.txt",
                      "unreadable/old_d.txt", "sub/new_e.txt", ".termweave-old01.tmp", ".termweave-old02.tmp",
                      "new_pipe"}
    assert (root / "new_a.txt").read_text() == "new_a.txt"
    assert (root / "sub" / "new_e.txt").read_text() == "sub/old_e.txt"

    assert record["message"].startswith("2 of 8 files could not be renamed, and 1 folder could not be read")
    kinds = [(e["type"], note_path(e["notes"][-1])) for e in record["errors"]]
    assert sorted(kinds) == sorted([("FileExistsError", str(root / "old_a.txt")),
                                    ("PermissionError", str(root / "rofolder" / "old_c.txt")),
                                    ("PermissionError", str(root / "unreadable"))])
    report = record["report"]
    assert report == dict(report, seen=8, changed=3, passed_over=2, failed=2, unlisted_folders=1)

    assert record["plan_changed_nothing"]
    plan = record["plan"]
    assert sorted((i["path"], i["new_path"]) for i in plan if i["outcome"] == "change") == sorted(
        (str(root / a), str(root / b)) for a, b in
        [("old_b.txt", "new_b.txt"), ("sub/old_e.txt", "sub/new_e.txt"), ("old_pipe", "new_pipe")])
    assert sorted((i["problem"]["type"], i["path"]) for i in plan if i["outcome"] == "failure") == sorted(kinds)
    assert [i["problem"]["text"] for i in plan if i["outcome"] == "failure"] == [
        e["text"] for e in record["errors"]]


@pytest.fixture
def folders_tree(shared_tmp):
    from pathlib import Path
    base = Path(shared_tmp) / "base"
    root = base / "chosen_old"
    for folder in ("old_x/old_y", "new_z", "old_z/old_w", "ro/old_v", "old_hidden/old_u"):
        (root / folder).mkdir(parents=True)
    give_to_user(base)
    lock(root / "ro", 0o555)
    lock(root / "old_hidden", 0o000)
    return root


def test_folder_names_over_a_tree_with_conflicts_and_locked_folders(probe, folders_tree):
    root = folders_tree
    record = run_as_user(probe, "folders", str(root), "old", "new")
    new_root = root.parent / "chosen_new"
    assert not root.exists()
    lock(new_root / "new_hidden", 0o755)
    found = {os.path.relpath(p, new_root) for p, _, _ in os.walk(new_root)}
    # old_z keeps its name and the walk renamed beneath it; the unreadable
    # folder was renamed but not entered; the locked folder's child stayed.
    assert found == {".", "new_x", "new_x/new_y", "new_z", "old_z", "old_z/new_w", "ro", "ro/old_v",
                     "new_hidden", "new_hidden/old_u"}

    assert record["message"].startswith("2 of 9 folders could not be renamed, and 1 folder could not be read")
    errors = [(e["type"], note_path(e["notes"][-1])) for e in record["errors"]]
    assert sorted(errors) == sorted([("FileExistsError", str(new_root / "old_z")),
                                     ("PermissionError", str(new_root / "ro" / "old_v")),
                                     ("PermissionError", str(new_root / "new_hidden"))])
    assert record["renamed_folders"][0] == [str(root), str(new_root)]
    report = record["report"]
    assert report == dict(report, seen=9, changed=5, passed_over=0, failed=2, unlisted_folders=1)

    # The plan lists the same renames in the same order, nested folders
    # under their parents' new names, and foresees the same failures.
    assert record["plan_changed_nothing"]
    plan = record["plan"]
    assert [[i["path"], i["new_path"]] for i in plan if i["outcome"] == "change"] == record["renamed_folders"]
    planned_failures = [(i["problem"]["type"], i["kind"]) for i in plan if i["outcome"] == "failure"]
    assert sorted(planned_failures) == sorted([("FileExistsError", "folder_name"),
                                               ("PermissionError", "folder_name"),
                                               ("PermissionError", "folder_listing")])


@pytest.mark.parametrize("mode", ["folders", "files", "content"])
def test_a_chosen_folder_that_cannot_be_read_is_reported(probe, shared_tmp, mode):
    from pathlib import Path
    root = Path(shared_tmp) / "locked"
    write(root / "old.txt", "old")
    give_to_user(Path(shared_tmp))
    lock(root, 0o000)
    record = run_as_user(probe, mode, str(root), "old", "new")
    lock(root, 0o755)
    assert record["message"] == "1 folder could not be read (1 sub-exception)"
    assert [(e["type"], e["notes"]) for e in record["errors"]] == [
        ("PermissionError", [f"while listing {root}"])]
    assert (root / "old.txt").read_text() == "old"
