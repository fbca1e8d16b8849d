// Word documents: every paragraph and table cell a reader sees in the body,
// in headers and footers, footnotes, endnotes and text boxes, matched on
// its own text and edited run by run. Saved over the same path only when
// something matched.
#include "content/content.h"
#include "content/docx_text.h"
#include "content/office_text.h"
#include "content/xml_tree.h"
#include "keyword/keyword.h"

namespace tw::content {

namespace {

constexpr py::Id W_P = TW_W_NS "p"_id;
constexpr py::Id W_TBL = TW_W_NS "tbl"_id;
constexpr py::Id W_SDT = TW_W_NS "sdt"_id;
constexpr py::Id W_SDT_CONTENT = TW_W_NS "sdtContent"_id;
constexpr py::Id W_CUSTOM_XML = TW_W_NS "customXml"_id;
constexpr py::Id W_TEXT_BOX = TW_W_NS "txbxContent"_id;
constexpr py::Id W_TYPE = TW_W_NS "type"_id;
constexpr py::Id MC_FALLBACK = TW_MC_NS "Fallback"_id;

constexpr const char* FOOTNOTES =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/footnotes";
constexpr const char* ENDNOTES =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/endnotes";

// One pass over a document: each place that shows text is visited once,
// and each paragraph or table cell is one unit of matching.
class DocumentWalk {
public:
    explicit DocumentWalk(const keyword::Keyword& keyword) : keyword_(keyword) {}

    int load();
    int walk(PyObject* doc);
    Py_ssize_t matches() const { return matches_; }
    bool changed() const { return matches_ + copies_ > 0; }

private:
    int paragraph(PyObject* element);
    int table(PyObject* element);
    int cell(PyObject* cell, PyObject* seen);
    int blocks(PyObject* container, bool with_paragraphs);
    int story(PyObject* root);
    int text_boxes(PyObject* root);
    int headers_and_footers(PyObject* doc);
    int notes(PyObject* doc);
    int notes_part(PyObject* part);

