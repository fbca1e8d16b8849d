import io
import os
import re
import zipfile
import zlib

import pptx
import pptx.exc
import pytest
from PIL import Image
from pptx.dml.color import RGBColor
from pptx.oxml import parse_xml
from pptx.oxml.ns import nsdecls
from pptx.util import Inches, Pt

from document_checks import A, check_file, kept_elements, pptx_units, text

BOX = (Inches(1), Inches(1), Inches(2), Inches(1))
NUMBERED = ('<a:pPr {} marL="342900" indent="-342900"><a:buFont typeface="+mj-lt"/>'
            '<a:buAutoNum type="arabicPeriod"/></a:pPr>').format(nsdecls("a"))
DATE_FIELD = ('<a:fld {} id="{{B1C3A6E2-0F9D-4A7E-9A51-3C2F6B1D8E11}}" type="datetime1">'
              '<a:rPr lang="en-US" b="1"/><a:t>5/1/2023</a:t></a:fld>').format(nsdecls("a"))


def add_run(paragraph, text, **font):
    run = paragraph.add_run()
    run.text = text
    for name, value in font.items():
        if name == "color":
            run.font.color.rgb = value
        else:
            setattr(run.font, name, value)
    return run


def build_deck(prs):
    """Title, bulleted and numbered body with a break, a hyperlink and a date
    field; a nested group; a table with a merged cell; a notes page."""
    slide = prs.slides.add_slide(prs.slide_layouts[1])
    title = slide.shapes.title.text_frame.paragraphs[0]
    add_run(title, "Acme 2023", size=Pt(44), bold=True)
    add_run(title, " review", italic=True)
    body = slide.placeholders[1].text_frame
    first = body.paragraphs[0]
    add_run(first, "Revenue of Acme ", color=RGBColor(0x1F, 0x4E, 0x79))
    add_run(first, "rose", bold=True)
    second = body.add_paragraph()
    second.level = 1
    add_run(second, "Acme in Europe", size=Pt(18))
    second.add_line_break()
    add_run(second, "and Asia 2023")
    third = body.add_paragraph()
    third._p.insert(0, parse_xml(NUMBERED))
    add_run(third, "See Acme site").hyperlink.address = "https://example.com/"
    add_run(third, " on ")
    third._p.append(parse_xml(DATE_FIELD))
    add_run(third, " (Acme)")
    outer = slide.shapes.add_group_shape()
    inner = outer.shapes.add_group_shape()
    box = inner.shapes.add_textbox(*BOX).text_frame
    add_run(box.paragraphs[0], "Grouped Acme", underline=True)
    table = slide.shapes.add_table(2, 3, Inches(1), Inches(4), Inches(6), Inches(1)).table
    table.cell(0, 0).merge(table.cell(0, 1))
    table.cell(0, 0).text = "Merged Acme"
    table.cell(1, 2).text = "Acme 2023"
    add_run(table.cell(1, 0).text_frame.paragraphs[0], "bold Acme", bold=True)
    notes = slide.notes_slide.notes_text_frame
    add_run(notes.paragraphs[0], "Say Acme twice: Acme", italic=True)
    prs.slides.add_slide(prs.slide_layouts[6]).shapes.add_textbox(*BOX).text = "no notes here"


@pytest.fixture
def make_deck(tmp_path):
    path = str(tmp_path / "deck.pptx")

    def make(build=build_deck):
        prs = pptx.Presentation()
        build(prs)
        prs.save(path)
        return path
    return make


def replace_checked(tw, path, old, new, formatting=True):
    before, kept = pptx_units(path), kept_elements(path)
    tw.replace_pptx_content(path, old, new)
    check_file(before, path, old, new, formatting)
    # New paragraphs copy their paragraph's properties, new runs and breaks
    # their run's (a hyperlink included).
    structured = any(c in new for c in ("\v", "\n", "\\v", "\\n"))
    if formatting and not structured:
        assert kept_elements(path) == kept


