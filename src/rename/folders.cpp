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
#include "run/operation.h"

#include <utility>
#include <vector>

namespace tw::rename {

namespace {

using py::Ref;
using run::ItemKind;

// Where a folder is on disk, and where the plan shows it: under its
// parents' new names. The run reports a folder where it is; what the user
// left out is named as the plan showed it, which differs from where it is
// beneath a parent left out (it keeps its name, and the run goes on beneath
// it under that name) or one whose rename failed.
struct Place {
    Ref disk;
    Ref planned;
};

// A subfolder's rename as decided when the renames of its listing were
// said to the run's record ahead (see say_ahead), and, when it is made
// ahead (see make_ahead), where it is met and whether it was told.
struct Foreseen {
    int decided = 0;  // as decide_new_name returned it; -1 is decided again
    NameChange change;
    Place met;
    long ahead = -1;  // its place among the renames made ahead, or -1
    bool told = false;
};

// The subfolders of one listed folder, as they are visited in turn.
struct Listing {
    std::vector<Foreseen> foreseen;  // per subfolder, in listing order (a run)
    std::size_t next = 0;            // the subfolder in hand
    platform::RenamesAhead made_ahead;

    // The subfolder in hand, when its rename is made ahead.
    Foreseen* in_hand_ahead()
    {
        return next < foreseen.size() && foreseen[next].ahead >= 0 ? &foreseen[next] : nullptr;
    }
};

struct FolderRenaming {
    run::Run& run;
    Keyword keyword;
    PyObject* recursive;

