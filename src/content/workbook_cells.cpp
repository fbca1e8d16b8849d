#include "content/workbook_cells.h"

#include "content/workbook_strings.h"
#include "content/workbook_text.h"
#include "content/workbook_values.h"

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
        else if (!read_number(text, row_number))
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
            if (has_ref > 0 && !text.empty() && !read_reference(text, position))
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
                            const SheetNames& names, const std::map<Position, Spot>& spots, bool& touched)
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
    touched = true;
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

// Puts `child` first in the cell: value elements come before any
// extension list of the cell.
int put_first(PyObject* cell, const py::Ref& child)
{
    py::Ref zero = child ? py::Ref::steal(PyLong_FromLong(0)) : py::Ref();
    return zero && py::call_method(cell, "insert"_id, zero, child) ? 0 : -1;
}

// <v>text</v>, with the cell's type (none for a number).
int set_value(const xml::Parser& xml, PyObject* cell, const SheetNames& names, py::Arg type, PyObject* text)
{
    if (type.get() != Py_None && xml::set_attribute(cell, "t"_id, type) < 0)
        return -1;
    py::Ref v = xml::add_child(xml, cell, names.v.get());
    if (!v || py::setattr(v.get(), "text"_id, text) < 0)
        return -1;
    return put_first(cell, v);
}

// The cell's old value as the file holds it.
struct OldCell {
    std::string type;       // its t attribute
    bool formula = false;   // it has a formula
    py::Ref inline_item;    // its <is>, or None
    long long shared = -1;       // the shared string it uses (a formula's result too)
};

int read_old_cell(PyObject* cell, const SheetNames& names, OldCell& out)
{
    py::Ref f = py::call_method(cell, "find"_id, names.f);
    out.inline_item = f ? py::call_method(cell, "find"_id, names.is) : py::Ref();
    py::Ref v = out.inline_item ? py::call_method(cell, "findtext"_id, names.v) : py::Ref();
    if (!v || xml::attribute_text(cell, "t"_id, out.type) < 0)
        return -1;
    out.formula = f.get() != Py_None;
    std::string number;
    if (out.type == "s" && v.get() != Py_None && !py::utf8_of(v.get(), number))
        return -1;
    if (out.type == "s" && v.get() != Py_None && !read_number(number, out.shared))
        return kFallBack;
    return kDone;
}

// What the rewriting of one sheet's cells works with.
struct CellWriter {
    const xml::Parser& xml;
    const SheetNames& names;
    StringTable& table;
    StringWriter& strings;
    PyObject* wb;
    bool& had_formula;
    bool touched = false;  // a cell element of the sheet in hand changed
};

// The old value goes, and with it the old cell's use of a shared string.
int clear_old(CellWriter& out, PyObject* cell, const OldCell& old)
{
    out.touched = true;
    if (clear_cell(out.xml, cell, out.names, out.had_formula) < 0)
        return -1;
    return old.shared >= 0 && out.table.present() ? out.table.release(out.xml, old.shared) : 0;
}

