// The report of one run over a folder tree: what the window shows while the
// run goes on (counts, the item being worked on) and after it (the counts and
// the failures), and the cancel request that the window passes to the run.
//
// The run updates the report from the thread that runs the operation; the
// window reads the counts and the current item from its own thread, so those
// are atomic or guarded. The Python objects (the failures) are touched only
// with the interpreter's lock held.
#pragma once

#include "py/ref.h"

#include <atomic>
#include <mutex>
#include <string>

namespace tw::run {

class Report {
public:
    Report();

    // Counts of items (files, or folders for folder renaming).
    std::atomic<long> seen{0};         // taken up by the run
    std::atomic<long> changed{0};      // renamed or rewritten
    std::atomic<long> passed_over{0};  // not for this run: special, binary, own temporary files
    std::atomic<long> failed{0};       // could not be changed; see failures()

    // The path being worked on, as UTF-8 text for display.
    void set_current(std::string path);
    std::string current() const;

    // Asked by the window; the run stops between two items.
    void request_cancel() { cancel_.store(true); }
    bool cancel_requested() const { return cancel_.load(); }

    // The exceptions recorded for failed items, in walk order, each with a
    // note naming its path (a list; borrowed). Needs the interpreter's lock.
    PyObject* failures() const { return failures_.get(); }
    // Records a failure (needs the lock); 0, or -1 with the exception set.
    int record_failure(PyObject* error);

    // Paths whose folders the run renamed, old and new (for the window: the
    // chosen folder may have been renamed). Needs the lock.
    PyObject* renamed_folders() const { return renamed_folders_.get(); }

private:
    mutable std::mutex mutex_;
    std::string current_;
    std::atomic<bool> cancel_{false};
    py::Ref failures_;
    py::Ref renamed_folders_;
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

// A handler that reports its own failure instead of raising it (the
// workbook handler prints it) tells the run in progress here, so that the
// run still counts the file as failed. Outside a run it does nothing.
void note_reported_failure(PyObject* file_path, PyObject* error);

}  // namespace tw::run
