#include "content/workbook_strings.h"

#include "content/workbook_text.h"

#include <algorithm>

namespace tw::content::workbook {

// ---------------------------------------------------------------- the table

int StringTable::open(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout)
{
    if (layout.shared_strings.empty())
        return kDone;
    py::Ref root;
    int step = trees.root(xml, copy, layout.shared_strings, root);
    if (step != kDone)
        return step;
    xml::ElementName name;
    if (xml::element_name(root.get(), name) < 0)
        return -1;
    if (name.ns != layout.flavour->main || name.local != "sst")
        return kFallBack;
    ns_ = layout.flavour->main;
    entry_tag_ = xml::clark_name(ns_, "si");
    py::Ref entries = entry_tag_ ? py::call_method(root.get(), "findall"_id, entry_tag_) : py::Ref();
    if (!entries || xml::children(entries.get(), entries_) < 0)
        return -1;
    part_ = layout.shared_strings;
    root_ = root;
    return kDone;
}

// The numbers are gathered by one compiled XPath per sheet and counted by
// collections.Counter: a sheet has many cells, the table fewer entries.
py::Ref StringTable::number_finder(const xml::Parser& xml) const
{
    py::Ref namespaces = py::Ref::steal(Py_BuildValue("{s:s}", "x", ns_));
    py::Ref compile = namespaces ? py::getattr(xml.etree.get(), "XPath"_id) : py::Ref();
    if (!compile)
        return {};
    return py::call_kw(compile.get(), {"x:sheetData/x:row/x:c[@t='s']/x:v/text()"_id},
                       {{"namespaces"_id, namespaces}, {"smart_strings"_id, Py_False}});
}

int StringTable::count_uses(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees,
                            const Layout& layout)
{
    if (counted_)
        return kDone;
    py::Ref find = number_finder(xml);
    py::Ref collections = find ? py::Ref::steal(PyImport_ImportModule("collections")) : py::Ref();
    if (!collections)
        return -1;
    for (const SheetPart& sheet : layout.sheets) {
        py::Ref root;
        int step = trees.root(xml, copy, sheet.part, root);
        if (step != kDone)
            return step;
        py::Ref numbers = py::call(find.get(), root);
        py::Ref counter = numbers ? py::call_method(collections.get(), "Counter"_id, numbers) : py::Ref();
        py::Ref items = counter ? py::call_method(counter.get(), "items"_id) : py::Ref();
        if (!items)
            return -1;
        bool readable = true;
        int status = py::for_each(items.get(), [&](PyObject* item) {
            std::string text;
            long long index = 0;
            long long count = PyLong_AsLongLong(PyTuple_GET_ITEM(item, 1));
            if ((count == -1 && PyErr_Occurred()) || !py::utf8_of(PyTuple_GET_ITEM(item, 0), text))
                return -1;
            readable = read_number(text, index);
            if (!readable)
                return 1;
            uses_[index] += count;
            return 0;
        });
        if (status < 0)
            return -1;
        if (!readable)
            return kFallBack;
    }
    counted_ = true;
    return kDone;
}

long long StringTable::uses(long long index) const
{
    auto found = uses_.find(index);
    return found == uses_.end() ? 0 : found->second;
}

PyObject* StringTable::entry(long long index) const
{
    if (index < 0 || index >= static_cast<long long>(entries_.size()))
        return nullptr;
    return entries_[static_cast<std::size_t>(index)].get();
}

// A new entry goes after the last one: anything that follows the entries
// (an extension list) stays last.
int StringTable::append(PyObject* item, long long& index)
{
    int placed = 0;
    if (entries_.empty()) {
        py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
        placed = zero && py::call_method(root_.get(), "insert"_id, zero, item) ? 0 : -1;
    } else {
        placed = xml::add_next(entries_.back().get(), item);
    }
    if (placed < 0)
        return -1;
    entries_.push_back(py::Ref::borrow(item));
    index = static_cast<long long>(entries_.size()) - 1;
    changed_ = true;
    return 0;
}

int StringTable::append_plain(const xml::Parser& xml, PyObject* text, long long& index)
{
    py::Ref item = add_plain_item(xml, root_.get(), entry_tag_.get(), ns_, ItemKind::shared, text);
    return item ? append(item.get(), index) : -1;
}

void StringTable::use(long long index)
{
    ++uses_[index];
    ++added_uses_;
    changed_ = true;
}

int StringTable::release(const xml::Parser& xml, long long index)
{
    long long& left = uses_[index];
    --left;
    --added_uses_;
    changed_ = true;
    PyObject* item = entry(index);
    return left <= 0 && item ? empty_item(xml, item, ns_) : 0;
}

// count is the number of cells that use an entry, uniqueCount the number
// of entries; each is set only where the table gives it.
int StringTable::finish(PartTrees& trees)
{
    if (!changed_)
        return 0;
    std::string count;
    int has = xml::attribute_text(root_.get(), "count"_id, count);
    if (has < 0)
        return -1;
    long long old_count = 0;
    if (has && read_number(count, old_count)) {
        py::Ref text = py::str_from_utf8(std::to_string(std::max(0LL, old_count + added_uses_)));
        if (!text || xml::set_attribute(root_.get(), "count"_id, text) < 0)
            return -1;
    }
    has = xml::attribute_text(root_.get(), "uniqueCount"_id, count);
    if (has < 0)
        return -1;
    if (has) {
        py::Ref text = py::str_from_utf8(std::to_string(entries_.size()));
        if (!text || xml::set_attribute(root_.get(), "uniqueCount"_id, text) < 0)
            return -1;
    }
    trees.changed(part_);
    return 0;
}

// ---------------------------------------------------------------- the writer

namespace {

// The changed cells that held one entry.
struct Holders {
    long long cells = 0;
    PyObject* text = nullptr;  // the new text they hold
    bool one_text = true;      // all of them the same, not empty
};

}  // namespace

int StringWriter::plan(const std::vector<StringChange>& changes, const PackageCopy& copy, PartTrees& trees,
                       const Layout& layout)
{
    if (changes.empty() || !table_.present())
        return kDone;
    int step = table_.count_uses(xml_, copy, trees, layout);
    if (step != kDone)
        return step;
    std::map<long long, Holders> holders;
    for (const StringChange& change : changes) {
        Holders& each = holders[change.index];
        ++each.cells;
        if (!change.new_text || PyUnicode_GET_LENGTH(change.new_text) == 0) {
            each.one_text = false;
            continue;
        }
        int same = each.text ? py::equals(each.text, change.new_text) : 1;
        if (same < 0)
            return -1;
        each.one_text = each.one_text && same;
        each.text = change.new_text;
    }
    for (const auto& [index, each] : holders)
        if (each.one_text && each.text && each.cells == table_.uses(index))
            in_place_.insert(index);
    return kDone;
}

int StringWriter::shared_text(const StringChange& change, long long& to)
{
    PyObject* entry = table_.entry(change.index);
    if (!entry) {
        PyErr_Format(PyExc_IndexError, "a cell uses shared string %lld, which the table does not hold", change.index);
        return -1;
    }
    int same = py::equals(change.old_text, change.new_text);
    if (same < 0)
        return -1;
    if (in_place_.count(change.index)) {
        if (!same && edited_.insert(change.index).second) {
            table_.edited();
            return edit_item(xml_, entry, table_.ns(), ItemKind::shared, keyword_, change.old_text,
                             change.new_text) < 0 ? -1 : 1;
        }
        return 1;
    }
    std::pair<long long, std::string> key{change.index, {}};
    if (!py::utf8_of(change.new_text, key.second))
        return -1;
    auto made = copies_.find(key);
    if (made == copies_.end()) {
        py::Ref copy = xml::deep_copy(entry);
        long long index = 0;
        if (!copy || (!same && edit_item(xml_, copy.get(), table_.ns(), ItemKind::shared, keyword_,
                                         change.old_text, change.new_text) < 0) ||
            table_.append(copy.get(), index) < 0)
            return -1;
        made = copies_.emplace(std::move(key), index).first;
    }
    to = made->second;
    table_.use(to);
    return table_.release(xml_, change.index) < 0 ? -1 : 0;
}

int StringWriter::new_text(PyObject* text, long long& to)
{
    std::string key;
    if (!py::utf8_of(text, key))
        return -1;
    auto made = plain_.find(key);
    if (made == plain_.end()) {
        long long index = 0;
        if (table_.append_plain(xml_, text, index) < 0)
            return -1;
        made = plain_.emplace(std::move(key), index).first;
    }
    to = made->second;
    table_.use(to);
    return 0;
}

}  // namespace tw::content::workbook
