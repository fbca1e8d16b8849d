// Folder renaming.
//
// Only a folder's own name is searched and replaced, so no folder ever moves
// to another parent. Parents are renamed before their subfolders, and the
// walk goes on beneath a renamed folder under its new path, so nested
// matches are renamed too. A folder that cannot be renamed keeps its name
// and the walk goes on beneath it.
#include "platform/fs.h"
#include "py/error.h"
#include "rename/names.h"
#include "run/run.h"

#include <memory>
#include <utility>
#include <vector>

namespace tw::rename {

namespace {

using py::Ref;
using run::ItemKind;

// Where a folder is on disk, and where the run meets it. They differ only
// in a plan, which shows folders under their parents' new names while
// nothing has moved yet.
struct Place {
    Ref disk;
    Ref shown;
};

struct FolderRenaming {
    run::Run& run;
    Keyword keyword;
    PyObject* recursive;
};

// os.path.split without the trailing separators a typed path may carry:
// "a/b/" gives ("a", "b"). A root such as "/" has no name of its own.
int split_own_name(PyObject* folder, Ref& parent, Ref& name)
{
    Ref path = run::os_path();
    Ref current = Ref::borrow(folder);
    while (path) {
        Ref parts[2];
        Ref split = py::call_method(path.get(), "split"_id, current);
        if (!split || py::unpack(split.get(), parts) < 0)
            return -1;
        parent = parts[0];
        name = parts[1];
        Py_ssize_t length = PyObject_Length(name.get());
        if (length != 0)
            return length < 0 ? -1 : 0;
        int same = py::equals(parent.get(), current.get());
        if (same != 0)
            return same < 0 ? -1 : 0;
        current = parent;
    }
    return -1;
}

bool has_own_name(PyObject* name)
{
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 &&
           PyUnicode_CompareWithASCIIString(name, ".") != 0 &&
           PyUnicode_CompareWithASCIIString(name, "..") != 0;
}

// A subfolder as its decision leaves it, before anything is renamed.
struct Subfolder {
    Ref name;
    Place met;
    int decided = 0;  // 1: a new name in `change`; 0: none; -1: refused, `error` says why
    NameChange change;
    std::unique_ptr<py::PendingError> error;
    std::uint64_t said = 0;  // its entry in the run's record
};

// An error that ends the run goes at once; any other waits for the turn
// of the folder it concerns. 0, or -1 with the error set again.
int ends_run_now(py::PendingError& error)
{
    if (!run::ends_run(error.value()))
        return 0;
    error.restore();
    return -1;
}

// Decides the new name of the folder met at `met`, entry `name` of
// `parent`; a plan also foresees whether it could be made. 0, or -1 when
// the run ends.
int decide_folder(FolderRenaming& job, NameLedger& ledger, const Place& parent, Subfolder& folder)
{
    PyObject* name = folder.name.get();
    folder.decided = decide_new_name(job.keyword, ledger, parent.disk.get(), name, folder.change);
    if (folder.decided > 0 && job.run.planning() && act_or_foresee(job.run, parent.disk.get(), folder.change) < 0)
        folder.decided = -1;
    if (folder.decided < 0) {
        folder.error = std::make_unique<py::PendingError>();
        return ends_run_now(*folder.error);
    }
    return folder.decided > 0 ? ledger.settle(name, folder.change.new_name.get()) : 0;
}

// Makes the rename decided, in a run. `now` receives where the folder is
// afterwards. 0, or -1 when the run ends.
int rename_folder(FolderRenaming& job, const Place& parent, Subfolder& folder, Place& now)
{
    now = folder.met;
    int decided = folder.decided;
    if (decided > 0 && !job.run.planning() &&
        platform::rename_said(folder.change.src.get(), folder.change.dst.get(), folder.said) < 0)
        decided = -1;
    else if (decided < 0)
        folder.error->restore();
    if (decided <= 0)
        return decided < 0 ? job.run.fail(ItemKind::folder_name, folder.met.shown.get(), run::Doing::renaming) : 0;
    // In a run a folder is shown where it is: its new path is already made.
    Ref new_shown = parent.shown.get() == parent.disk.get()
                        ? folder.change.dst
                        : run::join_path(parent.shown.get(), folder.change.new_name.get());
    if (!new_shown)
        return -1;
    if (!job.run.planning())
        now.disk = folder.change.dst;
    now.shown = new_shown;
    return job.run.change(ItemKind::folder_name, folder.met.shown.get(), new_shown.get(), 0);
}

int visit_listed(FolderRenaming& job, const Place& here, PyObject* subfolders);

// Lists a folder and, in recursive mode, goes on beneath it. Returns 0, 1
// when the walk stops, -1 when the run ends.
int visit_folder(FolderRenaming& job, const Place& here)
{
    Ref parts[3];  // foldername, subfolders, filenames
    int listed = job.run.list_folder(here.disk.get(), parts);
    if (listed <= 0)
        return listed;
    int stop = job.run.go_deeper(job.recursive);
    return stop != 0 ? stop : visit_listed(job, here, parts[1].get());
}

// The subfolders of a listed folder, decided first, as a plan decides
// them (links to folders are neither renamed nor followed); in a run their
// renames are then said to the run's record together.
int decide_subfolders(FolderRenaming& job, const Place& here, PyObject* subfolders, std::vector<Subfolder>& out)
{
    NameLedger ledger;
    int status = py::for_each(subfolders, [&](PyObject* name) {
        Subfolder folder{Ref::borrow(name), {run::join_path(here.disk.get(), name), {}}};
        folder.met.shown = here.shown.get() == here.disk.get() ? folder.met.disk
                                                               : run::join_path(here.shown.get(), name);
        int link = folder.met.disk && folder.met.shown ? run::is_link(folder.met.disk.get()) : -1;
        if (link != 0)
            return link < 0 ? -1 : 0;
        out.push_back(std::move(folder));
        return decide_folder(job, ledger, here, out.back());
    });
    if (status < 0 || job.run.planning())
        return status;
    std::vector<std::pair<Ref, Ref>> renames;
    for (const Subfolder& folder : out)
        if (folder.decided > 0)
            renames.emplace_back(folder.change.src, folder.change.dst);
    std::vector<std::uint64_t> said;
    if (platform::say_renames(renames, said) < 0)
        return -1;
    for (std::size_t i = 0, k = 0; i < out.size(); ++i)
        out[i].said = out[i].decided > 0 ? said[k++] : 0;
    return 0;
}

// Each subfolder of a listed folder, in listing order: renamed, then
// visited beneath.
int visit_listed(FolderRenaming& job, const Place& here, PyObject* subfolders)
{
    std::vector<Subfolder> decided;
    if (decide_subfolders(job, here, subfolders, decided) < 0)
        return -1;
    for (Subfolder& folder : decided) {
        Place now;
        int stopped = job.run.begin_item(folder.met.shown.get());
        if (!stopped && rename_folder(job, here, folder, now) < 0)
            return -1;
        if (!stopped)
            stopped = visit_folder(job, now);
        if (stopped)
            return stopped;
    }
    return 0;
}

// The chosen folder: listed first (a folder that does not exist yields
// nothing), then renamed, then visited beneath under its new path.
int rename_tree(FolderRenaming& job, PyObject* root_folder)
{
    Ref parts[3];
    int listed = job.run.list_folder(root_folder, parts);
    if (listed <= 0)
        return listed;
    Place met{Ref::borrow(root_folder), Ref::borrow(root_folder)};
    Place now = met;
    if (job.run.begin_item(root_folder))
        return 0;
    Ref parent, name;
    if (split_own_name(root_folder, parent, name) < 0)
        return -1;
    NameLedger ledger;
    Place above{parent, parent};
    Subfolder chosen{name, met};
    if (has_own_name(name.get()) &&
        (decide_folder(job, ledger, above, chosen) < 0 || rename_folder(job, above, chosen, now) < 0))
        return -1;
    int stop = job.run.go_deeper(job.recursive);
    return stop != 0 ? (stop < 0 ? -1 : 0) : visit_listed(job, now, parts[1].get());
}

int rename_folders(run::Run& run, PyObject* root_folder, PyObject* old_keyword,
                   PyObject* new_keyword, PyObject* recursive)
{
    Ref pattern = keyword::compile_checked(old_keyword, new_keyword);
    if (!pattern || run.check_root(root_folder) < 0)
        return -1;
    FolderRenaming job{run, {pattern.get(), new_keyword}, recursive};
    return rename_tree(job, root_folder) < 0 ? -1 : 0;
}

const char* const kOperation = "replace_folder_names";

}  // namespace

py::Ref replace_folder_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                             PyObject* recursive)
{
    run::Run run(kOperation, run::kFolders);
    return run.finish(rename_folders(run, root_folder, old_keyword, new_keyword, recursive));
}

int plan_folder_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                      PyObject* recursive, run::Plan& plan)
{
    run::Run run(kOperation, run::kFolders, &plan);
    return rename_folders(run, root_folder, old_keyword, new_keyword, recursive);
}

}  // namespace tw::rename
