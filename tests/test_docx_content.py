import io
import os
import re
import zipfile

import docx
import docx.opc.exceptions
import pytest
from docx.opc.constants import RELATIONSHIP_TYPE as RT
from docx.oxml import parse_xml
from docx.oxml.ns import nsdecls, qn
from docx.shared import Pt, RGBColor
from PIL import Image

from document_checks import W, check_file, docx_units, kept_elements, text

PNG = io.BytesIO()
Image.new("RGB", (4, 4), "red").save(PNG, "PNG")


@pytest.fixture
def make_doc(tmp_path):
    path = str(tmp_path / "report.docx")

    def make(build):
        document = docx.Document()
        build(document)
        document.save(path)
        return path
    return make


def replace_checked(tw, path, old, new, formatting=True):
    """Runs the handler and checks every unit against the plain substitution
    and, with `formatting`, every character outside the matches."""
    before, kept = docx_units(path), kept_elements(path)
    tw.replace_docx_content(path, old, new)
    check_file(before, path, old, new, formatting)
    if formatting:
        assert kept_elements(path) == kept


def untouched(path, run):
    before, data = os.stat(path), open(path, "rb").read()
    run()
    after = os.stat(path)
    return ((after.st_ino, after.st_mtime_ns, open(path, "rb").read()) ==
            (before.st_ino, before.st_mtime_ns, data)
            and os.listdir(os.path.dirname(path)) == [os.path.basename(path)])


def add_hyperlink(paragraph, text, url="https://example.com/", bold=False):
    rid = paragraph.part.relate_to(url, RT.HYPERLINK, is_external=True)
    props = "<w:b/>" if bold else ""
    paragraph._p.append(parse_xml(
        f'<w:hyperlink {nsdecls("w", "r")} r:id="{rid}"><w:r><w:rPr><w:rStyle w:val="Hyperlink"/>'
        f'{props}</w:rPr><w:t xml:space="preserve">{text}</w:t></w:r></w:hyperlink>'))


def add_field(paragraph, instruction, result):
    """A complex field: begin, instruction, separator, result run, end."""
    for xml in ('<w:fldChar w:fldCharType="begin"/>',
                f'<w:instrText xml:space="preserve"> {instruction} </w:instrText>',
                '<w:fldChar w:fldCharType="separate"/>',
                f'<w:rPr><w:u w:val="single"/></w:rPr><w:t>{result}</w:t>',
                '<w:fldChar w:fldCharType="end"/>'):
        paragraph._p.append(parse_xml(f'<w:r {nsdecls("w")}>{xml}</w:r>'))


def rich_paragraphs(document):
    p = document.add_paragraph(style="Heading 1")
    p.add_run("Acme annual report")
    p = document.add_paragraph()
    p.add_run("The ")
    p.add_run("Acme 20").bold = True
    run = p.add_run("23 results")
    run.italic, run.font.size, run.font.color.rgb = True, Pt(15), RGBColor(0xC0, 0, 0)
    p.add_run(" are in,\tsee Acme.")
    p = document.add_paragraph("Line one of Acme")
    p.runs[0].add_break()
    p.add_run("line two ").underline = True
    p.add_run("ends Acme")
    document.add_paragraph()


# --- keeping what is not matched ---------------------------------------------

@pytest.mark.parametrize("old, new", [
    ("Acme", "Globex Corp"),             # inside one run, several times
    ("Acme*23", "X"),                    # across a bold and an italic run
    ("me 2023 re", "[\\g<0>]"),          # the match's own expansion
    ("e", ""),                           # removal, runs emptied
    ("*", "~"),                          # empty matches, empty paragraphs included
    ("Acme", "tab\there\nnew line"),     # tab and line feed become their own nodes
    ("s*A", "\\n"),                      # a template escape becomes a break
    ("Line*of", "\t"),
])
def test_runs_outside_matches_keep_their_formatting(tw, make_doc, old, new):
    replace_checked(tw, make_doc(rich_paragraphs), old, new)


