"""Reads a saved .docx or .pptx straight from its XML, character by character,
and checks an edit against the plain substitution.

Each unit is what the tool matches on its own: a paragraph, a table cell (its
paragraphs joined by "\\n"), a presentation text frame (its paragraphs joined
by "\\n"). Each character comes with a key that stands for its formatting:
the run properties (and hyperlink) of the run holding it, or the paragraph
properties for the "\\n" between two paragraphs.
"""
import re
import zipfile

from lxml import etree

W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"
A = "{http://schemas.openxmlformats.org/drawingml/2006/main}"
P = "{http://schemas.openxmlformats.org/presentationml/2006/main}"
R = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"

DOCX_PARTS = re.compile(r"word/(document|header\d*|footer\d*|footnotes|endnotes|comments)\.xml$")
PPTX_PARTS = re.compile(r"ppt/(slides/slide|notesSlides/notesSlide)\d+\.xml$")

# Elements whose count must not change when only text is replaced.
KEPT = [W + t for t in ("drawing", "fldChar", "instrText", "fldSimple", "bookmarkStart",
                        "bookmarkEnd", "footnoteReference", "endnoteReference", "hyperlink",
                        "sdt", "smartTag", "customXml", "tbl", "tr", "tc", "txbxContent",
                        "commentRangeStart", "commentReference", "comment", "pPr")] + \
       [A + t for t in ("fld", "hlinkClick", "pPr", "tbl", "tc", "graphic")] + \
       [P + t for t in ("sp", "grpSp", "pic", "graphicFrame", "txBody")]


def _xml(element):
    return b"" if element is None else etree.tostring(element, with_tail=False)


def _parts(path, names):
    with zipfile.ZipFile(path) as package:
        return [(name, etree.fromstring(package.read(name)))
                for name in sorted(package.namelist()) if names.search(name)]


# --- word-processing documents ------------------------------------------------

_RUN_TEXT = {W + t for t in ("t", "tab", "br", "cr", "noBreakHyphen", "ptab")}


def _run_text(node):
    if node.tag == W + "t":
        return node.text or ""
    if node.tag in (W + "tab", W + "ptab"):
        return "\t"
    if node.tag == W + "noBreakHyphen":
        return "-"
    if node.tag == W + "br":
        return "\n" if node.get(W + "type", "textWrapping") == "textWrapping" else ""
    return "\n"  # w:cr


_WRAPPERS = {W + t for t in ("hyperlink", "smartTag", "customXml", "fldSimple")}


def docx_paragraph_chars(p):
    """The characters a paragraph shows, in its runs and in the runs that hyperlinks, smart tags,
    custom XML, simple fields and content controls wrap; the key of each is its run's properties
    and the wrappers around it."""
    chars = []

    def run(r, link):
        key = (_xml(r.find(W + "rPr")), link)
        for node in r:
            if node.tag in _RUN_TEXT:
                chars.extend((c, key) for c in _run_text(node))

    def content(element, link):
        for child in element:
            if child.tag == W + "r":
                run(child, link)
            elif child.tag in _WRAPPERS:
                content(child, link + ((child.tag, tuple(sorted(child.attrib.items()))),))
            elif child.tag == W + "sdt" and child.find(W + "sdtContent") is not None:
                content(child.find(W + "sdtContent"), link + ((child.tag, _xml(child.find(W + "sdtPr"))),))

    content(p, ())
    return chars


def _joined(paragraphs, chars_of):
    chars = []
    for i, p in enumerate(paragraphs):
        if i:
            chars.append(("\n", ("paragraph", _xml(p.find(W + "pPr")) + _xml(p.find(A + "pPr")))))
        chars.extend(chars_of(p))
    return chars


def _continues_merge(tc):
    merge = tc.find(W + "tcPr/" + W + "vMerge")
    return merge is not None and merge.get(W + "val", "continue") == "continue"


def _is_separator_note(p):
    note = next((a for a in p.iterancestors(W + "footnote", W + "endnote")), None)
    return note is not None and note.get(W + "type", "normal") != "normal"


def docx_units(path):
    """Every unit of every story, in document order, as (char, key) lists."""
    units = []
    for _, root in _parts(path, DOCX_PARTS):
        for element in root.iter(W + "p", W + "tc"):
            if element.tag == W + "tc":
                if not _continues_merge(element):
                    units.append(_joined(element.findall(W + "p"), docx_paragraph_chars))
            elif element.getparent().tag != W + "tc" and not _is_separator_note(element):
                units.append(docx_paragraph_chars(element))
    return units


# --- presentations ------------------------------------------------------------

def pptx_paragraph_chars(p):
    chars = []
    for child in p:
        key = (child.tag == A + "fld", _xml(child.find(A + "rPr")))
        if child.tag == A + "br":
            chars.append(("\v", key))
        elif child.tag in (A + "r", A + "fld"):
            t = child.find(A + "t")
            chars.extend((c, key) for c in ((t.text or "") if t is not None else ""))
    return chars


def _spanned(tc):
    return any(tc.get(name) in ("1", "true") for name in ("hMerge", "vMerge"))


def pptx_units(path):
    units = []
    for _, root in _parts(path, PPTX_PARTS):
        for body in root.iter(P + "txBody", A + "txBody"):
            if body.tag == A + "txBody" and _spanned(body.getparent()):
                continue
            units.append(_joined(body.findall(A + "p"), pptx_paragraph_chars))
    return units


def units_of(path):
    return docx_units(path) if path.endswith(".docx") else pptx_units(path)


def kept_elements(path):
    counts = {}
    names = DOCX_PARTS if path.endswith(".docx") else PPTX_PARTS
    for _, root in _parts(path, names):
        for tag in KEPT:
            counts[tag] = counts.get(tag, 0) + sum(1 for _ in root.iter(tag))
    return counts


# --- the check ----------------------------------------------------------------

def text(chars):
    return "".join(c for c, _ in chars)


def _is_run_key(key):
    return key[0] != "paragraph"


def _run_key(chars, position):
    """The key of the run a replacement at `position` goes into: the run of
    the character there, or at a paragraph's end the run before; None in
    an empty paragraph."""
    for at in (position, position - 1):
        if 0 <= at < len(chars) and _is_run_key(chars[at][1]):
            return chars[at][1]
    return None


def check_unit(before, after, pattern, new, formatting=True):
    """`after` must read as pattern.sub(new, before); with `formatting`, each
    character outside the matches keeps its key, and each replacement takes
    the key of the character where its match begins."""
    old = text(before)
    assert text(after) == pattern.sub(new, old), (old, text(after))
    if not formatting:
        return
    at, done = 0, 0
    for match in pattern.finditer(old):
        kept = before[done:match.start()]
        assert after[at:at + len(kept)] == kept, old
        at += len(kept)
        replacement = match.expand(new)
        source = _run_key(before, match.start())
        if source is not None:
            for c, key in after[at:at + len(replacement)]:
                assert c == "\n" or key == source, (old, replacement)
        at += len(replacement)
        done = match.end()
    assert after[at:] == before[done:], old


def check_file(before_units, path, old_keyword, new, formatting=True):
    """Every unit of the saved file against the units read before the edit."""
    pattern = re.compile(old_keyword.replace("*", ".*?"))
    after_units = units_of(path)
    assert len(after_units) == len(before_units)
    for before, after in zip(before_units, after_units):
        check_unit(before, after, pattern, new, formatting)
    return pattern
