#include "content/pptx_text.h"

#include "content/xml_tree.h"

#include <vector>

namespace tw::content {

namespace {

using edit::Piece;

constexpr py::Id A_R = TW_A_NS "r"_id;
constexpr py::Id A_BR = TW_A_NS "br"_id;
constexpr py::Id A_FLD = TW_A_NS "fld"_id;
constexpr py::Id A_T = TW_A_NS "t"_id;
constexpr py::Id A_RPR = TW_A_NS "rPr"_id;
constexpr py::Id A_PPR = TW_A_NS "pPr"_id;
constexpr py::Id A_END = TW_A_NS "endParaRPr"_id;

// As the library writes a run's text: control characters other than tab
// and line feed become "_xHHHH_", which is also how they read back.
py::Ref escape_controls(PyObject* text)
{
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    std::vector<Py_UCS4> out;
    bool escaped = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x20 && c != '\t' && c != '\n') {
            static const char digits[] = "0123456789ABCDEF";
            for (Py_UCS4 e : {Py_UCS4('_'), Py_UCS4('x'), Py_UCS4('0'), Py_UCS4('0'),
                              Py_UCS4(digits[c >> 4]), Py_UCS4(digits[c & 15]), Py_UCS4('_')})
                out.push_back(e);
            escaped = true;
        } else {
            out.push_back(c);
        }
    }
    if (!escaped)
        return py::Ref::borrow(text);
    return py::Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                    static_cast<Py_ssize_t>(out.size())));
}

bool is_field(const Piece& piece) { return piece.region != 0; }

// The formatting a new run takes: the properties of the node where its
// match begins, or of the paragraph's end in an empty paragraph (what
// PowerPoint gives text typed there). None when there are none.
py::Ref properties_of(PyObject* node)
{
    return xml::find(node, A_RPR);
}

py::Ref end_properties(PyObject* paragraph)
{
    py::Ref end = xml::find(paragraph, A_END);
    if (!end || end.get() == Py_None)
        return end;
    py::Ref copy = xml::deep_copy(end.get());
    PyObject* tag = A_RPR.get();
    if (!copy || !tag || py::setattr(copy.get(), "tag"_id, tag) < 0)
        return {};
    return copy;
}

}  // namespace

struct PptxEditor::Cursor {
    py::Ref paragraph;   // the a:p being filled
    py::Ref before;      // new nodes go before this one; None: at the paragraph's end
    py::Ref properties;  // a:rPr copied into new runs and breaks, or None
};

int PptxEditor::load()
{
    py::Ref text_module = py::Ref::steal(PyImport_ImportModule("pptx.text.text"));
    py::Ref chemistry = text_module ? py::Ref::steal(PyImport_ImportModule("pptx.oxml.xmlchemy"))
                                    : py::Ref();
    if (!chemistry)
        return -1;
    text_frame_class_ = py::getattr(text_module.get(), "TextFrame"_id);
    paragraph_class_ = text_frame_class_ ? py::getattr(text_module.get(), "_Paragraph"_id)
                                         : py::Ref();
    make_element_ = paragraph_class_ ? py::getattr(chemistry.get(), "OxmlElement"_id) : py::Ref();
    return make_element_ ? 0 : -1;
}

py::Ref PptxEditor::text_frame(PyObject* body)
{
    return py::call(text_frame_class_.get(), body, Py_None);
}

py::Ref PptxEditor::paragraph(PyObject* element)
{
    return py::call(paragraph_class_.get(), element, Py_None);
}

// The nodes _Paragraph.text joins: runs, line breaks ("\v") and fields,
// each read through the library's own `text`. Each field is a container
// of its own.
int PptxEditor::collect(PyObject* element, std::vector<Piece>& pieces)
{
    Py_ssize_t position = 0;
    edit::Region fields = 0;
    bool mixed = false;
    int status = py::for_each(element, [&](PyObject* child) {
        int kind = xml::tag_index(child, {A_R, A_BR, A_FLD});
        if (kind < 0 || kind == 3)
            return kind < 0 ? -1 : 0;
        py::Ref text = py::getattr(child, "text"_id);
        if (!text)
            return -1;
        // The library reads an a:t's text up to its first child node (an
        // unresolved entity reference): such a node is not edited in place.
        py::Ref node = kind != 1 ? xml::find(child, A_T) : py::none();
        Py_ssize_t nodes = !node ? -1 : node.get() == Py_None ? 0 : PyObject_Length(node.get());
        if (nodes < 0)
            return -1;
        mixed = mixed || nodes > 0;
        if (!PyUnicode_Check(text.get()) || edit::length(text.get()) == 0)
            return 0;
        Piece piece;
        piece.element = py::Ref::borrow(child);
        piece.text = text;
        piece.start = position;
        piece.length = edit::length(text.get());
        piece.editable = kind != 1;
        piece.region = kind == 2 ? ++fields : 0;
        position += piece.length;
        pieces.push_back(std::move(piece));
        return 0;
    });
    return status < 0 ? -1 : !mixed;
}

