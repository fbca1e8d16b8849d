"""What a replacement keeps of a document or presentation, on a corpus made here.

Run: PYTHONPATH=build python bench/document_fidelity.py [--keep FOLDER]
(`build` a CMake build of this project with the probe module built in it:
cmake --build build --target termweave_probe). It writes documents and presentations with the
libraries and from XML, converts LibreOffice documents (.fodt, .fodp) and some of the generated
files with LibreOffice, then replaces "Acme" by "Globex" in each, through the handlers of the
probe module, whose count of library saves it reads. It reports, per file and in all:

- members: how many members of the package came back byte-identical (local header, compressed
  data and directory record), how many changed, and how many of those held replaced text;
- relationships: how many relationship entries came back as they were;
- fallbacks: files saved by the library because the copy could not edit them with certainty;
- visible: occurrences of the keyword LibreOffice prints (PDF) before and after.

For comparison it does the same with the library's own save of the same files (the way they were
written before). Nothing is asserted.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

import docx
import pptx
from docx.shared import Pt
from lxml import etree
from pptx.util import Inches

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import office_fixtures as fx  # noqa: E402
import zip_layout  # noqa: E402
from test_document_editing import FODP, FODT, NS  # noqa: E402

import _termweave_probe as probe  # noqa: E402

PKG_REL = "{http://schemas.openxmlformats.org/package/2006/relationships}Relationship"


# --------------------------------------------------------------------- the corpus

def python_docx_report(path):
    document = docx.Document()
    document.core_properties.title = "Acme report"
    document.add_heading("Acme annual report", 1)
    for index in range(12):
        p = document.add_paragraph(f"Paragraph {index}: ")
        p.add_run("Acme" if index % 3 == 0 else "other").bold = True
        p.add_run(" results\tand figures.").font.size = Pt(11)
    table = document.add_table(rows=3, cols=3)
    for row in table.rows:
        for cell in row.cells:
            cell.text = "Acme cell"
    section = document.sections[0]
    section.header.paragraphs[0].text = "Acme header"
    section.footer.paragraphs[0].text = "Footer without the keyword"
    document.add_picture(_picture(), width=Inches(1))
    document.save(path)


def python_pptx_deck(path):
    prs = pptx.Presentation()
    for index in range(4):
        slide = prs.slides.add_slide(prs.slide_layouts[1])
        slide.shapes.title.text = f"Acme slide {index}"
        slide.placeholders[1].text = "First point\nSecond Acme point\nThird point"
        slide.notes_slide.notes_text_frame.text = "Notes on Acme"
    slide = prs.slides.add_slide(prs.slide_layouts[6])
    table = slide.shapes.add_table(2, 2, Inches(1), Inches(1), Inches(4), Inches(2)).table
    table.cell(0, 0).text = "Acme in a table"
    group = slide.shapes.add_group_shape()
    group.shapes.add_textbox(Inches(1), Inches(4), Inches(3), Inches(1)).text_frame.text = "Acme grouped"
    slide.shapes.add_picture(_picture(), Inches(6), Inches(1))
    prs.save(path)


def _picture():
    import io
    return io.BytesIO(fx.png())


FODT_COMMENTED = """<?xml version="1.0" encoding="UTF-8"?>
<office:document {ns} xmlns:dc="http://purl.org/dc/elements/1.1/" office:version="1.3"
 office:mimetype="application/vnd.oasis.opendocument.text">
 <office:body><office:text>
  <text:p>Reviewed <office:annotation><dc:creator>Reviewer</dc:creator><text:p>Ask Acme about it</text:p>
   </office:annotation>paragraph about Acme.</text:p>
  <text:list><text:list-item><text:p>Acme first</text:p></text:list-item>
   <text:list-item><text:p>second <text:a xlink:type="simple" xlink:href="#mark">Acme link</text:a></text:p>
   </text:list-item></text:list>
  <text:section text:name="S1"><text:p>Section text with Acme<text:bookmark text:name="mark"/></text:p></text:section>
  <text:p>Title field: <text:title>Acme title</text:title> and <text:author-name>Acme Author</text:author-name></text:p>
 </office:text></office:body>
