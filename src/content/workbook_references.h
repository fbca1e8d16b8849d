// Structured references in formula text: "Sales[Amount]",
// "Sales[[#Headers],[Amount]]", "Sales[[Amount]:[Tax]]", "Sales[@Amount]".
// When a table column is renamed, a reference that names it is rewritten
// to the new name, as Excel does when a header cell is renamed. Plain C++
// over UTF-8 text.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::content::workbook {

// Excel compares table and column names without regard to case: a name
// folded for comparison.
using Fold = std::function<std::string(std::string_view)>;

struct ColumnRename {
    std::string table;       // the table's name, folded
    std::string old_name;    // the column's old name, folded
    std::string new_name;    // the new name, as it is written
    std::string new_folded;  // the new name, folded
};

enum class FormulaEdit { unchanged, changed, uncertain };

// Rewrites, in `formula`, the column names of the structured references
// that name a renamed column. A reference that already names the new name
// (the keyword changed it in the formula too) is given the form that name
// needs: its own brackets, its escapes. `uncertain` (and `formula` as it was) when a
// reference may name one but cannot be rewritten with certainty: one
// without a table name (only a table's own cells use those), one into
// another workbook, one that does not read as a structured reference.
FormulaEdit rename_columns(std::string& formula, const std::vector<ColumnRename>& renames, const Fold& fold);

}  // namespace tw::content::workbook
