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
    content_restore, // undo: a file whose old content is put back
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
    // Undo leaves alone what is no longer as the run left it:
    edited_since,   // the file was changed after the run
    moved_since,    // the item was moved or deleted after the run
    name_taken,     // its old name is taken again
    backup_missing, // the old content is no longer where the run kept it
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
    // content: other names of the file (hard links), which the change
    // reaches too, since such a file is rewritten in place
    unsigned long other_links = 0;
    // content: bytes that keeping the old content for undo would copy (a
    // file rewritten in place, or one on a file system where no second
    // name can be made for it)
    unsigned long long backup_copy_bytes = 0;
};

// In the order the run meets the items. Files left as they are (no match)
// are not listed; the report counts them as seen.
using Plan = std::vector<PlannedItem>;

}  // namespace tw::run
