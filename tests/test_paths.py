"""The module joins paths, splits extensions and tests for links by
os.path's own rules, and calls whatever a host binds in their place: the
same tree gives the same result through the real os.path and through
stand-ins that only forward to it."""
import os
import posixpath
import types

import pytest

import termweave_mira7 as tw
from conftest import tree

NAMES = [".profile", "..x.txt", "a.", "a..b.TXT", "name.with.dots.csv", "x", ".a.b", "old", "old.",
         "old..", ".old", "...old", "sp ace.old.txt", "b.Old", "c.CSV", "d.doc"]


def make_tree(root):
    os.makedirs(root / "dir.d" / ".old.e")
    os.makedirs(root / "olddir")
    os.symlink("olddir", root / "old_link")
    for folder in (root, root / "dir.d"):
        for name in NAMES:
            (folder / name).write_bytes(b"old text\n")
        (folder / os.fsdecode(b"old\xff.txt")).write_bytes(b"old text\n")


def forwarding_os(calls):
    """os with an os.path whose join, splitext and islink are new functions
    that count their calls and forward to the real ones."""
    def forward(name):
        def function(*args):
            calls.append(name)
            return getattr(posixpath, name)(*args)
        return function
    path = types.SimpleNamespace(**{name: getattr(posixpath, name) for name in dir(posixpath)
                                    if not name.startswith("__")})
    for name in ("join", "splitext", "islink"):
        setattr(path, name, forward(name))
    fake = types.SimpleNamespace(**{name: getattr(os, name) for name in dir(os) if not name.startswith("__")})
    fake.path = path
    return fake


def outcome(operation, root, old, new):
    try:
        getattr(tw, operation)(str(root), old, new, True)
        errors = []
    except BaseExceptionGroup as group:
        errors = sorted(f"{type(e).__name__}: {os.path.relpath(e.filename, root) if getattr(e, 'filename', None) else e}"
                        for e in group.exceptions)
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                files[os.path.relpath(path, root)] = open(path, "rb").read()
    return tree(root), files, errors


@pytest.mark.parametrize("operation, old, new", [
    ("replace_file_names", r"\.", "_"),
    ("replace_file_names", "old", "new"),
    ("replace_folder_names", "old", "new"),
    ("replace_folder_names", r"\.", "_"),
    ("replace_file_contents", "old", "new"),
])
def test_paths_follow_os_path_or_what_the_host_binds(tmp_path, monkeypatch, operation, old, new):
    make_tree(tmp_path / "real")
    make_tree(tmp_path / "bound")
    expected = outcome(operation, tmp_path / "real", old, new)
    calls = []
    monkeypatch.setattr(tw, "os", forwarding_os(calls))
    assert outcome(operation, tmp_path / "bound", old, new) == expected
    assert calls, "the host's os.path was not called"
