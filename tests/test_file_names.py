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


def test_existing_target_is_recorded_and_loses_nothing(tw, tmp_path):
    (tmp_path / "new_a.txt").write_text("first")
    (tmp_path / "old_a.txt").write_text("second")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "old_b.txt").write_text("third")
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_names(str(tmp_path), "old", "new", True)
    assert str(info.value).startswith("1 of 3 files could not be renamed")
    (error,) = info.value.exceptions
    assert isinstance(error, FileExistsError)
    assert (error.filename, error.filename2) == (str(tmp_path / "old_a.txt"), str(tmp_path / "new_a.txt"))
    assert "target exists" in str(error)
    assert error.__notes__ == [f"while renaming {tmp_path / 'old_a.txt'}"]
    assert (tmp_path / "new_a.txt").read_text() == "first"
    assert (tmp_path / "old_a.txt").read_text() == "second"
    assert (tmp_path / "sub" / "new_b.txt").read_text() == "third"  # the walk went on


def test_two_files_claiming_one_name(tw, tmp_path):
    for name in ("x1.txt", "x2.txt", "x3.txt"):
        (tmp_path / name).write_text(name)
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_names(str(tmp_path), r"\d", "N", True)
    assert str(info.value).startswith("2 of 3 files could not be renamed")
    assert all("two items would get the same name" in str(e) for e in info.value.exceptions)
    names = sorted(os.listdir(tmp_path))
    assert len(names) == 3 and "xN.txt" in names
    assert sorted((tmp_path / n).read_text() for n in names) == ["x1.txt", "x2.txt", "x3.txt"]


def test_a_name_freed_earlier_in_the_run_can_be_taken(tw, tmp_path):
    # "x" -> "xx" meets "xx" unless "xx" has already become "xxx": the
    # outcome follows the listing order, which the walk takes as it is.
    (tmp_path / "x").write_text("x")
    (tmp_path / "xx").write_text("xx")
    first = next(os.walk(tmp_path))[2][0]
    errors = []
    try:
        tw.replace_file_names(str(tmp_path), "^x", "xx", True)
    except ExceptionGroup as group:
        errors = group.exceptions
    contents = {n: (tmp_path / n).read_text() for n in os.listdir(tmp_path)}
    if first == "xx":
        assert contents == {"xxx": "xx", "xx": "x"} and errors == []
    else:
        assert contents == {"xxx": "xx", "x": "x"}
        assert [type(e) for e in errors] == [FileExistsError]


@pytest.mark.parametrize("new", ["", "..", "../x", "a/b"])
def test_name_that_leaves_the_folder_is_refused(tw, tmp_path, new):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "abc").write_text("x")
    (tmp_path / "sub" / "keep").write_text("y")
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_names(str(tmp_path / "sub"), "abc", new, True)
    (error,) = info.value.exceptions
    assert isinstance(error, ValueError) and "abc" in str(error)
    assert tree(tmp_path) == {"sub/", "sub/abc", "sub/keep"}


@pytest.mark.parametrize("old, new, error", [("ab(", "x", re.error), ("a", "\\q", re.error)])
def test_bad_keyword_or_template_touches_nothing(tw, root, old, new, error):
    before = tree(root)
    with pytest.raises(error):
        tw.replace_file_names(str(root), old, new, True)
    assert tree(root) == before


def test_missing_folder_is_not_an_error(tw, tmp_path):
    assert tw.replace_file_names(str(tmp_path / "absent"), "a", "b", True) is None
    (tmp_path / "file").write_text("x")
    assert tw.replace_file_names(str(tmp_path / "file"), "a", "b", True) is None


def test_a_run_of_many_renames_reports_in_walk_order_and_loses_nothing(tw, tmp_path):
    # Enough renames for several batches made while the walk goes on, with
    # failures of both kinds among them: a target that exists (met when the
    # rename is made) and two names becoming one (met when it is decided).
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    names = {"a": [f"f{i:03d}_old1.txt" for i in range(700)] + ["f100_new.txt", "f450_new.txt"],
             "b": ["g_old1.txt", "g_old2.txt", "h_old1.txt", "h_new.txt"]}
    for folder, files in names.items():
        for name in files:
            (tmp_path / folder / name).write_text(name)
    expected_failures, expected = [], {}
    for folder, _, files in os.walk(tmp_path):
        taken = set(files)
        for name in files:
            new = re.sub(r"old\d", "new", name)
            if new == name:
                expected[os.path.join(folder, name)] = name
            elif new in taken:
                expected_failures.append(os.path.join(folder, name))
                expected[os.path.join(folder, name)] = name
            else:
                taken.add(new)
                expected[os.path.join(folder, new)] = name
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_names(str(tmp_path), r"old\d", "new", True)
    assert [e.filename for e in info.value.exceptions] == expected_failures
    assert len(expected_failures) == 4
    found = {os.path.join(folder, n): open(os.path.join(folder, n)).read()
             for folder, _, files in os.walk(tmp_path) for n in files}
    assert found == expected
