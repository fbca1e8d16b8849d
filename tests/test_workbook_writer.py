"""A changed workbook is written from its own package: only the changed cells differ."""
import csv
import os
import re
import shutil
import struct
import subprocess
import zipfile
import zlib
from pathlib import Path

import openpyxl
import pytest
from lxml import etree
from openpyxl.chart import BarChart, Reference
from openpyxl.comments import Comment

import zip_layout
from run_support import probe  # noqa: F401
from conftest import unavailable

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
MAIN_STRICT = "http://purl.oclc.org/ooxml/spreadsheetml/main"
REL_STRICT = "http://purl.oclc.org/ooxml/officeDocument/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
X14 = "http://schemas.microsoft.com/office/spreadsheetml/2009/9/main"
SHEET_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
UT_EXTRA = struct.pack("<HHBl", 0x5455, 5, 1, 1600000000)  # extended time stamp field

# The library warns that it does not model the extension lists these workbooks carry.
pytestmark = pytest.mark.filterwarnings("ignore:.*extension is not supported:UserWarning")

STYLES = (
    '<styleSheet xmlns="{main}"><fonts count="2"><font><sz val="11"/><name val="Calibri"/></font>'
    '<font><b/><sz val="11"/><name val="Calibri"/></font></fonts><fills count="2"><fill>'
    '<patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill></fills>'
    '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
    '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
    '<cellXfs count="2"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>'
    '<xf numFmtId="0" fontId="1" fillId="0" borderId="0" xfId="0" applyFont="1"/></cellXfs>'
    '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles></styleSheet>')

DATA_SHEET = (
    '<sheetPr><pageSetUpPr fitToPage="1"/></sheetPr><dimension ref="A1:C5"/><sheetData>'
    '<row r="1" spans="1:3"><c r="A1" s="1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c>'
    '<c r="C1" t="inlineStr"><is><t>old inline</t></is></c></row>'
    '<row r="2"><c r="A2"><v>27.299999999999997</v></c><c r="B2"><f>SUM(A2,A2)</f>'
    '<v>54.599999999999994</v></c><c r="C2" t="str"><f>"old "&amp;A2</f><v>old 27.3</v></c></row>'
    '<row r="3"><c r="A3"><v>1</v></c><c r="B3" s="1"><f t="shared" ref="B3:B5" si="0">A3*10</f>'
    '<v>10</v></c></row>'
    '<row r="4"><c r="A4"><v>2</v></c><c r="B4"><f t="shared" si="0"/><v>20</v></c></row>'
    '<row r="5"><c r="A5"><v>3</v></c><c r="B5"><f t="shared" si="0"/><v>30</v></c></row>'
    '</sheetData>'
    '<conditionalFormatting sqref="A3:A5"><cfRule type="dataBar" priority="1"><dataBar>'
    '<cfvo type="min"/><cfvo type="max"/><color rgb="FF638EC6"/></dataBar><extLst>'
    f'<ext uri="{{B025F937-C7B1-47D3-B67F-A62EFF666E3E}}" xmlns:x14="{X14}">'
    '<x14:id>{00000000-000E-0000-0000-000001000000}</x14:id></ext></extLst></cfRule>'
    '</conditionalFormatting>'
    '<pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75" header="0.3" footer="0.3"/>'
    f'<extLst><ext uri="{{78C0D931-6437-407d-A8EE-F0AAD7539E65}}" xmlns:x14="{X14}">'
    '<x14:conditionalFormattings><x14:conditionalFormatting '
    'xmlns:xm="http://schemas.microsoft.com/office/excel/2006/main">'
    '<x14:cfRule type="dataBar" id="{00000000-000E-0000-0000-000001000000}">'
    '<x14:dataBar minLength="0" maxLength="100"><x14:cfvo type="autoMin"/><x14:cfvo type="autoMax"/>'
    '</x14:dataBar></x14:cfRule><xm:sqref>A3:A5</xm:sqref></x14:conditionalFormatting>'
    '</x14:conditionalFormattings></ext></extLst>')

