// Word documents: every paragraph and table cell a reader sees in the body,
// in headers and footers, footnotes, endnotes, comments and text boxes,
// matched on its own text and edited run by run. Written over the same path
// only when something matched, and then only the parts that changed.
#include "content/content.h"
#include "content/docx_binding.h"
#include "content/docx_text.h"
#include "content/office_text.h"
#include "content/xml_tree.h"
#include "keyword/keyword.h"

#include <string>
#include <string_view>

namespace tw::content {

namespace {

constexpr py::Id W_TC_PR = TW_W_NS "tcPr"_id;
constexpr py::Id W_V_MERGE = TW_W_NS "vMerge"_id;
constexpr py::Id W_TEXT_BOX = TW_W_NS "txbxContent"_id;
constexpr py::Id W_TYPE = TW_W_NS "type"_id;
constexpr py::Id MC_FALLBACK = TW_MC_NS "Fallback"_id;

constexpr std::string_view FOOTNOTES =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/footnotes";
constexpr std::string_view ENDNOTES =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/endnotes";
constexpr std::string_view COMMENTS =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments";

// 1 when the cell continues a vertical merge (w:vMerge without a value, or
// "continue"), 0 when not, -1 with the exception set.
int continues_merge(PyObject* cell)
{
    py::Ref properties = xml::find(cell, W_TC_PR);
    py::Ref merge = properties && properties.get() != Py_None ? xml::find(properties.get(), W_V_MERGE) : properties;
    py::Ref value = merge && merge.get() != Py_None ? xml::attribute(merge.get(), W_VAL) : merge;
    if (!value)
        return -1;
    if (merge.get() == Py_None)
        return 0;
    return value.get() == Py_None ? 1 : py::equals(value.get(), "continue"_id);
}

// One pass over a document: each place that shows text is visited once,
// and each paragraph or table cell is one unit of matching.
class DocumentWalk {
public:
    explicit DocumentWalk(const keyword::Keyword& keyword) : keyword_(keyword) {}

    int load();
    int walk(PyObject* doc);
    Py_ssize_t matches() const { return matches_; }
    const std::vector<py::Ref>& changed_parts() const { return changed_.parts(); }

private:
    int paragraph(PyObject* element);
    int table(PyObject* element);
    int cell(PyObject* element);
    int row(PyObject* element);
    int wrapped(PyObject* container, py::Id tag, int (DocumentWalk::*visit)(PyObject*));
    int blocks(PyObject* container, bool with_paragraphs);
    int story(PyObject* root);
    int part_story(PyObject* part, PyObject* root);
    int text_boxes(PyObject* root);
    int headers_and_footers(PyObject* doc);
    int notes(PyObject* doc);
    int notes_part(PyObject* part);

