"""Documents and presentations written from XML given here. A package made by the library supplies
the parts every package needs (styles, settings, masters, layouts, themes); the parts a test is
about, and their relationships, are the XML of the test."""
import io
import zipfile

import docx
import pptx
from PIL import Image

W_NS = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
A_NS = "http://schemas.openxmlformats.org/drawingml/2006/main"
P_NS = "http://schemas.openxmlformats.org/presentationml/2006/main"
R_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
RT = R_NS + "/"
DECL = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


def png(color="blue"):
    data = io.BytesIO()
    Image.new("RGB", (8, 8), color).save(data, "PNG")
    return data.getvalue()


def relationships(*entries):
    """A relationships part: entries are (id, type, target) or (id, type, target, mode)."""
    items = []
    for entry in entries:
        rid, kind, target = entry[:3]
        mode = f' TargetMode="{entry[3]}"' if len(entry) > 3 else ""
        items.append(f'<Relationship Id="{rid}" Type="{RT}{kind}" Target="{target}"{mode}/>')
    return f'{DECL}<Relationships xmlns="{PKG_REL}">{"".join(items)}</Relationships>'


def rebuild(base, path, parts, content_types=()):
    """The package of `base` with `parts` ({member: XML text or bytes}) in place of its members or
    after them, and an override for each (part name, content type) given."""
    with zipfile.ZipFile(base) as package:
        members = {info.filename: package.read(info) for info in package.infolist()}
    for name, data in parts.items():
        members[name] = data.encode() if isinstance(data, str) else data
    if content_types:
        overrides = "".join(f'<Override PartName="{name}" ContentType="{kind}"/>' for name, kind in content_types)
        members["[Content_Types].xml"] = members["[Content_Types].xml"].replace(
            b"</Types>", overrides.encode() + b"</Types>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        for name, data in members.items():
            package.writestr(name, data)
    return str(path)


# --------------------------------------------------------------------- presentations

def _sp(number, paragraphs):
    return (f'<p:sp><p:nvSpPr><p:cNvPr id="{number}" name="Text {number}"/><p:cNvSpPr txBox="1"/><p:nvPr/>'
            f'</p:nvSpPr><p:spPr><a:xfrm><a:off x="457200" y="{number * 914400}"/><a:ext cx="7315200" '
            f'cy="685800"/></a:xfrm><a:prstGeom prst="rect"><a:avLst/></a:prstGeom></p:spPr><p:txBody>'
            f'<a:bodyPr/><a:lstStyle/>{paragraphs}</p:txBody></p:sp>')


def _pic(number, rid):
    return (f'<p:pic><p:nvPicPr><p:cNvPr id="{number}" name="Picture {number}"/><p:cNvPicPr/><p:nvPr/>'
            f'</p:nvPicPr><p:blipFill><a:blip r:embed="{rid}"/><a:stretch><a:fillRect/></a:stretch>'
            f'</p:blipFill><p:spPr><a:xfrm><a:off x="{number * 914400}" y="4572000"/><a:ext cx="457200" '
            f'cy="457200"/></a:xfrm><a:prstGeom prst="rect"><a:avLst/></a:prstGeom></p:spPr></p:pic>')


def slide(*shapes):
    return (f'{DECL}<p:sld xmlns:a="{A_NS}" xmlns:r="{R_NS}" xmlns:p="{P_NS}"><p:cSld><p:spTree>'
            '<p:nvGrpSpPr><p:cNvPr id="1" name=""/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr><p:grpSpPr/>'
            f'{"".join(shapes)}</p:spTree></p:cSld><p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr></p:sld>')


def run(text, link=None):
    click = f'<a:hlinkClick r:id="{link}"/>' if link else ""
    return f'<a:r><a:rPr lang="en-US" dirty="0">{click}</a:rPr><a:t>{text}</a:t></a:r>'


# A slide whose relationships the library cannot follow: a link to a place inside the document
# written without TargetMode="External" (as converters write footnote links), and a picture whose
# target is "NULL"; beside them an ordinary link and picture.
ODD_LINKS_SLIDE = slide(
    _sp(2, f'<a:p>{run("Acme report, ")}{run("see note 1", "rId10")}</a:p>'
           f'<a:p>{run("Acme online", "rId13")}</a:p>'),
    _pic(3, "rId11"),
    _pic(4, "rId12"),
)
ODD_LINKS_RELS = relationships(
    ("rId1", "slideLayout", "../slideLayouts/slideLayout7.xml"),
    ("rId10", "hyperlink", "#_ftn1"),
    ("rId11", "image", "NULL"),
    ("rId12", "image", "../media/picture1.png"),
    ("rId13", "hyperlink", "https://example.com/acme", "External"),
)


def odd_links_deck(folder):
    base = str(folder / "base.pptx")
    prs = pptx.Presentation()
    prs.slides.add_slide(prs.slide_layouts[6])
    prs.save(base)
    return rebuild(base, folder / "odd_links.pptx", {
        "ppt/slides/slide1.xml": ODD_LINKS_SLIDE,
        "ppt/slides/_rels/slide1.xml.rels": ODD_LINKS_RELS,
        "ppt/media/picture1.png": png(),
    }, [("/ppt/media/picture1.png", "image/png")])


# --------------------------------------------------------------------- documents

def document(body, namespaces=""):
    return (f'{DECL}<w:document xmlns:w="{W_NS}" xmlns:r="{R_NS}" {namespaces}><w:body>{body}'
            '<w:sectPr><w:pgSz w:w="11906" w:h="16838"/><w:pgMar w:top="1134" w:right="1134" '
            'w:bottom="1134" w:left="1134" w:header="567" w:footer="567" w:gutter="0"/></w:sectPr>'
            '</w:body></w:document>')


def base_document(folder):
    base = str(folder / "base.docx")
    docx.Document().save(base)
    return base


def document_rels(*extra):
    """The relationships of the library's document part, and `extra`."""
    return relationships(
        ("rId1", "customXml", "../customXml/item1.xml"), ("rId2", "numbering", "numbering.xml"),
        ("rId3", "styles", "styles.xml"), ("rId5", "settings", "settings.xml"),
        ("rId6", "webSettings", "webSettings.xml"), ("rId7", "fontTable", "fontTable.xml"),
        ("rId8", "theme", "theme/theme1.xml"), *extra)


def _wr(text, properties=""):
    return f'<w:r>{f"<w:rPr>{properties}</w:rPr>" if properties else ""}<w:t xml:space="preserve">{text}</w:t></w:r>'


def _wp(*content):
    return f'<w:p>{"".join(content)}</w:p>'


def _tc(text):
    return f'<w:tc><w:tcPr><w:tcW w:w="4500" w:type="dxa"/></w:tcPr>{_wp(_wr(text))}</w:tc>'


def _sdt(number, content, properties=""):
    return (f'<w:sdt><w:sdtPr><w:alias w:val="Control {number}"/><w:id w:val="{number}"/>{properties}</w:sdtPr>'
            f'<w:sdtContent>{content}</w:sdtContent></w:sdt>')


# Text shown inside what wraps runs, rows and cells, and in a comment; "Acme" once in each.
WRAPPED_BODY = "".join([
    _wp(_wr("Tagged: "), '<w:smartTag w:uri="urn:schemas-microsoft-com:office:smarttags" w:element="place">'
        f'{_wr("Acme City", "<w:b/>")}</w:smartTag>'),
    _wp(f'<w:customXml w:uri="urn:example:crm" w:element="company">{_wr("Acme Ltd")}</w:customXml>',
        _wr(" as custom XML")),
    _wp(_wr("Author: "), f'<w:fldSimple w:instr=" AUTHOR \\* MERGEFORMAT ">{_wr("Acme Writer")}</w:fldSimple>'),
    _wp(_wr("Client: "), _sdt(101, _wr("Acme Inc", "<w:i/>"), "<w:text/>"), _wr(".")),
    _sdt(102, _wp(_wr("Block control about Acme"))),
    '<w:tbl><w:tblPr><w:tblW w:w="0" w:type="auto"/></w:tblPr><w:tblGrid><w:gridCol w:w="4500"/>'
    '<w:gridCol w:w="4500"/></w:tblGrid>'
    f'<w:tr>{_tc("Plain cell Acme")}{_sdt(103, _tc("Controlled cell Acme"))}</w:tr>'
    f'{_sdt(104, "<w:tr>" + _tc("Controlled row Acme") + _tc("second") + "</w:tr>")}</w:tbl>',
    _wp('<w:commentRangeStart w:id="0"/>', _wr("Commented text"), '<w:commentRangeEnd w:id="0"/>',
        '<w:r><w:rPr><w:rStyle w:val="CommentReference"/></w:rPr><w:commentReference w:id="0"/></w:r>'),
])
WRAPPED_MATCHES = 9
COMMENTS = (f'{DECL}<w:comments xmlns:w="{W_NS}"><w:comment w:id="0" w:author="Reviewer" '
            'w:date="2024-01-01T00:00:00Z" w:initials="R">'
            f'{_wp(_wr("Check the Acme figures"))}</w:comment></w:comments>')
COMMENTS_TYPE = "application/vnd.openxmlformats-officedocument.wordprocessingml.comments+xml"


def wrapped_document(folder, body=WRAPPED_BODY, name="wrapped.docx"):
    return rebuild(base_document(folder), folder / name, {
        "word/document.xml": document(body),
        "word/_rels/document.xml.rels": document_rels(("rId20", "comments", "comments.xml")),
        "word/comments.xml": COMMENTS,
    }, [("/word/comments.xml", COMMENTS_TYPE)])


def crossing_paragraph(text, wrapped):
    """A paragraph whose text ends in a smart tag."""
    return _wp(_wr(text), f'<w:smartTag w:uri="urn:example" w:element="name">{_wr(wrapped)}</w:smartTag>')


# Content controls bound to data: the document's title in its core properties, and a node of a
# custom XML part of its own.
CORE_STORE = "{6C3C8BC8-F283-45AE-878A-BAB7291924A1}"
CORE_TITLE = ("/ns1:coreProperties[1]/ns0:title[1]",
              "xmlns:ns0='http://purl.org/dc/elements/1.1/' "
              "xmlns:ns1='http://schemas.openxmlformats.org/package/2006/metadata/core-properties'")
CLIENT_STORE = "{5A1F0C3E-2B7D-4C11-9E4A-0D2F6B8C7E31}"
CLIENT_NAME = ("/ns0:client[1]/ns0:name[1]", "xmlns:ns0='urn:example:client'")


def bound(number, store, binding, content):
    xpath, prefixes = binding
    return _sdt(number, content, f'<w:dataBinding w:prefixMappings="{prefixes}" w:xpath="{xpath}" '
                                 f'w:storeItemID="{store}"/><w:text/>')


def core_properties(title):
    return (f'{DECL}<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/'
            'core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/'
            'terms/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">'
            f'<dc:title>{title}</dc:title><dc:creator>Writer</dc:creator><cp:revision>1</cp:revision>'
            '</cp:coreProperties>')


CLIENT_ITEM = (f'{DECL}<!-- kept as written -->\n<client xmlns="urn:example:client">\n  <name>Acme Inc</name>\n'
               '  <city>Acme City</city>\n</client>\n')
CLIENT_PROPS = (f'{DECL}<ds:datastoreItem ds:itemID="{CLIENT_STORE}" '
                'xmlns:ds="http://schemas.openxmlformats.org/officeDocument/2006/customXml"><ds:schemaRefs/>'
                '</ds:datastoreItem>')


def bound_document(folder, body, title="Acme Annual Report", name="bound.docx"):
    return rebuild(base_document(folder), folder / name, {
        "word/document.xml": document(body),
        "word/_rels/document.xml.rels": document_rels(("rId21", "customXml", "../customXml/item2.xml")),
        "docProps/core.xml": core_properties(title),
        "customXml/item2.xml": CLIENT_ITEM,
        "customXml/_rels/item2.xml.rels": relationships(("rId1", "customXmlProps", "itemProps2.xml")),
        "customXml/itemProps2.xml": CLIENT_PROPS,
    }, [("/customXml/itemProps2.xml", "application/vnd.openxmlformats-officedocument.customXmlProperties+xml")])


def bound_title(number=201, store=CORE_STORE, binding=CORE_TITLE, shown="Acme Annual Report"):
    """A paragraph with a content control that shows the document's title."""
    return _wp(_wr("Title: "), bound(number, store, binding, _wr(shown, "<w:b/>")))


def bound_client(shown="Acme Inc"):
    """A block control that shows the client's name from the custom XML part."""
    return bound(202, CLIENT_STORE, CLIENT_NAME, _wp(_wr(shown)))