OTHER_SHEET = (
    '<sheetData><row r="1"><c r="A1" t="s"><v>2</v></c><c r="B1"><f>Data!B2+1</f>'
    '<v>55.599999999999994</v></c></row><row r="2"><c r="A2" t="s"><v>3</v></c></row></sheetData>')

SHARED_STRINGS = [
    "<t>old label</t>",
    '<r><rPr><b/></rPr><t>bold</t></r><r><t xml:space="preserve"> old rich</t></r>',
    "<t>second old</t>",
    "<t>unchanged</t>",
]

CALC_CHAIN = '<c r="B2" i="1"/><c r="C2"/><c r="B3"/><c r="B4"/><c r="B5"/><c r="B1" i="2"/>'


def write_zip(path, parts, comment=b""):
    """Members in the given order, each with its own time stamp; docProps stored, the rest deflated."""
    with zipfile.ZipFile(path, "w") as package:
        for index, (name, data) in enumerate(parts):
            info = zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 2 * index))
            stored = name.startswith("docProps/")
            info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
            info.extra = UT_EXTRA if stored else b""
            package.writestr(info, data)
        package.comment = comment
    return str(path)


def handmade(path, sheets, *, strict=False, strings=(), calc_chain="", sheet_rels=(),
             calc_pr='<calcPr calcId="191029"/>', sheet_entries=None, comment=b""):
    """A workbook written part by part. `sheets` is a list of (title, worksheet body)."""
    main, rel = (MAIN_STRICT, REL_STRICT) if strict else (MAIN, REL)
    rel_type = (REL_STRICT if strict else REL) + "/"
    decl = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    overrides = ['<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-'
                 'officedocument.spreadsheetml.sheet.main+xml"/>',
                 '<Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-'
                 'officedocument.spreadsheetml.styles+xml"/>',
                 '<Override PartName="/docProps/core.xml" ContentType="application/vnd.openxmlformats-'
                 'package.core-properties+xml"/>']
    rels = [f'<Relationship Id="rIdStyles" Type="{rel_type}styles" Target="styles.xml"/>']
    entries = []
    for number, (title, _) in enumerate(sheets, 1):
        overrides.append(f'<Override PartName="/xl/worksheets/sheet{number}.xml" ContentType="{SHEET_TYPE}"/>')
        rels.append(f'<Relationship Id="rId{number}" Type="{rel_type}worksheet" '
                    f'Target="worksheets/sheet{number}.xml"/>')
        entries.append(f'<sheet name="{title}" sheetId="{number}" r:id="rId{number}"/>')
    parts = [("[Content_Types].xml", None),
             ("_rels/.rels", decl + f'<Relationships xmlns="{PKG_REL}"><Relationship Id="rId1" '
              f'Type="{rel_type}officeDocument" Target="xl/workbook.xml"/><Relationship Id="rId2" '
              'Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" '
              'Target="docProps/core.xml"/></Relationships>'),
             ("docProps/core.xml", decl + '<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/'
              'package/2006/metadata/core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/">'
              '<dc:creator>hand</dc:creator></cp:coreProperties>')]
    if strings:
        overrides.append('<Override PartName="/xl/sharedStrings.xml" ContentType="application/'
                         'vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>')
        rels.append(f'<Relationship Id="rIdStrings" Type="{rel_type}sharedStrings" Target="sharedStrings.xml"/>')
        items = "".join(f"<si>{item}</si>" for item in strings)
        parts.append(("xl/sharedStrings.xml", decl + f'<sst xmlns="{main}" count="{len(strings)}" '
                      f'uniqueCount="{len(strings)}">{items}</sst>'))
    if calc_chain:
        overrides.append('<Override PartName="/xl/calcChain.xml" ContentType="application/'
                         'vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml"/>')
        rels.append(f'<Relationship Id="rIdChain" Type="{rel_type}calcChain" Target="calcChain.xml"/>')
        parts.append(("xl/calcChain.xml", decl + f'<calcChain xmlns="{main}">{calc_chain}</calcChain>'))
    entries = sheet_entries if sheet_entries is not None else "".join(entries)
    parts.append(("xl/workbook.xml", decl + f'<workbook xmlns="{main}" xmlns:r="{rel}"><workbookPr/>'
                  f'<bookViews><workbookView/></bookViews><sheets>{entries}</sheets>{calc_pr}</workbook>'))
    parts.append(("xl/_rels/workbook.xml.rels", decl + f'<Relationships xmlns="{PKG_REL}">{"".join(rels)}'
                  '</Relationships>'))
    parts.append(("xl/styles.xml", decl + STYLES.format(main=main)))
    for number, (_, body) in enumerate(sheets, 1):
        parts.append((f"xl/worksheets/sheet{number}.xml", decl + f'<worksheet xmlns="{main}" '
                      f'xmlns:r="{rel}">{body}</worksheet>'))
    for name, data in sheet_rels:
        parts.append((name, decl + f'<Relationships xmlns="{PKG_REL}">{data}</Relationships>'))
    parts[0] = ("[Content_Types].xml", decl + f'<Types xmlns="{TYPES}"><Default Extension="rels" '
                'ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default '
                f'Extension="xml" ContentType="application/xml"/>{"".join(overrides)}</Types>')
    return write_zip(path, parts, comment)


