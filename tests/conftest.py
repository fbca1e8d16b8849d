import os
import pathlib
import shutil
import tempfile

import pytest

import termweave_mira7


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
