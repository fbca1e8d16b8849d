#include "content/workbook_tables.h"

#include "content/workbook_references.h"
#include "platform/core/ascii.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tw::content::workbook {

namespace {

constexpr const char* kExcelMain = "http://schemas.microsoft.com/office/excel/2006/main";

struct Table {
    std::string part;
    std::string name;  // its display name, which formulas use
    std::string id;
    py::Ref root;
    std::vector<py::Ref> columns;    // the tableColumn elements
    std::vector<std::string> names;  // their names, as the header cells read them
    Position first{0, 0}, last{0, 0};
    bool header = true;
    bool query = false;  // filled by a query, which keeps the field names too
    std::size_t sheet = 0;
    std::map<std::size_t, std::string> renamed;  // column -> new name
};

// ---------------------------------------------------------------- names

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool escape_at(const std::string& text, std::size_t i)
{
    if (i + 6 >= text.size() || text.compare(i, 2, "_x") != 0 || text[i + 6] != '_')
        return false;
    for (std::size_t k = i + 2; k < i + 6; ++k)
        if (!is_hex(text[k]))
            return false;
    return true;
}

// A column name as the table part writes it: control characters as
// "_xhhhh_", and a literal "_xhhhh_" with its "_" escaped.
std::string written_name(const std::string& name)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 && c != 0)
            out += std::string("_x00") + digits[c >> 4] + digits[c & 15] + "_";
        else if (escape_at(name, i))
            out += "_x005f_";
        else
            out += name[i];
    }
    return out;
}

void append_utf8(std::string& out, unsigned long code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string read_name(const std::string& written)
{
    std::string out;
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (!escape_at(written, i)) {
            out += written[i];
            continue;
        }
        append_utf8(out, std::stoul(written.substr(i + 2, 4), nullptr, 16));
        i += 6;
    }
    return out;
}

std::string cell_name(const Position& position)
{
    std::string letters;
    for (long long column = position.second; column > 0; column = (column - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (column - 1) % 26));
    return letters + std::to_string(position.first);
}

// str.casefold, the comparison Excel makes of names. After a failure it
// folds nothing more; the caller looks at `failed`.
struct PythonFold {
    bool failed = false;

    std::string operator()(std::string_view text)
    {
        std::string out;
        if (failed)
            return out;
        py::Ref str = py::str_from_utf8(text);
        py::Ref folded = str ? py::call_method(str.get(), "casefold"_id) : py::Ref();
        failed = !folded || !py::utf8_of(folded.get(), out);
        return out;
    }
};

// The workbook is left as it is, with an error that names the table.
int refuse(bool& refused, const std::string& message)
{
    refused = true;
    PyErr_SetString(PyExc_ValueError, (message + "；工作簿未修改").c_str());
    return -1;
}

std::string table_names(const std::vector<Table*>& tables)
{
    std::string out;
    for (const Table* table : tables)
        out += (out.empty() ? "“" : "、“") + table->name + "”";
    return out;
}

// ---------------------------------------------------------------- reading

// The range and header row of a table: kFallBack when they do not read.
int read_range(PyObject* root, Table& table)
{
    std::string ref, header;
    int has_header = xml::attribute_text(root, "ref"_id, ref) < 0 ? -1 : xml::attribute_text(root, "headerRowCount"_id, header);
    if (has_header < 0)
        return -1;
    table.header = !(has_header && header == "0");
    std::size_t colon = ref.find(':');
    if (colon == std::string::npos)
        return kFallBack;
    bool read = read_reference(std::string_view(ref).substr(0, colon), table.first) &&
                read_reference(std::string_view(ref).substr(colon + 1), table.last);
    return read ? kDone : kFallBack;
}