def data_book(path, **options):
    return handmade(path, [("Data", DATA_SHEET), ("Other", OTHER_SHEET)], strings=SHARED_STRINGS,
                    calc_chain=CALC_CHAIN, **options)


def members(path):
    with zipfile.ZipFile(path) as package:
        return {info.filename: (info.date_time, info.compress_type, info.extra, info.external_attr,
                                package.read(info)) for info in package.infolist()}


def cell_elements(data, main=MAIN):
    """Each cell element as text, without the namespace declarations it inherits."""
    return [re.sub(rb' xmlns(:\w+)?="[^"]*"', b"", etree.tostring(cell, with_tail=False))
            for cell in etree.fromstring(data).iter(f"{{{main}}}c")]


def skeleton(data, main=MAIN):
    """The part with every cell emptied: what must not change around the cells."""
    root = etree.fromstring(data)
    for cell in root.iter(f"{{{main}}}c"):
        cell.clear()
    return etree.tostring(root)


def changed_cells(before, after, part, main=MAIN):
    """The new elements of the cells that differ in `part`; everything else in it is identical."""
    old, new = before[part][4], after[part][4]
    assert skeleton(old, main) == skeleton(new, main)
    old_cells, new_cells = cell_elements(old, main), cell_elements(new, main)
    assert len(old_cells) == len(new_cells)
    return [b for a, b in zip(old_cells, new_cells) if a != b]


def string_items(data, main=MAIN):
    return [re.sub(rb' xmlns(:\w+)?="[^"]*"', b"", etree.tostring(item, with_tail=False))
            for item in etree.fromstring(data).iter(f"{{{main}}}si")]


def changed_strings(before, after, main=MAIN, part="xl/sharedStrings.xml"):
    """{number: new element} of the shared strings that differ."""
    old, new = string_items(before[part][4], main), string_items(after[part][4], main)
    return {index: item for index, item in enumerate(new) if index >= len(old) or old[index] != item}


def assert_untouched_except(before, after, *changed, dropped=()):
    """Same members in the same order with the same stamps and compression; bytes differ only where allowed."""
    assert list(after) == [name for name in before if name not in dropped]
    for name, (stamp, method, extra, attributes, data) in after.items():
        # zipfile gives a member without attributes its default permission bits.
        attributes = attributes if before[name][3] else 0
        assert (stamp, method, extra, attributes) == before[name][:4], name
        assert (data == before[name][4]) == (name not in changed), name


def workbook_calc(after):
    calc = etree.fromstring(after["xl/workbook.xml"][4]).find(f"{{{MAIN}}}calcPr")
    return dict(calc.attrib)


def run(tw, path, old, new):
    tw.replace_xlsx_content(str(path), old, new)
    return members(path)


# --------------------------------------------------------------------- LibreOffice

SOFFICE = shutil.which("soffice")


