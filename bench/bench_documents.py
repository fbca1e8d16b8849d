"""Time of the word-document and presentation handlers on large generated files.

Run: PYTHONPATH=build python bench/bench_documents.py [--paragraphs N] [--slides N]
Prints seconds per call for a file where every tenth paragraph matches, one
where every paragraph matches and one with no match, next to the library's
own load and save of the same file; nothing is asserted.
"""
import argparse
import os
import shutil
import tempfile
import time

import docx
import pptx
from pptx.util import Inches

import termweave_mira7 as tw


def make_document(path, paragraphs):
    document = docx.Document()
    for index in range(paragraphs):
        p = document.add_paragraph()
        p.add_run(f"Paragraph {index} of the ").bold = True
        p.add_run("Acme" if index % 10 == 0 else "Other").italic = True
        p.add_run(" annual report, with\tsome more words in it.")
    table = document.add_table(rows=paragraphs // 20, cols=4)
    for row in table.rows:
        for cell in row.cells:
            cell.text = "cell Acme text"
    document.save(path)


def make_presentation(path, slides):
    prs = pptx.Presentation()
    for index in range(slides):
        slide = prs.slides.add_slide(prs.slide_layouts[1])
        slide.shapes.title.text = f"Slide {index} Acme"
        slide.placeholders[1].text = "First point\nSecond Acme point\nThird point"
        for box in range(3):
            slide.shapes.add_textbox(Inches(1), Inches(box + 1), Inches(3), Inches(1)).text = "box text"
    prs.save(path)


def timed(label, action, repeat=3):
    best = min(_once(action) for _ in range(repeat))
    print(f"{label:<44} {best:8.3f} s")


def _once(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--paragraphs", type=int, default=3000)
    parser.add_argument("--slides", type=int, default=200)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="tw-bench-docs-")
    try:
        source = os.path.join(folder, "source.docx")
        work = os.path.join(folder, "work.docx")
        make_document(source, args.paragraphs)

        def run(old, new):
            shutil.copy(source, work)
            tw.replace_docx_content(work, old, new)

        def library_only():
            docx.Document(source).save(work)

        timed(f"docx {args.paragraphs} paragraphs: load + save", library_only)
        timed("docx: no match", lambda: run("absent", "x"))
        timed("docx: every tenth paragraph, all cells", lambda: run("Acme", "Globex"))
        timed("docx: every paragraph and cell", lambda: run("annual|cell", "yearly"))

        source = os.path.join(folder, "source.pptx")
        work = os.path.join(folder, "work.pptx")
        make_presentation(source, args.slides)

        def run_deck(old, new):
            shutil.copy(source, work)
            tw.replace_pptx_content(work, old, new)

        timed(f"pptx {args.slides} slides: load + save", lambda: pptx.Presentation(source).save(work))
        timed("pptx: no match", lambda: run_deck("absent", "x"))
        timed("pptx: two shapes a slide", lambda: run_deck("Acme", "Globex"))
        timed("pptx: every shape", lambda: run_deck("t", "T"))
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
