import os
import re

import docx
import docx.opc.exceptions
import pytest


@pytest.fixture
def make_doc(tmp_path):
    path = str(tmp_path / "report.docx")

    def make(build):
        document = docx.Document()
        build(document)
        document.save(path)
        return path
    return make


def test_body_paragraphs_and_cells_are_rewritten_headers_are_not(tw, make_doc):
    def build(document):
        document.sections[0].header.paragraphs[0].text = "report header"
        split = document.add_paragraph()
        split.add_run("Q3 re").bold = True
        split.add_run("port").italic = True
        kept = document.add_paragraph()
        kept.add_run("no ").bold = True
        kept.add_run("match")
        matched, unmatched = document.add_table(rows=1, cols=2).rows[0].cells
        matched.text = "report a"
        matched.add_paragraph("report b")
        unmatched.text = "x1"      # a wildcard must not join these two
        unmatched.add_paragraph("2y")

    path = make_doc(build)
    tw.replace_docx_content(path, "report|x*y", "sum")
    document = docx.Document(path)
    split, kept = document.paragraphs
    assert split.text == "Q3 sum" and len(split.runs) == 1
    assert [(run.text, run.bold) for run in kept.runs] == [("no ", True), ("match", None)]
    matched, unmatched = document.tables[0].rows[0].cells
    assert matched.text == "sum a\nsum b" and len(matched.paragraphs) == 1
    assert [p.text for p in unmatched.paragraphs] == ["x1", "2y"]
    assert document.sections[0].header.paragraphs[0].text == "report header"


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


@pytest.mark.parametrize("content, new, error", [
    (None, r"\q", re.error),          # template rejected at the first match
    (b"old, not a package", "new", docx.opc.exceptions.PackageNotFoundError),
])
def test_failure_leaves_file_as_it_was(tw, make_doc, content, new, error):
    path = make_doc(lambda d: d.add_paragraph("old"))
    if content is not None:
        open(path, "wb").write(content)
    before, data = os.stat(path), open(path, "rb").read()
    with pytest.raises(error):
        tw.replace_docx_content(path, "old", new)
    after = os.stat(path)
    assert (after.st_ino, after.st_mtime_ns, open(path, "rb").read()) == (before.st_ino, before.st_mtime_ns, data)
    assert os.listdir(os.path.dirname(path)) == ["report.docx"]
