"""What a changed cell holds: typed cells keep their type, strings go back into the shared string
table with their runs, and no old text stays behind in the package."""
import contextlib
import datetime
import io
import re
import zipfile

import openpyxl
import pytest
from openpyxl.cell.rich_text import CellRichText, TextBlock
from openpyxl.cell.text import InlineFont

from test_workbook_writer import handmade, sheets_as_csv, soffice  # noqa: F401

D = datetime


def quiet(tw, path, old, new):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        tw.replace_xlsx_content(str(path), old, new)
    return out.getvalue()


def inflated(path):
    """Every member of the package, inflated."""
    with zipfile.ZipFile(path) as package:
        return {name: package.read(name) for name in package.namelist()}


FODS = ('<?xml version="1.0" encoding="UTF-8"?><office:document '
        'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
        'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
        'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
        'xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
        'xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" '
        'xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" '
        'xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" office:version="1.2" '
        'office:mimetype="application/vnd.oasis.opendocument.spreadsheet">'
        '<office:automatic-styles>{styles}</office:automatic-styles><office:body><office:spreadsheet>'
        '{tables}</office:spreadsheet></office:body></office:document>')


def made_by_libreoffice(soffice, tmp_path, tables, styles=""):
    """tables: {name: rows of cell elements}, converted to .xlsx by LibreOffice."""
    body = "".join(f'<table:table table:name="{name}">' + "".join(
        "<table:table-row>" + "".join(row) + "</table:table-row>" for row in rows) + "</table:table>"
        for name, rows in tables.items())
    (tmp_path / "made.fods").write_text(FODS.format(styles=styles, tables=body), encoding="utf-8")
    soffice(tmp_path / "made.fods", "xlsx", tmp_path)
    return tmp_path / "made.xlsx"


def text(content, style=""):
    style = f' table:style-name="{style}"' if style else ""
    return f'<table:table-cell{style} office:value-type="string"><text:p>{content}</text:p></table:table-cell>'


# --------------------------------------------------------------------- typed cells

@pytest.mark.parametrize("value, old, new, expected", [
    (2020.5, "2020", "2021", 2021.5),
    (2020, "$", ".25", 2020.25),                            # a number stays a number
    (2020, "20$", "2O", "202O"),                            # text that is no number stays text
    (12345, "^", "00", "0012345"),                          # nor is a number written another way
    (D.datetime(2020, 1, 5), "2020", "2021", D.datetime(2021, 1, 5)),
    (D.datetime(2020, 1, 5, 8), " ", "T", "2020-01-05T08:00:00"),  # a date in another form is text
    (D.datetime(2020, 1, 5), "2020", "1800", "1800-01-05 00:00:00"),  # before the workbook's dates
    (D.time(12, 30), "12:", "13:", D.time(13, 30)),
    (D.timedelta(days=1, hours=12), "1 day", "3 days", D.timedelta(days=3, hours=12)),
    (True, "True", "False", False),
    (True, "Tru", "X", "Xe"),
    ("2020", "2020", "2021", "2021"),                       # a text cell never becomes a number
])
def test_a_typed_cell_keeps_its_type_when_the_new_text_reads_as_it(tw, tmp_path, value, old, new, expected):
    path = tmp_path / "book.xlsx"
    wb = openpyxl.Workbook()
    wb.active["A1"] = value
    if isinstance(value, D.timedelta):
        wb.active["A1"].number_format = "[h]:mm:ss"
    wb.save(path)
    number_format = openpyxl.load_workbook(path).active["A1"].number_format
    out = quiet(tw, path, old, new)
    assert f"replacing with '{expected}'\n" in out  # the console shows the text
    cell = openpyxl.load_workbook(path).active["A1"]
    assert (cell.value, type(cell.value)) == (expected, type(expected))
    assert cell.number_format == number_format


def test_typed_cells_of_a_libreoffice_workbook(tw, tmp_path, soffice, sheets_as_csv):
    styles = (
        '<number:date-style style:name="N1"><number:year number:style="long"/><number:text>-</number:text>'
        '<number:month number:style="long"/><number:text>-</number:text><number:day number:style="long"/>'
        '</number:date-style><number:time-style style:name="N2"><number:hours number:style="long"/>'
        '<number:text>:</number:text><number:minutes number:style="long"/></number:time-style>'
        '<number:boolean-style style:name="N3"><number:boolean/></number:boolean-style>'
        + "".join(f'<style:style style:name="ce{i}" style:family="table-cell" style:data-style-name="N{i}"/>'
                  for i in (1, 2, 3)))
    row = ['<table:table-cell office:value-type="float" office:value="2020.5"/>',
           '<table:table-cell table:style-name="ce1" office:value-type="date" office:date-value="2020-01-05"/>',
           '<table:table-cell table:style-name="ce2" office:value-type="time" office:time-value="PT12H30M00S"/>',
           '<table:table-cell table:style-name="ce3" office:value-type="boolean" office:boolean-value="true"/>',
           '<table:table-cell office:value-type="float" office:value="2021.5" table:formula="of:=[.A1]+1"/>']
    path = made_by_libreoffice(soffice, tmp_path, {"Typed": [row]}, styles)
    (shown_time,) = [value[2] for value in sheets_as_csv(path)["Typed"]]
    for old, new in [("2020", "2021"), ("12:30", "13:45"), ("True", "False")]:
        quiet(tw, path, old, new)
    cells = openpyxl.load_workbook(path).active[1]
    assert [(c.value, c.data_type) for c in cells[:4]] == [
        (2021.5, "n"), (D.datetime(2021, 1, 5), "d"), (D.time(13, 45), "d"), (False, "b")]
    # Shown in the formats they had; the formula is computed again when Excel opens the file
    # (LibreOffice shows its cached result).
    assert sheets_as_csv(path) == {
        "Typed": [["2021.5", "2021-01-05", shown_time.replace("12:30", "01:45"), "FALSE", "2021.5"]]}
    assert b'fullCalcOnLoad="1"' in inflated(path)["xl/workbook.xml"]


