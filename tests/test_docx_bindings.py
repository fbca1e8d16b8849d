"""A content control bound to data shows that data when the document is opened: its new text goes
into the bound node too, or, where the binding cannot be followed with certainty, the document is
left as it was and the failure names the control."""
import os
import subprocess
import zipfile

import docx
import pytest

import zip_layout
from office_fixtures import (CORE_TITLE, bound_client, bound_document, bound_title,
                             crossing_paragraph)
from test_document_editing import need, soffice


def member(path, name):
    return zipfile.ZipFile(path).read(name).decode()


def test_the_bound_title_and_custom_data_change_with_the_controls(tw, tmp_path):
    path = bound_document(tmp_path, bound_title() + bound_client() + crossing_paragraph("Acme ", "x"))
    before = zip_layout.members(path)
    tw.replace_docx_content(path, "Acme", "Globex")
    zip_layout.assert_kept_except(before, zip_layout.members(path), "word/document.xml",
                                  "docProps/core.xml", "customXml/item2.xml")
    assert docx.Document(path).core_properties.title == "Globex Annual Report"
    # the custom XML part changes in the bound node only, not in other text that holds the keyword
    item = member(path, "customXml/item2.xml")
    assert '<!-- kept as written -->' in item and item.endswith(
        '<client xmlns="urn:example:client">\n  <name>Globex Inc</name>\n  <city>Acme City</city>\n</client>')
    need("soffice")
    need("pdftotext")
    soffice(str(tmp_path), "pdf", path)
    printed = subprocess.run(["pdftotext", "-layout", os.path.splitext(path)[0] + ".pdf", "-"], check=True,
                             capture_output=True, text=True).stdout
    assert "Title: Globex Annual Report" in printed and "Globex Inc" in printed and "Acme" not in printed


def second_title(shown="Acme Annual Report"):
    return bound_title(202, shown=shown).replace("Title: ", "Other: ")


@pytest.mark.parametrize("control, keyword, why", [
    (bound_title(store="{00000000-0000-0000-0000-000000000000}"), "Acme", "cannot be found"),
    (bound_title(binding=("/ns1:coreProperties[1]/ns0:subject[1]", CORE_TITLE[1])), "Acme", "cannot be found"),
    (bound_title(binding=("/ns1:coreProperties[1]/ns0:title[1", CORE_TITLE[1])), "Acme", "cannot be found"),
    (bound_title(binding=("/ns1:coreProperties[1]", CORE_TITLE[1])), "Acme", "cannot be found"),
    (bound_title(binding=(CORE_TITLE[0], "xmlns:ns1=nowhere")), "Acme", "cannot be found"),
    (bound_title(shown="Acme Draft"), "Acme", "is not the text it showed"),
    (bound_title() + second_title(), "(?<=Title: )Acme|(?<=Other: )Acme Annual", "another control"),
])
def test_a_binding_that_cannot_be_followed_leaves_the_document_and_names_the_control(tw, tmp_path, control,
                                                                                      keyword, why):
    path = bound_document(tmp_path, control)
    before = open(path, "rb").read()
    with pytest.raises(ValueError, match=f"content control 'Control 20[12]' .*{why}"):
        tw.replace_docx_content(path, keyword, "Globex")
    assert open(path, "rb").read() == before


def test_controls_bound_to_one_node_may_change_alike(tw, tmp_path):
    path = bound_document(tmp_path, bound_title() + second_title())
    tw.replace_docx_content(path, "Acme", "Globex")
    assert docx.Document(path).core_properties.title == "Globex Annual Report"


def test_a_binding_that_cannot_be_followed_matters_only_where_the_control_changes(tw, tmp_path):
    nowhere = "{00000000-0000-0000-0000-000000000000}"
    path = bound_document(tmp_path, bound_title(store=nowhere) + crossing_paragraph("Annual ", "Acme"))
    tw.replace_docx_content(path, "Annual Acme", "Yearly")
    assert docx.Document(path).core_properties.title == "Acme Annual Report"
    body = member(path, "word/document.xml")
    assert "Yearly" in body and nowhere in body and "Acme Annual Report" in body
