// A new name for one entry of a folder (a file, or a folder's own name):
// decided once, by the same code for a run and for a plan, then made.
#pragma once

#include "platform/fs.h"
#include "rename/rename.h"
#include "run/run.h"

#include <utility>
#include <vector>

namespace tw::rename {

// The names of one folder as the renames decided so far leave them. A plan
// changes nothing on disk, so it must remember which names its earlier
// decisions took and freed; a run keeps the same record, which also tells
// two items claiming one name apart from a target that was there before.
class NameLedger {
public:
    // A plan looks for an entry already at each target. A run does not:
    // its renames never replace anything, and one refused for that is
    // reported as the look would have reported it (rename_entry). Nor do
    // the decisions that foresee a folder's renames for the run's record,
    // which are decided again when they are made.
    enum class Targets { looked_for, left_to_rename };
    explicit NameLedger(Targets targets = Targets::looked_for)
        : look_on_disk_(targets == Targets::looked_for) {}
    static Targets targets_for(const run::Run& run)
    {
        return run.planning() ? Targets::looked_for : Targets::left_to_rename;
    }

    // 0 when `new_name` is free for the rename `src` → `dst`; otherwise -1
    // with FileExistsError ("target exists", or "two items would get the
    // same name") or the error met while looking set.
    int check(PyObject* src, PyObject* dst, PyObject* new_name);
    // Records a rename decided (and, in a run, made). 0, or -1.
    int settle(PyObject* old_name, PyObject* new_name);

private:
    py::Ref taken_;  // names that earlier renames produce (a set)
    py::Ref freed_;  // names that earlier renames give up (a set)
    bool look_on_disk_ = true;
};

struct NameChange {
    py::Ref src;       // the entry's path now
    py::Ref dst;       // its path after the rename
    py::Ref new_name;  // its new name
    std::uint64_t said = 0;  // its entry in the run's record, when said ahead
};

// Decides the new name of entry `name` in `folder`: the keyword's
// substitution in the part of the name that `scope` names, which must stay
// a plain name in the folder and must not meet another entry. Returns 1 with `out` filled, 0 when the name stays as it
// is, -1 with the reason it cannot be renamed set.
int decide_new_name(const Keyword& keyword, NameLedger& ledger, PyObject* folder, PyObject* name,
                    run::NameScope scope, NameChange& out);

// Makes the rename decided; never replaces anything: an entry at the
// target refuses it as a decision that looked would have. 0, or -1.
int rename_entry(const NameChange& change);

// What rename_entry gives for a rename made elsewhere that gave `made`
// (0, or -1 with the exception rename_no_replace raises set).
int rename_made(int made, const NameChange& change);

// A run makes the rename; a plan checks only that it would be made: the
// new name not longer than the folder's file system takes, and `folder`
// letting it be made. 0, or -1 with the error the run would meet set.
int act_or_foresee(run::Run& run, PyObject* folder, const NameChange& change);

// Renames a file-name run decided, made in batches on a thread of their
// own while the run decides the next batch (see platform::RenameBatch):
// the run's record says which renames of a batch may happen with one sync,
// where a rename made at once costs one each. Decisions never depend on
// earlier renames having been made (each folder's ledger keeps what they
// take and free, and renaming a file changes no listing), so waiting
// changes no outcome. While it lives, the run makes the renames kept
// before it records any failure, so that it reports in walk order.
class PendingRenames final : public run::PendingWork {
public:
    explicit PendingRenames(run::Run& run) : run_(run) { run_.hold_back(this); }
    ~PendingRenames() { run_.hold_back(nullptr); }
    PendingRenames(const PendingRenames&) = delete;
    PendingRenames& operator=(const PendingRenames&) = delete;

    // Keeps a decided rename; hands the renames kept over to be made when
    // enough wait. 0, or -1 when the run ends.
    int add(const NameChange& change);
    // Makes every rename kept, in order, each reported to the run as a
    // change or a failure. 0, or -1 when the run ends.
    int finish() override;

private:
    // The first batch is small, so that making starts early; each next one
    // is twice as large, up to kMost, so that few syncs are paid.
    static constexpr std::size_t kFirst = 256;
    static constexpr std::size_t kMost = 8192;
    int hand_over();
    // Reports what came of each rename to the run: a change or a failure.
    platform::RenameBatch::Outcome reporter();

    run::Run& run_;
    std::vector<std::pair<py::Ref, py::Ref>> renames_;
    std::size_t batch_size_ = kFirst;
    platform::RenameBatch making_;
};

}  // namespace tw::rename
