"""A rename never replaces: another name of the same file counts as taken,
unless it is the same name spelled in another letter case."""
import os

import pytest

from conftest import tree


@pytest.mark.parametrize("old, new", [("a", "b"), ("note", "NOTE")])
def test_hard_link_under_the_new_name_is_refused(tw, tmp_path, old, new):
    (tmp_path / f"{old}.txt").write_text("text")
    os.link(tmp_path / f"{old}.txt", tmp_path / f"{new}.txt")
    if len(os.listdir(tmp_path)) != 2:
        pytest.skip("case-insensitive file system")
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_file_names(str(tmp_path), old, new, False)
    error, = info.value.exceptions
    assert isinstance(error, FileExistsError)
    assert f"{old}.txt" in str(error) and f"{new}.txt" in str(error)
    assert tree(tmp_path) == {f"{old}.txt", f"{new}.txt"}


def test_link_to_the_folder_under_the_new_name_is_refused(tw, tmp_path):
    # A folder cannot be hard linked; a symbolic link to it under the new
    # name is another entry and is refused like any existing name.
    (tmp_path / "old").mkdir()
    (tmp_path / "new").symlink_to(tmp_path / "old")
    with pytest.raises(ExceptionGroup) as info:
        tw.replace_folder_names(str(tmp_path / "old"), "old", "new", False)
    error, = info.value.exceptions
    assert isinstance(error, FileExistsError)
    assert (tmp_path / "old").is_dir() and (tmp_path / "new").is_symlink()