int read_columns(const xml::Parser& xml, PyObject* root, const char* ns, Table& table)
{
    py::Ref tag = xml::clark_name(ns, "tableColumns");
    py::Ref columns = tag ? xml::find(root, tag) : py::Ref();
    if (!columns)
        return -1;
    if (columns.get() == Py_None || xml::element_children(xml, columns.get(), table.columns) < 0)
        return columns.get() == Py_None ? kFallBack : -1;
    for (const py::Ref& column : table.columns) {
        std::string name;
        if (xml::attribute_text(column.get(), "name"_id, name) < 0)
            return -1;
        table.names.push_back(read_name(name));
    }
    return kDone;
}

int read_table(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout, Table& table)
{
    int step = trees.root(xml, copy, table.part, table.root);
    xml::ElementName tag;
    if (step != kDone || xml::element_name(table.root.get(), tag) < 0)
        return step != kDone ? step : -1;
    if (tag.ns != layout.flavour->main || tag.local != "table")
        return kFallBack;
    PyObject* root = table.root.get();
    int named = xml::attribute_text(root, "displayName"_id, table.name);
    if (named == 0)
        named = xml::attribute_text(root, "name"_id, table.name);
    if (named < 0 || xml::attribute_text(root, "id"_id, table.id) < 0)
        return -1;
    step = read_range(root, table);
    if (step == kDone)
        step = read_columns(xml, root, layout.flavour->main, table);
    Relationships rels;
    if (step == kDone)
        step = read_relationships(xml, copy, table.part, rels);
    for (const auto& [id, rel] : rels.by_id)
        table.query = table.query || is_relationship_of_kind(rel, "queryTable");
    return step;
}

// The tables of the worksheets `wanted` says, found through the sheets'
// relationships.
template <class Wanted>
int list_tables(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
                Wanted&& wanted, std::vector<Table>& tables)
{
    for (std::size_t sheet = 0; sheet < layout.sheets.size(); ++sheet) {
        if (!wanted(sheet))
            continue;
        Relationships rels;
        int step = read_relationships(xml, copy, layout.sheets[sheet].part, rels);
        if (step != kDone)
            return step;
        for (const auto& [id, rel] : rels.by_id) {
            if (!is_relationship_of_kind(rel, "table"))
                continue;
            Table& table = tables.emplace_back();
            table.part = rel.target;
            table.sheet = sheet;
            step = read_table(xml, copy, trees, layout, table);
            if (step != kDone)
                return step;
        }
    }
    return kDone;
}

// ---------------------------------------------------------------- renaming

// The header cells among the changed cells: each renames its column. A
// header cannot become a formula, an error value or nothing.
int find_renames(std::vector<Table>& tables, const WorkbookChanges& changes, bool& refused)
{
    for (const ChangedCell& cell : changes.cells) {
        for (Table& table : tables) {
            bool in_header = table.header && static_cast<Py_ssize_t>(table.sheet) == cell.sheet &&
                             cell.row == table.first.first && cell.column >= table.first.second &&
                             cell.column <= table.last.second;
            if (!in_header)
                continue;
            auto column = static_cast<std::size_t>(cell.column - table.first.second);
            if (column >= table.columns.size())
                return kFallBack;
            std::string name, type;
            if (!py::utf8_of(cell.new_text.get(), name) || !py::utf8_of(cell.data_type.get(), type))
                return -1;
            if (name.empty() || type == "f" || type == "e")
                return refuse(refused, "表格“" + table.name + "”的标题单元格 " +
                                           cell_name({cell.row, cell.column}) + " 不能成为公式、错误值或空白");
            table.renamed[column] = name;
        }
    }
    return kDone;
}

// The new names go into the table part; no two columns of a table may
// share one.
int rename_columns_of(Table& table, PartTrees& trees, PythonFold& fold, bool& refused)
{
    if (table.query)
        return refuse(refused, "表格“" + table.name + "”的数据来自查询，它的列名无法确定地随之改动");
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < table.names.size(); ++i) {
        auto renamed = table.renamed.find(i);
        const std::string& name = renamed != table.renamed.end() ? renamed->second : table.names[i];
        if (!seen.emplace(fold(name), i).second && !fold.failed)
            return refuse(refused, "表格“" + table.name + "”会有两列同名“" + name + "”");
    }
    if (fold.failed)
        return -1;
    for (const auto& [column, name] : table.renamed) {
        py::Ref written = py::str_from_utf8(written_name(name));
        if (!written || xml::set_attribute(table.columns[column].get(), "name"_id, written) < 0)
            return -1;
    }
    trees.changed(table.part);
    return kDone;
}

