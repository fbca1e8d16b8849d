"""A renamed table header renames the table's column, and what names the column follows."""
import contextlib
import io
import zipfile

import openpyxl
import pytest
from lxml import etree
from openpyxl.workbook.defined_name import DefinedName
from openpyxl.worksheet.table import Table, TableColumn, TableFormula

from run_support import probe  # noqa: F401
from test_workbook_writer import MAIN, members, sheets_as_csv, soffice, write_zip  # noqa: F401


@pytest.mark.parametrize("formula, expected", [
    ("SUM(Sales[Old])", "SUM(Sales[New])"),
    ("Sales[[#Headers],[Old]]", "Sales[[#Headers],[New]]"),
    ("SUM(sales[[old]:[Tax]])", "SUM(sales[[New]:[Tax]])"),       # names compared without case
    ("Sales[[#This Row],[Old]]*2", "Sales[[#This Row],[New]]*2"),
    ("Sales[@Old]", "Sales[@New]"),
    ('"Sales[Old]"&Other[Old]&\'Sales[Old]\'!A1', None),       # strings, other tables, sheet names
    ("SUM(Sales[Tax],Sales[])", None),
])
def test_references_to_the_column_follow(probe, formula, expected):
    assert probe.rename_columns(formula, [("Sales", "Old", "New")]) == (expected or formula)


@pytest.mark.parametrize("new, expected", [
    ("New Amount", "Sales[New Amount]"),            # a space needs no brackets of its own
    ("Net/Gross", "Sales[[Net/Gross]]"),            # "/" does
    ("No. #1", "Sales[[No. '#1]]"),                 # "#" is escaped
])
def test_a_new_name_gets_the_form_it_needs(probe, new, expected):
    assert probe.rename_columns("Sales[Old]", [("Sales", "Old", new)]) == expected
    # The keyword may have written the new name into the reference already: it gets that form too.
    assert probe.rename_columns(f"Sales[{new}]", [("Sales", "Old", new)]) == expected
    assert probe.rename_columns("Sales[Old]", [("Sales", "Old", "it's")]) == "Sales[[it''s]]"


@pytest.mark.parametrize("formula", [
    "[@Old]*2",                 # no table name: only the table's own cells know which table
    "[1]!Sales[Old]",           # a table of another workbook
    "SUM(Sales[[Old]",          # not a reference that reads
])
def test_references_that_are_not_certain(probe, formula):
    assert probe.rename_columns(formula, [("Sales", "Old", "New")]) is None


def sales_book(path, *, header="Old Amount", extra=None):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    for row in [["Name", header, "Tax"], ["a", 1, 2], ["b", 3, 4]]:
        ws.append(row)
    ws.add_table(Table(displayName="Sales", ref="A1:C3"))
    ws["E1"] = f"=SUM(Sales[{header}])"
    ws["E2"] = f"=SUM(sales[[{header}]:[Tax]])"
    ws["E3"] = '="Total: "&COUNT(Sales[Tax])'
    wb.create_sheet("Report")["A1"] = f"=Sales[[#Headers],[{header}]]"
    wb.defined_names["Amounts"] = DefinedName("Amounts", attr_text=f"Sales[{header}]")
    if extra:
        extra(wb)
    wb.save(path)
    return str(path)


def quiet(tw, path, old, new):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        tw.replace_xlsx_content(str(path), old, new)
    return out.getvalue()


def test_header_renames_the_column_and_every_reference(tw, tmp_path, sheets_as_csv):
    path = sales_book(tmp_path / "book.xlsx")
    quiet(tw, path, "Old Amount", "Net/Amount")
    wb = openpyxl.load_workbook(path)
    data = wb["Data"]
    assert [c.name for c in data.tables["Sales"].tableColumns] == ["Name", "Net/Amount", "Tax"]
    # E1 and E2 matched the keyword as text; the references still take the form the name needs.
    assert [data[c].value for c in ("B1", "E1", "E2", "E3")] == [
        "Net/Amount", "=SUM(Sales[[Net/Amount]])", "=SUM(sales[[Net/Amount]:[Tax]])", '="Total: "&COUNT(Sales[Tax])']
    assert wb["Report"]["A1"].value == "=Sales[[#Headers],[Net/Amount]]"
    assert wb.defined_names["Amounts"].attr_text == "Sales[[Net/Amount]]"
    shown = sheets_as_csv(path)
    assert [row[4] for row in shown["Data"][:3]] == ["4", "10", "Total: 2"]
    assert shown["Report"] == [["Net/Amount"]]


def test_references_the_keyword_did_not_reach_follow_too(tw, tmp_path, sheets_as_csv):
    path = sales_book(tmp_path / "book.xlsx", header="Amount")
    quiet(tw, path, "^Amount$", "Net")     # matches the header cell only
    wb = openpyxl.load_workbook(path)
    assert [wb["Data"][c].value for c in ("E1", "E2")] == ["=SUM(Sales[Net])", "=SUM(sales[[Net]:[Tax]])"]
    assert wb["Report"]["A1"].value == "=Sales[[#Headers],[Net]]"
    assert [row[4] for row in sheets_as_csv(path)["Data"][:2]] == ["4", "10"]


