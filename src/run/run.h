// One run over a folder tree: the walk, what is passed over, which errors
// end the run and which are recorded against one item, the report, the
// cancel request between items, and the closing exception group.
//
// The same Run serves a plan: it then decides only, collects what the run
// would do, and changes nothing on disk.
//
// Errors that end the run at once: anything that is not an Exception
// (interrupts, exit requests), MemoryError, a full disk or quota (ENOSPC,
// EDQUOT), and errors outside any one item (a bad keyword or template, a
// failing truth test of the recursion flag). Any other Exception met while
// handling one item, and a folder that cannot be listed, is recorded with a
// note naming its path, and the walk goes on; after the walk the recorded
// exceptions are raised together in one ExceptionGroup, in walk order.
#pragma once

#include "platform/fs.h"
#include "py/unpack.h"
#include "run/filters.h"
#include "run/paths.h"
#include "run/plan.h"
#include "run/record.h"
#include "run/report.h"

#include <functional>
#include <optional>
#include <set>
#include <vector>

namespace tw::run {

// What was being done to the item an error concerns, for its note.
enum class Doing { renaming, replacing_content, listing };

// Adds the note "while <doing> <path>" to `error`. A note that cannot be
// made is dropped. Call it with no exception pending.
void add_path_note(PyObject* error, Doing doing, PyObject* path);

// True when `error` ends the run instead of being recorded.
bool ends_run(PyObject* error);

// How the closing message names the items: "2 of 57 files could not be changed".
struct ItemWords {
    const char* one;
    const char* many;
    const char* not_done;  // "changed", "renamed"
};
inline constexpr ItemWords kFolders{"folder", "folders", "renamed"};
inline constexpr ItemWords kFileNames{"file", "files", "renamed"};
inline constexpr ItemWords kFileContents{"file", "files", "changed"};

struct CallbackTarget;

// Work a handler keeps to do together later (a file-name run's renames),
// which came earlier in the walk than whatever fails after it.
class PendingWork {
public:
    // Does the work kept. 0, or -1 when the run ends.
    virtual int finish() = 0;

protected:
    ~PendingWork() = default;
};

class Run {
public:
    // A run that acts; with `plan`, one that only decides and fills it.
    // Uses the report installed on this thread, or installs one of its own.
    Run(const char* operation, ItemWords words, Plan* plan = nullptr);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    bool planning() const { return plan_ != nullptr; }
    // In a plan, the item recorded last, for what only its decider knows
    // (the samples of its matches); null otherwise.
    PlannedItem* last_planned() { return plan_ && !plan_->empty() ? &plan_->back() : nullptr; }
    Report& report() { return *report_; }

    // The chosen folder must be a str path: os.walk would yield bytes names
    // that no keyword matches. 0, or -1 with TypeError naming the argument.
    // A run that acts then takes the folder for itself and starts its
    // record (see run/record.h), before anything is changed.
    int check_root(PyObject* root);

    // os.walk(root) top-down: visit(foldername, filenames) for each folder
    // listed, the chosen folder first. visit returns 0 to go on, 1 to stop,
    // -1 to end the run. After each folder the walk stops when a cancel was
    // requested or `recursive` is false. The program's backup folder is
    // never entered. os.walk nests one generator per level, which the
    // interpreter's recursion limit bounds: the folders below kWalkDepth
    // levels wait for a walk of their own, after the rest, so that a tree of
    // any depth is walked whole. Returns 0, or -1 with the exception set.
    template <class Visit>
    int walk(PyObject* root, PyObject* recursive, Visit&& visit);
    static constexpr Py_ssize_t kWalkDepth = 100;

    // Lists one folder as os.walk's first triple. Returns 1 with `parts`
    // (foldername, subfolders, filenames) filled, 0 when the folder could
    // not be listed (recorded, or the chosen folder does not exist), -1.
    int list_folder(PyObject* folder, py::Ref (&parts)[3]);

    // After a listed folder: 0 to go deeper, 1 when the walk stops there
    // (recursion off, or a cancel requested), -1 with the exception set.
    int go_deeper(PyObject* recursive);

    // Takes up the item at `path`: counted and shown as current. Returns 1
    // when a cancel was requested (the item is not taken up), else 0.
    int begin_item(PyObject* path);
    // Takes up an item changed ahead of the walk, which stopped before
    // reaching it: counted and shown as begin_item does, cancel or not.
    void take_up_item(PyObject* path);

    // While `work` is installed, it is finished before any failure is
    // recorded, so that the run reports in walk order. Null uninstalls it.
    void hold_back(PendingWork* work) { pending_work_ = work; }

    // The pending exception concerns the item at `path`. Returns 0 when it
    // was recorded (nothing pending), -1 when it ends the run (still pending),
    // 1 when a cancel stopped the item midway (the walk stops; nothing pending).
    int fail(ItemKind kind, PyObject* path, Doing doing);
    // The item is not for this run. Returns 0.
    int pass_over(ItemKind kind, PyObject* path, PassOver reason);

    // What the user chose for this run (see Options), and what follows
    // from it for each item (filters.cpp):
    const Options& options() const { return report_->options; }
    // The chosen folder is, or lies in, a version-control folder: passed
    // over whole. 1 when so, 0 when not, -1.
    int pass_over_root(PyObject* root);
    // A folder met on the way down that is never entered nor renamed
    // (version control; hidden, when skipped): passed over. `shown_path`
    // is where the run meets it, `disk_path` where it is. 1 when passed
    // over, 0 when not, -1.
    int pass_over_folder(PyObject* shown_path, PyObject* disk_path, PyObject* name);
    // Whether pass_over_folder would pass it over, unsaid. 1, 0, or -1.
    int passes_over_folder(PyObject* disk_path, PyObject* name);
    // 1 when the file named `name` is in the run by the masks, 0 when not
    // (it is not taken up at all), -1.
    int admit_file(PyObject* name);
    // After begin_item: a hidden item (when skipped) or one left out of the
    // preview is passed over. 1 when passed over, 0 when not, -1.
    int screen_item(ItemKind kind, PyObject* shown_path, PyObject* disk_path, PyObject* name);
    // The item changed (or, in a plan, would change); a renamed folder goes
    // into the report's renamed folders. 0, or -1.
    int change(ItemKind kind, PyObject* path, PyObject* new_path, Py_ssize_t matches);

