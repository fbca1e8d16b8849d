"""A document or presentation is not loaded when the keyword provably occurs
in none of its text. These check that every place the handlers read text
from still has its keyword replaced, and that a package the library would
refuse is still loaded, so that its error stays what it was."""
import random
import types
import zipfile

import docx
import pptx
import pytest
from docx.oxml.ns import nsdecls

from test_docx_content import TEXT_BOX, add_notes, untouched

PLACEHOLDER = "<w:p><w:r><w:t>PLACEHOLDER</w:t></w:r></w:p>"


@pytest.fixture
def loads(tw, monkeypatch):
    """The files the handlers hand to the libraries' loaders (as a stream
    of the file's content, named by its path)."""
    seen = []
    real_document, real_presentation = docx.Document, pptx.Presentation
    monkeypatch.setattr(tw, "docx", types.SimpleNamespace(
        Document=lambda stream: seen.append(str(stream)) or real_document(stream)))
    monkeypatch.setattr(tw, "Presentation", lambda stream: seen.append(str(stream)) or real_presentation(stream))
    return seen


def rewrite(path, change):
    """Rewrites the package with change(name, data) -> data, or None to drop the member."""
    with zipfile.ZipFile(path) as package:
        members = [(info, package.read(info)) for info in package.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        for info, data in members:
            data = change(info.filename, data)
            if data is not None:
                package.writestr(info.filename, data)


def document(folder, body):
    """A document whose first paragraph is `body` (raw XML), alone in `folder`."""
    folder.mkdir(exist_ok=True)
    path = str(folder / "doc.docx")
    made = docx.Document()
    made.add_paragraph("PLACEHOLDER")
    made.save(path)
    rewrite(path, lambda name, data: data.replace(PLACEHOLDER.encode(), body.encode())
            if name == "word/document.xml" else data)
    return path


def first_paragraph(path):
    return docx.Document(path).paragraphs[0].text


BOX = TEXT_BOX.format(w=nsdecls("w"), wp=nsdecls("wp"), a=nsdecls("a"), id=1,
                      content="<w:p><w:r><w:t>ZZ</w:t></w:r></w:p>")


@pytest.mark.parametrize("body, old, after", [
    ("<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>Ac</w:t></w:r><w:r><w:t>me corp</w:t></w:r></w:p>",
     "Acme", "Globex corp"),
    # runs the library leaves out of the paragraph's text sit between the halves
    ('<w:p><w:r><w:t>Ac</w:t></w:r><w:ins w:id="1" w:author="a"><w:r><w:t>XX</w:t></w:r></w:ins>'
     "<w:r><w:t>me</w:t></w:r></w:p>", "Acme", "Globex"),
    (f"<w:p><w:r><w:t>Ac</w:t></w:r><w:r>{BOX}</w:r><w:r><w:t>me</w:t></w:r></w:p>", "Acme", "Globex"),
    ('<w:p><w:r><w:t>Ac</w:t><w:br w:type="page"/><w:t>me</w:t></w:r></w:p>', "Acme", "Globex"),
    ("<w:p><w:r><w:t>A&amp;B &#x41;c<![CDATA[me]]></w:t></w:r></w:p>", "A&B Acme", "Globex"),
    ("<w:p><w:r><w:t>Ac</w:t><w:noBreakHyphen/><w:t>me</w:t></w:r></w:p>", "Ac-me", "Globex"),
    ("<w:p><w:r><w:t>Ac</w:t><w:tab/><w:t>me</w:t></w:r></w:p>", "Ac\tme", "Globex"),
    # expressions too rich to read: the document is loaded
    ("<w:p><w:r><w:t>Acme</w:t></w:r></w:p>", "A[c]me", "Globex"),
    ("<w:p><w:r><w:t>Acme</w:t></w:r></w:p>", "(?i)ACME", "Globex"),
    ("<w:p><w:r><w:t>Acme</w:t></w:r></w:p>", "\\x41cme", "Globex"),
])
def test_paragraph_text_however_it_is_stored_is_replaced(tw, tmp_path, body, old, after):
    path = document(tmp_path, body)
    tw.replace_docx_content(path, old, "Globex")
    assert first_paragraph(path) == after


def test_keyword_only_in_a_footnote_or_a_text_box_is_replaced(tw, tmp_path):
    path = document(tmp_path / "notes", "<w:p><w:r><w:t>Body</w:t></w:r></w:p>")
    add_notes(path, ["<w:p><w:r><w:t>Source: Ac</w:t></w:r><w:r><w:t>me</w:t></w:r></w:p>"], [])
    tw.replace_docx_content(path, "Acme", "Globex")
    with zipfile.ZipFile(path) as package:
        assert b"Globex" in package.read("word/footnotes.xml")
    path = document(tmp_path / "box", f"<w:p><w:r>{BOX.replace('ZZ', 'Boxed Acme')}</w:r></w:p>")
    tw.replace_docx_content(path, "Acme", "Globex")
    with zipfile.ZipFile(path) as package:
        assert package.read("word/document.xml").count(b"Boxed Globex") == 2


def test_notes_under_another_content_type_are_still_searched(tw, tmp_path):
    # The library leaves such a part unparsed; the handler reads it all the same.
    path = document(tmp_path, "<w:p><w:r><w:t>Body</w:t></w:r></w:p>")
    add_notes(path, ["<w:p><w:r><w:t>Source: Acme</w:t></w:r></w:p>"], [])
    rewrite(path, lambda name, data: data.replace(b"wordprocessingml.footnotes+xml", b"example.notes+xml")
            if name == "[Content_Types].xml" else data)
    tw.replace_docx_content(path, "Acme", "Globex")
    with zipfile.ZipFile(path) as package:
        assert b"Source: Globex" in package.read("word/footnotes.xml")


def broken(member):
    def damage(path):
        rewrite(path, lambda name, data: data + b"<" if name == member else data)
    damage.__name__ = "broken " + member
    return damage


@pytest.mark.parametrize("member", ["word/webSettings.xml", "word/stylesWithEffects.xml", "customXml/item1.xml"])
def test_a_damaged_part_no_one_parses_does_not_force_a_load(tw, tmp_path, loads, member):
    path = document(tmp_path, "<w:p><w:r><w:t>Acme</w:t></w:r></w:p>")
    broken(member)(path)
    docx.Document(path)  # the library never parses it
    loads.clear()
    assert untouched(path, lambda: tw.replace_docx_content(path, "Globex", "x"))
    assert loads == []


def deck(folder, build):
    folder.mkdir(exist_ok=True)
    path = str(folder / "deck.pptx")
    prs = pptx.Presentation()
    build(prs.slides.add_slide(prs.slide_layouts[6]))
    prs.save(path)
    return path


def text_box(slide):
    from pptx.util import Inches
    return slide.shapes.add_textbox(Inches(1), Inches(1), Inches(3), Inches(1)).text_frame


def notes_only(slide):
    text_box(slide).text = "Body"
    slide.notes_slide.notes_text_frame.text = "Acme"


def broken_line(slide):
    paragraph = text_box(slide).paragraphs[0]
    paragraph.add_run().text = "Ac"
    paragraph.add_line_break()
    paragraph.add_run().text = "me"


def in_a_group_table(slide):
    from pptx.util import Inches
    slide.shapes.add_group_shape().shapes.add_textbox(Inches(1), Inches(1), Inches(2), Inches(1)).text = "x"
    table = slide.shapes.add_table(1, 2, Inches(1), Inches(3), Inches(4), Inches(1)).table
    table.cell(0, 1).text = "Acme"


@pytest.mark.parametrize("build, old, shown", [
    (notes_only, "Acme", lambda s: s.notes_slide.notes_text_frame.text),
    (broken_line, "Ac\vme", lambda s: s.shapes[0].text_frame.text),
    (in_a_group_table, "Acme", lambda s: s.shapes[1].table.cell(0, 1).text),
])
def test_presentation_text_wherever_it_is_is_replaced(tw, tmp_path, build, old, shown):
    path = deck(tmp_path, build)
    tw.replace_pptx_content(path, old, "Globex")
    assert shown(pptx.Presentation(path).slides[0]) == "Globex"


def test_documents_without_the_keyword_are_not_loaded(tw, tmp_path, loads):
    doc = document(tmp_path / "d", "<w:p><w:r><w:t>Acme corp</w:t></w:r></w:p>")
    presentation = deck(tmp_path / "p", notes_only)
    for old in ("Globex", "Acme*Globex", "Ac.me-Globex"):
        assert untouched(doc, lambda: tw.replace_docx_content(doc, old, "x"))
        assert untouched(presentation, lambda: tw.replace_pptx_content(presentation, old, "x"))
    assert loads == []
    tw.replace_pptx_content(presentation, "Globex", "x")
    tw.replace_pptx_content(presentation, "Ac*me", "x")
    assert loads == [presentation]  # the notes hold it


def test_parts_judged_for_one_keyword_are_read_again_for_another(tw, tmp_path, loads):
    """Decks of one template share their layouts byte for byte, and what the scan remembers of
    a part holds only for the keyword it searched the part for."""
    first, second = deck(tmp_path / "a", notes_only), deck(tmp_path / "b", notes_only)
    for path in (first, second):
        assert untouched(path, lambda: tw.replace_pptx_content(path, "Globex", "x"))
    assert loads == []
    # the layouts' prompts ("Click to edit Master title style") are text the library loads,
    # though the handler does not search it
    assert untouched(second, lambda: tw.replace_pptx_content(second, "Master title", "x"))
    assert loads == [second]


def main_part_of_a_presentation(path):
    """A presentation under a document's name."""
    pptx.Presentation().save(path)


def missing_styles(path):
    rewrite(path, lambda name, data: None if name == "word/styles.xml" else data)


def unclosed_tag(path):
    rewrite(path, lambda name, data: data.replace(b"</w:body>", b"<w:p></w:body>")
            if name == "word/document.xml" else data)


def wrong_checksum(path):
    """The directory's checksum of the main part is off by one bit."""
    with zipfile.ZipFile(path) as package:
        info = package.getinfo("word/document.xml")
    data = bytearray(open(path, "rb").read())
    entry = data.rfind(b"PK\x01\x02", 0, data.rfind(b"word/document.xml"))
    data[entry + 16:entry + 20] = (info.CRC ^ 1).to_bytes(4, "little")
    open(path, "wb").write(bytes(data))


def document_type(path):
    rewrite(path, lambda name, data: data.replace(b"?>", b"?><!DOCTYPE w:document>", 1)
            if name == "word/document.xml" else data)


def too_deep(path):
    """Well-formed, and deeper than the library's parser takes."""
    xml_fault(b"<w:body>", b"<w:body>" + b"<w:customXml>" * 300 + b"</w:customXml>" * 300)(path)


def text_too_long(path):
    """Well-formed, and a text longer than the library's parser takes (written so that it does
    not compress beyond the package limits)."""
    xml_fault(b"<w:t>Acme", b"<w:t>Acme" + random.Random(0).randbytes(5_000_001).hex().encode())(path)


def climbing_main_target(path):
    """The main part's target climbs above the package: the document library reads it from the
    root, the workbook library would not, so no package reader follows it."""
    rewrite(path, lambda name, data: data.replace(b'Target="word/document.xml"', b'Target="../word/document.xml"')
            if name == "_rels/.rels" else data)


def xml_fault(old, new):
    def damage(path):
        rewrite(path, lambda name, data: data.replace(old, new, 1) if name == "word/document.xml" else data)
    damage.__name__ = new.decode("utf-8", "replace")
    return damage


@pytest.mark.parametrize("damage", [
    main_part_of_a_presentation, missing_styles, unclosed_tag, wrong_checksum, document_type,
    broken("word/styles.xml"), broken("word/settings.xml"), broken("word/_rels/document.xml.rels"),
    xml_fault(b"<w:body>", b'<w:body w:a="1" w:a="2">'),
    xml_fault(b"<w:body>", b"<w:body><x:p/>"),
    xml_fault(b"<w:t>Acme", b"<w:t>Acme\x01"),
    xml_fault(b"<w:t>Acme", b"<w:t>Acme\xff"),
    xml_fault(b"<w:t>Acme", b"<w:t>Acme]]>"),
    xml_fault(b"<w:t>Acme", b"<w:t>Acme&nbsp;"),
    xml_fault(b"<w:t>Acme", b"<w:t>Acme<!-- a -- b -->"),
    xml_fault(b"<w:t>Acme", b"<w:t>Acme<w:x>"),
    xml_fault(b"UTF-8", b"ISO-8859-1"),
    too_deep, text_too_long, climbing_main_target,
])
def test_a_package_the_library_might_refuse_is_loaded_as_before(tw, tmp_path, loads, damage):
    path = document(tmp_path, "<w:p><w:r><w:t>Acme</w:t></w:r></w:p>")
    damage(path)
    try:
        docx.Document(path)
        expected = None
    except Exception as error:  # what the library says about it
        expected = error
    if expected is None:
        tw.replace_docx_content(path, "Globex", "x")
    else:
        with pytest.raises(type(expected)) as raised:
            tw.replace_docx_content(path, "Globex", "x")
        assert str(raised.value) == str(expected)
    assert loads == [path]
