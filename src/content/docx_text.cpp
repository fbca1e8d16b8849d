#include "content/docx_text.h"

#include "content/xml_tree.h"

namespace tw::content {

namespace {

using edit::Piece;

constexpr py::Id W_R = TW_W_NS "r"_id;
constexpr py::Id W_HYPERLINK = TW_W_NS "hyperlink"_id;
constexpr py::Id W_SMART_TAG = TW_W_NS "smartTag"_id;
constexpr py::Id W_FIELD = TW_W_NS "fldSimple"_id;
constexpr py::Id W_RPR = TW_W_NS "rPr"_id;
constexpr py::Id W_PPR = TW_W_NS "pPr"_id;
constexpr py::Id W_FLDCHARTYPE = TW_W_NS "fldCharType"_id;
constexpr py::Id XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"_id;

// Field characters split a paragraph's text into stretches: before a field,
// its instruction, its result, after it. A field may open in an earlier
// paragraph, so an unmatched separator or end also starts a new stretch.
class FieldStretches {
public:
    int current() const { return open_.empty() ? base_ : open_.back(); }
    void begin() { open_.push_back(++next_); }
    void separate() { (open_.empty() ? base_ : open_.back()) = ++next_; }
    void end()
    {
        if (open_.empty())
            base_ = ++next_;
        else
            open_.pop_back();
    }

private:
    std::vector<int> open_;
    int base_ = 0, next_ = 0;
};

// Walks the text a paragraph shows: its runs, and the runs of what wraps
// runs within it (hyperlinks, smart tags, custom XML, simple fields,
// content controls), in document order; in each run the nodes that CT_R.text
// joins, each counted as str() of the node, as the library reads a run.
// Each wrapper is a region of its own: a match that crosses its edge is
// not edited in place.
class PieceReader {
public:
    explicit PieceReader(std::vector<Piece>& out) : out_(out) {}

    // 1, or 0 when a text node holds more than its text.
    int paragraph(PyObject* element)
    {
        return content(element) < 0 ? -1 : !mixed_;
    }

private:
    int content(PyObject* element)
    {
        return py::for_each(element, [&](PyObject* child) {
            int kind = xml::tag_index(child, {W_R, W_HYPERLINK, W_SMART_TAG, W_CUSTOM_XML, W_FIELD, W_SDT});
            if (kind == 0)
                return run(child);
            if (kind > 0 && kind < 5)
                return wrapper(child);
            if (kind == 5) {
                py::Ref inner = xml::find(child, W_SDT_CONTENT);
                return !inner ? -1 : inner.get() == Py_None ? 0 : wrapper(inner.get());
            }
            return kind < 0 ? -1 : 0;
        });
    }

    int wrapper(PyObject* element)
    {
        int outer = link_;
        link_ = ++links_;
        int status = content(element);
        link_ = outer;
        return status;
    }

    int run(PyObject* element)
    {
        return py::for_each(element, [&](PyObject* child) {
            int kind = xml::tag_index(child, {TW_W_NS "t"_id, TW_W_NS "tab"_id, TW_W_NS "br"_id,
                                              TW_W_NS "cr"_id, TW_W_NS "noBreakHyphen"_id,
                                              TW_W_NS "ptab"_id, TW_W_NS "fldChar"_id});
            if (kind < 0)
                return -1;
            if (kind == 6)
                return field_char(child);
            return kind < 6 ? text_node(child, kind == 0) : 0;
        });
    }

    int text_node(PyObject* element, bool editable)
    {
        py::Ref text = py::Ref::steal(PyObject_Str(element));
        if (!text)
            return -1;
        // The library reads a w:t's text up to its first child node; an
        // unresolved entity reference is such a node, and its text is not
        // counted. Such a node cannot be edited without losing or exposing it.
        Py_ssize_t nodes = editable ? PyObject_Length(element) : 0;
        if (nodes < 0)
            return -1;
        mixed_ = mixed_ || nodes > 0;
        Py_ssize_t size = edit::length(text.get());
        if (size == 0)
            return 0;
        Piece piece;
        piece.element = py::Ref::borrow(element);
        piece.text = text;
        piece.start = position_;
        piece.length = size;
        piece.editable = editable;
        piece.region = (static_cast<edit::Region>(link_) << 32) | fields_.current();
        position_ += size;
        out_.push_back(std::move(piece));
        return 0;
    }

