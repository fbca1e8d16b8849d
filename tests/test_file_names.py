import os
import re

import pytest

from conftest import tree


@pytest.fixture
def root(tmp_path):
    (tmp_path / "old_sub").mkdir()
    for rel in ("old_a.txt", "notes.txt", "keep.md", "old_sub/old_b.txt", "old_sub/c.txt"):
        (tmp_path / rel).write_text(rel)
    return tmp_path


@pytest.mark.parametrize(
    "recursive, expected",
    [
        (False, {"new_a.txt", "notes.txt", "keep.md", "old_sub/", "old_sub/old_b.txt", "old_sub/c.txt"}),
        (True, {"new_a.txt", "notes.txt", "keep.md", "old_sub/", "old_sub/new_b.txt", "old_sub/c.txt"}),
    ],
)
def test_recursion_reaches_subfolders_only_when_asked(tw, root, recursive, expected):
    assert tw.replace_file_names(str(root), "old", "new", recursive) is None
    assert tree(root) == expected
    assert (root / "new_a.txt").read_text() == "old_a.txt"


@pytest.mark.parametrize(
    "old, new, expected",
    [
        ("txt", "md", {"old_a.md", "notes.md", "keep.md"}),  # the extension too
        (r"\.md$", ".txt", {"old_a.txt", "notes.txt", "keep.txt"}),
        ("o*e", r"[\g<0>]", {"old_a.txt", "n[ote]s.txt", "keep.md"}),
        ("old", "old", {"old_a.txt", "notes.txt", "keep.md"}),  # same name: no-op
    ],
)
def test_names_are_substituted(tw, root, old, new, expected):
    tw.replace_file_names(str(root), old, new, False)
    names = {p for p in tree(root) if "/" not in p}
    assert names == expected


def test_existing_target_raises_and_loses_nothing(tw, tmp_path):
    (tmp_path / "new_a.txt").write_text("first")
    (tmp_path / "old_a.txt").write_text("second")
    with pytest.raises(FileExistsError) as info:
        tw.replace_file_names(str(tmp_path), "old", "new", True)
    assert "old_a.txt" in str(info.value) and "new_a.txt" in str(info.value)
    assert (tmp_path / "new_a.txt").read_text() == "first"
    assert (tmp_path / "old_a.txt").read_text() == "second"


@pytest.mark.parametrize("new", ["", "..", "../x", "a/b"])
def test_name_that_leaves_the_folder_is_refused(tw, tmp_path, new):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "abc").write_text("x")
    with pytest.raises(ValueError):
        tw.replace_file_names(str(tmp_path / "sub"), "abc", new, True)
    assert tree(tmp_path) == {"sub/", "sub/abc"}


@pytest.mark.parametrize("old, new, error", [("ab(", "x", re.error), ("a", "\\q", re.error)])
def test_bad_keyword_or_template_touches_nothing(tw, root, old, new, error):
    before = tree(root)
    with pytest.raises(error):
        tw.replace_file_names(str(root), old, new, True)
    assert tree(root) == before


def test_missing_folder_is_not_an_error(tw, tmp_path):
    assert tw.replace_file_names(str(tmp_path / "absent"), "a", "b", True) is None
