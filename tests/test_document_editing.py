"""Run-level editing across many keywords, and on documents made by another
program (LibreOffice), down to the printed page."""
import base64
import io
import os
import random
import shutil
import subprocess

import docx
import pptx
import pytest
from docx.shared import Pt, RGBColor
from PIL import Image
from pptx.util import Inches

from conftest import unavailable
from document_checks import check_file, kept_elements, text, units_of

HANDLERS = {".docx": "replace_docx_content", ".pptx": "replace_pptx_content"}


def replace_checked(tw, path, old, new, formatting=True):
    before, kept = units_of(path), kept_elements(path)
    getattr(tw, HANDLERS[os.path.splitext(path)[1]])(path, old, new)
    check_file(before, path, old, new, formatting)
    if formatting and not any(c in new for c in "\v\n"):
        assert kept_elements(path) == kept


# --- many keywords on documents with formatted runs ---------------------------

def formatted_document(path):
    document = docx.Document()
    for i, words in enumerate(["Alpha beta gamma", "delta\tepsilon zeta", "eta theta iota kappa"]):
        p = document.add_paragraph()
        for j, word in enumerate(words.split(" ")):
            run = p.add_run(word + " ")
            run.bold, run.italic = j % 2 == 0, j % 3 == 1
            run.font.size = Pt(10 + i + j)
        p.runs[-1].add_break()
        p.add_run("tail").font.color.rgb = RGBColor(0, 0x80, 0)
    cell = document.add_table(rows=1, cols=2).cell(0, 1)
    cell.paragraphs[0].add_run("cell one ").bold = True
    cell.paragraphs[0].add_run("two")
    cell.add_paragraph("three four").runs[0].underline = True
    document.add_paragraph()
    document.save(path)


def formatted_presentation(path):
    prs = pptx.Presentation()
    frame = prs.slides.add_slide(prs.slide_layouts[6]).shapes.add_textbox(
        Inches(1), Inches(1), Inches(5), Inches(3)).text_frame
    for i, words in enumerate(["Alpha beta gamma", "delta\tepsilon zeta", "eta theta iota kappa"]):
        p = frame.paragraphs[0] if i == 0 else frame.add_paragraph()
        p.level = i
        for j, word in enumerate(words.split(" ")):
            run = p.add_run()
            run.text = word + " "
            run.font.bold, run.font.italic = j % 2 == 0, j % 3 == 1
            run.font.size = Pt(10 + i + j)
        p.add_line_break()
        p.add_run().text = "tail"
    frame.add_paragraph()
    prs.save(path)


@pytest.mark.parametrize("suffix, build, replacements", [
    (".docx", formatted_document, ["", "Z", "Zz Zz", "\t", "a\nb", "\\g<0>\\g<0>"]),
    (".pptx", formatted_presentation, ["", "Z", "Zz Zz", "\t", "a\nb", "\\g<0>|", "\v"]),
])
def test_any_keyword_keeps_every_other_character_as_it_was(tw, tmp_path, suffix, build, replacements):
    source = str(tmp_path / ("source" + suffix))
    build(source)
    texts = [text(unit) for unit in units_of(source) if text(unit)]
    chance = random.Random(20240501)
    for _ in range(40):
        unit = chance.choice(texts)
        start = chance.randrange(len(unit))
        keyword = unit[start:start + chance.randint(1, 7)].split("\n")[0]
        if len(keyword) > 2 and chance.random() < 0.3:
            middle = chance.randrange(1, len(keyword) - 1)
            keyword = keyword[:middle] + "*" + keyword[middle + 1:]
        path = str(tmp_path / ("work" + suffix))
        shutil.copy(source, path)
        replace_checked(tw, path, keyword, chance.choice(replacements))


# --- documents made by LibreOffice -----------------------------------------

NS = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
      'xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
      'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
      'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
      'xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" '
      'xmlns:xlink="http://www.w3.org/1999/xlink" '
      'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
      'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" '
      'xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0"')

