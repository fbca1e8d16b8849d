"""A package written as a copy of itself: members it does not change go out as they were, and
the relationship and content-type entries follow the parts that come and go."""
import struct
import zipfile
import zlib

import docx
import pytest
from lxml import etree

import zip_layout
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


class Unseekable:
    """A file zipfile cannot seek in: it then follows each member with a data descriptor."""
    def __init__(self, file):
        self.file = file

    def write(self, data):
        return self.file.write(data)

    def tell(self):
        return self.file.tell()

    def flush(self):
        self.file.flush()

    def seekable(self):
        return False


def repacked(source, path, comment=b"kept"):
    """The package of `source` again, each member stored in another way than a copy through zipfile
    would store it: at the least or most compression, stored with an extra field, or streamed with a
    data descriptor."""
    with zipfile.ZipFile(source) as package:
        parts = [(info.filename, package.read(info)) for info in package.infolist()]
    with open(path, "wb") as raw, zipfile.ZipFile(Unseekable(raw), "w") as package:
        for index, (name, data) in enumerate(parts):
            info = zipfile.ZipInfo(name, (2019, 5, 6, 7, 8, 10))
            if index % 4 == 3:
                info.extra = b"\x55\x54\x05\x00\x01\x00\x00\x00\x00"
                package.writestr(info, data)
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with package.open(info, "w") as member:
                    member._compressor = zlib.compressobj(index % 2 * 8 + 1, zlib.DEFLATED, -15)
                    member.write(data)
        package.comment = comment
    return str(path)


def with_zip64_directory(path):
    """The package with every directory record giving its offset in a zip64 field, and zip64 end
    records, as writers that always use zip64 make them."""
    data = open(path, "rb").read()
    end_at = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, end_at + 10)
    records, at = [], offset
    for _ in range(count):
        name_size, extra_size, comment_size = struct.unpack_from("<HHH", data, at + 28)
        record = bytearray(data[at:at + 46 + name_size + extra_size + comment_size])
        local = struct.unpack_from("<I", record, 42)[0]
        struct.pack_into("<HH", record, 6, 45, struct.unpack_from("<H", record, 8)[0])
        struct.pack_into("<H", record, 30, extra_size + 12)
        struct.pack_into("<I", record, 42, 0xFFFFFFFF)
        record[46 + name_size:46 + name_size] = struct.pack("<HHQ", 1, 8, local)
        records.append(bytes(record))
        at += 46 + name_size + extra_size + comment_size
    directory = b"".join(records)
    end64 = struct.pack("<4sQHHIIQQQQ", b"PK\x06\x06", 44, 45, 45, 0, 0, count, count, len(directory), offset)
    locator = struct.pack("<4sIQI", b"PK\x06\x07", 0, offset + len(directory), 1)
    end = struct.pack("<4sHHHHII", b"PK\x05\x06", 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF) + data[end_at + 20:]
    with open(path, "wb") as file:
        file.write(data[:offset] + directory + end64 + locator + end)
    return path


@pytest.mark.parametrize("zip64", [False, True])
def test_members_not_changed_keep_their_stored_bytes(probe, document, tmp_path, zip64):
    path = repacked(document, tmp_path / "repacked.docx")
    if zip64:
        with_zip64_directory(path)
    before = zip_layout.members(path)
    body = dict(members(path))["word/document.xml"][3].replace(b"first", b"changed")
    assert probe.copy_package(path, [("word/document.xml", body)], [], [], [], [])
    zip_layout.assert_kept_except(before, zip_layout.members(path), "word/document.xml")
    with zipfile.ZipFile(path) as package:
        assert package.testzip() is None and package.comment == b"kept"
    assert [p.text for p in docx.Document(path).paragraphs] == ["changed"]


def test_a_package_with_bytes_before_it_is_not_copied(probe, document, tmp_path):
    path = str(tmp_path / "prefixed.docx")
    with open(path, "wb") as file:
        file.write(b"#!stub\n" + open(document, "rb").read())
    before = open(path, "rb").read()
    assert docx.Document(path).paragraphs[0].text == "first"  # the libraries read it
    assert probe.copy_package(path, [("word/document.xml", b"<x/>")], [], [], [], []) is False
    assert open(path, "rb").read() == before