@pytest.fixture(scope="module")
def soffice(tmp_path_factory):
    """Converts with LibreOffice, in a profile of its own so parallel runs do not meet."""
    if not SOFFICE:
        unavailable("LibreOffice (soffice) is not installed")
    profile = tmp_path_factory.mktemp("soffice-profile")

    # LibreOffice gets no sanitizer runtime that was preloaded for the module.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}

    def convert(path, target, outdir):
        subprocess.run([SOFFICE, f"-env:UserInstallation={profile.as_uri()}", "--headless",
                        "--convert-to", target, "--outdir", str(outdir), str(path)],
                       check=True, capture_output=True, timeout=300, env=env)
    return convert


@pytest.fixture
def sheets_as_csv(soffice, tmp_path):
    """Every sheet of a workbook as LibreOffice computes and shows it: {title: rows}."""
    def read(path):
        outdir = tmp_path / "csv"
        shutil.rmtree(outdir, ignore_errors=True)
        soffice(path, "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1", outdir)
        stem = Path(path).stem + "-"
        return {file.stem[len(stem):]: list(csv.reader(open(file, encoding="utf-8", newline="")))
                for file in outdir.glob("*.csv")}
    return read


# --------------------------------------------------------------------- package level

def test_only_the_second_sheet_changes(tw, tmp_path, capsys, sheets_as_csv):
    path = data_book(tmp_path / "book.xlsx", comment=b"kept comment")
    before, stored = members(path), zip_layout.members(path)
    after = run(tw, path, "second", "2nd")
    zip_layout.assert_kept_except(stored, zip_layout.members(path), "xl/sharedStrings.xml", "xl/workbook.xml")
    assert capsys.readouterr().out.endswith(
        f"Found 'second old' in {path}, replacing with '2nd old'\nCell B1 value: =Data!B2+1\n"
        f"Cell A2 value: unchanged\nCell B2 value: None\nSaved changes to {path}\n")
    # The workbook has formulas: their results are computed again on opening. The one cell that
    # used the string keeps pointing at it, and the string itself changes.
    assert_untouched_except(before, after, "xl/sharedStrings.xml", "xl/workbook.xml")
    assert workbook_calc(after) == {"calcId": "191029", "fullCalcOnLoad": "1"}
    assert changed_strings(before, after) == {2: b'<si><t xml:space="preserve">2nd old</t></si>'}
    assert zipfile.ZipFile(path).comment == b"kept comment"
    sheets = openpyxl.load_workbook(path)
    assert [sheets["Other"]["A1"].value, sheets["Data"]["B1"].value] == ["2nd old", "bold old rich"]
    cached = openpyxl.load_workbook(path, data_only=True)
    assert [cached["Data"][c].value for c in ("A2", "B2", "C2", "B3", "B4", "B5")] == [
        27.299999999999997, 54.599999999999994, "old 27.3", 10, 20, 30]
    assert cached["Other"]["B1"].value == 55.599999999999994
    rich = openpyxl.load_workbook(path, rich_text=True)["Data"]["B1"].value
    assert [getattr(part, "text", part) for part in rich] == ["bold", " old rich"]
    shown = sheets_as_csv(path)
    assert shown["Other"][0][0] == "2nd old" and shown["Data"][1][:2] == ["27.3", "54.6"]


def test_changed_formula_drops_cached_result_and_calculation_chain(tw, tmp_path, sheets_as_csv):
    path = data_book(tmp_path / "book.xlsx")
    before = members(path)
    after = run(tw, path, "SUM", "PRODUCT")
    assert_untouched_except(before, after, "xl/worksheets/sheet1.xml", "xl/workbook.xml",
                            "xl/_rels/workbook.xml.rels", "[Content_Types].xml",
                            dropped=["xl/calcChain.xml"])
    assert changed_cells(before, after, "xl/worksheets/sheet1.xml") == [
        f'<c r="B2"><f>PRODUCT(A2,A2)</f></c>'.encode()]
    assert b"calcChain" not in after["xl/_rels/workbook.xml.rels"][4]
    assert b"calcChain" not in after["[Content_Types].xml"][4]
    assert workbook_calc(after)["fullCalcOnLoad"] == "1"
    cached = openpyxl.load_workbook(path, data_only=True)["Data"]
    assert [cached[c].value for c in ("A2", "B2", "C2", "B4")] == [27.299999999999997, None, "old 27.3", 20]
    assert openpyxl.load_workbook(path)["Data"]["B2"].value == "=PRODUCT(A2,A2)"
    assert sheets_as_csv(path)["Data"][1][1] == "745.29"


