import datetime
import os
import zipfile

import openpyxl
import pytest
from openpyxl.drawing.image import Image as SheetImage
from PIL import Image


@pytest.fixture
def make_book(tmp_path):
    path = str(tmp_path / "book.xlsx")

    def make(*sheets):
        wb = openpyxl.Workbook()
        wb.remove(wb.active)
        for index, cells in enumerate(sheets):
            sheet = wb.create_sheet(f"S{index}")
            for coordinate, value in cells.items():
                sheet[coordinate] = value
        wb.save(path)
        return path
    return make


def snapshot(path):
    stat = os.stat(path)
    return stat.st_ino, stat.st_mtime_ns, open(path, "rb").read(), os.listdir(os.path.dirname(path))


def png_file(path):
    Image.new("RGB", (8, 8), "blue").save(path)
    return str(path)


def test_every_cell_of_the_a1_rectangle_is_traced(tw, make_book, capsys):
    path = make_book({"B2": "old", "C1": 7}, {"A2": "two\nlines"})
    tw.replace_xlsx_content(path, "old", "new")
    assert capsys.readouterr().out == (
        "Cell A1 value: None\nCell B1 value: None\nCell C1 value: 7\n"
        "Cell A2 value: None\nCell B2 value: old\n"
        f"Found 'old' in {path}, replacing with 'new'\nCell C2 value: None\n"
        f"Cell A1 value: None\nCell A2 value: two\nlines\nSaved changes to {path}\n")


@pytest.mark.parametrize("value, old, new, shown, expected", [
    (2023, "20", "X", "2023", "X23"),
    (datetime.datetime(2023, 1, 2), "01-02", "X", "2023-01-02 00:00:00", "2023-X 00:00:00"),
    (True, "Tru", "X", "True", "Xe"),
    ("=SUM(A2:A3)", "SUM", "MAX", "=SUM(A2:A3)", "=MAX(A2:A3)"),
])
def test_values_are_matched_on_their_text_form(tw, make_book, capsys, value, old, new, shown, expected):
    path = make_book({"A1": value})
    tw.replace_xlsx_content(path, old, new)
    assert capsys.readouterr().out == (
        f"Cell A1 value: {shown}\nFound '{shown}' in {path}, replacing with '{expected}'\n"
        f"Saved changes to {path}\n")
    cell = openpyxl.load_workbook(path)["S0"]["A1"]
    assert (cell.value, cell.data_type) == (expected, "f" if expected[0] == "=" else "s")


@pytest.mark.parametrize("package, keyword, expected", [
    (b"keep, not a package", "keep", "Error processing {path}: File is not a zip file\n"),
    (None, "keep(", "Error processing {path}: missing ), unterminated subpattern at position 4\n"),
    (None, "absent", "Cell A1 value: keep\n"),
])
def test_file_kept_byte_for_byte_when_nothing_is_replaced(tw, make_book, capsys, package, keyword, expected):
    path = make_book({"A1": "keep"})
    if package:
        open(path, "wb").write(package)
    before = snapshot(path)
    assert tw.replace_xlsx_content(path, keyword, "x") is None
    assert capsys.readouterr().out == expected.format(path=path)
    assert snapshot(path) == before


@pytest.mark.parametrize("new, reason", [
    (r"\q", "bad escape"),                          # template rejected by sub
    (r"\0", "cannot be used in worksheets"),        # value refused on assignment
    ("new\ufffe", "must be XML compatible"),        # the library's writer refuses it half-way
])
def test_failure_part_way_prints_failure_line_and_saves_nothing(tw, make_book, capsys, new, reason):
    path = make_book({"A1": "old", "A2": "old"})
    before = snapshot(path)
    tw.replace_xlsx_content(path, "old", new)
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Cell A1 value: old"
    assert lines[-1].startswith(f"Error processing {path}: ") and reason in lines[-1]
    assert not any(line.startswith("Saved changes") for line in lines)
    assert snapshot(path) == before


def test_keyboard_interrupt_is_not_reported(tw, make_book, capsys, monkeypatch):
    path = make_book({"A1": "old"})
    def interrupted(file_path):
        raise KeyboardInterrupt

    monkeypatch.setattr(tw, "load_workbook", interrupted)
    with pytest.raises(KeyboardInterrupt):
        tw.replace_xlsx_content(path, "old", "new")
    assert capsys.readouterr().out == ""


def test_embedded_picture_survives_a_replacement(tw, tmp_path):
    path = str(tmp_path / "book.xlsx")
    wb = openpyxl.Workbook()
    wb.active["A1"] = "old"
    wb.active.add_image(SheetImage(png_file(tmp_path / "pic.png")), "C3")
    wb.save(path)
    tw.replace_xlsx_content(path, "old", "new")
    sheet = openpyxl.load_workbook(path).active
    assert (sheet["A1"].value, len(sheet._images)) == ("new", 1)
    assert any(name.startswith("xl/media/") for name in zipfile.ZipFile(path).namelist())
