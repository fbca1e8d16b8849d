"""A changed document or presentation is written from its own package: only the parts whose text
changed are new; every other member keeps its stored bytes, its place and its time stamp, and no
relationship is lost."""
import collections
import os
import subprocess
import zipfile

import docx
import pptx
from lxml import etree

import zip_layout
from office_fixtures import R_NS, odd_links_deck, wrapped_document
from run_support import probe  # noqa: F401
from test_document_editing import need, soffice


def references(path, member):
    """Every attribute in the relationships namespace of a part, with its value, counted."""
    root = etree.fromstring(zipfile.ZipFile(path).read(member))
    return collections.Counter((element.tag, name, value) for element in root.iter()
                               for name, value in element.attrib.items() if name.startswith(f"{{{R_NS}}}"))


def test_relationships_the_library_cannot_follow_are_kept(tw, tmp_path):
    path = odd_links_deck(tmp_path)
    before, refs = zip_layout.members(path), references(path, "ppt/slides/slide1.xml")
    tw.replace_pptx_content(path, "Acme", "Globex")
    zip_layout.assert_kept_except(before, zip_layout.members(path), "ppt/slides/slide1.xml")
    assert references(path, "ppt/slides/slide1.xml") == refs
    shape = pptx.Presentation(path).slides[0].shapes[0]
    assert shape.text_frame.text == "Globex report, see note 1\nGlobex online"


def test_only_the_parts_that_changed_are_new(tw, tmp_path):
    path = str(tmp_path / "parts.docx")
    made = docx.Document()
    made.add_paragraph("body text")
    made.sections[0].header.paragraphs[0].text = "Acme header"
    made.sections[0].footer.paragraphs[0].text = "footer text"
    made.save(path)
    before = zip_layout.members(path)
    header = next(name for name, _, _ in before if name.startswith("word/header"))
    tw.replace_docx_content(path, "Acme", "Globex")
    zip_layout.assert_kept_except(before, zip_layout.members(path), header)
    reread = docx.Document(path)
    assert reread.sections[0].header.paragraphs[0].text == "Globex header"
    assert [p.text for p in reread.paragraphs] == ["body text"]


def test_a_package_the_copy_cannot_edit_is_saved_by_the_library_and_counted(probe, tmp_path):
    for name, make in (("doc.docx", docx.Document), ("deck.pptx", pptx.Presentation)):
        made, path = make(), str(tmp_path / name)
        if name.endswith(".docx"):
            made.add_paragraph("Acme")
        else:
            made.slides.add_slide(made.slide_layouts[5]).shapes.title.text = "Acme"
        made.save(path)
        with open(path, "rb") as file:
            data = file.read()
        with open(path, "wb") as file:  # bytes before the archive: zipfile reads it, the copy does not
            file.write(b"MZ" + data)
        saves = probe.library_saves()
        getattr(probe, "replace_" + name[-4:] + "_content")(path, "Acme", "Globex")
        assert probe.library_saves() == saves + 1
        opened = docx.Document(path) if name.endswith(".docx") else pptx.Presentation(path)
        texts = ([p.text for p in opened.paragraphs] if name.endswith(".docx")
                 else [opened.slides[0].shapes.title.text])
        assert texts == ["Globex"]
    saves = probe.library_saves()
    probe.replace_pptx_content(odd_links_deck(tmp_path), "Acme", "Globex")
    assert probe.library_saves() == saves


def test_libreoffice_prints_the_new_text_of_a_copied_package(tw, tmp_path):
    need("soffice")
    need("pdftotext")
    deck, document = odd_links_deck(tmp_path), wrapped_document(tmp_path)
    tw.replace_pptx_content(deck, "Acme", "Globex")
    tw.replace_docx_content(document, "Acme", "Globex")
    soffice(str(tmp_path), "pdf", deck, document)
    printed = [subprocess.run(["pdftotext", "-layout", os.path.splitext(path)[0] + ".pdf", "-"], check=True,
                              capture_output=True, text=True).stdout for path in (deck, document)]
    assert "Acme" not in printed[0] and printed[0].count("Globex") == 2
    assert "Acme" not in printed[1]
    for shown in ("Globex City", "Globex Ltd", "Globex Inc", "about Globex", "Plain cell Globex",
                  "Controlled cell Globex", "Controlled row Globex"):
        assert shown in printed[1]