@pytest.mark.parametrize("old, new, changed, shown", [
    # The cell holding the group's formula changes: the others get their own formula.
    ("A3", "A4", [b'<c r="B3" s="1"><f>A4*10</f></c>', b'<c r="B4"><f>A4*10</f><v>20</v></c>',
                  b'<c r="B5"><f>A5*10</f><v>30</v></c>'], ["20", "20", "30"]),
    # A cell that borrows the formula changes alone.
    ("A5", "A3", [b'<c r="B5"><f>A3*10</f></c>'], ["10", "20", "10"]),
])
def test_shared_formulas(tw, tmp_path, sheets_as_csv, old, new, changed, shown):
    path = data_book(tmp_path / "book.xlsx")
    before = members(path)
    after = run(tw, path, old, new)
    assert changed_cells(before, after, "xl/worksheets/sheet1.xml") == changed
    sheet = openpyxl.load_workbook(path)["Data"]
    formulas = [sheet[c].value for c in ("B3", "B4", "B5")]
    assert formulas == ([f"={new}*10", "=A4*10", "=A5*10"] if old == "A3" else ["=A3*10", "=A4*10", "=A3*10"])
    assert [row[1] for row in sheets_as_csv(path)["Data"][2:5]] == shown


def test_unmatched_cells_keep_their_exact_form(tw, tmp_path):
    path = data_book(tmp_path / "book.xlsx")
    before = members(path)
    after = run(tw, path, "label", "tag")
    # The cell keeps its element and its style; only its string changes, and no other.
    assert_untouched_except(before, after, "xl/sharedStrings.xml", "xl/workbook.xml")
    assert changed_strings(before, after) == {0: b'<si><t xml:space="preserve">old tag</t></si>'}
    assert openpyxl.load_workbook(path)["Data"]["A1"].font.b


def reference_value(new):
    """What openpyxl's own save and load make of a text assigned to a cell."""
    wb = openpyxl.Workbook()
    wb.active["A1"] = new
    return wb.active["A1"].value, wb.active["A1"].data_type


@pytest.mark.parametrize("new", [
    "", "=", "=1+1", "#N/A", " padded\r\nline ", "x" * 40000, "tab\tand <&>", "ünï €",
])
def test_new_value_is_what_the_assignment_makes_of_it(tw, tmp_path, new):
    path = handmade(tmp_path / "book.xlsx", [("S", '<sheetData><row r="1"><c r="A1" s="1" t="inlineStr">'
                                               '<is><t>old</t></is></c><c r="B1"><v>7</v></c></row></sheetData>')])
    before = members(path)
    after = run(tw, path, "^old$", new.replace("\\", r"\\"))
    # No formula anywhere before: the calculation settings stay unless the new text is one.
    formula = reference_value(new)[1] == "f"
    assert_untouched_except(before, after, "xl/worksheets/sheet1.xml", *["xl/workbook.xml"] * formula)
    saved = openpyxl.Workbook()
    saved.active["A1"] = new
    saved.save(tmp_path / "reference.xlsx")
    expected = openpyxl.load_workbook(tmp_path / "reference.xlsx").active["A1"]
    cell = openpyxl.load_workbook(path).active["A1"]
    assert (cell.value, cell.style_id) == (expected.value, 1)
    # An empty text leaves an empty cell, whatever type the library's own save leaves on it.
    assert cell.data_type == (expected.data_type if new else "n")