// A field keeps its one text node: a line or paragraph break cannot go
// inside it.
bool PptxEditor::can_insert(const Piece* at, PyObject* replacement) const
{
    return !(at && is_field(*at) && edit::contains_any(replacement, "\v\n"));
}

// _Paragraph.text turns "\n" into a line break, which reads back as "\v".
bool PptxEditor::can_assign(PyObject* text) const
{
    return !edit::contains_any(text, "\n");
}

int PptxEditor::set_text(Piece& piece, PyObject* text)
{
    py::Ref node = xml::find(piece.element.get(), A_T);
    if (!node)
        return -1;
    if (node.get() == Py_None) {
        node = py::call(make_element_.get(), "a:t"_id);
        if (!node || !py::call_method(piece.element.get(), "append"_id, node))
            return -1;
    }
    if (xml::set_node_text(node.get(), text) < 0)
        return -1;
    piece.text = py::Ref::borrow(text);
    return 0;
}

py::Ref PptxEditor::new_node(py::Id tag, PyObject* properties)
{
    py::Ref node = py::call(make_element_.get(), tag);
    if (!node || properties == Py_None)
        return node;
    py::Ref copy = xml::deep_copy(properties);
    if (!copy || !py::call_method(node.get(), "append"_id, copy))
        return {};
    return node;
}

int PptxEditor::place(Cursor& cursor, PyObject* node)
{
    if (cursor.before.get() != Py_None)
        return xml::add_previous(cursor.before.get(), node);
    py::Ref end = xml::find(cursor.paragraph.get(), A_END);
    if (!end)
        return -1;
    if (end.get() != Py_None)
        return xml::add_previous(end.get(), node);
    return py::call_method(cursor.paragraph.get(), "append"_id, node) ? 0 : -1;
}

// "\n" in a replacement: a new paragraph with the same paragraph properties
// (level, bullet, alignment) takes everything after the cursor, as pressing
// Enter there would. Both paragraphs keep the end-of-paragraph properties.
int PptxEditor::split_paragraph(Cursor& cursor)
{
    PyObject* old = cursor.paragraph.get();
    py::Ref next = py::call(make_element_.get(), "a:p"_id);
    py::Ref ppr = next ? xml::find(old, A_PPR) : py::Ref();
    py::Ref end = ppr ? xml::find(old, A_END) : py::Ref();
    if (!end)
        return -1;
    if (ppr.get() != Py_None) {
        py::Ref copy = xml::deep_copy(ppr.get());
        if (!copy || !py::call_method(next.get(), "append"_id, copy))
            return -1;
    }
    PyObject* first = cursor.before.get() != Py_None ? cursor.before.get() : end.get();
    if (first != Py_None) {
        std::vector<py::Ref> moving{py::Ref::borrow(first)};
        py::Ref siblings = py::call_method(first, "itersiblings"_id);
        if (!siblings || py::for_each(siblings.get(), [&](PyObject* node) {
                moving.push_back(py::Ref::borrow(node));
                return 0;
            }) < 0)
            return -1;
        for (const py::Ref& node : moving)
            if (!py::call_method(next.get(), "append"_id, node))
                return -1;
    }
    if (end.get() != Py_None) {
        py::Ref copy = xml::deep_copy(end.get());
        if (!copy || !py::call_method(old, "append"_id, copy))
            return -1;
    }
    if (xml::add_next(old, next.get()) < 0)
        return -1;
    cursor.paragraph = next;
    return 0;
}

int PptxEditor::emit_run(Cursor& cursor, PyObject* text)
{
    if (edit::length(text) == 0)
        return 0;
    py::Ref run = new_node("a:r"_id, cursor.properties.get());
    py::Ref node = run ? py::call(make_element_.get(), "a:t"_id) : py::Ref();
    py::Ref escaped = node ? escape_controls(text) : py::Ref();
    if (!escaped || xml::set_node_text(node.get(), escaped.get()) < 0 ||
        !py::call_method(run.get(), "append"_id, node))
        return -1;
    return place(cursor, run.get());
}

