"""Folder renaming: own names only, parents first, never replacing anything."""
import os
import re
import threading

import pytest

from conftest import tree
from run_support import UNDOABLE, probe  # noqa: F401


@pytest.fixture
def tmp_path(tmp_path):
    # pytest names the folder after the test, and names such as "folder" hold "old".
    work = tmp_path / "w"
    work.mkdir()
    return work


@pytest.fixture
def root(tmp_path):
    base = tmp_path / "old_root"
    for folder in ("old_a/old_b/old_c", "keep/old_d", "new_x"):
        (base / folder).mkdir(parents=True)
    (base / "old_a" / "old_b" / "old.txt").write_text("data")
    return base


def test_recursive_renames_every_level_parents_first(tw, root, tmp_path):
    tw.replace_folder_names(str(root), "old", "new", True)
    renamed = tmp_path / "new_root"
    assert not root.exists()
    assert tree(renamed) == {"new_a/", "new_a/new_b/", "new_a/new_b/new_c/", "new_a/new_b/old.txt",
                             "keep/", "keep/new_d/", "new_x/"}
    assert (renamed / "new_a/new_b/old.txt").read_text() == "data"


def test_non_recursive_handles_only_the_chosen_folder(tw, root, tmp_path):
    tw.replace_folder_names(str(root), "old", "new", False)
    assert tree(tmp_path / "new_root") == {"old_a/", "old_a/old_b/", "old_a/old_b/old_c/",
                                          "old_a/old_b/old.txt", "keep/", "keep/old_d/", "new_x/"}
    plain = tmp_path / "plain"
    (plain / "old_sub").mkdir(parents=True)
    tw.replace_folder_names(str(plain), "old", "new", 0)
    assert (plain / "old_sub").is_dir()


def test_names_above_the_chosen_folder_are_never_changed(tw, tmp_path):
    chosen = tmp_path / "data" / "bin"
    chosen.mkdir(parents=True)
    (chosen / "sub").mkdir()
    # "a*b" would span "data/bin" if whole paths were searched.
    tw.replace_folder_names(str(tmp_path / "data"), "a*b", "X", True)
    assert tree(tmp_path) == {"data/", "data/bin/", "data/bin/sub/"}
    tw.replace_folder_names(str(chosen), "data", "moved", True)
    assert tree(tmp_path) == {"data/", "data/bin/", "data/bin/sub/"}


def test_an_existing_target_is_never_replaced(tw, tmp_path):
    (tmp_path / "new_a").mkdir()
    (tmp_path / "new_a" / "precious.txt").write_text("keep me")
    (tmp_path / "old_a" / "old_inner").mkdir(parents=True)
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_folder_names(str(tmp_path), "old", "new", True)
    assert str(info.value).startswith("1 of 4 folders could not be renamed")
    (error,) = info.value.exceptions
    assert isinstance(error, FileExistsError) and "target exists" in str(error)
    assert error.filename.endswith("old_a") and error.filename2.endswith("new_a")
    assert error.__notes__ == [f"while renaming {tmp_path / 'old_a'}"]
    # the folder keeps its name and the walk goes on beneath it
    assert tree(tmp_path) == {"new_a/", "new_a/precious.txt", "old_a/", "old_a/new_inner/"}


def test_an_empty_target_folder_is_not_replaced_either(tw, tmp_path):
    (tmp_path / "new_a").mkdir()
    (tmp_path / "old_a").mkdir()
    (tmp_path / "old_a" / "f").write_text("x")
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_folder_names(str(tmp_path), "old", "new", True)
    assert [type(e) for e in info.value.exceptions] == [FileExistsError]
    assert tree(tmp_path) == {"new_a/", "old_a/", "old_a/f"}


def test_two_folders_claiming_one_name(tw, tmp_path):
    for name in ("d1", "d2"):
        (tmp_path / name / "old").mkdir(parents=True)
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_folder_names(str(tmp_path), r"\d|old", "N", True)
    (error,) = info.value.exceptions
    assert "two items would get the same name" in str(error)
    assert tree(tmp_path) in ({"dN/", "dN/N/", "d2/", "d2/N/"}, {"dN/", "dN/N/", "d1/", "d1/N/"})