def test_replacement_goes_into_the_run_where_the_match_begins(tw, make_doc):
    path = make_doc(rich_paragraphs)
    tw.replace_docx_content(path, "Acme*23", "Globex\t2024\nfinal")
    p = docx.Document(path).paragraphs[1]
    assert [(r.text, r.bold, r.italic) for r in p.runs] == [
        ("The ", None, None), ("Globex\t2024\nfinal", True, None),
        (" results", None, True), (" are in,\tsee Acme.", None, None)]
    run = p.runs[1]._r
    assert [child.tag for child in run][1:] == [qn("w:t"), qn("w:tab"), qn("w:t"), qn("w:br"), qn("w:t")]


def test_empty_paragraph_takes_the_paragraph_mark_formatting(tw, make_doc):
    def build(document):
        p = document.add_paragraph()
        p._p.get_or_add_pPr().append(parse_xml(f'<w:rPr {nsdecls("w")}><w:b/><w:sz w:val="40"/></w:rPr>'))
        document.add_paragraph("x")

    path = make_doc(build)
    tw.replace_docx_content(path, "^$", "filled")
    empty, other = docx.Document(path).paragraphs
    assert (empty.text, empty.runs[0].bold, empty.runs[0].font.size) == ("filled", True, Pt(20))
    assert other.text == "x"


def test_picture_field_and_bookmark_next_to_matches_survive(tw, make_doc):
    def build(document):
        p = document.add_paragraph("Logo of Acme ")
        p.add_run().add_picture(io.BytesIO(PNG.getvalue()))
        p.add_run(" Acme logo")
        p = document.add_paragraph("Printed Acme ")
        add_field(p, "DATE \\@ yyyy", "Acme 2023")
        p.add_run(" by Acme")
        p = document.add_paragraph()
        p._p.append(parse_xml(f'<w:bookmarkStart {nsdecls("w")} w:id="0" w:name="m"/>'))
        p.add_run("Acme")
        p._p.append(parse_xml(f'<w:bookmarkEnd {nsdecls("w")} w:id="0"/>'))
        p.add_run(" marked")

    path = make_doc(build)
    replace_checked(tw, path, "Acme", "Globex")
    replace_checked(tw, path, "Globex  Globex|Globex 2023", "one")   # across the picture, in a field result
    assert [p.text for p in docx.Document(path).paragraphs] == [
        "Logo of one logo", "Printed Globex one by Globex", "Globex marked"]
    replace_checked(tw, path, "*", "")     # every character matched: only the text goes


def test_hyperlink_text_edited_inside_link_falls_back_across_its_edge(tw, make_doc):
    def build(document):
        p = document.add_paragraph("Visit ")
        add_hyperlink(p, "the Acme site", bold=True)
        p.add_run(" for Acme news.")
        document.add_paragraph("unrelated").runs[0].italic = True

    path = make_doc(build)
    replace_checked(tw, path, "Acme", "Globex")           # inside and outside the link
    document = docx.Document(path)
    assert document.paragraphs[0].hyperlinks[0].text == "the Globex site"
    assert document.paragraphs[0].hyperlinks[0].runs[0].bold

    replace_checked(tw, path, "site*news", "page", formatting=False)   # crosses the link's edge
    document = docx.Document(path)
    assert document.paragraphs[0].text == "Visit the Globex page."
    assert document.paragraphs[1].runs[0].italic   # other paragraphs untouched


# --- table cells -------------------------------------------------------------

def cell_document(document):
    table = document.add_table(rows=2, cols=2)
    cell = table.cell(0, 0)
    cell.paragraphs[0].add_run("Acme ").bold = True
    cell.paragraphs[0].add_run("first")
    second = cell.add_paragraph("second Acme", style="List Bullet")
    second.alignment = 1
    inner = cell.add_table(rows=1, cols=1).cell(0, 0)
    inner.text = "nested Acme"
    inner.paragraphs[0].runs[0].italic = True
    table.cell(1, 1).text = "x1"
    table.cell(1, 1).add_paragraph("2y")