// A string: the shared entry it held edited or replaced, its inline runs
// edited, or a new entry (inline, in a workbook without a string table).
int write_string(CellWriter& out, PyObject* cell, const ChangedCell& change, const OldCell& old)
{
    PyObject* value = change.value.get();
    if (old.shared >= 0 && !old.formula && out.table.present()) {
        long long to = 0;
        int kept = out.strings.shared_text({old.shared, change.old_text.get(), value}, to);
        if (kept != 0)
            return kept < 0 ? -1 : kDone;
        out.touched = true;
        py::Ref number = py::Ref::steal(PyUnicode_FromFormat("%lld", to));
        return number && clear_cell(out.xml, cell, out.names, out.had_formula) == 0 &&
                       set_value(out.xml, cell, out.names, "s"_id, number.get()) == 0 ? kDone : -1;
    }
    out.touched = true;
    if (old.inline_item.get() != Py_None && old.type == "inlineStr" && !old.formula)
        return edit_item(out.xml, old.inline_item.get(), out.names.ns.c_str(), ItemKind::inline_string,
                         out.strings.keyword(), change.old_text.get(), value) < 0 ? -1 : kDone;
    if (clear_old(out, cell, old) < 0)
        return -1;
    if (out.table.present()) {
        long long to = 0;
        py::Ref number = out.strings.new_text(value, to) < 0 ? py::Ref() : py::Ref::steal(PyUnicode_FromFormat("%lld", to));
        return number && set_value(out.xml, cell, out.names, "s"_id, number.get()) == 0 ? kDone : -1;
    }
    if (xml::set_attribute(cell, "t"_id, "inlineStr"_id) < 0)
        return -1;
    py::Ref item = add_plain_item(out.xml, cell, out.names.is.get(), out.names.ns.c_str(), ItemKind::inline_string, value);
    return put_first(cell, item) < 0 ? -1 : kDone;
}

// A formula without a cached result, or an error value.
int write_formula_or_error(CellWriter& out, PyObject* cell, PyObject* value, bool formula)
{
    if (!formula)
        return set_value(out.xml, cell, out.names, "e"_id, value);
    py::Ref f = xml::add_child(out.xml, cell, out.names.f.get());
    py::Ref text = f ? py::Ref::steal(PyUnicode_Substring(value, 1, PY_SSIZE_T_MAX)) : py::Ref();
    if (!text || py::setattr(f.get(), "text"_id, text.get()) < 0)
        return -1;
    return put_first(cell, f);
}

// A number, boolean or date keeps its type; a date written as ISO text
// before is written so again.
int write_typed(CellWriter& out, PyObject* cell, const ChangedCell& change, const std::string& data_type,
                const OldCell& old)
{
    py::Ref text = value_text(out.wb, change.value.get(), data_type == "d" && old.type == "d");
    if (!text)
        return -1;
    py::Arg type = data_type == "b" ? "b"_id : data_type == "d" && old.type == "d" ? "d"_id : py::Arg(Py_None);
    return set_value(out.xml, cell, out.names, type, text.get());
}

