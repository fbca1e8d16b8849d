// Presentations: the text frame of every shape on every slide (inside
// groups too), the cells of tables on slides, and each slide's notes page,
// matched on the frame's text and edited run by run. Saved over the same
// path only when something matched.
#include "content/content.h"
#include "content/office_text.h"
#include "content/pptx_text.h"
#include "content/xml_tree.h"
#include "keyword/keyword.h"

namespace tw::content {

namespace {

constexpr py::Id P_SP = TW_P_NS "sp"_id;
constexpr py::Id P_GROUP = TW_P_NS "grpSp"_id;
constexpr py::Id P_FRAME = TW_P_NS "graphicFrame"_id;
constexpr py::Id P_BODY = TW_P_NS "txBody"_id;
constexpr py::Id A_BODY = TW_A_NS "txBody"_id;
constexpr py::Id A_P = TW_A_NS "p"_id;

class PresentationWalk {
public:
    explicit PresentationWalk(const keyword::Keyword& keyword) : keyword_(keyword) {}

    int load() { return editor_.load(); }
    int walk(PyObject* prs);
    Py_ssize_t matches() const { return matches_; }
    const std::vector<py::Ref>& changed_parts() const { return changed_.parts(); }

private:
    int shapes(PyObject* collection);
    int shape(PyObject* shape);
    int table_cells(PyObject* frame);
    int text_body(PyObject* holder, py::Id body_tag);
    int part_shapes(PyObject* owner);

    const keyword::Keyword& keyword_;
    PptxEditor editor_;
    Py_ssize_t matches_ = 0;
    ChangedParts changed_;
};

// Only an element that has a text body is read: asking the library for the
// text frame of a shape without one makes it add an empty body. A text that
// fails to read means the shape has no text; an interrupt is not the
// shape's failure and still ends the run.
int PresentationWalk::text_body(PyObject* holder, py::Id body_tag)
{
    py::Ref body = xml::find(holder, body_tag);
    if (!body || body.get() == Py_None)
        return body ? 0 : -1;
    py::Ref frame = editor_.text_frame(body.get());
    if (!frame)
        return -1;
    py::Ref text = py::getattr(frame.get(), "text"_id);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        return 0;
    }
    std::vector<py::Ref> children, paragraphs;
    if (xml::children(body.get(), children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        int is_paragraph = xml::has_tag(child.get(), A_P);
        if (is_paragraph < 0)
            return -1;
        if (is_paragraph)
            paragraphs.push_back(child);
    }
    return edit::edit_unit(editor_, keyword_, frame.get(), text.get(), paragraphs, matches_);
}

// Each cell of a table on a slide, except the cells a merged cell covers:
// they are not shown.
int PresentationWalk::table_cells(PyObject* frame)
{
    py::Ref cells = py::call_method(frame, "xpath"_id, "./a:graphic/a:graphicData/a:tbl/a:tr/a:tc"_id);
    if (!cells)
        return -1;
    return py::for_each(cells.get(), [&](PyObject* cell) {
        py::Ref spanned = py::getattr(cell, "is_spanned"_id);
        int hidden = spanned ? py::truth(spanned.get()) : -1;
        if (hidden != 0)
            return hidden < 0 ? -1 : 0;
        return text_body(cell, A_BODY);
    });
}

// Charts, diagrams, pictures and connectors are left alone.
int PresentationWalk::shape(PyObject* shape)
{
    py::Ref element = py::getattr(shape, "element"_id);
    if (!element)
        return -1;
    int kind = xml::tag_index(element.get(), {P_SP, P_GROUP, P_FRAME});
    if (kind == 0)
        return text_body(element.get(), P_BODY);
    if (kind == 1) {
        py::Ref members = py::getattr(shape, "shapes"_id);
        return members ? shapes(members.get()) : -1;
    }
    if (kind == 2)
        return table_cells(element.get());
    return kind < 0 ? -1 : 0;
}

int PresentationWalk::shapes(PyObject* collection)
{
    return py::for_each(collection, [&](PyObject* each) { return shape(each); });
}

// The shapes of a slide or notes page: its part is written anew when they changed.
int PresentationWalk::part_shapes(PyObject* owner)
{
    Py_ssize_t before = matches_;
    py::Ref part = py::getattr(owner, "part"_id);
    py::Ref members = part ? py::getattr(owner, "shapes"_id) : py::Ref();
    if (!members || shapes(members.get()) < 0)
        return -1;
    return changed_.note(part.get(), before, matches_);
}

// The notes page is read only where the slide has one: asking for it
// otherwise makes the library create it.
int PresentationWalk::walk(PyObject* prs)
{
    py::Ref slides = py::getattr(prs, "slides"_id);
    if (!slides)
        return -1;
    return py::for_each(slides.get(), [&](PyObject* slide) {
        if (part_shapes(slide) < 0)
            return -1;
        py::Ref has_notes = py::getattr(slide, "has_notes_slide"_id);
        int with_notes = has_notes ? py::truth(has_notes.get()) : -1;
        if (with_notes <= 0)
            return with_notes;
        py::Ref notes = py::getattr(slide, "notes_slide"_id);
        return notes ? part_shapes(notes.get()) : -1;
    });
}

}  // namespace

int decide_pptx_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    return decide_office_content<PresentationWalk>(file_path, keyword, PackageScan::Kind::presentation, out);
}

py::Ref replace_pptx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    return decide_and_write(file_path, old_keyword, new_keyword, decide_pptx_content);
}

}  // namespace tw::content
