// Editing the cells of one worksheet part in place: each changed cell's
// element gets the value the assignment left in the library's cell, and
// everything around it stays as it was.
#pragma once

#include "content/package_copy.h"
#include "content/workbook.h"

#include <string>
#include <vector>

namespace tw::content::workbook {

// Rewrites `cells` (all of one sheet, the library's `sheet`) in the
// worksheet part `part` of `copy`. `had_formula` tells whether a rewritten
// cell held a formula. kDone, kFallBack, or -1 with the exception set.
int edit_sheet(const xml::Parser& xml, PackageCopy& copy, const std::string& part, PyObject* sheet,
               const std::vector<const ChangedCell*>& cells, bool& had_formula);

}  // namespace tw::content::workbook