    const keyword::Keyword& keyword_;
    DocxEditor editor_;
    py::Ref table_class_, parse_xml_, serialize_;
    Py_ssize_t matches_ = 0;
    // A text box is stored twice, for new and for old readers; the old
    // readers' copy is edited alike but its matches are not counted again.
    Py_ssize_t copies_ = 0;
    Py_ssize_t* counter_ = &matches_;
};

int DocumentWalk::load()
{
    py::Ref table = py::Ref::steal(PyImport_ImportModule("docx.table"));
    py::Ref parser = table ? py::Ref::steal(PyImport_ImportModule("docx.oxml.parser")) : py::Ref();
    py::Ref opc = parser ? py::Ref::steal(PyImport_ImportModule("docx.opc.oxml")) : py::Ref();
    if (!opc || editor_.load() < 0)
        return -1;
    table_class_ = py::getattr(table.get(), "Table"_id);
    parse_xml_ = table_class_ ? py::getattr(parser.get(), "parse_xml"_id) : py::Ref();
    serialize_ = parse_xml_ ? py::getattr(opc.get(), "serialize_part_xml"_id) : py::Ref();
    return serialize_ ? 0 : -1;
}

int DocumentWalk::paragraph(PyObject* element)
{
    py::Ref proxy = editor_.paragraph(element);
    py::Ref text = proxy ? py::getattr(proxy.get(), "text"_id) : py::Ref();
    if (!text)
        return -1;
    return edit::edit_unit(editor_, keyword_, proxy.get(), text.get(),
                           {py::Ref::borrow(element)}, *counter_);
}

// A cell's text is its own paragraphs joined by "\n"; tables and content
// controls inside it are visited after it, each on its own.
int DocumentWalk::cell(PyObject* cell, PyObject* seen)
{
    // row.cells repeats a merged cell for every grid position it covers;
    // substituting at each visit would apply the keyword again to text that
    // already holds the replacement, so each cell element is taken once.
    py::Ref element = py::getattr(cell, "_tc"_id);
    if (!element)
        return -1;
    int known = PySet_Contains(seen, element.get());
    if (known != 0)
        return known < 0 ? -1 : 0;
    if (PySet_Add(seen, element.get()) < 0)
        return -1;
    std::vector<py::Ref> children, paragraphs;
    py::Ref text = py::getattr(cell, "text"_id);
    if (!text || xml::children(element.get(), children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        int is_paragraph = xml::has_tag(child.get(), W_P);
        if (is_paragraph < 0)
            return -1;
        if (is_paragraph)
            paragraphs.push_back(child);
    }
    if (edit::edit_unit(editor_, keyword_, cell, text.get(), paragraphs, *counter_) < 0)
        return -1;
    return blocks(element.get(), false);
}

int DocumentWalk::table(PyObject* element)
{
    py::Ref proxy = py::call(table_class_.get(), element, Py_None);
    py::Ref seen = proxy ? py::Ref::steal(PySet_New(nullptr)) : py::Ref();
    py::Ref rows = seen ? py::getattr(proxy.get(), "rows"_id) : py::Ref();
    if (!rows)
        return -1;
    return py::for_each(rows.get(), [&](PyObject* row) {
        py::Ref cells = py::getattr(row, "cells"_id);
        if (!cells)
            return -1;
        return py::for_each(cells.get(), [&](PyObject* each) {
            return cell(each, seen.get());
        });
    });
}

// The block content of a body, header, cell, text box or note: paragraphs,
// tables, and the paragraphs and tables that content controls wrap.
int DocumentWalk::blocks(PyObject* container, bool with_paragraphs)
{
    std::vector<py::Ref> children;
    if (xml::children(container, children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        int kind = xml::tag_index(child.get(), {W_P, W_TBL, W_SDT, W_CUSTOM_XML});
        int status = 0;
        if (kind == 0 && with_paragraphs)
            status = paragraph(child.get());
        else if (kind == 1)
            status = table(child.get());
        else if (kind == 3)
            status = blocks(child.get(), true);
        else if (kind == 2) {
            py::Ref content = xml::find(child.get(), W_SDT_CONTENT);
            status = !content ? -1 : content.get() == Py_None ? 0 : blocks(content.get(), true);
        }
        if (kind < 0 || status < 0)
            return -1;
    }
    return 0;
}

// Text boxes sit inside drawings in a paragraph's runs, out of reach of the
// paragraph's own text; they are found once the story itself is done.
int DocumentWalk::text_boxes(PyObject* root)
{
    py::Ref found = py::call_method(root, "iter"_id, W_TEXT_BOX);
    std::vector<py::Ref> boxes;
    if (!found || xml::children(found.get(), boxes) < 0)
        return -1;
    for (const py::Ref& box : boxes) {
        int old_readers = xml::has_ancestor(box.get(), MC_FALLBACK);
        if (old_readers < 0)
            return -1;
        counter_ = old_readers ? &copies_ : &matches_;
        int status = blocks(box.get(), true);
        counter_ = &matches_;
        if (status < 0)
            return -1;
    }
    return 0;
}

int DocumentWalk::story(PyObject* root)
{
    return blocks(root, true) < 0 ? -1 : text_boxes(root);
}

// Every header and footer that some section defines (default, first page,
// even pages). A section without its own definition shows the previous
// section's, which is visited there; asking it for its content would make
// the library add an empty definition. Sections may share one part.
int DocumentWalk::headers_and_footers(PyObject* doc)
{
    static const py::Id kinds[] = {"header"_id, "first_page_header"_id, "even_page_header"_id,
                                   "footer"_id, "first_page_footer"_id, "even_page_footer"_id};
    py::Ref seen = py::Ref::steal(PySet_New(nullptr));
    py::Ref sections = seen ? py::getattr(doc, "sections"_id) : py::Ref();
    if (!sections)
        return -1;
    return py::for_each(sections.get(), [&](PyObject* section) {
        for (py::Id kind : kinds) {
            py::Ref part = py::getattr(section, kind);
            py::Ref linked = part ? py::getattr(part.get(), "is_linked_to_previous"_id) : py::Ref();
            int inherits = linked ? py::truth(linked.get()) : -1;
            if (inherits != 0) {
                if (inherits < 0)
                    return -1;
                continue;
            }
            py::Ref definition = py::getattr(part.get(), "part"_id);
            py::Ref root = definition ? py::getattr(definition.get(), "element"_id) : py::Ref();
            int known = root ? PySet_Contains(seen.get(), root.get()) : -1;
            if (known != 0) {
                if (known < 0)
                    return -1;
                continue;
            }
            if (PySet_Add(seen.get(), root.get()) < 0 || story(root.get()) < 0)
                return -1;
        }
        return 0;
    });
}

// The library keeps footnotes and endnotes as raw bytes (unless a later
// version gives them an element tree): they are parsed here, edited like
// any story, and written back only when they changed. Separator notes hold
// the rule above the notes, no text of the user's.
int DocumentWalk::notes_part(PyObject* part)
{
    py::Ref root = py::getattr(part, "element"_id);
    bool parsed = !root;
    if (parsed) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        py::Ref blob = py::getattr(part, "blob"_id);
        root = blob ? py::call(parse_xml_.get(), blob) : py::Ref();
    }
    std::vector<py::Ref> notes;
    if (!root || xml::children(root.get(), notes) < 0)
        return -1;
    Py_ssize_t before = matches_ + copies_;
    for (const py::Ref& note : notes) {
        py::Ref type = xml::attribute(note.get(), W_TYPE);
        int normal = !type ? -1 : type.get() == Py_None ? 1 : py::equals(type.get(), "normal"_id);
        if (normal < 0 || (normal && blocks(note.get(), true) < 0))
            return -1;
    }
    if (text_boxes(root.get()) < 0)
        return -1;
    if (!parsed || matches_ + copies_ == before)
        return 0;
    py::Ref bytes = py::call(serialize_.get(), root);
    return bytes ? py::setattr(part, "_blob"_id, bytes.get()) : -1;
}

int DocumentWalk::notes(PyObject* doc)
{
    py::Ref part = py::getattr(doc, "part"_id);
    py::Ref rels = part ? py::getattr(part.get(), "rels"_id) : py::Ref();
    py::Ref values = rels ? py::call_method(rels.get(), "values"_id) : py::Ref();
    py::Ref footnotes = values ? py::Ref::steal(PyUnicode_FromString(FOOTNOTES)) : py::Ref();
    py::Ref endnotes = footnotes ? py::Ref::steal(PyUnicode_FromString(ENDNOTES)) : py::Ref();
    if (!endnotes)
        return -1;
    return py::for_each(values.get(), [&](PyObject* rel) {
        py::Ref external = py::getattr(rel, "is_external"_id);
        py::Ref type = external ? py::getattr(rel, "reltype"_id) : py::Ref();
        if (!type)
            return -1;
        int outside = py::truth(external.get());
        if (outside != 0)
            return outside < 0 ? -1 : 0;
        int foot = py::equals(type.get(), footnotes.get());
        int end = foot == 0 ? py::equals(type.get(), endnotes.get()) : 0;
        if (foot < 0 || end < 0)
            return -1;
        if (!foot && !end)
            return 0;
        py::Ref target = py::getattr(rel, "target_part"_id);
        return target ? notes_part(target.get()) : -1;
    });
}

int DocumentWalk::walk(PyObject* doc)
{
    py::Ref element = py::getattr(doc, "element"_id);
    py::Ref body = element ? py::getattr(element.get(), "body"_id) : py::Ref();
    if (!body || story(body.get()) < 0)
        return -1;
    return headers_and_footers(doc) < 0 ? -1 : notes(doc);
}

}  // namespace

int decide_docx_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    return decide_office_content<DocumentWalk>(file_path, keyword, PackageScan::Kind::document, out);
}

py::Ref replace_docx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    return decide_and_write(file_path, old_keyword, new_keyword, decide_docx_content);
}

}  // namespace tw::content