FODT = """<?xml version="1.0" encoding="UTF-8"?>
<office:document {ns} office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.text">
 <office:automatic-styles>
  <style:style style:name="B" style:family="text"><style:text-properties fo:font-weight="bold"/></style:style>
  <style:style style:name="I" style:family="text"><style:text-properties fo:font-style="italic" fo:color="#c00000" fo:font-size="15pt"/></style:style>
  <style:page-layout style:name="pm1"><style:page-layout-properties fo:page-width="21cm" fo:page-height="29.7cm"/></style:page-layout>
 </office:automatic-styles>
 <office:master-styles>
  <style:master-page style:name="Standard" style:page-layout-name="pm1">
   <style:header><text:p>Acme Ltd letterhead 2023</text:p></style:header>
   <style:footer><text:p>Footer <text:span text:style-name="B">Acme</text:span> page <text:page-number text:select-page="current">1</text:page-number></text:p></style:footer>
  </style:master-page>
 </office:master-styles>
 <office:body><office:text>
  <text:h text:outline-level="1">Acme annual report 2023</text:h>
  <text:p>The <text:span text:style-name="B">Acme 20</text:span><text:span text:style-name="I">23 results</text:span> are in.</text:p>
  <text:p>Visit <text:a xlink:type="simple" xlink:href="https://example.com/">the Acme site</text:a> for 2023 news.</text:p>
  <text:p>Printed on <text:date>2023-05-01</text:date> by Acme<text:note text:id="n1" text:note-class="footnote"><text:note-citation>1</text:note-citation><text:note-body><text:p>Source: Acme 2023 filings.</text:p></text:note-body></text:note>.</text:p>
  <text:p><text:bookmark-start text:name="mark"/>Bookmarked Acme<text:bookmark-end text:name="mark"/> text.</text:p>
  <table:table table:name="T1"><table:table-column table:number-columns-repeated="2"/>
   <table:table-row><table:table-cell office:value-type="string"><text:p>Cell Acme</text:p><text:p>second line 2023</text:p></table:table-cell><table:table-cell><text:p>Other</text:p></table:table-cell></table:table-row>
  </table:table>
  <text:p>Box: <draw:frame draw:name="F1" text:anchor-type="as-char" svg:width="6cm" svg:height="2cm"><draw:text-box><text:p>Boxed Acme 2023</text:p></draw:text-box></draw:frame></text:p>
  <text:p>Logo <draw:frame draw:name="img" text:anchor-type="as-char" svg:width="1cm" svg:height="1cm"><draw:image><office:binary-data>{png}</office:binary-data></draw:image></draw:frame> Acme logo</text:p>
  <text:p>Tab<text:tab/>separated Acme<text:line-break/>next line 2023</text:p>
 </office:text></office:body>
</office:document>"""

FODP = """<?xml version="1.0" encoding="UTF-8"?>
<office:document {ns} office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.presentation">
 <office:automatic-styles>
  <style:style style:name="T1" style:family="text"><style:text-properties fo:font-size="32pt" fo:font-weight="bold" fo:color="#1f4e79"/></style:style>
  <style:style style:name="T2" style:family="text"><style:text-properties fo:font-style="italic" fo:font-size="20pt"/></style:style>
  <style:page-layout style:name="PM1"><style:page-layout-properties fo:page-width="28cm" fo:page-height="15.75cm"/></style:page-layout>
  <style:style style:name="dp1" style:family="drawing-page"/>
 </office:automatic-styles>
 <office:master-styles>
  <style:master-page style:name="Default" style:page-layout-name="PM1" draw:style-name="dp1"/>
 </office:master-styles>
 <office:body><office:presentation>
  <draw:page draw:name="p1" draw:master-page-name="Default">
   <draw:frame svg:x="1cm" svg:y="1cm" svg:width="20cm" svg:height="3cm"><draw:text-box>
     <text:p><text:span text:style-name="T1">Acme 2023</text:span><text:span text:style-name="T2"> overview</text:span></text:p>
   </draw:text-box></draw:frame>
   <draw:frame svg:x="1cm" svg:y="4cm" svg:width="20cm" svg:height="5cm"><draw:text-box>
     <text:list><text:list-item><text:p>First Acme point</text:p></text:list-item><text:list-item><text:p>Second <text:span text:style-name="T1">Acme</text:span> point<text:line-break/>with 2023 break</text:p></text:list-item></text:list>
   </draw:text-box></draw:frame>
   <draw:g>
    <draw:frame svg:x="1cm" svg:y="10cm" svg:width="6cm" svg:height="2cm"><draw:text-box><text:p>Grouped Acme</text:p></draw:text-box></draw:frame>
    <draw:frame svg:x="8cm" svg:y="10cm" svg:width="6cm" svg:height="2cm"><draw:text-box><text:p>Also <text:span text:style-name="T2">Acme</text:span> 2023</text:p></draw:text-box></draw:frame>
   </draw:g>
   <draw:frame svg:x="15cm" svg:y="10cm" svg:width="10cm" svg:height="3cm"><table:table><table:table-column table:number-columns-repeated="2"/><table:table-row><table:table-cell><text:p>Acme cell</text:p></table:table-cell><table:table-cell><text:p>2023</text:p></table:table-cell></table:table-row></table:table></draw:frame>
   <presentation:notes><draw:frame presentation:class="notes" svg:x="1cm" svg:y="1cm" svg:width="15cm" svg:height="8cm"><draw:text-box><text:p>Speaker notes about Acme 2023</text:p></draw:text-box></draw:frame></presentation:notes>
  </draw:page>
 </office:presentation></office:body>
</office:document>"""


