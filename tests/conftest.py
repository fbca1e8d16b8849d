import os

import pytest

import termweave_mira7


@pytest.fixture
def tw():
    return termweave_mira7


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Runs the test with the temporary folder as the current directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def tree(root):
    """Every path under root, relative, with '/' and a trailing '/' for folders."""
    found = set()
    for folder, subfolders, filenames in os.walk(root):
        rel = os.path.relpath(folder, root)
        for name in subfolders:
            found.add(os.path.normpath(os.path.join(rel, name)).replace(os.sep, "/") + "/")
        for name in filenames:
            found.add(os.path.normpath(os.path.join(rel, name)).replace(os.sep, "/"))
    return found
