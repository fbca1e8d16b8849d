// A pointer installed on the calling thread under a name, in the
// interpreter's dictionary of the thread, so that every copy of this code
// in the process finds it (the test probe is built from these same
// sources). Installing over an earlier one keeps that one, which comes back
// when this one goes.
#pragma once

#include "py/ref.h"

namespace tw::platform {

inline constexpr const char* kWriteBatchSlot = "termweave_mira7.write_batch";
inline constexpr const char* kRunRecordSlot = "termweave_mira7.run_record";
inline constexpr const char* kExpectedFileSlot = "termweave_mira7.expected_file";

class ThreadSlot {
public:
    explicit ThreadSlot(const char* name) : name_(name) {}
    ~ThreadSlot() { uninstall(); }
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // 0, or -1 with the exception set.
    int install(void* pointer);
    // Puts back what was there before, keeping any pending exception.
    void uninstall();
    bool installed() const { return static_cast<bool>(installed_); }

    // What is installed under `name` on this thread, or null. Never fails.
    static void* find(const char* name);

private:
    const char* name_;
    py::Ref installed_;  // the capsule naming this one
    py::Ref previous_;   // and the one it replaced
};

}  // namespace tw::platform
