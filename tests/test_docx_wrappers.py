"""Text that Word shows inside what wraps runs, rows and cells (smart tags, custom XML, simple
fields, content controls) and in comments is searched like any other text."""
import docx
import docx.opc.part
import pytest

from document_checks import text, units_of
from office_fixtures import COMMENTS_TYPE, WRAPPED_MATCHES, crossing_paragraph, wrapped_document
from test_document_editing import replace_checked


def test_text_in_wrappers_and_comments_is_replaced_in_place(tw, tmp_path):
    path = wrapped_document(tmp_path)
    assert sum(text(unit).count("Acme") for unit in units_of(path)) == WRAPPED_MATCHES
    # every character outside the matches, and every wrapper, stays as it was
    replace_checked(tw, path, "Acme", "Globex")
    texts = [text(unit) for unit in units_of(path)]
    assert sum(t.count("Globex") for t in texts) == WRAPPED_MATCHES and not any("Acme" in t for t in texts)
    comments = docx.Document(path).part.part_related_by(
        "http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments")
    assert b"Check the Globex figures" in comments.blob


def test_a_match_across_the_edge_of_a_wrapper_rewrites_its_paragraph_as_text(tw, tmp_path):
    path = wrapped_document(tmp_path, crossing_paragraph("Made by Acme ", "Corp") +
                            crossing_paragraph("Kept ", "Acme Corp"))
    tw.replace_docx_content(path, "Acme Corp", "Globex")
    document = docx.Document(path)
    assert [p.text for p in document.paragraphs] == ["Made by Globex", "Kept "]
    assert {"Made by Globex", "Kept Globex"} <= {text(unit) for unit in units_of(path)}
    assert len(document.element.body.findall(".//" + docx.oxml.ns.qn("w:smartTag"))) == 1


@pytest.mark.parametrize("parsed", [True, False])
def test_a_keyword_only_in_a_comment_is_found(tw, tmp_path, monkeypatch, parsed):
    if not parsed:  # a library that reads comments as bytes: the handler parses them itself
        monkeypatch.delitem(docx.opc.part.PartFactory.part_type_for, COMMENTS_TYPE)
    path = wrapped_document(tmp_path)
    tw.replace_docx_content(path, "figures", "numbers")
    assert "Check the Acme numbers" in [text(unit) for unit in units_of(path)]