def test_cell_paragraphs_edited_in_place_with_nested_table(tw, make_doc):
    path = make_doc(cell_document)
    replace_checked(tw, path, "Acme", "Globex")
    replace_checked(tw, path, "x*y", "joined")         # a wildcard never joins two paragraphs
    replace_checked(tw, path, "*", "-")
    cell = docx.Document(path).tables[0].cell(0, 0)
    assert [p.style.name for p in cell.paragraphs] == ["Normal", "List Bullet", "Normal"]
    assert cell.paragraphs[1].alignment == 1
    assert cell.tables[0].cell(0, 0).text == "-" * 27     # as re.sub(".*?", "-", ...) gives


def test_match_spanning_two_paragraphs_of_a_cell_falls_back(tw, make_doc):
    path = make_doc(cell_document)
    old_text = docx.Document(path).tables[0].cell(0, 0).text
    tw.replace_docx_content(path, "first\nsecond", "one")
    table = docx.Document(path).tables[0]
    assert table.cell(0, 0).text == re.sub("first\nsecond", "one", old_text)
    assert len(table.cell(0, 0).paragraphs) == 1
    assert table.cell(1, 1).text == "x1\n2y" and len(table.cell(1, 1).paragraphs) == 2


@pytest.mark.parametrize("corner", [(0, 2), (2, 0), (1, 1)])
def test_merged_cell_is_substituted_once(tw, make_doc, corner):
    def build(document):
        table = document.add_table(rows=3, cols=3)
        table.cell(0, 0).merge(table.cell(*corner)).text = "old"
        table.cell(2, 2).text = "old old"

    path = make_doc(build)
    tw.replace_docx_content(path, "old", "old-new")
    table = docx.Document(path).tables[0]
    assert (table.cell(0, 0).text, table.cell(2, 2).text) == ("old-new", "old-new old-new")


# --- every place that shows text --------------------------------------------

def test_headers_and_footers_of_every_kind_and_section(tw, make_doc):
    def build(document):
        document.settings.odd_and_even_pages_header_footer = True
        first = document.sections[0]
        first.different_first_page_header_footer = True
        for part in (first.header, first.first_page_header, first.even_page_header,
                     first.footer, first.first_page_footer, first.even_page_footer):
            part.paragraphs[0].add_run("Acme Ltd").bold = True
        second = document.add_section()
        second.header.is_linked_to_previous = False
        second.header.paragraphs[0].text = "Second Acme"
        second.header.add_table(1, 1, docx.shared.Inches(2)).cell(0, 0).text = "Acme in header table"
        document.add_paragraph("body without the keyword")

    path = make_doc(build)
    replace_checked(tw, path, "Acme", "Globex")
    first, second = docx.Document(path).sections
    assert [p.paragraphs[0].text for p in (first.header, first.first_page_header, first.even_page_header,
                                           first.footer, first.first_page_footer, first.even_page_footer)] \
        == ["Globex Ltd"] * 6
    assert first.header.paragraphs[0].runs[0].bold
    assert second.header.tables[0].cell(0, 0).text == "Globex in header table"
    assert second.footer.is_linked_to_previous     # no definition was added


def test_shared_and_linked_headers_are_substituted_once(tw, make_doc):
    def build(document):
        document.sections[0].header.paragraphs[0].text = "old"
        document.add_section()                       # linked to the previous one
        third = document.add_section()
        reference = document.sections[0]._sectPr.find(qn("w:headerReference"))
        third._sectPr.insert(0, parse_xml(reference.xml))   # the same part, by reference

    path = make_doc(build)
    tw.replace_docx_content(path, "old", "old-new")
    sections = docx.Document(path).sections
    assert [s.header.paragraphs[0].text for s in sections] == ["old-new"] * 3
    with zipfile.ZipFile(path) as package:
        assert len([n for n in package.namelist() if "header" in n]) == 1


def test_keyword_only_in_a_header_is_replaced_and_no_part_is_added(tw, make_doc):
    def build(document):
        document.sections[0].header.paragraphs[0].text = "Acme letterhead"
        document.add_paragraph("Dear customer")

    path = make_doc(build)
    with zipfile.ZipFile(path) as package:
        names = sorted(package.namelist())
    tw.replace_docx_content(path, "Acme", "Globex")
    assert docx.Document(path).sections[0].header.paragraphs[0].text == "Globex letterhead"
    with zipfile.ZipFile(path) as package:
        assert sorted(package.namelist()) == names