def test_cells_without_references_are_found_as_the_library_numbers_them(tw, tmp_path):
    body = ('<sheetData><row><c t="inlineStr"><is><t>a</t></is></c><c t="inlineStr"><is><t>b</t></is></c></row>'
            '<row r="4"><c r="B4"><v>5</v></c><c><v>6</v></c><c t="inlineStr"><is><t>old</t></is></c></row>'
            '<row><c r="C5"><v>6</v></c></row></sheetData>')
    path = handmade(tmp_path / "book.xlsx", [("S", body)])
    before = members(path)
    after = run(tw, path, "^6$", "six")
    new = changed_cells(before, after, "xl/worksheets/sheet1.xml")
    assert len(new) == 2 and all(b'<t xml:space="preserve">six</t>' in cell for cell in new)
    cells = etree.fromstring(after["xl/worksheets/sheet1.xml"][4]).iter(f"{{{MAIN}}}c")
    assert [cell.get("r") for cell in cells] == [None, None, "B4", None, None, "C5"]
    sheet = openpyxl.load_workbook(path).active
    assert [[c.value for c in row] for row in sheet.iter_rows()] == [
        ["a", "b", None, None], [None] * 4, [None] * 4, [None, 5, "six", "old"], [None, None, "six", None]]


def test_strict_workbook_is_edited_in_its_own_vocabulary(tw, tmp_path, monkeypatch):
    strict = data_book(tmp_path / "strict.xlsx", strict=True)
    twin = data_book(tmp_path / "twin.xlsx")
    # The library reads only the transitional vocabulary: it is given the same workbook in it.
    monkeypatch.setattr(tw, "load_workbook", lambda file_path: openpyxl.load_workbook(twin))
    before = members(strict)
    after = run(tw, strict, "second", "2nd")
    assert_untouched_except(before, after, "xl/sharedStrings.xml", "xl/workbook.xml")
    assert changed_strings(before, after, MAIN_STRICT) == {2: b'<si><t xml:space="preserve">2nd old</t></si>'}
    calc = etree.fromstring(after["xl/workbook.xml"][4]).find(f"{{{MAIN_STRICT}}}calcPr")
    assert calc.get("fullCalcOnLoad") == "1"


def test_calculation_settings_are_added_where_the_workbook_lacks_them(tw, tmp_path):
    body = '<sheetData><row r="1"><c r="A1"><f>1+1</f><v>2</v></c><c r="B1" t="inlineStr"><is><t>old</t></is></c></row></sheetData>'
    path = handmade(tmp_path / "book.xlsx", [("S", body)], calc_pr="<extLst/>")
    after = run(tw, path, "old", "new")
    workbook = etree.fromstring(after["xl/workbook.xml"][4])
    assert [etree.QName(child).localname for child in workbook] == [
        "workbookPr", "bookViews", "sheets", "calcPr", "extLst"]
    assert workbook_calc(after) == {"fullCalcOnLoad": "1"}
    assert openpyxl.load_workbook(path, data_only=True).active["A1"].value == 2


def test_workbook_made_by_the_library_keeps_chart_comment_and_picture(tw, tmp_path):
    path = str(tmp_path / "book.xlsx")
    wb = openpyxl.Workbook()
    sheet = wb.active
    for row in [["name", "count"], ["old apples", 3], ["pears", 27.299999999999997]]:
        sheet.append(row)
    sheet["A3"].comment = Comment("an old note", "me")
    chart = BarChart()
    chart.add_data(Reference(sheet, min_col=2, min_row=1, max_row=3), titles_from_data=True)
    sheet.add_chart(chart, "D2")
    wb.create_sheet("Second")["A1"] = "old too"
    wb.save(path)
    before = members(path)
    after = run(tw, path, "old", "new")
    assert_untouched_except(before, after, "xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml")
    assert len(changed_cells(before, after, "xl/worksheets/sheet1.xml")) == 1
    reread = openpyxl.load_workbook(path)
    assert [reread.active["A2"].value, reread["Second"]["A1"].value] == ["new apples", "new too"]
    assert reread.active["A3"].comment.text == "an old note" and len(reread.active._charts) == 1


