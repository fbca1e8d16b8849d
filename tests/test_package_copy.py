"""A package written as a copy of itself: members it does not change go out as they were, and
the relationship and content-type entries follow the parts that come and go."""
import zipfile

import docx
import pytest
from lxml import etree

from run_support import probe  # noqa: F401

PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
CUSTOM = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/customXml"


def members(path):
    with zipfile.ZipFile(path) as package:
        return {info.filename: (info.date_time, info.compress_type, info.external_attr, package.read(info))
                for info in package.infolist()}


def relationships(data):
    return {r.get("Id"): (r.get("Type"), r.get("Target"), r.get("TargetMode"))
            for r in etree.fromstring(data).iter(f"{{{PKG_REL}}}Relationship")}


def overrides(data):
    return {o.get("PartName"): o.get("ContentType") for o in etree.fromstring(data).iter(f"{{{TYPES}}}Override")}


@pytest.fixture
def document(tmp_path):
    path = str(tmp_path / "doc.docx")
    made = docx.Document()
    made.add_paragraph("first")
    made.save(path)
    return path


def test_parts_and_their_entries_come_and_go(probe, document):
    before = members(document)
    body = before["word/document.xml"][3].replace(b"first", b"changed")
    rels = "word/_rels/document.xml.rels"
    dropped_id = next(i for i, (_, target, _) in relationships(before[rels][3]).items() if target == "numbering.xml")
    assert probe.copy_package(
        document, [("word/document.xml", body)], [("customXml/item9.xml", b"<data/>", "application/xml")],
        ["word/numbering.xml"],
        [("word/document.xml", "rIdNew", CUSTOM, "../customXml/item9.xml", False),
         ("word/document.xml", "rIdLink", CUSTOM, "https://example.com/a b", True)],
        [("word/document.xml", dropped_id)])
    after = members(document)
    kept = [name for name in before if name != "word/numbering.xml"]
    assert list(after) == kept + ["customXml/item9.xml"]
    for name in kept:
        if name not in ("word/document.xml", rels, "[Content_Types].xml"):
            assert after[name] == before[name], name
    assert after["word/document.xml"][:3] == before["word/document.xml"][:3]
    assert after["customXml/item9.xml"][1::2] == (zipfile.ZIP_DEFLATED, b"<data/>")
    listed = relationships(after[rels][3])
    assert dropped_id not in listed and len(listed) == len(relationships(before[rels][3])) + 1
    assert listed["rIdNew"] == (CUSTOM, "../customXml/item9.xml", None)
    assert listed["rIdLink"] == (CUSTOM, "https://example.com/a b", "External")
    types = overrides(after["[Content_Types].xml"][3])
    assert types["/customXml/item9.xml"] == "application/xml" and "/word/numbering.xml" not in types
    reread = docx.Document(document)
    assert [p.text for p in reread.paragraphs] == ["changed"]
    assert reread.part.rels["rIdNew"].target_part.partname == "/customXml/item9.xml"


def test_a_package_that_cannot_be_copied_is_left_as_it_was(probe, document, tmp_path):
    with zipfile.ZipFile(document) as package:
        parts = [(info.filename, package.read(info)) for info in package.infolist()]
    twice = str(tmp_path / "twice.docx")
    with zipfile.ZipFile(twice, "w") as package, pytest.warns(UserWarning, match="Duplicate name"):
        for name, data in parts + [parts[0]]:
            package.writestr(name, data)
    before = open(twice, "rb").read()
    assert probe.copy_package(twice, [("word/document.xml", b"<x/>")], [], [], [], []) is False
    assert open(twice, "rb").read() == before
    # a relationship added to a part that has no relationships part is not made here
    assert probe.copy_package(document, [], [], [], [("word/styles.xml", "rId1", CUSTOM, "x.xml", False)],
                              []) is False