</office:document>"""


def corpus(folder):
    """Writes the corpus into `folder`; returns the paths."""
    paths = []

    def keep(path):
        paths.append(str(path))

    python_docx_report(folder / "library_report.docx")
    keep(folder / "library_report.docx")
    python_pptx_deck(folder / "library_deck.pptx")
    keep(folder / "library_deck.pptx")
    keep(fx.odd_links_deck(folder))
    keep(fx.wrapped_document(folder))
    keep(fx.bound_document(folder, fx.bound_title() + fx.bound_client()))
    keep(fx.wrapped_document(folder, fx.WRAPPED_BODY + fx.crossing_paragraph("Made by Acme ", "Corp"),
                             name="crossing.docx"))
    sources = folder / "lo"
    sources.mkdir()
    for name, text in (("letter.fodt", FODT.format(ns=NS, png="")), ("deck.fodp", FODP.format(ns=NS)),
                       ("commented.fodt", FODT_COMMENTED.format(ns=NS))):
        (sources / name).write_text(text, encoding="utf-8")
    converted = folder / "converted"
    converted.mkdir()
    _soffice(folder, "docx", converted, sources / "letter.fodt", sources / "commented.fodt")
    _soffice(folder, "pptx", converted, sources / "deck.fodp")
    again = folder / "again"
    again.mkdir()
    _soffice(folder, "docx", again, folder / "library_report.docx", folder / "wrapped.docx", folder / "bound.docx")
    _soffice(folder, "pptx", again, folder / "library_deck.pptx", folder / "odd_links.pptx")
    for sub in (converted, again):
        for name in sorted(os.listdir(sub)):
            keep(sub / name)
    return paths


def _soffice(folder, target, outdir, *inputs):
    profile = "file://" + str(folder / "profile")
    subprocess.run(["soffice", "-env:UserInstallation=" + profile, "--headless", "--convert-to", target,
                    "--outdir", str(outdir), *map(str, inputs)], check=True, capture_output=True, timeout=600)


# --------------------------------------------------------------------- the measures

def relationships(path):
    found = set()
    with zipfile.ZipFile(path) as package:
        for name in package.namelist():
            if name.endswith(".rels"):
                for rel in etree.fromstring(package.read(name)).iter(PKG_REL):
                    found.add((name, rel.get("Id"), rel.get("Type"), rel.get("Target"), rel.get("TargetMode")))
    return found


def printed(folder, paths):
    """The keyword's occurrences in what LibreOffice prints of each file."""
    outdir = folder / "pdf"
    shutil.rmtree(outdir, ignore_errors=True)
    outdir.mkdir()
    _soffice(folder, "pdf", outdir, *paths)
    counts = []
    for path in paths:
        pdf = outdir / (os.path.splitext(os.path.basename(path))[0] + ".pdf")
        text = subprocess.run(["pdftotext", str(pdf), "-"], capture_output=True, text=True).stdout
        counts.append(text.count("Acme"))
    return counts


def library_save(path):
    opened = docx.Document(path) if path.endswith(".docx") else pptx.Presentation(path)
    opened.save(path)


def measure(folder, sources, write):
    """Copies the corpus into a folder of its own, changes each file with `write`, and measures."""
    work = folder / write.__name__
    work.mkdir()
    rows = []
    for source in sources:
        path = str(work / (str(len(rows)).zfill(2) + "_" + os.path.basename(source)))
        shutil.copy(source, path)
        before, rels = zip_layout.members(path), relationships(path)
        saves, failure = probe.library_saves(), ""
        try:
            write(path)
        except ValueError as error:  # a binding that cannot be followed: the file is left as it was
            failure = str(error)
        after = {name: (local, record) for name, local, record in zip_layout.members(path)}
        changed = [name for name, local, record in before if after.get(name) != (local, record)]
        same = len(before) - len(changed)
        order = [name for name, _, _ in before if name in after] == list(after)
        rows.append({"file": os.path.basename(source), "members": len(before), "identical": same,
                     "order": order, "relationships": len(rels), "kept": len(rels & relationships(path)),
                     "fallback": probe.library_saves() - saves, "path": path, "failure": failure,
                     "changed": changed})
    for row, count in zip(rows, printed(work, [row["path"] for row in rows])):
        row["left"] = count
    return rows


def replace(path):
    handler = probe.replace_docx_content if path.endswith(".docx") else probe.replace_pptx_content
    handler(path, "Acme", "Globex")


def report(title, rows, shown_before):
    print(f"\n{title}")
    print(f"{'file':<28} {'members':>8} {'same':>5} {'order':>5} {'rels':>5} {'kept':>5} {'fallback':>8} "
          f"{'shown':>6} {'left':>5}")
    for row, shown in zip(rows, shown_before):
        print(f"{row['file'][:28]:<28} {row['members']:>8} {row['identical']:>5} {str(row['order']):>5} "
              f"{row['relationships']:>5} {row['kept']:>5} {row['fallback']:>8} {shown:>6} {row['left']:>5}")
        if row["failure"]:
            print(f"    failed: {row['failure']}")
        elif len(row["changed"]) < 8:
            print(f"    rewritten: {', '.join(row['changed'])}")
    total = {key: sum(row[key] for row in rows) for key in ("members", "identical", "relationships", "kept",
                                                            "fallback", "left")}
    print(f"{'all ' + str(len(rows)) + ' files':<28} {total['members']:>8} {total['identical']:>5} "
          f"{sum(r['order'] for r in rows):>5} {total['relationships']:>5} {total['kept']:>5} "
          f"{total['fallback']:>8} {sum(shown_before):>6} {total['left']:>5}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--keep", help="a folder to write the corpus and the results into (kept)")
    args = parser.parse_args()
    from pathlib import Path
    folder = Path(args.keep or tempfile.mkdtemp(prefix="tw-fidelity-"))
    folder.mkdir(parents=True, exist_ok=True)
    try:
        sources = corpus(folder)
        shown = printed(folder, sources)
        report("the module (a copy of the package)", measure(folder, sources, replace), shown)
        report("the library's save, for comparison (no replacement)", measure(folder, sources, library_save),
               shown)
    finally:
        if not args.keep:
            shutil.rmtree(folder)


if __name__ == "__main__":
    main()
