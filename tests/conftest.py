import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

import termweave_mira7


def unavailable(reason):
    """Skips a test whose tool or permission is missing here; in CI, which
    installs every tool the suite uses, that is a failure instead."""
    if os.environ.get("CI"):
        pytest.fail(reason)
    pytest.skip(reason)


@pytest.fixture(autouse=True)
def state_folder(monkeypatch):
    """Each test keeps the program's run records in a state folder of its
    own, never in the user's; other users can reach it, since some tests
    drop to another user."""
    folder = tempfile.mkdtemp(prefix="tw-state-")
    os.chmod(folder, 0o1777)
    monkeypatch.setenv("XDG_STATE_HOME", folder)
    yield pathlib.Path(folder)
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(autouse=True)
def config_home(tmp_path_factory, monkeypatch):
    """The window remembers its settings in the user's configuration folder:
    every test gets a fresh, empty one (never the real one)."""
    folder = tmp_path_factory.mktemp("config")
    monkeypatch.setenv("XDG_CONFIG_HOME", str(folder))
    return folder


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


def office_documents(folder):
    """A word document, a presentation and a workbook in folder, each holding "old" once."""
    import docx
    import openpyxl
    import pptx
    from pptx.util import Inches

    folder.mkdir(parents=True, exist_ok=True)
    document = docx.Document()
    document.add_paragraph("the old plan")
    document.save(folder / "doc.docx")
    deck = pptx.Presentation()
    slide = deck.slides.add_slide(deck.slide_layouts[6])
    slide.shapes.add_textbox(Inches(1), Inches(1), Inches(3), Inches(1)).text = "old slide"
    deck.save(folder / "deck.pptx")
    book = openpyxl.Workbook()
    book.active["A1"] = "old cell"
    book.save(folder / "book.xlsx")


def _mounted(point):
    with open("/proc/self/mounts") as mounts:
        return any(line.split()[1] == str(point) for line in mounts)


@pytest.fixture(scope="session")
def case_folding_mount(tmp_path_factory):
    """A folder seen through a file system that ignores letter case and
    keeps it (tests/case_folding_fs.py, through FUSE)."""
    if not sys.platform.startswith("linux") or os.geteuid() != 0:
        unavailable("a case-folding file system is mounted as root on Linux")
    if shutil.which("fusermount") is None or not os.path.exists("/dev/fuse"):
        unavailable("FUSE (fusermount, /dev/fuse) is not available")
    try:
        import fuse  # noqa: F401
    except (ImportError, OSError) as error:
        unavailable(f"fusepy or libfuse is missing: {error}")
    base = tmp_path_factory.mktemp("folding")
    stored, point = base / "stored", base / "mnt"
    stored.mkdir()
    point.mkdir()
    server = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "case_folding_fs.py"),
                               str(stored), str(point)], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 20
    while not _mounted(point):
        assert server.poll() is None, server.stderr.read().decode()
        assert time.monotonic() < deadline, "the case-folding file system did not mount"
        time.sleep(0.05)
    yield point
    subprocess.run(["fusermount", "-u", str(point)], capture_output=True)
    server.wait(timeout=20)


@pytest.fixture
def case_folding_folder(case_folding_mount, request):
    """A fresh folder of its own on the case-folding file system."""
    folder = case_folding_mount / request.node.name.replace("[", "_").replace("]", "")
    folder.mkdir()
    return folder
