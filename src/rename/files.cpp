// File renaming: every file whose name (extension included) matches the
// keyword gets the substitution applied to its name, in its own folder.
// A rename that cannot be made is recorded and the run goes on.
#include "py/error.h"
#include "rename/names.h"
#include "run/probe.h"
#include "run/run.h"

namespace tw::rename {

namespace {

using run::ItemKind;

// Decides one file's new name: a plan foresees the rename, a run keeps it
// with those of the folder to be made together.
int visit_file(run::Run& run, const Keyword& keyword, NameLedger& ledger, PendingRenames& pending,
               PyObject* foldername, PyObject* filename)
{
    py::Ref path = run::join_path(foldername, filename);
    if (!path)
        return -1;
    int cancelled = run.begin_item(path.get());
    if (cancelled)
        return cancelled;
    if (run::is_own_temporary(filename))
        return run.pass_over(ItemKind::file_name, path.get(), run::PassOver::own_temporary);
    NameChange change;
    int decided = decide_new_name(keyword, ledger, foldername, filename, change);
    if (decided > 0 && run.planning() && act_or_foresee(run, foldername, change) < 0)
        decided = -1;
    if (decided < 0) {
        py::PendingError error;  // reported after the renames decided before it
        if (pending.make_all() < 0)
            return -1;
        error.restore();
        return run.fail(ItemKind::file_name, path.get(), run::Doing::renaming);
    }
    if (decided == 0 || ledger.settle(filename, change.new_name.get()) < 0)
        return decided == 0 ? 0 : -1;
    if (!run.planning())
        return pending.add(change);
    return run.change(ItemKind::file_name, change.src.get(), change.dst.get(), 0);
}

int rename_files(run::Run& run, PyObject* root_folder, PyObject* old_keyword,
                 PyObject* new_keyword, PyObject* recursive)
{
    py::Ref pattern = keyword::compile_checked(old_keyword, new_keyword);
    if (!pattern || run.check_root(root_folder) < 0)
        return -1;
    Keyword keyword{pattern.get(), new_keyword};
    return run.walk(root_folder, recursive, [&](PyObject* foldername, PyObject* filenames) {
        NameLedger ledger;
        PendingRenames pending(run);
        int status = py::for_each(filenames, [&](PyObject* filename) {
            return visit_file(run, keyword, ledger, pending, foldername, filename);
        });
        if (status < 0)
            return py::fail_after([&] { return pending.make_all(); });
        return pending.make_all();
    });
}

const char* const kOperation = "replace_file_names";

}  // namespace

py::Ref replace_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                           PyObject* recursive)
{
    run::Run run(kOperation, run::kFileNames);
    return run.finish(rename_files(run, root_folder, old_keyword, new_keyword, recursive));
}

int plan_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                    PyObject* recursive, run::Plan& plan)
{
    run::Run run(kOperation, run::kFileNames, &plan);
    return rename_files(run, root_folder, old_keyword, new_keyword, recursive);
}

}  // namespace tw::rename