def test_column_formulas_of_other_tables_follow(tw, tmp_path):
    def summary(wb):
        report = wb["Report"]
        report.append(["Key", "Value"])
        report.append(["all", 4])
        columns = [TableColumn(id=1, name="Key"),
                   TableColumn(id=2, name="Value",
                               calculatedColumnFormula=TableFormula(attr_text="SUM(Sales[Old Amount])"))]
        report.add_table(Table(displayName="Summary", ref="A2:B3", tableColumns=columns))

    path = sales_book(tmp_path / "book.xlsx", extra=summary)
    quiet(tw, path, "^Old Amount$", "Net")
    column = openpyxl.load_workbook(path)["Report"].tables["Summary"].tableColumns[1]
    assert column.calculatedColumnFormula.attr_text == "SUM(Sales[Net])"


def pivot_parts(path, fields, formula=""):
    """A pivot cache built on the table Sales, added to a workbook by hand."""
    parts = {name: data[4] for name, data in members(path).items()}
    calc = f' formula="{formula}"' if formula else ""
    items = "".join(f'<cacheField name="{name}" numFmtId="0"{calc if i == 1 else ""}/>'
                     for i, name in enumerate(fields))
    parts["xl/pivotCache/pivotCacheDefinition1.xml"] = (
        f'<pivotCacheDefinition xmlns="{MAIN}" refreshOnLoad="1"><cacheSource type="worksheet">'
        f'<worksheetSource name="Sales"/></cacheSource><cacheFields count="{len(fields)}">{items}'
        '</cacheFields></pivotCacheDefinition>').encode()
    parts["xl/_rels/workbook.xml.rels"] = parts["xl/_rels/workbook.xml.rels"].replace(
        b"</Relationships>", b'<Relationship Id="rIdPivot" Type="http://schemas.openxmlformats.org/officeDocument/'
        b'2006/relationships/pivotCacheDefinition" Target="pivotCache/pivotCacheDefinition1.xml"/></Relationships>')
    return write_zip(path, list(parts.items()))


def cache_fields(path):
    root = etree.fromstring(zipfile.ZipFile(path).read("xl/pivotCache/pivotCacheDefinition1.xml"))
    return [field.get("name") for field in root.iter(f"{{{MAIN}}}cacheField")]


def test_pivot_cache_field_follows_where_it_is_the_column(tw, tmp_path):
    path = pivot_parts(sales_book(tmp_path / "book.xlsx"), ["Name", "Old Amount", "Tax"])
    quiet(tw, path, "Old Amount", "Net")
    assert cache_fields(path) == ["Name", "Net", "Tax"]


def with_member(path, name, data):
    parts = [(member, value[4]) for member, value in members(path).items()] + [(name, data)]
    return write_zip(path, parts)


@pytest.mark.parametrize("make, message", [
    (lambda p: with_member(sales_book(p), "xl/charts/chart1.xml",
                           b'<c:chartSpace xmlns:c="urn:c"><c:f>Sales[Old Amount]</c:f></c:chartSpace>'),
     "xl/charts/chart1.xml 中对它的引用无法确定地随之更新"),
    (lambda p: sales_book(p, extra=lambda wb: wb["Data"].__setitem__("E4", "=[@[Old Amount]]")),
     "xl/worksheets/sheet1.xml 中的引用无法确定地随之更新：[@[Old Amount]]"),
    (lambda p: pivot_parts(sales_book(p), ["Name", "Old Amount", "Tax"], formula="'Old Amount'*2"),
     "基于它的数据透视表的计算字段无法确定地随之更新"),
])
def test_a_reference_that_cannot_follow_leaves_the_workbook(tw, tmp_path, make, message):
    path = make(tmp_path / "book.xlsx")
    before = open(path, "rb").read()
    out = quiet(tw, path, "^Old Amount$", "Net")
    assert out.splitlines()[-1] == f"Error processing {path}: 表格“Sales”的列改名后，{message}；工作簿未修改"
    assert open(path, "rb").read() == before


@pytest.mark.parametrize("new, message", [
    ("Tax", "表格“Sales”会有两列同名“Tax”"),
    ("", "表格“Sales”的标题单元格 B1 不能成为公式、错误值或空白"),
    ("=1+1", "表格“Sales”的标题单元格 B1 不能成为公式、错误值或空白"),
])
def test_a_header_that_cannot_name_a_column_leaves_the_workbook(tw, tmp_path, new, message):
    path = sales_book(tmp_path / "book.xlsx")
    before = open(path, "rb").read()
    out = quiet(tw, path, "^Old Amount$", new)
    assert out.splitlines()[-1] == f"Error processing {path}: {message}；工作簿未修改"
    assert open(path, "rb").read() == before


def test_a_workbook_the_library_must_save_keeps_its_headers(tw, tmp_path):
    """A part name with an escape makes the writer fall back to the library's save, which would
    keep the table's old column names: the workbook is left as it is."""
    path = sales_book(tmp_path / "book.xlsx")
    escaped = [(name.replace("sheet1.xml", "sheet%31.xml"), data[4].replace(b"sheet1.xml", b"sheet%31.xml"))
               for name, data in members(path).items()]
    write_zip(path, escaped)
    before = open(path, "rb").read()
    out = quiet(tw, path, "^Old Amount$", "Net")
    assert "表格“Sales”的标题行改动了" in out.splitlines()[-1]
    assert open(path, "rb").read() == before
    quiet(tw, path, "Total", "Sum")  # outside the table's header row nothing stops it
    assert openpyxl.load_workbook(path)["Data"]["E3"].value == '="Sum: "&COUNT(Sales[Tax])'
