import io
import os
import re
import zipfile

import pptx
import pptx.exc
import pptx.shapes.autoshape
import pytest
from PIL import Image
from pptx.util import Inches

BOX = (Inches(1), Inches(1), Inches(2), Inches(1))


def png_bytes():
    stream = io.BytesIO()
    Image.new("RGB", (4, 4), "red").save(stream, "PNG")
    stream.seek(0)
    return stream


@pytest.fixture
def deck(tmp_path):
    """A slide holding, in order: a text box, a picture, a table, a group
    with a text box inside, an empty text box and a two-line text box."""
    path = str(tmp_path / "deck.pptx")
    prs = pptx.Presentation()
    shapes = prs.slides.add_slide(prs.slide_layouts[6]).shapes
    shapes.add_textbox(*BOX).text = "old title"
    shapes.add_picture(png_bytes(), Inches(1), Inches(1))
    shapes.add_table(1, 1, *BOX).table.cell(0, 0).text = "old cell"
    shapes.add_group_shape().shapes.add_textbox(*BOX).text = "old grouped"
    shapes.add_textbox(*BOX)
    shapes.add_textbox(*BOX).text = "old a1\n2b old"
    prs.save(path)
    return path


def texts(path):
    shapes = pptx.Presentation(path).slides[0].shapes
    grouped = shapes[3].shapes[0].text
    table = shapes[2].table.cell(0, 0).text
    return [shapes[0].text, table, grouped, shapes[4].text, shapes[5].text]


@pytest.mark.parametrize("old, new, expected", [
    ("old", "new", ["new title", "old cell", "old grouped", "", "new a1\n2b new"]),
    # A wildcard stays within one line of a shape.
    ("1*2", "X", ["old title", "old cell", "old grouped", "", "old a1\n2b old"]),
    ("^$", "filled", ["old title", "old cell", "old grouped", "filled", "old a1\n2b old"]),
    ("(o)ld", r"\1\n", ["o\n title", "old cell", "old grouped", "", "o\n a1\n2b o\n"]),
])
def test_only_text_shapes_of_the_slide_are_rewritten(tw, deck, old, new, expected):
    tw.replace_pptx_content(deck, old, new)
    prs = pptx.Presentation(deck)
    assert len(prs.slides[0].shapes) == 6
    assert texts(deck) == expected
    assert os.listdir(os.path.dirname(deck)) == ["deck.pptx"]


def test_any_failure_of_the_text_test_passes_the_shape_over(tw, deck, monkeypatch):
    real = pptx.shapes.autoshape.Shape.text

    def refuse_empty(shape):
        text = real.fget(shape)
        if not text:
            raise RuntimeError("unreadable")
        return text

    monkeypatch.setattr(pptx.shapes.autoshape.Shape, "text",
                        property(refuse_empty, real.fset))
    tw.replace_pptx_content(deck, "*", "Z")
    monkeypatch.undo()
    assert texts(deck)[3] == ""
    assert texts(deck)[0] == "Z" * 19


def assert_untouched(path, before, content):
    stat = os.stat(path)
    assert (stat.st_ino, stat.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert open(path, "rb").read() == content
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]


@pytest.mark.parametrize("old, new, error", [
    ("old", r"\q", re.error),
    ("*?", "x", re.error),
])
def test_failure_before_save_writes_nothing(tw, deck, old, new, error):
    before, content = os.stat(deck), open(deck, "rb").read()
    with pytest.raises(error):
        tw.replace_pptx_content(deck, old, new)
    assert_untouched(deck, before, content)


def test_not_a_presentation_raises_with_no_write(tw, tmp_path):
    path = str(tmp_path / "deck.pptx")
    with open(path, "wb") as file:
        file.write(b"old, not a package")
    before, content = os.stat(path), open(path, "rb").read()
    with pytest.raises(pptx.exc.PackageNotFoundError):
        tw.replace_pptx_content(path, "old", "new")
    assert_untouched(path, before, content)


def test_failed_save_keeps_old_bytes(tw, deck, monkeypatch):
    content = open(deck, "rb").read()
    real_write = zipfile.ZipFile.writestr
    written = []

    def disk_full_after_first_part(self, *args, **kwargs):
        written.append(args[0])
        if len(written) > 1:
            raise OSError(28, "No space left on device")
        return real_write(self, *args, **kwargs)

    monkeypatch.setattr(zipfile.ZipFile, "writestr", disk_full_after_first_part)
    with pytest.raises(OSError, match="No space left"):
        tw.replace_pptx_content(deck, "old", "new")
    assert open(deck, "rb").read() == content
    assert os.listdir(os.path.dirname(deck)) == ["deck.pptx"]
