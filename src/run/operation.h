// The shape every operation over a folder tree shares: one body decides
// and, in a run, acts; a run of it has a report and raises what failed as
// one group, a plan of it collects the decisions and changes nothing.
#pragma once

#include "run/run.h"

namespace tw::run {

// The four arguments of an operation, as the caller passed them.
struct Operands {
    PyObject* root_folder;
    PyObject* old_keyword;
    PyObject* new_keyword;
    PyObject* recursive;
};

struct Operation {
    const char* name;  // as the operation is called in Python: "replace_file_names"
    ItemWords words;
    // Walks the tree with `run`. 0, or -1 with the exception set.
    int (*body)(Run& run, const Operands& operands);
    // A run finishes its files' replacements in batches (see Run::batch_writes).
    bool batched = false;
};

// Runs the operation: None, or empty with the exception (or the group of
// what failed) set.
inline py::Ref act(const Operation& operation, const Operands& operands)
{
    Run run(operation.name, operation.words);
    int status = operation.batched ? run.batch_writes() : 0;
    if (status == 0)
        status = operation.body(run, operands);
    return run.finish(status);
}

// What the operation would do, decided by the same body with nothing on
// disk changed. 0, or -1 with the exception set for an error that would
// end the run.
inline int plan(const Operation& operation, const Operands& operands, Plan& plan)
{
    Run run(operation.name, operation.words, &plan);
    return operation.body(run, operands) < 0 ? -1 : 0;
}

}  // namespace tw::run