def untouched(path, run):
    before, data = os.stat(path), open(path, "rb").read()
    run()
    after = os.stat(path)
    return ((after.st_ino, after.st_mtime_ns, open(path, "rb").read()) ==
            (before.st_ino, before.st_mtime_ns, data)
            and os.listdir(os.path.dirname(path)) == [os.path.basename(path)])


# --- keeping what is not matched ---------------------------------------------

@pytest.mark.parametrize("old, new", [
    ("Acme", "Globex Corp"),
    ("Acme*view|of*rose", "X"),        # across a 44 pt bold run and an italic one
    ("2023", "2024"),                  # in runs and in the date field's text
    ("e", ""),
    ("*", "~"),
    ("Acme", "one\vtwo"),              # a line break of the run's formatting
    ("Acme", "one\ntwo\t3"),           # a new paragraph with the same properties
    ("s*e", "[\\g<0>]"),
    ("Europe\vand", "\\v"),            # a line break matched and replaced by one
])
def test_runs_outside_matches_keep_their_formatting(tw, make_deck, old, new):
    replace_checked(tw, make_deck(), old, new)


def test_new_paragraph_keeps_level_numbering_and_run_properties(tw, make_deck):
    path = make_deck()
    tw.replace_pptx_content(path, "Acme", "A\nB")
    body = pptx.Presentation(path).slides[0].placeholders[1].text_frame
    assert [(p.text, p.level) for p in body.paragraphs] == [
        ("Revenue of A", 0), ("B rose", 0), ("A", 1), ("B in Europe\vand Asia 2023", 1),
        ("See A", 0), ("B site on 5/1/2023 (A", 0), ("B)", 0)]
    assert all(p._p.find(A + "pPr/" + A + "buAutoNum") is not None for p in body.paragraphs[4:])
    runs = body.paragraphs[3].runs
    assert (runs[0].text, runs[0].font.size) == ("B in Europe", Pt(18))
    assert body.paragraphs[5].runs[0].hyperlink.address == "https://example.com/"


def test_groups_tables_and_notes_are_searched_layouts_are_not(tw, make_deck):
    path = make_deck()
    replace_checked(tw, path, "Acme|Click", "Globex")
    slide = pptx.Presentation(path).slides[0]
    group = slide.shapes[2].shapes[0].shapes[0]
    assert group.text_frame.text == "Grouped Globex" and group.text_frame.paragraphs[0].runs[0].font.underline
    table = slide.shapes[3].table
    assert [table.cell(0, 0).text, table.cell(1, 0).text, table.cell(1, 2).text] == [
        "Merged Globex", "bold Globex", "Globex 2023"]
    assert slide.notes_slide.notes_text_frame.text == "Say Globex twice: Globex"
    with zipfile.ZipFile(path) as package:
        for name in package.namelist():
            if "slideLayout" in name and name.endswith(".xml"):
                assert b"Globex" not in package.read(name)
        assert b"Click to edit Master title style" in package.read("ppt/slideMasters/slideMaster1.xml")


def test_hidden_cells_and_shapes_without_text_get_no_text(tw, make_deck):
    def build(prs):
        build_deck(prs)
        shapes = prs.slides[1].shapes
        bare = shapes.add_shape(1, *BOX)            # a rectangle with no text body
        bare._element.remove(bare._element.txBody)
        picture = io.BytesIO()
        Image.new("RGB", (4, 4), "blue").save(picture, "PNG")
        shapes.add_picture(picture, *BOX[:2])

    path = make_deck(build)
    with zipfile.ZipFile(path) as package:
        names = sorted(package.namelist())
    tw.replace_pptx_content(path, "*", "x")
    prs = pptx.Presentation(path)
    assert prs.slides[1].shapes[1]._element.txBody is None
    assert prs.slides[0].shapes[3].table.cell(0, 1).text == ""    # covered by the merged cell
    assert not prs.slides[1].has_notes_slide
    with zipfile.ZipFile(path) as package:
        assert sorted(package.namelist()) == names