    // Content is never written outside the chosen folder: 0 when `path`
    // resolves inside it, -1 with the exception set otherwise.
    int check_inside(PyObject* path);

    // In a plan, what keeping a planned file's old content would cost
    // (`stat_result` as os.stat gave it): its other names, and the bytes a
    // backup would copy rather than keep by a second name. 0, or -1.
    int note_backup_cost(PlannedItem& item, PyObject* stat_result);

    // A run that rewrites files finishes their replacements together (see
    // platform::WriteBatch): a file staged by a handler counts as changed,
    // or failed, once its batch is finished, which happens when enough is
    // staged, before anything reads a staged file again, before a failure
    // is recorded, and before the run returns or raises (a cancel
    // included); the folders they were moved in are synced at the end.
    // 0, or -1 with the exception set.
    int batch_writes();
    // Whether the next handler's replacements are staged (else each is
    // finished before the handler returns).
    void stage_writes(bool staging);
    // Before a handler reads the file that `stat_result` (os.stat, through
    // links) describes: finishes the batch when it holds that file, so that
    // a file reached twice (through itself and a link) is read with its new
    // content. 1 when it finished the batch (the file is then to be looked
    // at again), 0 when not, -1 when the run ends.
    int before_reading(PyObject* stat_result);
    // Replacements staged so far (for staged_for).
    std::size_t staged() const;
    // After a handler: 1 when it staged the replacement of `path` since
    // `since` (the batch then reports the file), 0 when not; -1.
    int staged_for(std::size_t since, PyObject* path);
    // Finishes the batch when enough is staged. 0, or -1 when the run ends.
    int flush_if_full();

    // os.walk's onerror: records a folder that could not be listed, except
    // the chosen folder not existing. 0, or -1 when the run ends.
    int folder_not_listed(PyObject* error);

    // After the walk: None, or the recorded exceptions raised as one group.
    // With status -1 the pending exception is passed on.
    py::Ref finish(int status);

private:
    py::Ref start_walk(PyObject* root);
    int start_record(PyObject* root);
    int drop_backup_folder(PyObject* subfolders);
    int defer_deep(PyObject* foldername, PyObject* subfolders, Py_ssize_t& top_depth);
    int next_deferred(py::Ref& top);
    int finish_writes(bool ending = false);
    std::function<int(PyObject*, bool)> batch_done(bool ending);
    int record(ItemKind kind, PyObject* path, Doing doing, bool ending = false);
    py::Ref error_callback();
    int prune_subfolders(PyObject* folder, PyObject* subfolders);
    py::Ref closing_message();

    const char* operation_;
    ItemWords words_;
    Plan* plan_;
    Report own_report_;
    Report* report_;
    std::optional<ReportScope> scope_;
    long seen_before_, failed_before_, unlisted_before_;
    bool root_reached_ = false;
    py::Ref root_;      // the chosen folder
    py::Ref walk_top_;  // where the walk in progress began
    py::Ref real_root_;
    py::Ref raised_;    // the exceptions for the closing group
    py::Ref callback_;  // os.walk's onerror, bound to this run
    CallbackTarget* target_ = nullptr;
    PendingWork* pending_work_ = nullptr;
    std::vector<py::Ref> deferred_;  // folders a deep walk left for later, the next last
    std::optional<std::pair<std::uint64_t, std::uint64_t>> backup_devices_;  // (store, chosen folder)
    // Files with several names whose copy is counted already: the first of
    // their names the run meets rewrites them for all.
    std::set<std::pair<unsigned long long, unsigned long long>> copies_counted_;
    platform::FolderSyncs renamed_in_;  // folders this run renamed in, synced at its end
    RunRecord record_;  // ends after the batch is finished
    std::optional<platform::WriteBatch> batch_;
    Masks masks_;
};

template <class Visit>
int Run::walk(PyObject* root, PyObject* recursive, Visit&& visit)
{
    int passed = pass_over_root(root);
    if (passed != 0)
        return passed < 0 ? -1 : 0;
    py::Ref top = py::Ref::borrow(root);
    while (top) {
        py::Ref walk = start_walk(top.get());
        if (!walk)
            return -1;
        bool stopped = false;
        Py_ssize_t top_depth = -1;
        int status = py::for_each(walk.get(), [&](PyObject* triple) {
            root_reached_ = true;
            py::Ref parts[3];  // foldername, subfolders, filenames
            if (py::unpack(triple, parts) < 0 || drop_backup_folder(parts[1].get()) < 0 ||
                prune_subfolders(parts[0].get(), parts[1].get()) < 0 ||
                defer_deep(parts[0].get(), parts[1].get(), top_depth) < 0)
                return -1;
            int visited = visit(parts[0].get(), parts[2].get());
            int next = visited != 0 ? visited : go_deeper(recursive);
            stopped = next > 0;
            return next;
        });
        if (status < 0 || stopped || next_deferred(top) < 0)
            return status < 0 ? -1 : stopped ? 0 : -1;
    }
    return 0;
}

}  // namespace tw::run