    // Where the run reports the folder: in a plan, where the plan shows it.
    PyObject* shown(const Place& place) const
    {
        return run.planning() ? place.planned.get() : place.disk.get();
    }
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

// A folder the user left out keeps its name; the items beneath it are
// met under that name, and named as the plan showed them. A decision that
// failed only on this folder is dropped with it.
int leave_out(FolderRenaming& job, const Place& parent, const Place& met, const NameChange& change,
              int decided, Place& now)
{
    if (decided < 0) {
        py::PendingError error;
        if (!error.matches(PyExc_Exception) || error.matches(PyExc_MemoryError)) {
            error.restore();
            return job.run.fail(ItemKind::folder_name, job.shown(met), run::Doing::renaming);
        }
    }
    if (decided > 0 && !(now.planned = run::join_path(parent.planned.get(), change.new_name.get())))
        return -1;
    return job.run.pass_over(ItemKind::folder_name, job.shown(met), run::PassOver::left_out);
}

// The subfolder's decision: the one made when its rename was said ahead,
// unless that failed. A run's decision depends only on the names settled
// before it in the folder, and those are always among the names the
// foresight settled (a visit settles a foreseen rename, or one the
// foresight refused because its name was taken), so a foreseen decision
// that did not fail is the one a fresh decision would make. 1, 0 or -1,
// as decide_new_name.
int decide_in_turn(FolderRenaming& job, NameLedger& ledger, Listing* listing, PyObject* folder, PyObject* name,
                   NameChange& change)
{
    if (listing && listing->next < listing->foreseen.size()) {
        const Foreseen& foreseen = listing->foreseen[listing->next];
        if (foreseen.decided >= 0) {
            change = foreseen.change;
            return foreseen.decided;
        }
    }
    return decide_new_name(job.keyword, ledger, folder, name, run::NameScope::whole, change);
}

// Before any subfolder of a listed folder is renamed, the renames their
// decisions foresee are said to the run's record together, with one sync
// (a sync for each would cost more than the renames). A rename said but
// not made (a link, left out, failed) is found not done wherever the
// record is read.
int say_ahead(FolderRenaming& job, const Place& here, PyObject* subfolders, Listing& listing)
{
    if (job.run.planning())
        return 0;
    NameLedger ledger(NameLedger::Targets::left_to_rename);
    std::vector<std::pair<Ref, Ref>> renames;
    int status = py::for_each(subfolders, [&](PyObject* name) {
        Foreseen& foreseen = listing.foreseen.emplace_back();
        foreseen.decided = decide_new_name(job.keyword, ledger, here.disk.get(), name, run::NameScope::whole,
                                           foreseen.change);
        if (foreseen.decided < 0) {  // met again, and reported, in its turn
            py::PendingError error;
            if (!run::ends_run(error.value()))
                return 0;
            error.restore();
            return -1;
        }
        if (foreseen.decided > 0)
            renames.emplace_back(foreseen.change.src, foreseen.change.dst);
        return foreseen.decided > 0 ? ledger.settle(name, foreseen.change.new_name.get()) : 0;
    });
    std::vector<std::uint64_t> said;
    if (status < 0 || platform::say_renames(renames, said) < 0)
        return -1;
    std::size_t next = 0;
    for (Foreseen& foreseen : listing.foreseen)
        if (foreseen.decided > 0)
            foreseen.change.said = said[next++];
    return 0;
}

// Where the subfolder `name` of `here` is met: on disk, and as the plan
// shows it.
Place place_of(const Place& here, PyObject* name)
{
    Place met{run::join_path(here.disk.get(), name), {}};
    met.planned = here.planned.get() == here.disk.get() ? met.disk : run::join_path(here.planned.get(), name);
    return met;
}

// Where the subfolder is met, and whether nothing at its turn would keep
// it from its rename: not a link, not passed over, not left out. 1, 0, or
// -1 with the exception set.
int met_plainly(FolderRenaming& job, const Place& here, PyObject* name, Place& met)
{
    met = place_of(here, name);
    if (!met.disk || !met.planned)
        return -1;
    int link = run::is_link(met.disk.get());
    if (link != 0)
        return link < 0 ? -1 : 0;
    int passed = job.run.passes_over_folder(met.disk.get(), name);
    if (passed != 0)
        return passed < 0 ? -1 : 0;
    int left = run::is_left_out(job.run.options(), met.planned.get());
    return left < 0 ? -1 : !left;
}

// The renames said ahead that nothing at their subfolder's turn would stop
// are made ahead, in order, on a thread of their own, while the run visits
// beneath the subfolders before them; each is taken in its turn. After a
// foreseen decision that failed (decided again in its turn, from the names
// settled by then) or a subfolder that cannot be looked at, the renames
// wait for their turn.
int make_ahead(FolderRenaming& job, const Place& here, PyObject* subfolders, Listing& listing)
{
    if (job.run.planning())
        return 0;
    std::vector<std::pair<Ref, Ref>> renames;
    std::vector<std::uint64_t> said;
    std::size_t index = 0;
    int status = py::for_each(subfolders, [&](PyObject* name) {
        if (index == listing.foreseen.size())
            return 1;  // a listing longer than foreseen: the rest in their turn
        Foreseen& foreseen = listing.foreseen[index++];
        if (foreseen.decided <= 0)
            return foreseen.decided < 0 ? 1 : 0;
        int plain = met_plainly(job, here, name, foreseen.met);
        if (plain < 0) {  // met again, and reported, in its turn
            py::PendingError error;
            if (!run::ends_run(error.value()))
                return 1;
            error.restore();
            return -1;
        }
        if (plain == 0)
            return 0;
        foreseen.ahead = static_cast<long>(renames.size());
        renames.emplace_back(foreseen.change.src, foreseen.change.dst);
        said.push_back(foreseen.change.said);
        return 0;
    });
    if (status < 0)
        return -1;
    const run::Report& report = job.run.report();
    return renames.empty() ? 0
                           : listing.made_ahead.start(std::move(renames), std::move(said),
                                                      [&report] { return report.cancel_requested(); });
}

// The rename in its turn: taken from those made ahead, or made now. 0, or
// -1 with the exception set.
int make_rename(FolderRenaming& job, Listing* listing, const Place& parent, const NameChange& change)
{
    Foreseen* ahead = listing ? listing->in_hand_ahead() : nullptr;
    int made = ahead ? listing->made_ahead.take(static_cast<std::size_t>(ahead->ahead)) : 1;
    if (ahead)
        ahead->told = true;
    return made == 1 ? act_or_foresee(job.run, parent.disk.get(), change) : rename_made(made, change);
}

// The walk stopped before some subfolders whose renames were made ahead:
// each is taken up and told as made (or failed), in turn. 0, or -1.
int tell_made_ahead(FolderRenaming& job, Listing& listing)
{
    listing.made_ahead.stop();
    for (Foreseen& foreseen : listing.foreseen) {
        if (foreseen.ahead < 0 || foreseen.told)
            continue;
        foreseen.told = true;
        int made = listing.made_ahead.take(static_cast<std::size_t>(foreseen.ahead));
        if (made == 1)
            continue;  // stopped before it: not made
        PyObject* path = foreseen.met.disk.get();
        job.run.take_up_item(path);
        int status = rename_made(made, foreseen.change) == 0
                         ? job.run.change(ItemKind::folder_name, path, foreseen.change.dst.get(), 0)
                         : job.run.fail(ItemKind::folder_name, path, run::Doing::renaming);
        if (status < 0)
            return -1;
    }
    return 0;
}

// Decides the new name of the folder met at `met`, entry `name` of
// `parent`, and, in a run, renames it. `now` receives where the folder is
// afterwards. 0, 1 when a cancel stopped it midway, -1 when the run ends.
int rename_folder(FolderRenaming& job, NameLedger& ledger, Listing* listing, const Place& parent,
                  PyObject* name, const Place& met, Place& now)
{
    now = met;
    int left = run::is_left_out(job.run.options(), met.planned.get());
    if (left < 0)
        return -1;
    NameChange change;
    int decided = decide_in_turn(job, ledger, listing, parent.disk.get(), name, change);
    if (left)
        return leave_out(job, parent, met, change, decided, now);
    if (decided > 0 && make_rename(job, listing, parent, change) < 0)
        decided = -1;
    if (decided <= 0)
        return decided < 0 ? job.run.fail(ItemKind::folder_name, job.shown(met), run::Doing::renaming) : 0;
    // Where nothing was left out, the plan's path is the one just made.
    now.planned = parent.planned.get() == parent.disk.get()
                      ? change.dst
                      : run::join_path(parent.planned.get(), change.new_name.get());
    if (!now.planned || ledger.settle(name, change.new_name.get()) < 0)
        return -1;
    if (!job.run.planning())
        now.disk = change.dst;
    return job.run.change(ItemKind::folder_name, job.shown(met), job.shown(now), 0);
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

// One subfolder: passed over, or renamed and then visited beneath. Links
// to folders are neither renamed nor followed. 0, 1 when the walk stops, -1.
int visit_subfolder(FolderRenaming& job, NameLedger& ledger, Listing& listing, const Place& here,
                    PyObject* name)
{
    // A rename made ahead was looked at already: not a link, not passed over.
    const Foreseen* ahead = listing.in_hand_ahead();
    Place met = ahead ? ahead->met : place_of(here, name);
    int link = ahead ? 0 : met.disk && met.planned ? run::is_link(met.disk.get()) : -1;
    if (link != 0)
        return link < 0 ? -1 : 0;
    if (job.run.begin_item(job.shown(met)))
        return 1;
    int passed = ahead ? 0 : job.run.pass_over_folder(job.shown(met), met.disk.get(), name);
    if (passed != 0)
        return passed < 0 ? -1 : 0;
    Place now;
    int renamed = rename_folder(job, ledger, &listing, here, name, met, now);
    return renamed != 0 ? renamed : visit_folder(job, now);
}

// Each subfolder of a listed folder, in listing order.
int visit_listed(FolderRenaming& job, const Place& here, PyObject* subfolders)
{
    Listing listing;
    if (say_ahead(job, here, subfolders, listing) < 0 || make_ahead(job, here, subfolders, listing) < 0)
        return -1;
    NameLedger ledger(NameLedger::targets_for(job.run));
    int stopped = 0;
    int status = py::for_each(subfolders, [&](PyObject* name) {
        stopped = visit_subfolder(job, ledger, listing, here, name);
        ++listing.next;
        return stopped;
    });
    if (status < 0)
        return py::fail_after([&] { return tell_made_ahead(job, listing); });
    return tell_made_ahead(job, listing) < 0 ? -1 : stopped;
}

// The chosen folder: listed first (a folder that does not exist yields
// nothing), then renamed, then visited beneath under its new path.
int rename_tree(FolderRenaming& job, PyObject* root_folder)
{
    int passed = job.run.pass_over_root(root_folder);
    if (passed != 0)
        return passed < 0 ? -1 : 0;
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
    NameLedger ledger(NameLedger::targets_for(job.run));
    if (has_own_name(name.get())) {
        int renamed = rename_folder(job, ledger, nullptr, {parent, parent}, name.get(), met, now);
        if (renamed != 0)
            return renamed < 0 ? -1 : 0;
    }
    int stop = job.run.go_deeper(job.recursive);
    return stop != 0 ? (stop < 0 ? -1 : 0) : visit_listed(job, now, parts[1].get());
}

int rename_folders(run::Run& run, const run::Operands& in)
{
    keyword::Compiled compiled;
    if (keyword::compile_checked(in.old_keyword, in.new_keyword, compiled) < 0 ||
        run.check_root(in.root_folder) < 0)
        return -1;
    FolderRenaming job{run, compiled.keyword(), in.recursive};
    return rename_tree(job, in.root_folder) < 0 ? -1 : 0;
}

const run::Operation k_folder_names{"replace_folder_names", run::kFolders, rename_folders};

}  // namespace

py::Ref replace_folder_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                             PyObject* recursive)
{
    return run::act(k_folder_names, {root_folder, old_keyword, new_keyword, recursive});
}

int plan_folder_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                      PyObject* recursive, run::Plan& plan)
{
    return run::plan(k_folder_names, {root_folder, old_keyword, new_keyword, recursive}, plan);
}

}  // namespace tw::rename
