#include "content/workbook_text.h"

#include "content/text_edit.h"

#include <vector>

namespace tw::content::workbook {

namespace {

using edit::Piece;

struct ItemNames {
    py::Ref t, r, rph, space;

    int make(const char* ns)
    {
        t = xml::clark_name(ns, "t");
        r = t ? xml::clark_name(ns, "r") : py::Ref();
        rph = r ? xml::clark_name(ns, "rPh") : py::Ref();
        space = rph ? xml::clark_name(xml::xml_namespace, "space") : py::Ref();
        return space ? 0 : -1;
    }
};

// 1 when the node's tag is `tag`, 0 when not, -1.
int tag_is(PyObject* node, PyObject* tag)
{
    py::Ref name = py::getattr(node, "tag"_id);
    if (!name)
        return -1;
    return PyUnicode_Check(name.get()) && PyUnicode_Compare(name.get(), tag) == 0;
}

bool is_hex(Py_UCS4 c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether "_xHHHH_" begins at `i`.
bool escape_at(PyObject* text, Py_ssize_t i)
{
    if (i + 6 >= PyUnicode_GET_LENGTH(text) || PyUnicode_READ_CHAR(text, i) != '_' ||
        PyUnicode_READ_CHAR(text, i + 1) != 'x' || PyUnicode_READ_CHAR(text, i + 6) != '_')
        return false;
    for (Py_ssize_t k = i + 2; k < i + 6; ++k)
        if (!is_hex(PyUnicode_READ_CHAR(text, k)))
            return false;
    return true;
}

// A literal "_xHHHH_" in a shared string is written "_x005F_xHHHH_": Excel
// reads that as the literal, and so does the library, which takes every
// "x005F_" out.
py::Ref written_form(PyObject* text, ItemKind kind)
{
    if (kind != ItemKind::shared)
        return py::Ref::borrow(text);
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    std::vector<Py_UCS4> out;
    bool escaped = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        out.push_back(PyUnicode_READ_CHAR(text, i));
        if (escape_at(text, i)) {
            for (char c : std::string_view("x005F_"))
                out.push_back(static_cast<Py_UCS4>(c));
            escaped = true;
        }
    }
    if (!escaped)
        return py::Ref::borrow(text);
    return py::Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

py::Ref read_form(PyObject* text, ItemKind kind)
{
    if (kind != ItemKind::shared)
        return py::Ref::borrow(text);
    return py::call_method(text, "replace"_id, "x005F_"_id, ""_id);
}

int set_t(PyObject* t, PyObject* text, ItemKind kind, const ItemNames& names)
{
    py::Ref written = written_form(text, kind);
    if (!written || xml::set_node_text(t, written.get()) < 0)
        return -1;
    return xml::set_attribute(t, names.space, "preserve"_id);
}

// The <t> of a plain item or of a run: 1 with `t` set, 0 for another child.
int text_node(PyObject* child, const ItemNames& names, py::Ref& t)
{
    int plain = tag_is(child, names.t.get());
    int run = plain == 0 ? tag_is(child, names.r.get()) : 0;
    if (plain < 0 || run < 0)
        return -1;
    t = plain ? py::Ref::borrow(child) : run ? xml::find(child, names.t) : py::none();
    if (!t)
        return -1;
    return t.get() != Py_None;
}

// The item's runs, for the document editor (text_edit.h): each run's text
// is a piece, in one container; a replacement goes into the run where its
// match begins.
class ItemEditor final : public edit::Editor {
public:
    ItemEditor(const xml::Parser& xml, const ItemNames& names, ItemKind kind, PyObject* holder)
        : xml_(xml), names_(names), kind_(kind), holder_(holder)
    {
    }

    // The editor's plain assignment lands here: the caller writes it.
    py::Ref paragraph(PyObject*) override { return py::Ref::borrow(holder_); }
    int collect(PyObject* element, std::vector<Piece>& pieces) override;
    bool can_insert(const Piece*, PyObject*) const override { return true; }
    bool can_assign(PyObject*) const override { return true; }
    int set_text(Piece& piece, PyObject* text) override
    {
        if (set_t(piece.element.get(), text, kind_, names_) < 0)
            return -1;
        piece.text = py::Ref::borrow(text);
        return 0;
    }
    int insert(PyObject* paragraph, Piece* at, Py_ssize_t offset, PyObject* replacement) override;
    int sweep(std::vector<Piece>& pieces) override;

private:
    const xml::Parser& xml_;
    const ItemNames& names_;
    ItemKind kind_;
    PyObject* holder_;
};

// 0 when a <t> holds more than text (an entity reference the parser kept).
int ItemEditor::collect(PyObject* element, std::vector<Piece>& pieces)
{
    std::vector<py::Ref> children;
    if (xml::element_children(xml_, element, children) < 0)
        return -1;
    Py_ssize_t position = 0;
    for (const py::Ref& child : children) {
        py::Ref t;
        int found = text_node(child.get(), names_, t);
        if (found <= 0) {
            if (found < 0)
                return -1;
            continue;
        }
        Py_ssize_t nodes = PyObject_Length(t.get());
        py::Ref raw = nodes >= 0 ? xml::node_text(t.get()) : py::Ref();
        py::Ref text = raw ? read_form(raw.get(), kind_) : py::Ref();
        if (!text)
            return -1;
        if (nodes > 0)
            return 0;
        if (edit::length(text.get()) == 0)
            continue;
        Piece piece;
        piece.element = t;
        piece.text = text;
        piece.start = position;
        piece.length = edit::length(text.get());
        piece.editable = true;
        position += piece.length;
        pieces.push_back(std::move(piece));
    }
    return 1;
}

int ItemEditor::insert(PyObject* paragraph, Piece* at, Py_ssize_t offset, PyObject* replacement)
{
    if (!at) {
        py::Ref t = xml::add_child(xml_, paragraph, names_.t.get());
        py::Ref zero = t ? py::Ref::steal(PyLong_FromLong(0)) : py::Ref();
        if (!zero || !py::call_method(paragraph, "insert"_id, zero, t))
            return -1;
        return set_t(t.get(), replacement, kind_, names_);
    }
    PyObject* text = at->text.get();
    py::Ref head = edit::slice(text, 0, offset);
    py::Ref tail = head ? edit::slice(text, offset, edit::length(text)) : py::Ref();
    py::Ref middle = tail ? edit::concat(head.get(), replacement) : py::Ref();
    py::Ref joined = middle ? edit::concat(middle.get(), tail.get()) : py::Ref();
    return joined ? set_text(*at, joined.get()) : -1;
}

// A run whose characters all went is removed; a plain <t> stays.
int ItemEditor::sweep(std::vector<Piece>& pieces)
{
    for (Piece& piece : pieces) {
        if (!piece.touched || edit::length(piece.text.get()) > 0)
            continue;
        py::Ref run = xml::parent(piece.element.get());
        int is_run = run && run.get() != Py_None ? tag_is(run.get(), names_.r.get()) : run ? 0 : -1;
        if (is_run < 0 || (is_run && xml::detach(run.get()) < 0))
            return -1;
    }
    return 0;
}

// Removes the children that hold text (and phonetic guides) and gives the
// item one plain <t>.
int set_plain(const xml::Parser& xml, PyObject* item, const ItemNames& names, ItemKind kind, PyObject* text)
{
    std::vector<py::Ref> children;
    if (xml::element_children(xml, item, children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        int plain = tag_is(child.get(), names.t.get());
        int run = plain == 0 ? tag_is(child.get(), names.r.get()) : 0;
        int phonetic = plain == 0 && run == 0 ? tag_is(child.get(), names.rph.get()) : 0;
        if (plain < 0 || run < 0 || phonetic < 0)
            return -1;
        if ((plain || run || phonetic) && xml::detach(child.get()) < 0)
            return -1;
    }
    py::Ref t = xml::add_child(xml, item, names.t.get());
    py::Ref zero = t ? py::Ref::steal(PyLong_FromLong(0)) : py::Ref();
    if (!zero || !py::call_method(item, "insert"_id, zero, t))
        return -1;
    return set_t(t.get(), text, kind, names);
}

// The item's text as the library reads it, compared with `expected`; the
// phonetic guides, which point into the old text, are dropped on the way.
int reads_as(const xml::Parser& xml, PyObject* item, const ItemNames& names, ItemKind kind, PyObject* expected)
{
    std::vector<py::Ref> children;
    py::Ref texts = py::Ref::steal(PyList_New(0));
    if (!texts || xml::element_children(xml, item, children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        int phonetic = tag_is(child.get(), names.rph.get());
        if (phonetic != 0) {
            if (phonetic < 0 || xml::detach(child.get()) < 0)
                return -1;
            continue;
        }
        py::Ref t;
        int found = text_node(child.get(), names, t);
        py::Ref text = found > 0 ? xml::node_text(t.get()) : py::Ref();
        if (found < 0 || (found > 0 && (!text || PyList_Append(texts.get(), text.get()) < 0)))
            return -1;
    }
    py::Ref joined = py::Ref::steal(PyUnicode_Join(""_id.get(), texts.get()));
    py::Ref read = joined ? read_form(joined.get(), kind) : py::Ref();
    return read ? py::equals(read.get(), expected) : -1;
}

}  // namespace

int edit_item(const xml::Parser& xml, PyObject* item, const char* ns, ItemKind kind,
              const keyword::Keyword& keyword, PyObject* old_text, PyObject* new_text)
{
    ItemNames names;
    py::Ref types = names.make(ns) < 0 ? py::Ref() : py::Ref::steal(PyImport_ImportModule("types"));
    py::Ref holder = types ? py::call_method(types.get(), "SimpleNamespace"_id) : py::Ref();
    if (!holder)
        return -1;
    ItemEditor editor(xml, names, kind, holder.get());
    std::vector<py::Ref> units{py::Ref::borrow(item)};
    Py_ssize_t matches = 0;
    if (edit::edit_unit(editor, keyword, holder.get(), old_text, units, matches) < 0)
        return -1;
    int plain = PyObject_HasAttr(holder.get(), "text"_id.get());
    int same = plain ? 0 : reads_as(xml, item, names, kind, new_text);
    if (same < 0)
        return -1;
    return same ? 0 : set_plain(xml, item, names, kind, new_text);
}

py::Ref add_plain_item(const xml::Parser& xml, PyObject* parent, PyObject* tag, const char* ns, ItemKind kind,
                       PyObject* text)
{
    ItemNames names;
    py::Ref item = names.make(ns) < 0 ? py::Ref() : xml::add_child(xml, parent, tag);
    py::Ref t = item ? xml::add_child(xml, item.get(), names.t.get()) : py::Ref();
    if (!t || set_t(t.get(), text, kind, names) < 0)
        return {};
    return item;
}

int empty_item(const xml::Parser& xml, PyObject* item, const char* ns)
{
    ItemNames names;
    py::Ref empty = names.make(ns) < 0 ? py::Ref() : py::Ref::steal(PyUnicode_New(0, 0));
    return empty ? set_plain(xml, item, names, ItemKind::shared, empty.get()) : -1;
}

}  // namespace tw::content::workbook