def test_match_over_a_field_edge_or_two_paragraphs_falls_back(tw, make_deck):
    path = make_deck()
    replace_checked(tw, path, "on 5/1", "dated", formatting=False)   # into the date field
    body = pptx.Presentation(path).slides[0].placeholders[1].text_frame
    assert body.paragraphs[2].text == "See Acme site dated/2023 (Acme)"
    assert body.paragraphs[1].runs[0].font.size == Pt(18)            # other paragraphs kept

    replace_checked(tw, path, "rose\nAcme", "fell", formatting=False)
    body = pptx.Presentation(path).slides[0].placeholders[1].text_frame
    assert body.text.startswith("Revenue of Acme fell in Europe\vand Asia")


def test_text_reads_back_as_after_the_library_assignment(tw, make_deck, tmp_path):
    """Control characters are written as the library writes them ("_x0007_"),
    so each frame reads back exactly as after its plain assignment."""
    path = make_deck()
    pattern, new = re.compile("A(cm)e"), "\\1\x07\r|"
    plain = pptx.Presentation(path)
    tw.replace_pptx_content(path, "A(cm)e", new)
    edited = pptx.Presentation(path)
    frames = [shape.text_frame for shape in plain.slides[0].shapes if shape.has_text_frame]
    for frame in frames:
        frame.text = pattern.sub(new, frame.text)
    assert [s.text_frame.text for s in edited.slides[0].shapes if s.has_text_frame] == \
        [frame.text for frame in frames]
    assert "cm_x0007__x000D_|" in edited.slides[0].shapes.title.text_frame.text


# --- what is left alone -----------------------------------------------------

@pytest.mark.parametrize("old", ["absent", "Click"])
def test_presentation_without_a_match_is_not_written(tw, make_deck, old):
    path = make_deck()
    assert untouched(path, lambda: tw.replace_pptx_content(path, old, "new"))


def test_not_a_presentation_raises_with_no_write(tw, tmp_path):
    path = str(tmp_path / "deck.pptx")
    open(path, "wb").write(b"old, not a package")

    def run():
        with pytest.raises(pptx.exc.PackageNotFoundError):
            tw.replace_pptx_content(path, "old", "new")
    assert untouched(path, run)


def test_failed_save_keeps_old_bytes(tw, make_deck, monkeypatch):
    deck = make_deck()
    data = open(deck, "rb").read()

    def disk_full_at_the_changed_slide(*args, **kwargs):  # the members before it are written
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(zlib, "compress", disk_full_at_the_changed_slide)
    with pytest.raises(OSError, match="No space left"):
        tw.replace_pptx_content(deck, "Acme", "new")
    assert open(deck, "rb").read() == data
    assert os.listdir(os.path.dirname(deck)) == ["deck.pptx"]


def test_only_errors_of_a_text_read_are_taken_as_no_text(tw, make_deck, monkeypatch):
    def build(prs):
        shapes = prs.slides.add_slide(prs.slide_layouts[6]).shapes
        broken = shapes.add_textbox(*BOX).text_frame.paragraphs[0]
        broken._p.append(parse_xml(f'<a:r {nsdecls("a")}><a:rPr/></a:r>'))   # a run without its text
        shapes.add_textbox(*BOX).text = "old"

    path = make_deck(build)
    tw.replace_pptx_content(path, "old", "new")
    assert [text(u) for u in pptx_units(path)] == ["", "new"]

    def interrupted(frame):
        raise KeyboardInterrupt

    monkeypatch.setattr(pptx.text.text.TextFrame, "text", property(interrupted))
    assert untouched(path, lambda: pytest.raises(KeyboardInterrupt, tw.replace_pptx_content,
                                                 path, "new", "x"))