// ---------------------------------------------------------------- references

struct References {
    std::vector<ColumnRename> renames;
    std::vector<Table*> tables;  // the renamed ones
    PythonFold fold;
    bool& refused;
};

// Rewrites the text of each element under `root` with one of `tags`.
int rewrite_texts(PyObject* root, const std::vector<py::Ref>& tags, const std::string& part, PartTrees& trees,
                  References& refs)
{
    py::Ref list = py::Ref::steal(PyList_New(0));
    for (const py::Ref& tag : tags)
        if (!list || PyList_Append(list.get(), tag.get()) < 0)
            return -1;
    py::Ref tuple = py::Ref::steal(PySequence_Tuple(list.get()));
    py::Ref iter = tuple ? py::getattr(root, "iter"_id) : py::Ref();
    py::Ref elements = iter ? py::Ref::steal(PyObject_Call(iter.get(), tuple.get(), nullptr)) : py::Ref();
    if (!elements)
        return -1;
    Fold fold = [&](std::string_view text) { return refs.fold(text); };
    int outcome = kDone;
    int status = py::for_each(elements.get(), [&](PyObject* element) {
        py::Ref text = xml::node_text(element);
        std::string formula;
        if (!text || !py::utf8_of(text.get(), formula))
            return -1;
        std::string was = formula;
        FormulaEdit edit = rename_columns(formula, refs.renames, fold);
        if (refs.fold.failed)
            return -1;
        if (edit == FormulaEdit::uncertain) {
            outcome = refuse(refs.refused, "表格" + table_names(refs.tables) + "的列改名后，" + part +
                                               " 中的引用无法确定地随之更新：" + was);
            return -1;
        }
        if (edit == FormulaEdit::unchanged)
            return 0;
        py::Ref rewritten = py::str_from_utf8(formula);
        if (!rewritten || xml::set_node_text(element, rewritten.get()) < 0)
            return -1;
        trees.changed(part);
        return 0;
    });
    return status < 0 ? -1 : outcome;
}

std::vector<py::Ref> clark_names(const char* ns, std::initializer_list<const char*> locals)
{
    std::vector<py::Ref> names;
    for (const char* local : locals)
        names.push_back(xml::clark_name(ns, local));
    return names;
}

bool all_made(const std::vector<py::Ref>& names)
{
    for (const py::Ref& name : names)
        if (!name)
            return false;
    return true;
}

// Formulas of cells, conditional formats and validations; column formulas
// of every table; the workbook's defined names.
int rewrite_references(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
                       std::vector<Table>& tables, References& refs)
{
    const char* main = layout.flavour->main;
    std::vector<py::Ref> in_sheets = clark_names(main, {"f", "formula", "formula1", "formula2"});
    in_sheets.push_back(xml::clark_name(kExcelMain, "f"));
    std::vector<py::Ref> in_tables = clark_names(main, {"calculatedColumnFormula", "totalsRowFormula"});
    std::vector<py::Ref> in_workbook = clark_names(main, {"definedName"});
    if (!all_made(in_sheets) || !all_made(in_tables) || !all_made(in_workbook))
        return -1;
    for (const SheetPart& sheet : layout.sheets) {
        py::Ref root;
        int step = trees.root(xml, copy, sheet.part, root);
        if (step == kDone)
            step = rewrite_texts(root.get(), in_sheets, sheet.part, trees, refs);
        if (step != kDone)
            return step;
    }
    for (Table& table : tables) {
        int step = rewrite_texts(table.root.get(), in_tables, table.part, trees, refs);
        if (step != kDone)
            return step;
    }
    return rewrite_texts(layout.workbook.get(), in_workbook, layout.workbook_part, trees, refs);
}

