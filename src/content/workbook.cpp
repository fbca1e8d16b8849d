// The workbook writer. openpyxl reads a workbook and takes the assignments;
// its own save would rebuild the file from what it models and drop the rest
// (cached formula results, rich text, extension lists, exact digits of
// numbers). So the file is written as a copy of the original package (see
// package_copy.h) in which only the parts that must change are new: the
// changed cells' elements in their worksheets, the shared strings they
// hold, and the tables whose header cells changed.
//
// The plan reads the package's layout (workbook_layout.h), edits the cells
// of each sheet (workbook_cells.h), renames the table columns whose
// headers changed (workbook_tables.h), then asks for the recalculation
// that changed formulas need. Anything it cannot edit with certainty goes
// to the library's save instead, which is what the workbook got before.
#include "content/workbook.h"

#include "content/package.h"
#include "content/package_copy.h"
#include "content/workbook_cells.h"
#include "content/workbook_layout.h"
#include "content/workbook_tables.h"

#include <map>
#include <string>
#include <string_view>

namespace tw::content {

namespace {

using workbook::Flavour;
using workbook::Layout;
using workbook::PartTrees;

// ---------------------------------------------------------------- recalculation

// Elements that follow calcPr in a workbook part.
constexpr const char* kAfterCalcPr[] = {
    "oleSize",       "customWorkbookViews", "pivotCaches",       "smartTagPr", "smartTagTypes",
    "webPublishing", "fileRecoveryPr",      "webPublishObjects", "extLst",
};

// Adds an empty calcPr where the workbook's element order puts it.
py::Ref add_calc_settings(const xml::Parser& xml, PyObject* workbook, PyObject* tag, const Flavour& flavour)
{
    std::vector<py::Ref> children;
    if (xml::element_children(xml, workbook, children) < 0)
        return {};
    std::size_t index = 0;
    for (; index < children.size(); ++index) {
        xml::ElementName child;
        if (xml::element_name(children[index].get(), child) < 0)
            return {};
        bool later = false;
        for (const char* name : kAfterCalcPr)
            later = later || (child.ns == flavour.main && child.local == name);
        if (later)
            break;
    }
    py::Ref calc = xml::add_child(xml, workbook, tag);
    py::Ref at = calc ? py::Ref::steal(PyLong_FromSize_t(index)) : py::Ref();
    if (!at || !py::call_method(workbook, "insert"_id, at, calc))
        return {};
    return calc;
}

// Results cached in the file may be stale now: the workbook is to be
// computed again when it is opened (calcPr fullCalcOnLoad).
int request_recalculation(const xml::Parser& xml, PartTrees& trees, const Layout& layout)
{
    PyObject* workbook = layout.workbook.get();
    py::Ref tag = xml::clark_name(layout.flavour->main, "calcPr");
    py::Ref calc = tag ? py::call_method(workbook, "find"_id, tag) : py::Ref();
    if (calc && calc.get() == Py_None)
        calc = add_calc_settings(xml, workbook, tag.get(), *layout.flavour);
    std::string current;
    int has = calc ? xml::attribute_text(calc.get(), "fullCalcOnLoad"_id, current) : -1;
    if (has < 0)
        return -1;
    if (has > 0 && (current == "1" || current == "true"))
        return kDone;
    if (xml::set_attribute(calc.get(), "fullCalcOnLoad"_id, "1"_id) < 0)
        return -1;
    trees.changed(layout.workbook_part);
    return kDone;
}

// The calculation chain lists the cells holding formulas in the order last
// computed; after a formula changed it is dropped with its relationship and
// content type, and the application builds it again.
void drop_calculation_chain(PackageCopy& copy, const workbook::Relationships& rels)
{
    constexpr std::string_view chain = "/calcChain";
    for (const auto& [id, rel] : rels.by_id) {
        if (!rel.type.ends_with(chain))
            continue;
        copy.remove_relationship(rels.source, id);
        copy.remove(rel.target);
    }
}

// ---------------------------------------------------------------- plan

// Decides every edit, in memory. kFallBack when any part of the package is
// not what this writer can edit with certainty; -1 with `refused` set when
// the workbook is not to be written at all.
int plan_edits(PyObject* file_path, const WorkbookChanges& changes, const xml::Parser& xml, PackageCopy& copy,
               bool& refused)
{
    Layout layout;
    PartTrees trees;
    bool had_formula = false;
    int step = copy.read(file_path);
    if (step == kDone)
        step = workbook::read_layout(xml, copy, changes.wb.get(), layout);
    if (step == kDone) {
        trees.adopt(layout.workbook_part, layout.workbook);
        step = workbook::edit_cells(xml, copy, trees, layout, changes, had_formula);
    }
    if (step == kDone)
        step = workbook::rename_table_columns(xml, copy, trees, layout, changes, refused);
    if (step != kDone)
        return step;
    bool formula_changed = had_formula;
    for (const ChangedCell& cell : changes.cells)
        formula_changed = formula_changed || PyUnicode_CompareWithASCIIString(cell.data_type.get(), "f") == 0;
    if (changes.has_formulas || formula_changed)
        step = request_recalculation(xml, trees, layout);
    if (step == kDone && formula_changed)
        drop_calculation_chain(copy, layout.rels);
    if (step == kDone && trees.write(xml, copy) < 0)
        return -1;
    return step == kDone ? copy.settle(xml) : step;
}

// What stopped a plan is the library's to write or to refuse (a member
// that does not read, a part that does not parse, a value the XML cannot
// hold), unless the workbook was refused, memory ran out, or it is no
// ordinary failure (an interrupt): those end the write.
bool falls_back(bool refused)
{
    return !refused && PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

}  // namespace

int write_changed_cells(PyObject* file_path, const WorkbookChanges& changes)
{
    // The package is read again here, every member inflated: it is held to
    // the same limits as when the library opened it.
    if (check_package(file_path) < 0)
        return -1;
    xml::Parser xml;
    PackageCopy copy;
    bool refused = false;
    int planned = xml.open() < 0 ? -1 : plan_edits(file_path, changes, xml, copy, refused);
    if (planned < 0) {
        if (!falls_back(refused))
            return -1;
        PyErr_Clear();
        planned = kFallBack;
    }
    // The library's save keeps a table's old column names: a renamed
    // header would make a file Excel must repair.
    if (planned == kFallBack && workbook::refuse_renamed_headers(changes) < 0)
        return -1;
    return write_copy_or_save(file_path, copy, planned, changes.wb.get());
}

}  // namespace tw::content