    const keyword::Keyword& keyword_;
    DocxEditor editor_;
    DataBindings bindings_{editor_};
    py::Ref cell_class_, parse_xml_, serialize_;
    Py_ssize_t matches_ = 0;
    // A text box is stored twice, for new and for old readers; the old
    // readers' copy is edited alike but its matches are not counted again.
    Py_ssize_t copies_ = 0;
    Py_ssize_t* counter_ = &matches_;
    ChangedParts changed_;
};

int DocumentWalk::load()
{
    py::Ref table = py::Ref::steal(PyImport_ImportModule("docx.table"));
    py::Ref parser = table ? py::Ref::steal(PyImport_ImportModule("docx.oxml.parser")) : py::Ref();
    py::Ref opc = parser ? py::Ref::steal(PyImport_ImportModule("docx.opc.oxml")) : py::Ref();
    if (!opc || editor_.load() < 0 || bindings_.load() < 0)
        return -1;
    cell_class_ = py::getattr(table.get(), "_Cell"_id);
    parse_xml_ = cell_class_ ? py::getattr(parser.get(), "parse_xml"_id) : py::Ref();
    serialize_ = parse_xml_ ? py::getattr(opc.get(), "serialize_part_xml"_id) : py::Ref();
    return serialize_ ? 0 : -1;
}

int DocumentWalk::paragraph(PyObject* element)
{
    py::Ref proxy = editor_.paragraph(element);
    py::Ref text = proxy ? editor_.text_of(element, proxy.get()) : py::Ref();
    if (!text)
        return -1;
    return edit::edit_unit(editor_, keyword_, proxy.get(), text.get(),
                           {py::Ref::borrow(element)}, *counter_);
}

// A cell's text is its own paragraphs joined by "\n"; tables and content
// controls inside it are visited after it, each on its own. A cell that
// continues a vertical merge is hidden under the merged cell above it.
int DocumentWalk::cell(PyObject* element)
{
    int hidden = continues_merge(element);
    if (hidden != 0)
        return hidden < 0 ? -1 : 0;
    std::vector<py::Ref> children, paragraphs;
    py::Ref texts = py::Ref::steal(PyList_New(0));
    if (!texts || xml::children(element, children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        int is_paragraph = xml::has_tag(child.get(), W_P);
        if (is_paragraph < 0)
            return -1;
        if (!is_paragraph)
            continue;
        paragraphs.push_back(child);
        py::Ref text = editor_.text_of(child.get(), nullptr);
        if (!text || PyList_Append(texts.get(), text.get()) < 0)
            return -1;
    }
    py::Ref proxy = py::call(cell_class_.get(), element, Py_None);
    py::Ref separator = proxy ? py::Ref::steal(PyUnicode_FromString("\n")) : py::Ref();
    py::Ref text = separator ? py::Ref::steal(PyUnicode_Join(separator.get(), texts.get())) : py::Ref();
    if (!text || edit::edit_unit(editor_, keyword_, proxy.get(), text.get(), paragraphs, *counter_) < 0)
        return -1;
    return blocks(element, false);
}

// Rows and cells as the table holds them, also those that a content
// control or a custom XML element wraps (at any depth).
int DocumentWalk::wrapped(PyObject* container, py::Id tag, int (DocumentWalk::*visit)(PyObject*))
{
    std::vector<py::Ref> children;
    if (xml::children(container, children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        int kind = xml::tag_index(child.get(), {tag, W_SDT, W_CUSTOM_XML});
        int status = kind < 0 ? -1 : 0;
        if (kind == 0)
            status = (this->*visit)(child.get());
        else if (kind == 2)
            status = wrapped(child.get(), tag, visit);
        else if (kind == 1) {
            py::Ref content = xml::find(child.get(), W_SDT_CONTENT);
            status = !content ? -1 : content.get() == Py_None ? 0 : wrapped(content.get(), tag, visit);
        }
        if (status < 0)
            return -1;
    }
    return 0;
}

int DocumentWalk::row(PyObject* element)
{
    return wrapped(element, W_TC, &DocumentWalk::cell);
}

int DocumentWalk::table(PyObject* element)
{
    return wrapped(element, W_TR, &DocumentWalk::row);
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

// The story of a whole part: the part is written anew when it changed.
int DocumentWalk::part_story(PyObject* part, PyObject* root)
{
    Py_ssize_t before = matches_ + copies_;
    if (bindings_.note(root) < 0 || story(root) < 0)
        return -1;
    return changed_.note(part, before, matches_ + copies_);
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
            if (PySet_Add(seen.get(), root.get()) < 0 || part_story(definition.get(), root.get()) < 0)
                return -1;
        }
        return 0;
    });
}

// The library keeps footnotes and endnotes as raw bytes (unless a later
// version gives them an element tree, as it gives comments): they are
// parsed here, edited like any story, and written back only when they
// changed. Separator notes hold the rule above the notes, no text of the
// user's; a comment has no type and is searched like a normal note.
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
    if (!root || xml::children(root.get(), notes) < 0 || bindings_.note(root.get()) < 0)
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
    if (matches_ + copies_ == before)
        return 0;
    py::Ref bytes = parsed ? py::call(serialize_.get(), root) : py::none();
    if (!bytes || (parsed && py::setattr(part, "_blob"_id, bytes.get()) < 0))
        return -1;
    return changed_.note(part, before, matches_ + copies_);
}

// Footnotes, endnotes and comments, each in a part of its own that the
// document part refers to.
int DocumentWalk::notes(PyObject* doc)
{
    py::Ref part = py::getattr(doc, "part"_id);
    if (!part)
        return -1;
    for (std::string_view type : {FOOTNOTES, ENDNOTES, COMMENTS}) {
        std::vector<py::Ref> parts;
        if (related_parts(part.get(), type, parts) < 0)
            return -1;
        for (const py::Ref& each : parts)
            if (notes_part(each.get()) < 0)
                return -1;
    }
    return 0;
}

int DocumentWalk::walk(PyObject* doc)
{
    py::Ref part = py::getattr(doc, "part"_id);
    py::Ref element = part ? py::getattr(doc, "element"_id) : py::Ref();
    py::Ref body = element ? py::getattr(element.get(), "body"_id) : py::Ref();
    if (!body || part_story(part.get(), body.get()) < 0)
        return -1;
    if (headers_and_footers(doc) < 0 || notes(doc) < 0)
        return -1;
    return bindings_.settle(doc, changed_);
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