// ---------------------------------------------------------------- pivot caches

// A cache built on a renamed table gets the new field names where its
// fields are the table's columns one for one. A calculated field's
// formula may name a field: then nothing is certain.
int rename_fields(const xml::Parser& xml, PyObject* fields, const Table& table, References& refs, bool& changed)
{
    std::vector<py::Ref> children;
    if (xml::element_children(xml, fields, children) < 0)
        return -1;
    for (const py::Ref& field : children) {
        std::string formula;
        int has = xml::attribute_text(field.get(), "formula"_id, formula);
        if (has != 0)
            return has < 0 ? -1 : refuse(refs.refused, "表格“" + table.name + "”的列改名后，基于它的数据透视表的计算字段无法确定地随之更新");
    }
    if (children.size() != table.columns.size())
        return kDone;
    for (const auto& [column, name] : table.renamed) {
        std::string current;
        if (xml::attribute_text(children[column].get(), "name"_id, current) < 0)
            return -1;
        if (refs.fold(current) != refs.fold(table.names[column]))
            continue;
        py::Ref text = py::str_from_utf8(name);
        if (!text || xml::set_attribute(children[column].get(), "name"_id, text) < 0)
            return -1;
        changed = true;
    }
    return refs.fold.failed ? -1 : kDone;
}

int rename_pivot_fields(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
                        References& refs)
{
    const char* main = layout.flavour->main;
    py::Ref source_tag = xml::clark_name(main, "cacheSource");
    py::Ref sheet_tag = source_tag ? xml::clark_name(main, "worksheetSource") : py::Ref();
    py::Ref fields_tag = sheet_tag ? xml::clark_name(main, "cacheFields") : py::Ref();
    if (!fields_tag)
        return -1;
    for (const auto& [id, rel] : layout.rels.by_id) {
        py::Ref root;
        if (!is_relationship_of_kind(rel, "pivotCacheDefinition") || !copy.has(rel.target))
            continue;
        int step = trees.root(xml, copy, rel.target, root);
        py::Ref source = step == kDone ? xml::find(root.get(), source_tag) : py::Ref();
        py::Ref sheet = source && source.get() != Py_None ? xml::find(source.get(), sheet_tag) : source;
        py::Ref fields = sheet ? xml::find(root.get(), fields_tag) : py::Ref();
        std::string name;
        if (step != kDone || !fields)
            return step != kDone ? step : -1;
        if (sheet.get() == Py_None || fields.get() == Py_None)
            continue;
        if (xml::attribute_text(sheet.get(), "name"_id, name) < 0)
            return -1;
        for (Table* table : refs.tables) {
            bool changed = false;
            if (refs.fold(name) != refs.fold(table->name))
                continue;
            step = rename_fields(xml, fields.get(), *table, refs, changed);
            if (step != kDone)
                return step;
            if (changed)
                trees.changed(rel.target);
        }
        if (refs.fold.failed)
            return -1;
    }
    return kDone;
}

// ---------------------------------------------------------------- the rest of the package

// Any other part that names a renamed table with a bracket after it (a
// chart, a slicer, a part the writer does not read) or refers to it by its
// id (a slicer cache) may depend on a column's name: the rename is not
// certain then.
int check_other_parts(const PackageCopy& copy, const PartTrees& trees, const Layout& layout, References& refs)
{
    for (const std::string& member : copy.members()) {
        if (trees.holds(member) || member == layout.shared_strings ||
            !platform::native::ascii_lowered(member).ends_with(".xml"))
            continue;
        py::Ref data = copy.bytes(member);
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (!data || PyBytes_AsStringAndSize(data.get(), &bytes, &size) < 0)
            return -1;
        std::string text = platform::native::ascii_lowered(std::string_view(bytes, static_cast<std::size_t>(size)));
        for (Table* table : refs.tables) {
            bool named = text.find(platform::native::ascii_lowered(table->name) + "[") != std::string::npos ||
                         text.find("tableid=\"" + table->id + "\"") != std::string::npos;
            if (named)
                return refuse(refs.refused, "表格“" + table->name + "”的列改名后，" + member +
                                                " 中对它的引用无法确定地随之更新");
        }
    }
    return kDone;
}

}  // namespace

