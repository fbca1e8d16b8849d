import os

import pytest

import termweave_mira7


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
