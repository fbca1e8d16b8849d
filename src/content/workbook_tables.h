// Tables (Excel's list objects) whose header cells changed. Excel holds a
// table's column names in the table part as well as in the header cells,
// and requires the two to agree; formulas name columns through structured
// references ("Sales[Amount]"). When a header cell is renamed, Excel renames
// the column and every reference to it: so does the writer.
#pragma once

#include "content/workbook.h"
#include "content/workbook_layout.h"

namespace tw::content::workbook {

// Renames the column of each table whose header cell changed to the cell's
// new text, and rewrites the structured references that name it: in the
// worksheets' formulas, the tables' own column formulas and the workbook's
// defined names; the field names of pivot caches built on the table follow
// where they are certain. When a reference cannot be rewritten with
// certainty (or the new name cannot be a column's), `refused` is set and
// ValueError names the table: the workbook is then left as it is.
// kDone, kFallBack, or -1 with the exception set.
int rename_table_columns(const xml::Parser& xml, const PackageCopy& copy, PartTrees& trees, const Layout& layout,
                         const WorkbookChanges& changes, bool& refused);

// For a workbook that the library's save writes, which keeps a table's old
// column names: ValueError naming the first table whose header cell
// changed. 0 when none did, -1.
int refuse_renamed_headers(const WorkbookChanges& changes);

}  // namespace tw::content::workbook
