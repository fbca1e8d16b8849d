import datetime
import os
import zipfile
import zlib

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


# --------------------------------------------------------------------- in a run

def test_in_a_run_a_refused_workbook_is_one_of_the_recorded_failures(tw, make_book, tmp_path, capsys):
    with zipfile.ZipFile(tmp_path / "bomb.xlsx", "w", zipfile.ZIP_DEFLATED) as bomb:
        bomb.writestr("pad.bin", bytes(20 << 20))  # inflates far more than 200 times
    open(tmp_path / "broken.xlsx", "wb").write(b"not a workbook")
    make_book({"A1": "old"})
    with pytest.raises(ExceptionGroup) as raised:
        tw.replace_file_contents(str(tmp_path), "old", "new", True)
    group = raised.value
    assert str(group).startswith("2 of 3 files could not be changed") and len(group.exceptions) == 2
    assert sorted(e.__notes__[0] for e in group.exceptions) == [
        f"while replacing content in {tmp_path / name}" for name in ("bomb.xlsx", "broken.xlsx")]
    lines = [line for line in capsys.readouterr().out.splitlines() if line.startswith("Error processing")]
    assert len(lines) == 2 and any("refusing to open" in line for line in lines)
    assert openpyxl.load_workbook(tmp_path / "book.xlsx")["S0"]["A1"].value == "new"


def test_in_a_run_a_full_disk_under_a_workbook_ends_the_run(tw, make_book, capsys, monkeypatch):
    path = make_book({"A1": "old"})
    before = snapshot(path)

    def full(*args, **kwargs):  # the changed part, as the writer writes it out
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(zlib, "compress", full)
    with pytest.raises(OSError) as raised:
        tw.replace_file_contents(os.path.dirname(path), "old", "new", True)
    assert raised.value.errno == 28 and not isinstance(raised.value, ExceptionGroup)
    assert capsys.readouterr().out.splitlines()[-1] == f"Error processing {path}: [Errno 28] No space left on device"
    assert snapshot(path) == before


def test_running_out_of_memory_in_the_writer_is_no_reason_for_the_library_save(tw, make_book, capsys,
                                                                               monkeypatch):
    from lxml import etree
    path = make_book({"A1": "old"})
    before = snapshot(path)

    def no_memory(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(etree, "fromstring", no_memory)
    tw.replace_xlsx_content(path, "old", "new")  # called on its own: the failure line, as ever
    assert capsys.readouterr().out.splitlines()[-1] == f"Error processing {path}: "
    with pytest.raises(MemoryError):
        tw.replace_file_contents(os.path.dirname(path), "old", "new", True)
    assert snapshot(path) == before