TEXT_BOX = """<mc:AlternateContent xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006"
 xmlns:wps="http://schemas.microsoft.com/office/word/2010/wordprocessingShape"
 xmlns:v="urn:schemas-microsoft-com:vml" {w} {wp} {a}>
 <mc:Choice Requires="wps"><w:drawing><wp:inline><wp:extent cx="1800000" cy="720000"/><wp:docPr id="{id}" name="Box {id}"/>
  <a:graphic><a:graphicData uri="http://schemas.microsoft.com/office/word/2010/wordprocessingShape">
   <wps:wsp><wps:cNvSpPr txBox="1"/><wps:spPr><a:prstGeom prst="rect"/></wps:spPr>
    <wps:txbx><w:txbxContent>{content}</w:txbxContent></wps:txbx><wps:bodyPr/></wps:wsp>
  </a:graphicData></a:graphic></wp:inline></w:drawing></mc:Choice>
 <mc:Fallback><w:pict><v:rect style="width:140pt;height:56pt"><v:textbox><w:txbxContent>{content}</w:txbxContent></v:textbox></v:rect></w:pict></mc:Fallback>
</mc:AlternateContent>"""

BOX_CONTENT = '<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>Boxed Acme</w:t></w:r><w:r><w:t xml:space="preserve"> 2023</w:t></w:r></w:p>'


def add_text_box(paragraph, box_id, content=BOX_CONTENT):
    run = paragraph.add_run("")
    run._r.append(parse_xml(TEXT_BOX.format(w=nsdecls("w"), wp=nsdecls("wp"), a=nsdecls("a"),
                                            id=box_id, content=content)))


def test_text_boxes_content_controls_and_nested_tables(tw, make_doc):
    def build(document):
        add_text_box(document.add_paragraph("Before the box "), 1)
        add_text_box(document.sections[0].header.paragraphs[0], 2)
        nested_box = document.add_table(1, 1).cell(0, 0).add_table(1, 1).cell(0, 0).paragraphs[0]
        add_text_box(nested_box, 3)
        document.element.body.insert(0, parse_xml(
            f'<w:sdt {nsdecls("w")}><w:sdtPr><w:alias w:val="Company"/></w:sdtPr><w:sdtContent>'
            '<w:p><w:r><w:rPr><w:i/></w:rPr><w:t>Acme in a control</w:t></w:r></w:p>'
            '<w:tbl><w:tblGrid><w:gridCol/></w:tblGrid><w:tr><w:tc><w:p><w:r><w:t>Acme cell in a control</w:t>'
            '</w:r></w:p></w:tc></w:tr></w:tbl></w:sdtContent></w:sdt>'))

    path = make_doc(build)
    replace_checked(tw, path, "Acme", "Globex")
    units = [text(u) for u in docx_units(path)]
    assert units.count("Boxed Globex 2023") == 6    # each box and the copy kept for old readers
    assert "Globex in a control" in units and "Globex cell in a control" in units
    assert not any("Acme" in u for u in units)
    replace_checked(tw, path, "Globex 2023", "\t")


