// The text of a string item: an entry of the shared string table (<si>)
// or a cell's inline string (<is>), either plain (<t>) or rich (runs, <r>,
// each with its own formatting).
#pragma once

#include "content/xml_tree.h"
#include "keyword/keyword.h"

namespace tw::content::workbook {

// How the library reads an item's text: a shared string without the
// "x005F_" that escapes a literal "_xHHHH_", an inline string as it stands.
enum class ItemKind { shared, inline_string };

// Gives `item` the text `new_text`, which the keyword made of `old_text`,
// the item's text as the library read it. Each match is edited in the run
// where it begins, which the replacement takes the formatting of (as in
// documents); the other runs stay as they were. Where the runs cannot be
// edited with certainty the item gets the plain text. Phonetic guides of
// the old text go. 0, or -1 with the exception set.
int edit_item(const xml::Parser& xml, PyObject* item, const char* ns, ItemKind kind,
              const keyword::Keyword& keyword, PyObject* old_text, PyObject* new_text);

// Adds to `parent` a new item holding `text` plain: an element named
// `tag` with one <t>. Empty with the exception set.
py::Ref add_plain_item(const xml::Parser& xml, PyObject* parent, PyObject* tag, const char* ns, ItemKind kind,
                       PyObject* text);

// Empties `item`: it keeps one empty <t>. 0, or -1.
int empty_item(const xml::Parser& xml, PyObject* item, const char* ns);

}  // namespace tw::content::workbook
