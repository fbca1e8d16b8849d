import os
import re
import zipfile

import docx
import docx.opc.exceptions
import pytest


def make_document(path, build):
    document = docx.Document()
    build(document)
    document.save(path)
    return path


@pytest.fixture
def doc_path(tmp_path):
    return str(tmp_path / "report.docx")


def test_keyword_split_across_runs_is_found_other_paragraphs_keep_runs(tw, doc_path):
    def build(document):
        split = document.add_paragraph()
        split.add_run("Q3 re").bold = True
        split.add_run("port").italic = True
        kept = document.add_paragraph()
        kept.add_run("no ").bold = True
        kept.add_run("match")

    make_document(doc_path, build)
    tw.replace_docx_content(doc_path, "report", "summary")
    split, kept = docx.Document(doc_path).paragraphs
    assert split.text == "Q3 summary"
    assert len(split.runs) == 1
    assert [(run.text, run.bold) for run in kept.runs] == [("no ", True), ("match", None)]


def test_cells_with_several_paragraphs(tw, doc_path):
    def build(document):
        table = document.add_table(rows=1, cols=2)
        matched, unmatched = table.rows[0].cells
        matched.text = "old a"
        matched.add_paragraph("old b")
        # A wildcard must not join the paragraphs of one cell.
        unmatched.text = "x1"
        unmatched.add_paragraph("2y")

    make_document(doc_path, build)
    tw.replace_docx_content(doc_path, "old|x*y", "new")
    matched, unmatched = docx.Document(doc_path).tables[0].rows[0].cells
    assert matched.text == "new a\nnew b"
    assert len(matched.paragraphs) == 1
    assert [p.text for p in unmatched.paragraphs] == ["x1", "2y"]


@pytest.mark.parametrize("merge", [((0, 0), (0, 2)), ((0, 0), (2, 0)), ((0, 0), (1, 1))])
def test_merged_cell_is_substituted_once(tw, doc_path, merge):
    def build(document):
        table = document.add_table(rows=3, cols=3)
        (r1, c1), (r2, c2) = merge
        table.cell(r1, c1).merge(table.cell(r2, c2)).text = "old"
        table.cell(2, 2).text = "old old"

    make_document(doc_path, build)
    tw.replace_docx_content(doc_path, "old", "old-new")
    table = docx.Document(doc_path).tables[0]
    assert table.cell(0, 0).text == "old-new"
    assert table.cell(2, 2).text == "old-new old-new"


def test_headers_footers_and_nested_content_untouched(tw, doc_path):
    def build(document):
        section = document.sections[0]
        section.header.paragraphs[0].text = "old header"
        section.footer.paragraphs[0].text = "old footer"
        document.add_paragraph("old body")

    make_document(doc_path, build)
    tw.replace_docx_content(doc_path, "old", "new")
    document = docx.Document(doc_path)
    section = document.sections[0]
    assert section.header.paragraphs[0].text == "old header"
    assert section.footer.paragraphs[0].text == "old footer"
    assert document.paragraphs[0].text == "new body"


@pytest.mark.parametrize("old, new, expected", [
    ("*", "X", ["X", "XXX"]),
    ("", "X", ["X", "XaX"]),
    ("a", r"b\nc", ["", "b\nc"]),
    ("(a)", r"[\1\g<0>]", ["", "[aa]"]),
])
def test_keyword_is_a_pattern_and_new_keyword_a_template(tw, doc_path, old, new, expected):
    make_document(doc_path, lambda d: (d.add_paragraph(""), d.add_paragraph("a")))
    tw.replace_docx_content(doc_path, old, new)
    assert [p.text for p in docx.Document(doc_path).paragraphs] == expected


def test_unmatched_document_is_saved_unchanged_in_text(tw, doc_path):
    make_document(doc_path, lambda d: d.add_paragraph("nothing here"))
    tw.replace_docx_content(doc_path, "absent", "x")
    assert [p.text for p in docx.Document(doc_path).paragraphs] == ["nothing here"]
    assert os.listdir(os.path.dirname(doc_path)) == ["report.docx"]


def assert_untouched(path, before):
    stat = os.stat(path)
    assert (stat.st_ino, stat.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]


@pytest.mark.parametrize("old, new, error", [
    ("body", r"\q", re.error),          # rejected template
    ("(", "x", re.error),               # keyword that does not compile
    ("body", r"\0", ValueError),        # text the XML layer refuses
])
def test_failure_before_save_leaves_file_as_it_was(tw, doc_path, old, new, error):
    make_document(doc_path, lambda d: d.add_paragraph("body"))
    before = os.stat(doc_path)
    content = open(doc_path, "rb").read()
    with pytest.raises(error):
        tw.replace_docx_content(doc_path, old, new)
    assert open(doc_path, "rb").read() == content
    assert_untouched(doc_path, before)


def test_not_a_document_raises_and_is_left_as_it_was(tw, doc_path):
    with open(doc_path, "wb") as file:
        file.write(b"plain bytes, old text")
    before = os.stat(doc_path)
    with pytest.raises(docx.opc.exceptions.PackageNotFoundError):
        tw.replace_docx_content(doc_path, "old", "new")
    assert open(doc_path, "rb").read() == b"plain bytes, old text"
    assert_untouched(doc_path, before)


def test_failed_save_keeps_old_bytes(tw, doc_path, monkeypatch):
    make_document(doc_path, lambda d: d.add_paragraph("old"))
    content = open(doc_path, "rb").read()
    real_write = zipfile.ZipFile.writestr
    calls = []

    def disk_full_after_first_part(self, *args, **kwargs):
        calls.append(args[0])
        if len(calls) > 1:
            raise OSError(28, "No space left on device")
        return real_write(self, *args, **kwargs)

    monkeypatch.setattr(zipfile.ZipFile, "writestr", disk_full_after_first_part)
    with pytest.raises(OSError, match="No space left"):
        tw.replace_docx_content(doc_path, "old", "new")
    assert open(doc_path, "rb").read() == content
    assert os.listdir(os.path.dirname(doc_path)) == ["report.docx"]