def test_workbook_made_by_libreoffice(tw, tmp_path, soffice, sheets_as_csv):
    cell = '<table:table-cell office:value-type="{}"{}>{}</table:table-cell>'
    text = lambda value: cell.format("string", "", f"<text:p>{value}</text:p>")
    number = lambda value, formula="": cell.format(
        "float", (f' table:formula="of:={formula}"' if formula else "") + f' office:value="{value}"', "")
    rows = [[text("old item"), number("27.299999999999997"), number("54.6", "[.B1]*2")],
            [text("keep"), number("81.9", "[.B1]*3"), number("245.7", "[.B2]*3")]]
    table = lambda name, rows: f'<table:table table:name="{name}">' + "".join(
        "<table:table-row>" + "".join(row) + "</table:table-row>" for row in rows) + "</table:table>"
    (tmp_path / "made.fods").write_text(
        '<?xml version="1.0" encoding="UTF-8"?><office:document '
        'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
        'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
        'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
        'xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" office:version="1.2" '
        'office:mimetype="application/vnd.oasis.opendocument.spreadsheet"><office:body><office:spreadsheet>'
        + table("Prices", rows) + table("Notes", [[text("old note")]])
        + "</office:spreadsheet></office:body></office:document>", encoding="utf-8")
    soffice(tmp_path / "made.fods", "xlsx", tmp_path)
    path = tmp_path / "made.xlsx"
    before = members(path)
    after = run(tw, path, "old", "new")
    assert_untouched_except(before, after, "xl/sharedStrings.xml", "xl/workbook.xml")
    assert len(changed_strings(before, after)) == 2
    assert workbook_calc(after)["fullCalcOnLoad"] == "1"
    cached = openpyxl.load_workbook(path, data_only=True)["Prices"]
    assert [cached["A1"].value, cached["C1"].value, cached["C2"].value] == ["new item", 54.6, 245.7]
    shown = sheets_as_csv(path)
    assert shown == {"Prices": [["new item", "27.3", "54.6"], ["keep", "81.9", "245.7"]],
                     "Notes": [["new note"]]}


# --------------------------------------------------------------------- falling back, failing

def duplicate_cell(tmp_path):
    body = ('<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>old one</t></is></c>'
            '<c r="A1" t="inlineStr"><is><t>old two</t></is></c></row></sheetData>')
    return handmade(tmp_path / "book.xlsx", [("S", body)]), "new two"


def declared_document_type(tmp_path):
    body = '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>old</t></is></c></row></sheetData>'
    path = handmade(tmp_path / "book.xlsx", [("S", body)])
    parts = members(path)
    sheet = parts["xl/worksheets/sheet1.xml"][4].replace(b"\n<worksheet", b"\n<!DOCTYPE worksheet>\n<worksheet")
    return write_zip(path, [(name, sheet if name.endswith("sheet1.xml") else data[4])
                            for name, data in parts.items()]), "new"


def value_only_from_hyperlink(tmp_path):
    body = ('<sheetData><row r="1"><c r="A1"><v>1</v></c></row></sheetData>'
            '<hyperlinks><hyperlink ref="C3" r:id="rIdLink"/></hyperlinks>')
    link = ('<Relationship Id="rIdLink" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
            'relationships/hyperlink" Target="https://example.com/old" TargetMode="External"/>')
    return handmade(tmp_path / "book.xlsx", [("S", body)],
                    sheet_rels=[("xl/worksheets/_rels/sheet1.xml.rels", link)]), "https://example.com/new"


def two_sheets_from_one_part(tmp_path):
    body = '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>old</t></is></c></row></sheetData>'
    entries = '<sheet name="A" sheetId="1" r:id="rId1"/><sheet name="B" sheetId="2" r:id="rId1"/>'
    return handmade(tmp_path / "book.xlsx", [("A", body)], sheet_entries=entries), "new"


