// The texts of the preview: its summary, the rows of its table and the
// details of one item.
#pragma once

#include "ui/preview.h"

#include <cstddef>

namespace tw::ui {

// How the preview spells paths: relative to the folder that holds the
// chosen folder, so that each begins with the chosen folder's name (its new
// name, when folder renaming renames it).
class PathView {
public:
    // 0, or -1 with the exception set.
    int start(PyObject* chosen_folder);
    // The path as shown; the full path when it cannot be made relative.
    py::Ref shown(PyObject* path) const;

private:
    py::Ref base_;
    py::Ref relpath_;  // os.path.relpath, looked up when the preview opens
};

// "将重命名 12 个文件夹。" and the like, with what is passed over or fails.
py::Ref preview_summary(ModeKind mode, const PlanCounts& counts);

// The table's column headings.
py::Ref table_headings(ModeKind mode);

// The cells of one item's row: kind, path, new name or number of matches,
// problem.
py::Ref item_cells(const PathView& paths, const run::PlannedItem& item);

// Everything the preview knows of one item: full paths, the first matches
// with their context, the whole reason of a failure.
py::Ref item_details(const run::PlannedItem& item);

}  // namespace tw::ui
