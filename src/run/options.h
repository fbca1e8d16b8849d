// What the window lets the user choose beyond the folder, the keywords and
// the recursion box. The window sets them on the report of the run it
// starts; the operations read them from the report installed on their
// thread, so that an operation called from Python on its own (no report
// installed, or a report left at its defaults) behaves exactly as it
// always has.
#pragma once

#include "py/ref.h"

namespace tw::run {

class KeptDecisions;  // run/kept.h

// Which part of a file's name a file-name run matches and replaces.
enum class NameScope {
    whole,      // name and extension together (the default)
    stem,       // the name without its extension
    extension,  // what follows the last dot (a leading dot does not count)
};

struct Options {
    bool case_sensitive = true;      // off: the keyword matches regardless of case
    bool regular_expression = true;  // off: plain text in which only `*` keeps its meaning
    NameScope name_scope = NameScope::whole;
    bool skip_hidden = false;        // names beginning with a dot (and hidden items on Windows)
    // File masks separated by ';' ("*.docx;*.txt"); empty means every file.
    py::Ref include_masks;           // str, or null
    py::Ref exclude_masks;           // str, or null
    // Paths the user left out of the preview (a set of str, as the plan
    // showed them), or null: those items are passed over, and a folder
    // left out keeps what lies beneath it under its old name.
    py::Ref left_out;
    // Set by the window for its own runs: matching gives the interpreter's
    // lock back, so the window never waits on a slow keyword, and a cancel
    // stops even a match in progress.
    bool from_window = false;
    // Keep what undo needs (the old files, in the run's record): set by the
    // window for its runs, unless the user chose to run without undo.
    bool undoable = false;
    // Set by the window on a plan and on the run after its preview: the plan
    // keeps its decisions there, the run takes those that still hold.
    KeptDecisions* kept = nullptr;
};

// The options of the run in progress on this thread (defaults when none is
// installed). Needs nothing; never fails.
const Options& current_options();

}  // namespace tw::run
