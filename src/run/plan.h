// A plan: what a run would do, decided by the same code as the run, with
// nothing on disk changed. A preview shows it; the run then decides again.
#pragma once

#include "py/ref.h"

#include <vector>

namespace tw::run {

enum class ItemKind {
    folder_name,     // a folder to rename
    file_name,       // a file to rename
    file_content,    // a file whose content is replaced
    folder_listing,  // a folder that could not be listed
};

enum class Outcome {
    change,       // would be renamed or rewritten
    failure,      // would fail: see `problem`
    passed_over,  // not for this run: see `reason`
};

enum class PassOver {
    none,
    not_regular,    // a pipe, socket, device, or a link to one or to nothing
    own_temporary,  // a temporary file of this tool
    binary,         // a NUL byte in its first 8 KiB, for the plain-text handler
    old_format,     // .doc, .ppt or .xls
    version_control,  // .git, .svn, .hg or .bzr: never entered, renamed or rewritten
    hidden,           // a hidden item, when the run skips them
    left_out,         // left out of the run in the preview
};

struct PlannedItem {
    ItemKind kind;
    Outcome outcome;
    py::Ref path;            // where the run meets the item (under its parents' new names)
    py::Ref new_path;        // renames: where the item goes
    Py_ssize_t matches = 0;  // content: how many matches the rewrite replaces
    py::Ref problem;         // failure: the exception, with a note naming the path
    PassOver reason = PassOver::none;
    py::Ref samples;         // content: the first few matches, (before, old, new, after)
    std::vector<bool> formula_samples;  // for each sample: its text is a workbook formula
    const char* encoding = nullptr;  // content: a text file's encoding when not UTF-8 ("GBK")
};

// In the order the run meets the items. Files left as they are (no match)
// are not listed; the report counts them as seen.
using Plan = std::vector<PlannedItem>;

}  // namespace tw::run