def soffice(folder, target, *inputs):
    """One LibreOffice conversion of several files, with a profile of its own
    so that other LibreOffice processes on the machine do not interfere, and
    without a sanitizer runtime preloaded for the module under test."""
    profile = "file://" + os.path.join(folder, "profile")
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["soffice", "-env:UserInstallation=" + profile, "--headless",
                    "--convert-to", target, "--outdir", folder, *inputs],
                   check=True, capture_output=True, timeout=300, env=env)


def need(tool):
    if shutil.which(tool) is None:
        unavailable(f"{tool} is not installed")


@pytest.fixture(scope="session")
def made_by_libreoffice(tmp_path_factory):
    need("soffice")
    folder = str(tmp_path_factory.mktemp("libreoffice"))
    png = io.BytesIO()
    Image.new("RGB", (8, 8), "blue").save(png, "PNG")
    sources = {"doc.fodt": FODT.format(ns=NS, png=base64.b64encode(png.getvalue()).decode()),
               "deck.fodp": FODP.format(ns=NS)}
    for name, content in sources.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as file:
            file.write(content)
    soffice(folder, "docx", os.path.join(folder, "doc.fodt"))
    soffice(folder, "pptx", os.path.join(folder, "deck.fodp"))
    return {ext: os.path.join(folder, name) for ext, name in ((".docx", "doc.docx"), (".pptx", "deck.pptx"))}


@pytest.mark.parametrize("ext", [".docx", ".pptx"])
@pytest.mark.parametrize("old, new", [
    ("Acme", "Globex Corp"),
    ("2023", "2024"),
    ("Acme 2023", "\\g<0> & 2024"),
    ("Ac*e", "\t"),
    ("*", "~"),
    ("e", ""),
])
def test_libreoffice_documents_keep_everything_outside_the_matches(tw, tmp_path, made_by_libreoffice,
                                                                   ext, old, new):
    path = str(tmp_path / ("copy" + ext))
    shutil.copy(made_by_libreoffice[ext], path)
    replace_checked(tw, path, old, new)
    texts = [text(unit) for unit in units_of(path)]
    assert len(texts) >= 7 and (old != "Acme" or not any("Acme" in t for t in texts))


def test_processed_documents_print_the_new_text(tw, tmp_path, made_by_libreoffice):
    need("pdftotext")
    paths = []
    for ext, handler in HANDLERS.items():
        path = str(tmp_path / ("printed_" + ext[1:] + ext))
        shutil.copy(made_by_libreoffice[ext], path)
        getattr(tw, handler)(path, "Acme", "Globex\tCorp")
        paths.append(path)
    soffice(str(tmp_path), "pdf", *paths)
    for path in paths:
        pdf = os.path.splitext(path)[0] + ".pdf"
        printed = subprocess.run(["pdftotext", "-layout", pdf, "-"], check=True,
                                 capture_output=True, text=True).stdout
        assert "Acme" not in printed
        assert printed.count("Globex") >= (8 if path.endswith(".docx") else 6)
        assert "2023" in printed
