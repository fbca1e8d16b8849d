// One task run off the event thread, so that the windows keep handling
// events while it works.
//
// The task runs on a thread of its own, which holds the interpreter's lock
// only while it runs (the interpreter hands the lock back and forth between
// it and the event thread). A run report is installed for it there: the
// windows read its counts and current path, and ask it to stop through it.
// The thread is always joined, never left behind: destroying a run that is
// still going asks it to stop and waits for it with the lock released.
#pragma once

#include "py/error.h"
#include "run/report.h"

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

namespace tw::ui {

class BackgroundRun {
public:
    // Runs on the worker thread, holding the lock: a result, or empty with
    // the exception set.
    using Task = std::function<py::Ref()>;

    // Needs the lock (the report holds Python objects). When the report
    // could not be made, an exception is set: check ready(). The window's
    // runs match without holding the lock (see run::Options::from_window).
    BackgroundRun() { report_.options.from_window = true; }
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;

    bool ready() const { return report_.failures() != nullptr; }

    // Starts the task; 0, or -1 with RuntimeError set (no thread could be made).
    int start(Task task);

    // What the user chose for the task; set before start().
    run::Options& options() { return report_.options; }

    bool finished() const { return finished_.load(std::memory_order_acquire); }
    const run::Report& report() const { return report_; }
    // Asks the task to stop between two items (it finishes the one in hand).
    void cancel() { report_.request_cancel(); }
    bool cancelled() const { return report_.cancel_requested(); }

    // Waits for the thread with the lock released; the caller's pending
    // exception, if any, is left as it is.
    void join() noexcept;
    // cancel() and join(): used when the program is leaving.
    void stop() noexcept;

    // After join(): the task's result, or empty with its exception set again.
    py::Ref take_result();

private:
    void work() noexcept;

    run::Report report_;
    Task task_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    py::Ref result_;
    std::optional<py::PendingError> error_;
};

}  // namespace tw::ui