@pytest.mark.parametrize("old, new", [("abc", "abc"), ("b", r"\g<0>")])
def test_a_substitution_giving_the_same_name_changes_nothing(tw, tmp_path, old, new):
    (tmp_path / "abc").mkdir()
    tw.replace_folder_names(str(tmp_path), old, new, True)
    assert tree(tmp_path) == {"abc/"}


@pytest.mark.parametrize("new_keyword", ["", "..", "x/y", "."])
def test_new_names_that_are_not_plain_names_are_refused(tw, tmp_path, new_keyword):
    (tmp_path / "old" / "old").mkdir(parents=True)
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_folder_names(str(tmp_path), "old", new_keyword, True)
    assert [type(e) for e in info.value.exceptions] == [ValueError] * 2
    assert all("old" in str(e) for e in info.value.exceptions)
    assert tree(tmp_path) == {"old/", "old/old/"}


def test_bad_keyword_or_template_changes_nothing(tw, root, tmp_path):
    before = tree(tmp_path)
    with pytest.raises(re.error):
        tw.replace_folder_names(str(root), "ab(", "x", True)
    with pytest.raises(re.error):
        tw.replace_folder_names(str(root), "old", r"\q", True)
    assert tree(tmp_path) == before


def test_templates_expand_and_trailing_separators_are_accepted(tw, tmp_path):
    (tmp_path / "report_2023" / "draft_2023").mkdir(parents=True)
    tw.replace_folder_names(str(tmp_path / "report_2023") + os.sep, r"(\d+)", r"FY\1", True)
    assert tree(tmp_path) == {"report_FY2023/", "report_FY2023/draft_FY2023/"}


def test_links_to_folders_are_not_followed(tw, tmp_path):
    (tmp_path / "target" / "old_inside").mkdir(parents=True)
    (tmp_path / "chosen").mkdir()
    os.symlink(tmp_path / "target", tmp_path / "chosen" / "link")
    tw.replace_folder_names(str(tmp_path / "chosen"), "old", "new", True)
    assert (tmp_path / "target" / "old_inside").is_dir()


@pytest.mark.parametrize("missing", ["", "does/not/exist"])
def test_a_folder_that_cannot_be_listed_yields_nothing(tw, in_tmp, missing):
    (in_tmp / "f.txt").write_text("x")
    assert tw.replace_folder_names(missing, "", "x", True) is None
    assert tw.replace_folder_names(str(in_tmp / "f.txt"), "f", "g", True) is None
    assert tree(in_tmp) == {"f.txt"}


def test_a_cancelled_run_reports_and_undoes_every_rename_it_made(probe, tmp_path):
    # A listing's subfolders are renamed ahead of the walk; when a cancel
    # stops the walk, whatever was renamed by then is reported, and undone.
    for top in range(3):
        for sub in range(200):
            (tmp_path / f"old_{top}" / f"old_{sub:03d}").mkdir(parents=True)
    probe.hold(50)
    results = []
    worker = threading.Thread(target=lambda: results.append(
        probe.run("folders", str(tmp_path), "old", "new", True, UNDOABLE)))
    worker.start()
    assert probe.wait_held(30)
    probe.cancel()
    worker.join(60)
    _, report = results[0]
    renamed = [os.path.join(folder, name) for folder, subfolders, _ in os.walk(tmp_path)
               for name in subfolders if name.startswith("new_")]
    assert 50 <= len(renamed) < 603
    assert sorted(new for _, new in report["renamed_folders"]) == sorted(renamed)
    assert report["changed"] == len(renamed) <= report["seen"]
    probe.undo(str(tmp_path))
    assert tree(tmp_path) == {f"old_{top}/" for top in range(3)} | {
        f"old_{top}/old_{sub:03d}/" for top in range(3) for sub in range(200)}
