// Editing the changed cells of the worksheet parts in place: each changed
// cell's element gets the value the assignment left in the library's cell,
// and everything around it stays as it was. A string goes into the shared
// string table where the workbook has one, a rich text keeps its runs, a
// typed value keeps its type.
#pragma once

#include "content/workbook.h"
#include "content/workbook_layout.h"

namespace tw::content::workbook {

// Rewrites the changed cells of every sheet. `had_formula` tells whether
// a rewritten cell held a formula. kDone, kFallBack, or -1 with the
// exception set.
int edit_cells(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
               const WorkbookChanges& changes, bool& had_formula);

}  // namespace tw::content::workbook
