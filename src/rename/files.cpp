// File renaming: every file whose name matches the keyword gets the
// substitution applied to its name, in its own folder; the run's options
// may narrow the match to the name without its extension, or to the
// extension alone. A rename that cannot be made is recorded and the run
// goes on.
#include "py/error.h"
#include "rename/names.h"
#include "run/operation.h"
#include "run/probe.h"

namespace tw::rename {

namespace {

using run::ItemKind;

// Decides one file's new name: a plan foresees the rename, a run keeps it
// with those of the folder to be made together.
int visit_file(run::Run& run, const Keyword& keyword, NameLedger& ledger, PendingRenames& pending,
               PyObject* foldername, PyObject* filename)
{
    int admitted = run.admit_file(filename);
    if (admitted <= 0)
        return admitted;
    py::Ref path = run::join_path(foldername, filename);
    if (!path)
        return -1;
    int cancelled = run.begin_item(path.get());
    if (cancelled)
        return cancelled;
    if (run::is_own_temporary(filename))
        return run.pass_over(ItemKind::file_name, path.get(), run::PassOver::own_temporary);
    int screened = run.screen_item(ItemKind::file_name, path.get(), path.get(), filename);
    if (screened != 0)
        return screened < 0 ? -1 : 0;
    NameChange change;
    int decided = decide_new_name(keyword, ledger, foldername, filename, run.options().name_scope, change);
    if (decided > 0 && run.planning() && act_or_foresee(run, foldername, change) < 0)
        decided = -1;
    if (decided < 0)  // reported after the renames kept before it
        return run.fail(ItemKind::file_name, path.get(), run::Doing::renaming);
    if (decided == 0 || ledger.settle(filename, change.new_name.get()) < 0)
        return decided == 0 ? 0 : -1;
    if (!run.planning())
        return pending.add(change);
    return run.change(ItemKind::file_name, change.src.get(), change.dst.get(), 0);
}

int rename_files(run::Run& run, const run::Operands& in)
{
    keyword::Compiled compiled;
    if (keyword::compile_checked(in.old_keyword, in.new_keyword, compiled) < 0 ||
        run.check_root(in.root_folder) < 0)
        return -1;
    Keyword keyword = compiled.keyword();
    PendingRenames pending(run);
    int status = run.walk(in.root_folder, in.recursive, [&](PyObject* foldername, PyObject* filenames) {
        NameLedger ledger(NameLedger::targets_for(run));
        return py::for_each(filenames, [&](PyObject* filename) {
            return visit_file(run, keyword, ledger, pending, foldername, filename);
        });
    });
    if (status < 0)
        return py::fail_after([&] { return pending.finish(); });
    return pending.finish();
}

const run::Operation k_file_names{"replace_file_names", run::kFileNames, rename_files};

}  // namespace

py::Ref replace_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                           PyObject* recursive)
{
    return run::act(k_file_names, {root_folder, old_keyword, new_keyword, recursive});
}

int plan_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                    PyObject* recursive, run::Plan& plan)
{
    return run::plan(k_file_names, {root_folder, old_keyword, new_keyword, recursive}, plan);
}

}  // namespace tw::rename
