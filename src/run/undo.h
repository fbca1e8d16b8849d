// Undoing the last run on a folder from its record: what it would do, in
// the order it would do it (each file to restore, each rename to reverse,
// the last first), and doing it. What is no longer as the run left it is
// left alone with the reason. Files get their old content back through the
// same all-or-nothing replacement as a run, or, where the run kept the old
// file itself, by moving it back; renames are reversed without ever
// replacing anything. An undo is itself recorded as it goes, so a crash
// during one is settled like a run's, and an undo may then be started
// again for what is left.
#pragma once

#include "platform/core/store.h"
#include "platform/fs.h"
#include "run/plan.h"
#include "run/report.h"

#include <memory>

namespace tw::run {

class Undo {
public:
    Undo() = default;
    Undo(const Undo&) = delete;
    Undo& operator=(const Undo&) = delete;

    // Takes the record of the last run on `folder` (a str; empty for the
    // last run of all) for this process, settling it if it was cut short;
    // what settling found goes to `report`'s notes. 0 (see found()), or -1
    // with the exception set: RuntimeError "另一个替换正在处理此文件夹" when
    // a run on the folder, or on one inside or around it, still goes on.
    int open(PyObject* folder, Report& report);
    // What undoing would do, nothing changed. 0, or -1.
    int plan(Plan& plan);
    // After plan(): whether there is anything to undo (a run that changed
    // something and was not undone yet).
    bool found() const { return found_; }
    // The folder of the run, where it is now: a str, or empty with the
    // exception set. Only when a record was found.
    py::Ref folder() const;
    // The operation the run made: replace_folder_names, replace_file_names
    // or replace_file_contents.
    std::string operation() const;
    // Undoes it, counting in `report` (changed: put back; passed over: left
    // alone; failed: an error, recorded). Stops between two steps when the
    // report is asked to. 0, or -1 with the exception set for an error that
    // ends it (out of memory, a full disk).
    int act(Report& report);
    // Gives the record back (ended, when the undo finished).
    void close() noexcept;
    ~Undo() { close(); }

private:
    std::unique_ptr<platform::native::Record> record_;
    bool found_ = false;
};

}  // namespace tw::run