# --------------------------------------------------------------------- rich text

RICH_STYLES = ('<style:style style:name="T1" style:family="text"><style:text-properties fo:font-weight="bold"/>'
               '</style:style><style:style style:name="T2" style:family="text">'
               '<style:text-properties fo:font-style="italic"/></style:style>')
RICH = text('plain <text:span text:style-name="T1">bold old</text:span> and '
            '<text:span text:style-name="T2">italic</text:span> end')


def runs(cell):
    """(text, bold, italic) of each run of a rich cell as the library reads it."""
    return [(block.text, bool(block.font.b), bool(block.font.i)) if isinstance(block, TextBlock)
            else (block, False, False) for block in cell.value]


@pytest.mark.parametrize("old, new, expected", [
    # The replacement takes the formatting of the character where its match begins ...
    ("old and", "NEW und", [("plain ", 0, 0), ("bold NEW und", 1, 0), (" ", 0, 0), ("italic", 0, 1), (" end", 0, 0)]),
    ("n bold", "N-B", [("plaiN-B", 0, 0), (" old", 1, 0), (" and ", 0, 0), ("italic", 0, 1), (" end", 0, 0)]),
    # ... and a run whose characters all went is gone.
    ("bold old", "", [("plain ", 0, 0), (" and ", 0, 0), ("italic", 0, 1), (" end", 0, 0)]),
])
def test_a_rich_text_cell_keeps_its_runs(tw, tmp_path, soffice, sheets_as_csv, old, new, expected):
    path = made_by_libreoffice(soffice, tmp_path, {"Rich": [[RICH]]}, RICH_STYLES)
    quiet(tw, path, old, new)
    cell = openpyxl.load_workbook(path, rich_text=True).active["A1"]
    assert runs(cell) == [(t, bool(b), bool(i)) for t, b, i in expected]
    assert sheets_as_csv(path) == {"Rich": [["".join(t for t, _, _ in expected)]]}


def test_an_inline_rich_string_keeps_its_runs(tw, tmp_path):
    path = tmp_path / "book.xlsx"
    wb = openpyxl.Workbook()
    wb.active["A1"] = CellRichText("an ", TextBlock(InlineFont(b=True), "old"), " word")
    wb.save(path)
    quiet(tw, path, "old w", "new W")
    assert runs(openpyxl.load_workbook(path, rich_text=True).active["A1"]) == [
        ("an ", False, False), ("new W", True, False), ("ord", False, False)]


# --------------------------------------------------------------------- shared strings

def test_an_entry_an_unchanged_cell_uses_stays(tw, tmp_path):
    """Entry 0 is also the cached result of a formula the keyword does not reach: the changed cell
    gets an entry of its own. Entry 1 is used by changed cells only: it is changed where it stands."""
    body = ('<sheetData><row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c>'
            '<c r="C1" t="s"><v>1</v></c></row>'
            '<row r="2"><c r="A2" t="s"><f>A1</f><v>0</v></c></row></sheetData>')
    path = handmade(tmp_path / "book.xlsx", [("S", body)], strings=["<t>old shared</t>", "<t>old other</t>"])
    quiet(tw, path, "old", "new")
    members = inflated(path)
    strings = members["xl/sharedStrings.xml"].decode()
    assert re.findall(r"<si>.*?</si>", strings) == [
        "<si><t>old shared</t></si>", '<si><t xml:space="preserve">new other</t></si>',
        '<si><t xml:space="preserve">new shared</t></si>']
    assert 'uniqueCount="3"' in strings
    sheet = openpyxl.load_workbook(path).active
    assert [c.value for c in sheet[1]] == ["new shared", "new other", "new other"]
    assert sheet["A2"].value == "=A1"
    assert sum(data.count(b"old") for data in members.values()) == 1


def test_old_text_leaves_no_trace_in_the_package(tw, tmp_path, soffice, sheets_as_csv):
    rich = text('plain <text:span text:style-name="T1">big old</text:span> end')
    rows = [[text("old name"), text("old name"), rich],
            [text("old formula"), text("keep"), '<table:table-cell office:value-type="float" office:value="1"/>']]
    path = made_by_libreoffice(soffice, tmp_path, {"First": rows, "Second": [[text("old name")]]}, RICH_STYLES)
    quiet(tw, path, "^old formula$", "=C2*2")   # a string becomes a formula: its entry is unused
    quiet(tw, path, "old", "new")
    for name, data in inflated(path).items():
        assert b"old" not in data, name
    assert sheets_as_csv(path) == {
        "First": [["new name", "new name", "plain big new end"], ["2", "keep", "1"]],
        "Second": [["new name"]]}
