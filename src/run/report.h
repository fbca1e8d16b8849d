// The report of one run over a folder tree: what the window shows while the
// run goes on (counts, the item being worked on) and after it (the counts and
// the failures), and the cancel request that the window passes to the run.
//
// The run updates the report from the thread that runs the operation; the
// window reads the counts and the current item from its own thread, so those
// are atomic or guarded. The Python objects (the failures, the renamed
// folders) are touched only with the interpreter's lock held.
#pragma once

#include "py/ref.h"
#include "run/options.h"

#include <atomic>
#include <mutex>
#include <string>

namespace tw::run {

class Report {
public:
    Report() = default;
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // What the user chose for this run; set before the run starts.
    Options options;

    // Counts of items: files, or folders for folder renaming. Every item
    // taken up is seen; it then ends up changed, passed over, failed, or
    // left as it was (no match).
    std::atomic<long> seen{0};         // taken up by the run
    std::atomic<long> changed{0};      // renamed or rewritten
    std::atomic<long> passed_over{0};  // not for this run: special, binary, own temporary files
    std::atomic<long> failed{0};       // could not be changed; see failures()
    // Folders whose listing failed: what lies beneath them was not reached.
    // Not items, so not in `failed`; their errors are in failures().
    std::atomic<long> unlisted_folders{0};

    // The path being worked on, as UTF-8 text for display.
    void set_current(std::string path);
    std::string current() const;

    // Asked by the window; the run stops between two items.
    void request_cancel() { cancel_.store(true); }
    bool cancel_requested() const { return cancel_.load(); }

    // The exceptions recorded for failed items and unlisted folders, in walk
    // order, each with a note naming its path: a list (borrowed), or null with
    // MemoryError set when it cannot be made. Needs the interpreter's lock.
    PyObject* failures() const;
    // Records the failure of an item (`failed` counts it). Needs the lock;
    // 0, or -1 with the exception set.
    int record_failure(PyObject* error);
    // Records a folder that could not be listed (`unlisted_folders`).
    int record_unlisted_folder(PyObject* error);

    // (old path, new path) of each folder the run renamed, in the order of
    // the renames (for the window: the chosen folder itself may have been
    // renamed, and then it comes first). A list (borrowed), or null with
    // MemoryError set. Needs the lock.
    PyObject* renamed_folders() const;
    int record_renamed_folder(PyObject* old_path, PyObject* new_path);

    // What the run found to settle before it began (an earlier run on the
    // folder cut short by a crash): lines for the user, a list of str
    // (borrowed), or null with MemoryError set. Needs the lock.
    PyObject* notes() const;
    int record_note(PyObject* line);

private:
    mutable std::mutex mutex_;
    std::string current_;
    std::atomic<bool> cancel_{false};
    // Made on first use, so that making a report never leaves an error pending.
    mutable py::Ref failures_;
    mutable py::Ref renamed_folders_;
    mutable py::Ref notes_;
};

// The report of the run in progress on this thread, or null. The window
// installs one around its call of an operation; an operation called from
// Python with none installed runs with a report of its own.
Report* current_report();

class ReportScope {
public:
    explicit ReportScope(Report& report);
    ~ReportScope();
    ReportScope(const ReportScope&) = delete;
    ReportScope& operator=(const ReportScope&) = delete;

private:
    Report* previous_;
};

// A cancel that comes in the middle of one item (a slow match that the run
// stops waiting for) ends the work on that item with this error pending. It
// is not an Exception, so no handler's `except Exception` takes it; the run
// takes it back out and reports the item as not done.
void stop_mid_item();
// True when the pending error is the one stop_mid_item sets.
bool stopped_mid_item();

}  // namespace tw::run