int rename_table_columns(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
                         const WorkbookChanges& changes, bool& refused)
{
    // The tables of the changed sheets first: most workbooks rename none.
    std::set<std::size_t> changed;
    for (const ChangedCell& cell : changes.cells)
        changed.insert(static_cast<std::size_t>(cell.sheet));
    std::vector<Table> tables;
    int step = list_tables(xml, copy, trees, layout, [&](std::size_t sheet) { return changed.count(sheet) != 0; },
                           tables);
    if (step == kDone)
        step = find_renames(tables, changes, refused);
    bool renamed = false;
    for (const Table& table : tables)
        renamed = renamed || !table.renamed.empty();
    if (step != kDone || !renamed)
        return step;
    // Any table's column formulas may name a renamed column.
    step = list_tables(xml, copy, trees, layout, [&](std::size_t sheet) { return changed.count(sheet) == 0; },
                       tables);
    if (step != kDone)
        return step;
    References refs{{}, {}, {}, refused};
    for (Table& table : tables) {
        if (table.renamed.empty())
            continue;
        step = rename_columns_of(table, trees, refs.fold, refused);
        if (step != kDone)
            return step;
        refs.tables.push_back(&table);
        for (const auto& [column, name] : table.renamed)
            refs.renames.push_back({refs.fold(table.name), refs.fold(table.names[column]), name, refs.fold(name)});
    }
    if (refs.fold.failed)
        return -1;
    step = rewrite_references(xml, copy, trees, layout, tables, refs);
    if (step == kDone)
        step = rename_pivot_fields(xml, copy, trees, layout, refs);
    return step == kDone ? check_other_parts(copy, trees, layout, refs) : step;
}

int refuse_renamed_headers(const WorkbookChanges& changes)
{
    py::Ref worksheets = py::getattr(changes.wb.get(), "worksheets"_id);
    py::Ref cells = worksheets ? py::Ref::steal(PyImport_ImportModule("openpyxl.utils.cell")) : py::Ref();
    if (!cells)
        return -1;
    bool refused = false;
    for (const ChangedCell& cell : changes.cells) {
        py::Ref sheet = py::Ref::steal(PySequence_GetItem(worksheets.get(), cell.sheet));
        py::Ref tables = sheet ? py::getattr(sheet.get(), "tables"_id) : py::Ref();
        py::Ref values = tables ? py::call_method(tables.get(), "values"_id) : py::Ref();
        if (!values)
            return -1;
        int status = py::for_each(values.get(), [&](PyObject* table) {
            py::Ref ref = py::getattr(table, "ref"_id);
            py::Ref header = ref ? py::getattr(table, "headerRowCount"_id) : py::Ref();
            py::Ref bounds = header ? py::call_method(cells.get(), "range_boundaries"_id, ref) : py::Ref();
            long long box[4] = {};
            if (!bounds || !PyArg_ParseTuple(bounds.get(), "LLLL", &box[0], &box[1], &box[2], &box[3]))
                return -1;
            int counted = header.get() == Py_None ? 1 : py::truth(header.get());
            if (counted < 0)
                return -1;
            if (!counted || cell.row != box[1] || cell.column < box[0] || cell.column > box[2])
                return 0;
            py::Ref name = py::getattr(table, "displayName"_id);
            std::string text;
            if (!name || !py::utf8_of(name.get(), text))
                return -1;
            return refuse(refused, "表格“" + text + "”的标题行改动了，但这个工作簿只能由 openpyxl 另存，"
                                   "它不会随之改动表格的列名");
        });
        if (status < 0)
            return -1;
    }
    return 0;
}

}  // namespace tw::content::workbook