// Writes `text` at the cursor: runs for its stretches, a line break for
// each "\v", a new paragraph for each "\n".
int PptxEditor::emit(Cursor& cursor, PyObject* text)
{
    Py_ssize_t from = 0, size = edit::length(text);
    for (Py_ssize_t i = 0; i <= size; ++i) {
        Py_UCS4 c = i < size ? PyUnicode_READ_CHAR(text, i) : 0;
        if (i < size && c != '\v' && c != '\n')
            continue;
        py::Ref stretch = edit::slice(text, from, i);
        if (!stretch || emit_run(cursor, stretch.get()) < 0)
            return -1;
        from = i + 1;
        if (i == size)
            break;
        if (c == '\n') {
            if (split_paragraph(cursor) < 0)
                return -1;
            continue;
        }
        py::Ref line_break = new_node("a:br"_id, cursor.properties.get());
        if (!line_break || place(cursor, line_break.get()) < 0)
            return -1;
    }
    return 0;
}

int PptxEditor::insert(PyObject* paragraph, Piece* at, Py_ssize_t offset, PyObject* replacement)
{
    bool structured = edit::contains_any(replacement, "\v\n");
    Cursor cursor{py::Ref::borrow(paragraph), py::none(), py::none()};
    if (!at) {
        cursor.properties = end_properties(paragraph);
        return cursor.properties ? emit(cursor, replacement) : -1;
    }
    cursor.properties = properties_of(at->element.get());
    if (!cursor.properties)
        return -1;
    if (!at->editable) {
        cursor.before = offset == 0 ? py::Ref::borrow(at->element.get())
                                    : py::call_method(at->element.get(), "getnext"_id);
        return cursor.before ? emit(cursor, replacement) : -1;
    }
    PyObject* text = at->text.get();
    py::Ref head = edit::slice(text, 0, offset);
    py::Ref tail = head ? edit::slice(text, offset, edit::length(text)) : py::Ref();
    if (!tail)
        return -1;
    if (!structured) {
        py::Ref escaped = escape_controls(replacement);
        py::Ref middle = escaped ? edit::concat(head.get(), escaped.get()) : py::Ref();
        py::Ref joined = middle ? edit::concat(middle.get(), tail.get()) : py::Ref();
        return joined ? set_text(*at, joined.get()) : -1;
    }
    return insert_lines(cursor, *at, head.get(), tail.get(), replacement);
}

// The run keeps what comes before the match and the replacement's first
// line; a twin of it takes the replacement's last line and what follows
// the match; the breaks and lines in between go between the two.
int PptxEditor::insert_lines(Cursor& cursor, Piece& at, PyObject* head, PyObject* tail, PyObject* replacement)
{
    Py_ssize_t first = 0, last = edit::length(replacement) - 1;
    while (PyUnicode_READ_CHAR(replacement, first) != '\v' &&
           PyUnicode_READ_CHAR(replacement, first) != '\n')
        ++first;
    while (PyUnicode_READ_CHAR(replacement, last) != '\v' &&
           PyUnicode_READ_CHAR(replacement, last) != '\n')
        --last;
    py::Ref lead = edit::slice(replacement, 0, first);
    py::Ref trail = lead ? edit::slice(replacement, last + 1, edit::length(replacement)) : py::Ref();
    py::Ref middle = trail ? edit::slice(replacement, first, last + 1) : py::Ref();
    py::Ref lead_text = middle ? escape_controls(lead.get()) : py::Ref();
    py::Ref trail_text = lead_text ? escape_controls(trail.get()) : py::Ref();
    py::Ref start = trail_text ? edit::concat(head, lead_text.get()) : py::Ref();
    py::Ref rest = start ? edit::concat(trail_text.get(), tail) : py::Ref();
    if (!rest || set_text(at, start.get()) < 0)
        return -1;
    if (edit::length(rest.get()) > 0) {
        py::Ref twin = xml::deep_copy(at.element.get());
        py::Ref node = twin ? xml::find(twin.get(), A_T) : py::Ref();
        if (!node || xml::set_node_text(node.get(), rest.get()) < 0 ||
            xml::add_next(at.element.get(), twin.get()) < 0)
            return -1;
        cursor.before = twin;
    } else {
        cursor.before = py::call_method(at.element.get(), "getnext"_id);
        if (!cursor.before)
            return -1;
    }
    return emit(cursor, middle.get());
}

// Runs and line breaks the edits emptied are removed; a field stays, even
// with no text, as it is more than its text.
int PptxEditor::sweep(std::vector<Piece>& pieces)
{
    for (Piece& piece : pieces) {
        if (!piece.touched || is_field(piece))
            continue;
        bool emptied = piece.removed || (piece.editable && edit::length(piece.text.get()) == 0);
        if (emptied && xml::detach(piece.element.get()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace tw::content