def escaped_sheet_target(tmp_path):
    """The sheet's part is named with a "%": the workbook library reads the name as it stands,
    the document libraries might read it as an escape, so no package reader follows it."""
    body = '<sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>old</t></is></c></row></sheetData>'
    path = handmade(tmp_path / "book.xlsx", [("S", body)])
    escaped = [(name.replace("sheet1.xml", "sheet%31.xml"), data[4].replace(b"sheet1.xml", b"sheet%31.xml"))
               for name, data in members(path).items()]
    return write_zip(path, escaped), "new"


@pytest.mark.parametrize("make", [duplicate_cell, declared_document_type, value_only_from_hyperlink,
                                  two_sheets_from_one_part, escaped_sheet_target])
def test_package_that_cannot_be_edited_safely_is_saved_by_the_library(tw, tmp_path, capsys, make):
    path, expected = make(tmp_path)
    before = members(path)
    tw.replace_xlsx_content(path, "old", "new")
    assert capsys.readouterr().out.endswith(f"Saved changes to {path}\n")
    assert list(members(path)) != list(before)  # the library lays the package out its own way
    values = [c.value for sheet in openpyxl.load_workbook(path) for row in sheet.iter_rows() for c in row]
    assert expected in values and not any("old" in str(value) for value in values)


def test_falling_back_to_the_library_is_counted(probe, tmp_path, capsys):
    copied = data_book(tmp_path / "copied.xlsx")
    saved, _ = duplicate_cell(tmp_path)
    before = probe.library_saves()
    probe.replace_xlsx_content(copied, "old", "new")
    assert probe.library_saves() == before
    probe.replace_xlsx_content(saved, "old", "new")
    assert probe.library_saves() == before + 1
    assert capsys.readouterr().out.endswith(f"Saved changes to {saved}\n")


def test_sheets_that_are_not_the_ones_read_are_not_edited(tw, tmp_path, monkeypatch):
    path = data_book(tmp_path / "book.xlsx")

    def renamed(file_path):
        wb = openpyxl.load_workbook(file_path)
        wb["Other"].title = "Renamed"
        return wb

    monkeypatch.setattr(tw, "load_workbook", renamed)
    before = members(path)
    tw.replace_xlsx_content(path, "second", "2nd")
    assert list(members(path)) != list(before)
    assert openpyxl.load_workbook(path)["Renamed"]["A1"].value == "2nd old"


def test_failed_write_leaves_the_file_and_no_temporary(tw, tmp_path, capsys, monkeypatch):
    path = data_book(tmp_path / "book.xlsx")
    before = open(path, "rb").read()

    def failing(*args, **kwargs):  # the first changed part, after the members before it went out
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(zlib, "compress", failing)
    tw.replace_xlsx_content(path, "second", "2nd")
    assert capsys.readouterr().out.splitlines()[-1] == (
        f"Error processing {path}: [Errno 28] No space left on device")
    assert open(path, "rb").read() == before and os.listdir(tmp_path) == ["book.xlsx"]


def test_interrupt_while_reading_the_package_is_not_taken_for_a_damaged_one(tw, tmp_path, monkeypatch):
    path = data_book(tmp_path / "book.xlsx")
    before = open(path, "rb").read()

    def interrupted(self, *args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(zipfile.ZipFile, "infolist", interrupted)
    with pytest.raises(KeyboardInterrupt):
        tw.replace_xlsx_content(path, "second", "2nd")
    assert open(path, "rb").read() == before and os.listdir(tmp_path) == ["book.xlsx"]


def test_package_swapped_after_loading_is_held_to_the_limits(tw, tmp_path, capsys, monkeypatch):
    path = data_book(tmp_path / "book.xlsx")
    real_load, swapped = openpyxl.load_workbook, []

    def load_then_swap(stream):
        wb = real_load(stream)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as bomb:  # the same file, rewritten
            bomb.writestr("pad.bin", bytes(20 << 20))  # inflates far more than 200 times
        swapped.append(open(path, "rb").read())
        return wb

    monkeypatch.setattr(tw, "load_workbook", load_then_swap)
    tw.replace_xlsx_content(path, "second", "2nd")
    assert capsys.readouterr().out.splitlines()[-1].startswith(f"Error processing {path}: refusing")
    assert open(path, "rb").read() == swapped[0]
