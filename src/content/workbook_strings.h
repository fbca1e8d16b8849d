// The shared string table: the texts that string cells refer to by number.
// A changed cell's new text goes back into the table, and an entry that no
// cell uses any more is emptied, so that an old text does not travel on in
// the file once no cell shows it.
#pragma once

#include "content/workbook_layout.h"
#include "keyword/keyword.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tw::content::workbook {

class StringTable {
public:
    // Reads the table the library read, if the workbook has one. kDone,
    // kFallBack, or -1 with the exception set.
    int open(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout);
    bool present() const { return static_cast<bool>(root_); }

    // Counts the cells of every worksheet that use each entry (a string
    // cell, or a formula cell whose cached result is one). kDone,
    // kFallBack, or -1.
    int count_uses(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout);
    long long uses(long long index) const;

    // The entry's element (borrowed), or null when there is none.
    PyObject* entry(long long index) const;
    // Adds `item` as a new entry, after the last one; its number in `index`.
    int append(PyObject* item, long long& index);
    // Adds an entry holding `text` plain.
    int append_plain(const xml::Parser& xml, PyObject* text, long long& index);
    // One cell more, or one less, uses the entry; an entry that no cell
    // uses any more is emptied. 0, or -1.
    void use(long long index);
    int release(const xml::Parser& xml, long long index);
    // The entry's text was edited where it stands.
    void edited() { changed_ = true; }

    // The table's counts set right, and the part marked changed when it
    // is. 0, or -1.
    int finish(PartTrees& trees);

    const char* ns() const { return ns_; }

private:
    py::Ref number_finder(const xml::Parser& xml) const;

    std::string part_;
    const char* ns_ = nullptr;
    py::Ref root_;
    py::Ref entry_tag_;
    std::vector<py::Ref> entries_;  // the <si> elements, in order
    std::map<long long, long long> uses_;
    bool counted_ = false;
    long long added_uses_ = 0;  // uses gained less uses lost
    bool changed_ = false;
};

// A changed cell that held shared string `index`, with the text it had and
// the string it now holds. Noted for each such cell before any is written.
struct StringChange {
    long long index;
    PyObject* old_text;
    PyObject* new_text;  // null: the cell no longer holds a string
};

// How the new strings of changed cells are written.
class StringWriter {
public:
    StringWriter(const xml::Parser& xml, StringTable& table, const keyword::Keyword& keyword)
        : xml_(xml), table_(table), keyword_(keyword)
    {
    }

    // Decides, from every changed cell that held a shared string, which
    // entries are edited where they stand: those that only changed cells
    // used, all of them to hold one new text. kDone, kFallBack, or -1.
    int plan(const std::vector<StringChange>& changes, const PackageCopy& copy, PartTrees& trees,
             const Layout& layout);

    // A changed cell that held entry `index` is to hold `change.new_text`:
    // 1 when the entry itself now holds it (the cell stays as it is), 0 with
    // `to` set to the entry the cell is to use instead. -1.
    int shared_text(const StringChange& change, long long& to);
    // A changed cell that held no shared string is to hold `text`: the
    // entry it is to use.
    int new_text(PyObject* text, long long& to);

    const keyword::Keyword& keyword() const { return keyword_; }

private:
    const xml::Parser& xml_;
    StringTable& table_;
    const keyword::Keyword& keyword_;
    std::set<long long> in_place_;
    std::set<long long> edited_;
    std::map<std::pair<long long, std::string>, long long> copies_;  // (old entry, new text) -> new entry
    std::map<std::string, long long> plain_;                     // new text -> new entry
};

}  // namespace tw::content::workbook