def add_notes(path, footnotes, endnotes):
    """Adds footnotes and endnotes parts (python-docx cannot make them), with a
    separator note each and a reference to every note from the first paragraph."""
    kinds = [("footnotes", "footnote", footnotes), ("endnotes", "endnote", endnotes)]
    with zipfile.ZipFile(path) as package:
        parts = {name: package.read(name) for name in package.namelist()}
    refs = ""
    for kind, tag, notes in kinds:
        body = f'<w:{tag} w:type="separator" w:id="-1"><w:p><w:r><w:separator/></w:r></w:p></w:{tag}>'
        for number, content in enumerate(notes, start=1):
            body += f'<w:{tag} w:id="{number}">{content}</w:{tag}>'
            refs += f'<w:r><w:rPr><w:vertAlign w:val="superscript"/></w:rPr><w:{tag}Reference w:id="{number}"/></w:r>'
        parts[f"word/{kind}.xml"] = f'<w:{kind} {nsdecls("w")}>{body}</w:{kind}>'.encode()
        parts["[Content_Types].xml"] = parts["[Content_Types].xml"].replace(b"</Types>", (
            f'<Override PartName="/word/{kind}.xml" ContentType="application/'
            f'vnd.openxmlformats-officedocument.wordprocessingml.{kind}+xml"/></Types>').encode())
        parts["word/_rels/document.xml.rels"] = parts["word/_rels/document.xml.rels"].replace(
            b"</Relationships>", (f'<Relationship Id="rIdNotes{kind}" Target="{kind}.xml" Type="'
                                  f'http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
                                  f'{kind}"/></Relationships>').encode())
    parts["word/document.xml"] = re.sub(rb"(<w:p[ >].*?)</w:p>", lambda m: m.group(1) + refs.encode() + b"</w:p>",
                                        parts["word/document.xml"], count=1, flags=re.S)
    with zipfile.ZipFile(path, "w") as package:
        for name, data in parts.items():
            package.writestr(name, data)


def test_footnotes_and_endnotes(tw, make_doc):
    path = make_doc(lambda d: d.add_paragraph("Body text"))
    note = '<w:p><w:r><w:footnoteRef/></w:r><w:r><w:rPr><w:i/></w:rPr><w:t>Source: Acme</w:t></w:r></w:p>'
    add_notes(path, [note, '<w:p><w:r><w:t>no keyword</w:t></w:r></w:p>'],
              ['<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>Acme endnote</w:t></w:r></w:p>'])
    replace_checked(tw, path, "Acme", "Globex")
    assert [text(u) for u in docx_units(path)][1:] == ["Globex endnote", "Source: Globex", "no keyword"]
    replace_checked(tw, path, "^$", "separator must stay empty")
    with zipfile.ZipFile(path) as package:
        assert b"<w:separator/>" in package.read("word/footnotes.xml")
        assert b"separator must" not in package.read("word/endnotes.xml")


def test_text_node_with_an_entity_reference_is_assigned_not_edited(tw, make_doc):
    """The library leaves entities unresolved and reads a text node only up to
    the reference; saved without its declaration, a kept reference would make
    the document unreadable."""
    path = make_doc(lambda d: d.add_paragraph("Report by ENTITY today"))
    with zipfile.ZipFile(path) as package:
        parts = {name: package.read(name) for name in package.namelist()}
    xml = parts["word/document.xml"].decode()
    head, mark, body = xml.partition("?>")
    parts["word/document.xml"] = (head + mark + '<!DOCTYPE w:document [<!ENTITY co "Acme">]>' +
                                  body.replace("ENTITY", "&co;")).encode()
    with zipfile.ZipFile(path, "w") as package:
        for name, data in parts.items():
            package.writestr(name, data)
    assert docx.Document(path).paragraphs[0].text == "Report by "
    tw.replace_docx_content(path, "Report", "Summary")
    assert docx.Document(path).paragraphs[0].text == "Summary by "


# --- what is left alone -----------------------------------------------------

@pytest.mark.parametrize("old", ["absent", "Acme\\d"])
def test_document_without_a_match_is_not_written(tw, make_doc, old):
    def build(document):
        rich_paragraphs(document)
        document.sections[0].header.paragraphs[0].text = "header"
        cell_document(document)

    path = make_doc(build)
    assert untouched(path, lambda: tw.replace_docx_content(path, old, "new"))


@pytest.mark.parametrize("content, new, error", [
    (None, r"\q", re.error),          # template rejected at the first match
    (None, "bell\x07", ValueError),    # a character a document cannot hold
    (b"old, not a package", "new", docx.opc.exceptions.PackageNotFoundError),
])
def test_failure_leaves_file_as_it_was(tw, make_doc, content, new, error):
    path = make_doc(lambda d: d.add_paragraph("old"))
    if content is not None:
        open(path, "wb").write(content)

    def run():
        with pytest.raises(error):
            tw.replace_docx_content(path, "old", new)
    assert untouched(path, run)