// The cell's value as the assignment left it. The element keeps its `r`,
// its style and any other attribute.
int rewrite_cell(CellWriter& out, PyObject* cell, const ChangedCell& change)
{
    OldCell old;
    std::string data_type;
    int step = read_old_cell(cell, out.names, old);
    if (step != kDone)
        return step;
    if (!py::utf8_of(change.data_type.get(), data_type))
        return -1;
    bool text = data_type == "s" || data_type == "f" || data_type == "e";
    bool typed = data_type == "n" || data_type == "b" || data_type == "d";
    if ((!text && !typed) || (text && !PyUnicode_CheckExact(change.value.get())))
        return kFallBack;
    // An empty text is what the library reads back from its own save: an empty cell.
    if (text && PyUnicode_GET_LENGTH(change.value.get()) == 0)
        return clear_old(out, cell, old) < 0 ? -1 : kDone;
    if (data_type == "s")
        return write_string(out, cell, change, old);
    if (clear_old(out, cell, old) < 0)
        return -1;
    if (typed)
        return write_typed(out, cell, change, data_type, old) < 0 ? -1 : kDone;
    return write_formula_or_error(out, cell, change.value.get(), data_type == "f") < 0 ? -1 : kDone;
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

// One worksheet part with its changed cells found.
struct SheetCells {
    std::string part;
    py::Ref sheet;  // the library's worksheet
    py::Ref root;
    std::map<Position, Spot> spots;
};

int find_sheet_cells(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
                     const SheetNames& names, const std::vector<const ChangedCell*>& cells, SheetCells& out)
{
    int step = trees.root(xml, copy, out.part, out.root);
    if (step != kDone)
        return step;
    xml::ElementName tag;
    if (xml::element_name(out.root.get(), tag) < 0)
        return -1;
    if (tag.ns != layout.flavour->main || tag.local != "worksheet")
        return kFallBack;
    return find_spots(xml, out.root.get(), names, cells, out.spots);
}

// The changed cells of each sheet, found; kFallBack when a sheet is not one
// of the parts the library read from, or two sheets were read from one part.
int find_all_cells(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
                   const WorkbookChanges& changes, const SheetNames& names, std::vector<SheetCells>& out)
{
    std::map<Py_ssize_t, std::vector<const ChangedCell*>> by_sheet;
    for (const ChangedCell& cell : changes.cells)
        by_sheet[cell.sheet].push_back(&cell);
    py::Ref worksheets = py::getattr(changes.wb.get(), "worksheets"_id);
    if (!worksheets)
        return -1;
    const std::vector<SheetPart>& sheets = layout.sheets;
    for (const auto& [index, cells] : by_sheet) {
        if (index < 0 || index >= static_cast<Py_ssize_t>(sheets.size()))
            return kFallBack;
        const std::string& part = sheets[index].part;
        for (std::size_t other = 0; other < sheets.size(); ++other)
            if (static_cast<Py_ssize_t>(other) != index && sheets[other].part == part)
                return kFallBack;
        SheetCells& sheet = out.emplace_back();
        sheet.part = part;
        sheet.sheet = py::Ref::steal(PySequence_GetItem(worksheets.get(), index));
        if (!sheet.sheet)
            return -1;
        int step = find_sheet_cells(xml, copy, trees, layout, names, cells, sheet);
        if (step != kDone)
            return step;
    }
    return kDone;
}

// What each changed cell that held a shared string is to hold.
int note_string_changes(const std::vector<SheetCells>& sheets, const SheetNames& names,
                        std::vector<StringChange>& out)
{
    for (const SheetCells& sheet : sheets) {
        for (const auto& [position, spot] : sheet.spots) {
            OldCell old;
            int step = read_old_cell(spot.element.get(), names, old);
            if (step != kDone)
                return step;
            if (old.shared < 0)
                continue;
            const ChangedCell& change = *spot.cell;
            int string = py::equals(change.data_type.get(), "s"_id);
            if (string < 0)
                return -1;
            bool holds_string = string && !old.formula && PyUnicode_CheckExact(change.value.get());
            out.push_back({old.shared, change.old_text.get(), holds_string ? change.value.get() : nullptr});
        }
    }
    return kDone;
}

}  // namespace

int edit_cells(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
               const WorkbookChanges& changes, bool& had_formula)
{
    SheetNames names;
    std::vector<SheetCells> sheets;
    std::vector<StringChange> string_changes;
    StringTable table;
    keyword::Keyword keyword = changes.keyword.keyword();
    StringWriter strings(xml, table, keyword);
    int step = names.make(layout.flavour->main) < 0 ? -1 : find_all_cells(xml, copy, trees, layout, changes, names, sheets);
    if (step == kDone)
        step = table.open(xml, copy, trees, layout);
    if (step == kDone)
        step = note_string_changes(sheets, names, string_changes);
    if (step == kDone)
        step = strings.plan(string_changes, copy, trees, layout);
    CellWriter out{xml, names, table, strings, changes.wb.get(), had_formula};
    for (SheetCells& sheet : sheets) {
        out.touched = false;
        if (step == kDone)
            step = release_shared_formulas(xml, sheet.root.get(), sheet.sheet.get(), names, sheet.spots, out.touched);
        for (auto spot = sheet.spots.begin(); step == kDone && spot != sheet.spots.end(); ++spot)
            step = rewrite_cell(out, spot->second.element.get(), *spot->second.cell);
        // A sheet whose cells all use shared strings edited where they stand is not written again.
        if (out.touched)
            trees.changed(sheet.part);
    }
    if (step != kDone)
        return step;
    return table.finish(trees) < 0 ? -1 : kDone;
}

}  // namespace tw::content::workbook