    int field_char(PyObject* element)
    {
        py::Ref type = xml::attribute(element, W_FLDCHARTYPE);
        if (!type)
            return -1;
        int begin = py::equals(type.get(), "begin"_id);
        int separate = begin == 0 ? py::equals(type.get(), "separate"_id) : 0;
        int end = begin == 0 && separate == 0 ? py::equals(type.get(), "end"_id) : 0;
        if (begin < 0 || separate < 0 || end < 0)
            return -1;
        if (begin)
            fields_.begin();
        else if (separate)
            fields_.separate();
        else if (end)
            fields_.end();
        return 0;
    }

    std::vector<Piece>& out_;
    FieldStretches fields_;
    Py_ssize_t position_ = 0;
    int link_ = 0, links_ = 0;
    bool mixed_ = false;
};

// A copy of the paragraph mark's run properties, which is what Word gives
// text typed into an empty paragraph; None when the mark has none. Revision
// marks of the paragraph mark itself do not belong in a run's properties.
py::Ref mark_properties(PyObject* paragraph)
{
    py::Ref ppr = xml::find(paragraph, W_PPR);
    py::Ref rpr = ppr && ppr.get() != Py_None ? xml::find(ppr.get(), W_RPR) : ppr;
    if (!rpr || rpr.get() == Py_None)
        return rpr;
    py::Ref copy = xml::deep_copy(rpr.get());
    std::vector<py::Ref> children;
    if (!copy || xml::children(copy.get(), children) < 0)
        return {};
    for (const py::Ref& child : children) {
        int revision = xml::tag_index(child.get(), {TW_W_NS "ins"_id, TW_W_NS "del"_id,
                                                    TW_W_NS "moveFrom"_id, TW_W_NS "moveTo"_id,
                                                    TW_W_NS "rPrChange"_id});
        if (revision < 0 || (revision < 5 && xml::detach(child.get()) < 0))
            return {};
    }
    return copy;
}

// 1 when the run holds nothing but its properties, 0 when it holds more.
int holds_only_properties(PyObject* run)
{
    int only = 1;
    int status = py::for_each(run, [&](PyObject* child) {
        int is_properties = xml::has_tag(child, W_RPR);
        if (is_properties == 0)
            only = 0;
        return is_properties < 0 ? -1 : 1 - is_properties;
    });
    return status < 0 ? -1 : only;
}

// Removes a run the edits emptied, and a hyperlink left with nothing in it.
int remove_if_empty(PyObject* run)
{
    int empty = holds_only_properties(run);
    if (empty <= 0)
        return empty;
    py::Ref holder = xml::parent(run);
    if (!holder || xml::detach(run) < 0)
        return -1;
    if (holder.get() == Py_None)
        return 0;
    int is_link = xml::has_tag(holder.get(), W_HYPERLINK);
    if (is_link <= 0)
        return is_link;
    Py_ssize_t left = PyObject_Length(holder.get());
    return left < 0 ? -1 : left == 0 ? xml::detach(holder.get()) : 0;
}

}  // namespace

int DocxEditor::load()
{
    py::Ref paragraph_module = py::Ref::steal(PyImport_ImportModule("docx.text.paragraph"));
    py::Ref parser = paragraph_module ? py::Ref::steal(PyImport_ImportModule("docx.oxml.parser"))
                                      : py::Ref();
    if (!parser)
        return -1;
    paragraph_class_ = py::getattr(paragraph_module.get(), "Paragraph"_id);
    make_element_ = paragraph_class_ ? py::getattr(parser.get(), "OxmlElement"_id) : py::Ref();
    return make_element_ ? 0 : -1;
}

py::Ref DocxEditor::paragraph(PyObject* element)
{
    return py::call(paragraph_class_.get(), element, Py_None);
}

py::Ref DocxEditor::text_of(PyObject* element, PyObject*)
{
    std::vector<Piece> pieces;
    if (PieceReader(pieces).paragraph(element) < 0)
        return {};
    py::Ref texts = py::Ref::steal(PyList_New(0));
    py::Ref empty = texts ? py::Ref::steal(PyUnicode_FromStringAndSize("", 0)) : py::Ref();
    if (!empty)
        return {};
    for (const Piece& piece : pieces)
        if (PyList_Append(texts.get(), piece.text.get()) < 0)
            return {};
    return py::Ref::steal(PyUnicode_Join(empty.get(), texts.get()));
}

int DocxEditor::collect(PyObject* element, std::vector<Piece>& pieces)
{
    return PieceReader(pieces).paragraph(element);
}

int DocxEditor::set_text(Piece& piece, PyObject* text)
{
    if (xml::set_node_text(piece.element.get(), text) < 0)
        return -1;
    piece.text = py::Ref::borrow(text);
    // As the library writes a w:t: spaces at either end are kept only when
    // the node says so.
    py::Ref stripped = py::call_method(text, "strip"_id);
    if (!stripped)
        return -1;
    if (edit::length(stripped.get()) == edit::length(text))
        return 0;
    return py::call_method(piece.element.get(), "set"_id, XML_SPACE, "preserve"_id) ? 0 : -1;
}

// The library's own conversion of text into run content (w:t, w:tab for a
// tab, w:br for a line feed or carriage return), placed before or after
// `anchor` inside the anchor's run.
int DocxEditor::insert_run_content(PyObject* anchor, bool before, PyObject* text)
{
    py::Ref scratch = py::call(make_element_.get(), "w:r"_id);
    std::vector<py::Ref> content;
    if (!scratch || py::setattr(scratch.get(), "text"_id, text) < 0 ||
        xml::children(scratch.get(), content) < 0)
        return -1;
    py::Ref cursor = py::Ref::borrow(anchor);
    for (const py::Ref& node : content) {
        if (before ? xml::add_previous(anchor, node.get()) : xml::add_next(cursor.get(), node.get()))
            return -1;
        cursor = node;
    }
    return 0;
}

int DocxEditor::add_run(PyObject* paragraph, PyObject* text)
{
    py::Ref run = py::call_method(paragraph, "add_r"_id);
    py::Ref properties = run ? mark_properties(paragraph) : py::Ref();
    if (!properties)
        return -1;
    if (properties.get() != Py_None && !py::call_method(run.get(), "insert"_id,
                                                        py::Ref::steal(PyLong_FromLong(0)),
                                                        properties))
        return -1;
    return py::setattr(run.get(), "text"_id, text);
}

int DocxEditor::insert(PyObject* paragraph, Piece* at, Py_ssize_t offset, PyObject* replacement)
{
    if (!at)
        return add_run(paragraph, replacement);
    bool structured = edit::contains_any(replacement, "\t\n\r");
    if (!at->editable)
        return insert_run_content(at->element.get(), offset == 0, replacement);
    PyObject* text = at->text.get();
    py::Ref head = edit::slice(text, 0, offset);
    py::Ref tail = head ? edit::slice(text, offset, edit::length(text)) : py::Ref();
    if (!tail)
        return -1;
    if (!structured) {
        py::Ref middle = edit::concat(head.get(), replacement);
        py::Ref joined = middle ? edit::concat(middle.get(), tail.get()) : py::Ref();
        return joined ? set_text(*at, joined.get()) : -1;
    }
    // Tabs and breaks are nodes of their own: the node keeps what comes
    // before the match, and the replacement with the rest follows it.
    py::Ref rest = edit::concat(replacement, tail.get());
    if (!rest || set_text(*at, head.get()) < 0)
        return -1;
    return insert_run_content(at->element.get(), false, rest.get());
}

int DocxEditor::sweep(std::vector<Piece>& pieces)
{
    std::vector<py::Ref> runs;
    for (Piece& piece : pieces) {
        if (!piece.touched)
            continue;
        py::Ref run = xml::parent(piece.element.get());
        if (!run)
            return -1;
        if (run.get() == Py_None)
            continue;
        bool emptied = piece.removed || (piece.editable && edit::length(piece.text.get()) == 0);
        if (emptied && xml::detach(piece.element.get()) < 0)
            return -1;
        if (runs.empty() || runs.back().get() != run.get())
            runs.push_back(run);
    }
    for (const py::Ref& run : runs)
        if (remove_if_empty(run.get()) < 0)
            return -1;
    return 0;
}

}  // namespace tw::content
