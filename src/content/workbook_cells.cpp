#include "content/workbook_cells.h"

#include "content/workbook_layout.h"

#include <map>
#include <set>
#include <string_view>
#include <utility>

namespace tw::content::workbook {

namespace {

// Qualified names of one sheet's vocabulary.
struct SheetNames {
    py::Ref row, c, f, v, is, t;
    std::string ns;

    int make(const char* main)
    {
        ns = main;
        row = xml::clark_name(main, "row");
        c = row ? xml::clark_name(main, "c") : py::Ref();
        f = c ? xml::clark_name(main, "f") : py::Ref();
        v = f ? xml::clark_name(main, "v") : py::Ref();
        is = v ? xml::clark_name(main, "is") : py::Ref();
        t = is ? xml::clark_name(main, "t") : py::Ref();
        return t ? 0 : -1;
    }
};

using Position = std::pair<long long, long long>;  // row, column

// A cell reference as the library reads it ("AB12", letters in either
// case). Anything else is left to the library's save.
bool parse_reference(std::string_view text, Position& out)
{
    size_t i = 0;
    long long column = 0;
    for (; i < text.size() && i < 4; ++i) {
        char ch = text[i];
        if (ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
        if (ch < 'A' || ch > 'Z')
            break;
        column = column * 26 + (ch - 'A' + 1);
    }
    size_t digits = text.size() - i;
    if (i == 0 || i > 3 || digits == 0 || digits > 9)
        return false;
    long long row = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        row = row * 10 + (text[i] - '0');
    }
    out = {row, column};
    return true;
}

bool parse_row_number(std::string_view text, long long& out)
{
    if (text.empty() || text.size() > 9)
        return false;
    out = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        out = out * 10 + (ch - '0');
    }
    return true;
}

// Calls visit(position, element) for every child of every row, numbered as
// the library numbers them: a row or cell without `r` follows the one
// before it. visit returns kDone, kFallBack or -1.
template <class Visit>
int walk_cells(const xml::Parser& xml, PyObject* root, const SheetNames& names, Visit&& visit)
{
    py::Ref rows = py::call_method(root, "iter"_id, names.row);
    if (!rows)
        return -1;
    long long row_number = 0;
    int outcome = kDone;
    int status = py::for_each(rows.get(), [&](PyObject* row) {
        std::string text;
        int has_r = xml::attribute_text(row, "r"_id, text);
        if (has_r < 0)
            return -1;
        if (has_r == 0)
            ++row_number;
        else if (!parse_row_number(text, row_number))
            return outcome = kFallBack;
        std::vector<py::Ref> cells;
        if (xml::element_children(xml, row, cells) < 0)
            return -1;
        long long column = 0;
        for (const py::Ref& cell : cells) {
            Position position{row_number, column + 1};
            int has_ref = xml::attribute_text(cell.get(), "r"_id, text);
            if (has_ref < 0)
                return -1;
            if (has_ref > 0 && !text.empty() && !parse_reference(text, position))
                return outcome = kFallBack;
            column = position.second;
            outcome = visit(position, cell.get());
            if (outcome != kDone)
                return outcome < 0 ? -1 : 1;
        }
        return 0;
    });
    return status < 0 ? -1 : outcome;
}

// Where a changed cell's element is; found exactly once or not edited.
struct Spot {
    const ChangedCell* cell = nullptr;
    py::Ref element;
    int found = 0;
};

// The formula element of a cell, when it belongs to a shared formula:
// 1 with `group` set, 0 when not, -1 on error. `has_text` tells the cell
// that holds the group's formula from the cells that borrow it.
int shared_formula(PyObject* cell, const SheetNames& names, std::string& group, bool& has_text)
{
    py::Ref f = py::call_method(cell, "find"_id, names.f);
    if (!f)
        return -1;
    if (f.get() == Py_None)
        return 0;
    std::string type;
    int typed = xml::attribute_text(f.get(), "t"_id, type);
    if (typed <= 0 || type != "shared")
        return typed < 0 ? -1 : 0;
    if (xml::attribute_text(f.get(), "si"_id, group) < 0)
        return -1;
    py::Ref text = py::getattr(f.get(), "text"_id);
    if (!text)
        return -1;
    has_text = text.get() != Py_None && PyUnicode_GET_LENGTH(text.get()) > 0;
    return 1;
}

// A cell that borrowed a changed cell's shared formula gets the formula
// written out, as the library translated it for this cell; its cached
// result stays, since the formula means what it meant.
int write_out_borrowed_formula(PyObject* cell, PyObject* sheet, Position position,
                               const SheetNames& names)
{
    py::Ref row = py::Ref::steal(PyLong_FromLongLong(position.first));
    py::Ref column = row ? py::Ref::steal(PyLong_FromLongLong(position.second)) : py::Ref();
    py::Ref cell_at = column ? py::getattr(sheet, "cell"_id) : py::Ref();
    py::Ref model;
    if (cell_at)
        model = py::call_kw(cell_at.get(), {}, {{"row"_id, row}, {"column"_id, column}});
    py::Ref value = model ? py::getattr(model.get(), "value"_id) : py::Ref();
    if (!value)
        return -1;
    if (!PyUnicode_CheckExact(value.get()) || PyUnicode_GET_LENGTH(value.get()) < 2 ||
        PyUnicode_READ_CHAR(value.get(), 0) != '=')
        return kFallBack;
    py::Ref text = py::Ref::steal(PyUnicode_Substring(value.get(), 1, PY_SSIZE_T_MAX));
    py::Ref f = text ? py::call_method(cell, "find"_id, names.f) : py::Ref();
    if (!f)
        return -1;
    for (py::Id name : {"t"_id, "si"_id, "ref"_id})
        if (xml::drop_attribute(f.get(), name) < 0)
            return -1;
    return py::setattr(f.get(), "text"_id, text.get()) < 0 ? -1 : kDone;
}

// Groups whose formula text sits in a changed cell lose it: every other
// cell of such a group gets its own formula.
int release_shared_formulas(const xml::Parser& xml, PyObject* root, PyObject* sheet,
                            const SheetNames& names, const std::map<Position, Spot>& spots)
{
    std::set<std::string> groups;
    for (const auto& [position, spot] : spots) {
        std::string group;
        bool has_text = false;
        int shared = shared_formula(spot.element.get(), names, group, has_text);
        if (shared < 0)
            return -1;
        if (shared && has_text)
            groups.insert(group);
    }
    if (groups.empty())
        return kDone;
    return walk_cells(xml, root, names, [&](Position position, PyObject* cell) {
        if (spots.count(position))
            return kDone;
        std::string group;
        bool has_text = false;
        int shared = shared_formula(cell, names, group, has_text);
        if (shared <= 0 || !groups.count(group))
            return shared < 0 ? -1 : kDone;
        if (has_text)  // a second formula text for one group: unclear which one counts
            return kFallBack;
        return write_out_borrowed_formula(cell, sheet, position, names);
    });
}

// What described the cell's old value goes: its type, value metadata, and
// its f, v and is elements. `had_formula` tells whether it held a formula.
int clear_cell(const xml::Parser& xml, PyObject* cell, const SheetNames& names, bool& had_formula)
{
    std::vector<py::Ref> children;
    if (xml::element_children(xml, cell, children) < 0)
        return -1;
    for (const py::Ref& child : children) {
        py::Ref tag = py::getattr(child.get(), "tag"_id);
        if (!tag)
            return -1;
        bool is_f = PyUnicode_Compare(tag.get(), names.f.get()) == 0;
        if (is_f || PyUnicode_Compare(tag.get(), names.v.get()) == 0 ||
            PyUnicode_Compare(tag.get(), names.is.get()) == 0) {
            had_formula = had_formula || is_f;
            if (!py::call_method(cell, "remove"_id, child))
                return -1;
        }
    }
    for (py::Id name : {"t"_id, "cm"_id, "vm"_id})
        if (xml::drop_attribute(cell, name) < 0)
            return -1;
    return 0;
}

// The element that holds a value of this data type ("s", "f" or "e"),
// added to the cleared cell.
py::Ref value_holder(const xml::Parser& xml, PyObject* cell, PyObject* value, const std::string& data_type,
                     const SheetNames& names)
{
    py::Ref holder;
    if (data_type == "s") {
        if (xml::set_attribute(cell, "t"_id, "inlineStr"_id) < 0)
            return {};
        holder = xml::add_child(xml, cell, names.is.get());
        py::Ref t = holder ? xml::add_child(xml, holder.get(), names.t.get()) : py::Ref();
        py::Ref space = t ? xml::clark_name(xml::xml_namespace, "space") : py::Ref();
        if (!space || xml::set_attribute(t.get(), space, "preserve"_id) < 0 ||
            py::setattr(t.get(), "text"_id, value) < 0)
            return {};
    } else if (data_type == "f") {
        holder = xml::add_child(xml, cell, names.f.get());
        py::Ref formula = holder ? py::Ref::steal(PyUnicode_Substring(value, 1, PY_SSIZE_T_MAX)) : py::Ref();
        if (!formula || py::setattr(holder.get(), "text"_id, formula.get()) < 0)
            return {};
    } else {
        if (xml::set_attribute(cell, "t"_id, "e"_id) < 0)
            return {};
        holder = xml::add_child(xml, cell, names.v.get());
        if (!holder || py::setattr(holder.get(), "text"_id, value) < 0)
            return {};
    }
    return holder;
}

// The cell's value as the assignment left it: a string (inline, as the
// library writes strings), a formula without a cached result, or an error
// value. The element keeps its `r`, its style and any other attribute.
int rewrite_cell(const xml::Parser& xml, PyObject* cell, const ChangedCell& change, const SheetNames& names,
                 bool& had_formula)
{
    PyObject* value = change.value.get();
    if (!PyUnicode_CheckExact(value))
        return kFallBack;
    std::string data_type;
    if (!py::utf8_of(change.data_type.get(), data_type))
        return -1;
    if (data_type != "s" && data_type != "f" && data_type != "e")
        return kFallBack;
    if (clear_cell(xml, cell, names, had_formula) < 0)
        return -1;
    if (PyUnicode_GET_LENGTH(value) == 0)
        return kDone;  // what the library reads back from its own save: an empty cell
    py::Ref holder = value_holder(xml, cell, value, data_type, names);
    // Value elements come before any extension list of the cell.
    py::Ref zero = holder ? py::Ref::steal(PyLong_FromLong(0)) : py::Ref();
    return zero && py::call_method(cell, "insert"_id, zero, holder) ? kDone : -1;
}

// Where each changed cell's element is: each found exactly once, and a
// cell element, or the sheet is not edited.
int find_spots(const xml::Parser& xml, PyObject* root, const SheetNames& names,
               const std::vector<const ChangedCell*>& cells, std::map<Position, Spot>& spots)
{
    for (const ChangedCell* cell : cells)
        spots[{cell->row, cell->column}].cell = cell;
    int walked = walk_cells(xml, root, names, [&](Position position, PyObject* element) {
        auto spot = spots.find(position);
        if (spot != spots.end()) {
            spot->second.element = py::Ref::borrow(element);
            ++spot->second.found;
        }
        return kDone;
    });
    if (walked != kDone)
        return walked;
    for (const auto& [position, spot] : spots) {
        xml::ElementName name;
        if (spot.found != 1)
            return kFallBack;
        if (xml::element_name(spot.element.get(), name) < 0)
            return -1;
        if (name.ns != names.ns || name.local != "c")
            return kFallBack;
    }
    return kDone;
}

}  // namespace

int edit_sheet(const xml::Parser& xml, PackageCopy& copy, const std::string& part, PyObject* sheet,
               const std::vector<const ChangedCell*>& cells, bool& had_formula)
{
    py::Ref root;
    int step = copy.parse(xml, part, root);
    if (step != kDone)
        return step;
    xml::ElementName tag;
    if (xml::element_name(root.get(), tag) < 0)
        return -1;
    const Flavour* flavour = flavour_of(tag);
    if (!flavour || tag.local != "worksheet")
        return kFallBack;
    SheetNames names;
    std::map<Position, Spot> spots;
    if (names.make(flavour->main) < 0)
        return -1;
    step = find_spots(xml, root.get(), names, cells, spots);
    if (step == kDone)
        step = release_shared_formulas(xml, root.get(), sheet, names, spots);
    for (auto spot = spots.begin(); step == kDone && spot != spots.end(); ++spot)
        step = rewrite_cell(xml, spot->second.element.get(), *spot->second.cell, names, had_formula);
    if (step != kDone)
        return step;
    py::Ref data = xml::serialize(xml, root.get());
    if (!data)
        return -1;
    copy.replace(part, data);
    return kDone;
}

}  // namespace tw::content::workbook
