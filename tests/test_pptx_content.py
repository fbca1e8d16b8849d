import io
import os
import zipfile

import pptx
import pptx.exc
import pytest
from PIL import Image
from pptx.util import Inches

BOX = (Inches(1), Inches(1), Inches(2), Inches(1))


@pytest.fixture
def deck(tmp_path):
    """Text box, picture, table, group holding a text box, empty text box, two-line text box."""
    path = str(tmp_path / "deck.pptx")
    png = io.BytesIO()
    Image.new("RGB", (4, 4), "red").save(png, "PNG")
    prs = pptx.Presentation()
    shapes = prs.slides.add_slide(prs.slide_layouts[6]).shapes
    shapes.add_textbox(*BOX).text = "old title"
    shapes.add_picture(png, *BOX[:2])
    shapes.add_table(1, 1, *BOX).table.cell(0, 0).text = "old cell"
    shapes.add_group_shape().shapes.add_textbox(*BOX).text = "old grouped"
    shapes.add_textbox(*BOX)
    shapes.add_textbox(*BOX).text = "old a1\n2b old"
    prs.save(path)
    return path


def texts(path):
    shapes = pptx.Presentation(path).slides[0].shapes
    assert len(shapes) == 6
    return [shapes[0].text, shapes[2].table.cell(0, 0).text, shapes[3].shapes[0].text,
            shapes[4].text, shapes[5].text]


@pytest.mark.parametrize("old, new, expected", [
    ("old", "new", ["new title", "old cell", "old grouped", "", "new a1\n2b new"]),
    ("1*2", "X", ["old title", "old cell", "old grouped", "", "old a1\n2b old"]),
    ("^$", "filled", ["old title", "old cell", "old grouped", "filled", "old a1\n2b old"]),
])
def test_only_text_shapes_of_the_slide_are_rewritten(tw, deck, old, new, expected):
    tw.replace_pptx_content(deck, old, new)
    assert texts(deck) == expected


def untouched(path, before, data):
    after = os.stat(path)
    return ((after.st_ino, after.st_mtime_ns, open(path, "rb").read()) == (before.st_ino, before.st_mtime_ns, data)
            and os.listdir(os.path.dirname(path)) == ["deck.pptx"])


def test_not_a_presentation_raises_with_no_write(tw, tmp_path):
    path = str(tmp_path / "deck.pptx")
    open(path, "wb").write(b"old, not a package")
    before, data = os.stat(path), open(path, "rb").read()
    with pytest.raises(pptx.exc.PackageNotFoundError):
        tw.replace_pptx_content(path, "old", "new")
    assert untouched(path, before, data)


def test_failed_save_keeps_old_bytes(tw, deck, monkeypatch):
    data = open(deck, "rb").read()
    real_write, written = zipfile.ZipFile.writestr, []

    def disk_full_after_first_part(self, *args, **kwargs):
        written.append(args[0])
        if len(written) > 1:
            raise OSError(28, "No space left on device")
        return real_write(self, *args, **kwargs)

    monkeypatch.setattr(zipfile.ZipFile, "writestr", disk_full_after_first_part)
    with pytest.raises(OSError, match="No space left"):
        tw.replace_pptx_content(deck, "old", "new")
    assert open(deck, "rb").read() == data
    assert os.listdir(os.path.dirname(deck)) == ["deck.pptx"]


class _Shape:
    def __init__(self, text=None, error=None):
        self._text, self._error = text, error

    @property
    def text(self):
        if self._error:
            raise self._error
        return self._text

    @text.setter
    def text(self, value):
        self._text = value


def _fake_presentation(shapes, saved):
    slide = type("Slide", (), {"shapes": shapes})()
    prs = type("Prs", (), {"slides": [slide], "save": lambda self, path: saved.append(path)})()
    return lambda path: prs


def test_only_errors_of_a_shape_are_taken_as_no_text(tw, tmp_path, monkeypatch):
    target = tmp_path / "deck.pptx"
    target.write_bytes(b"old")
    plain, broken = _Shape("old"), _Shape(error=ValueError("no text frame"))
    saved = []
    monkeypatch.setattr(tw, "Presentation", _fake_presentation([broken, plain], saved))
    tw.replace_pptx_content(str(target), "old", "new")
    assert plain.text == "new" and len(saved) == 1

    interrupted = _Shape(error=KeyboardInterrupt())
    monkeypatch.setattr(tw, "Presentation", _fake_presentation([interrupted, plain], saved))
    with pytest.raises(KeyboardInterrupt):
        tw.replace_pptx_content(str(target), "new", "x")
    assert plain.text == "new" and len(saved) == 1
