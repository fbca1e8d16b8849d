// The record of an acting run (see platform/core/record.h and store.h):
// before the run changes anything it takes the chosen folder for itself,
// settles what an interrupted run there left, and starts its record; the
// file-system layer then tells the record of every temporary file,
// replacement and rename; when the run is over, whatever ended it, the
// record ends and the records it outdates go.
#pragma once

#include "platform/core/store.h"
#include "platform/fs.h"
#include "run/report.h"

#include <memory>

namespace tw::run {

class RunRecord {
public:
    RunRecord() = default;
    ~RunRecord() { finish(); }
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // For a run over `root` by `operation`: 0, or -1 with the exception set
    // (RuntimeError "另一个替换正在处理此文件夹" when a run on this folder,
    // or on one inside or around it, is still going). Without a per-user
    // state folder the run goes on without a record. What settling found
    // goes to the report's notes.
    int start(PyObject* root, const char* operation, bool undoable, Report& report);
    // The chosen folder itself was renamed to `new_root`.
    void root_renamed(PyObject* new_root);
    // The run is over. Never fails.
    void finish() noexcept;

private:
    std::unique_ptr<platform::native::Record> record_;
    platform::RecordScope scope_;  // installed while record_ is there
};

// The lines that tell the user what settling found.
py::Ref settle_note_text(const platform::native::SettleNote& note);

// Raises RuntimeError "另一个替换正在处理此文件夹：<folder>". Returns -1.
int refuse_busy(const platform::native::String& busy_root);

}  // namespace tw::run
