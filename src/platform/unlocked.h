// The interpreter's lock released while the disk works, so that other
// threads (the window's) go on meanwhile.
#pragma once

#include "py/ref.h"

#include <utility>

namespace tw::platform {

// The interpreter's lock released for the life of this object, so that
// other threads (the window's) go on while the disk keeps this one
// waiting. No Python object may be touched in its scope outside a Relocked.
class Unlocked {
public:
    Unlocked() { release(); }
    ~Unlocked() { acquire(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    void acquire()
    {
        if (saved_)
            PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }
    void release()
    {
        if (!saved_)
            saved_ = PyEval_SaveThread();
    }

private:
    PyThreadState* saved_ = nullptr;
};

// The lock held again inside an Unlocked scope, for a call back into Python.
class Relocked {
public:
    explicit Relocked(Unlocked& unlocked) : unlocked_(unlocked) { unlocked_.acquire(); }
    ~Relocked() { unlocked_.release(); }
    Relocked(const Relocked&) = delete;
    Relocked& operator=(const Relocked&) = delete;

private:
    Unlocked& unlocked_;
};

}  // namespace tw::platform
