// The pending exception, taken out of the interpreter so that more C API
// calls can be made while it waits, then put back, chained or dropped.
#pragma once

#include "py/ref.h"

namespace tw::py {

class PendingError {
public:
    // Takes the pending exception, normalised, with its traceback attached.
    PendingError() noexcept;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // The exception instance (borrowed); null when none was pending.
    PyObject* value() const noexcept { return value_.get(); }
    bool matches(PyObject* type) const noexcept;

    // Makes it the pending exception again.
    void restore() noexcept;
    // A newer exception is pending: this one becomes its context, as for an
    // exception raised while handling another, unless the newer one is this
    // same exception re-raised (an exception is never its own context).
    void chain_into_pending() noexcept;
    // Adds a note (PEP 678) to the exception. `note` may be null when making
    // it failed; that failure, like a failure to add it, is dropped, so the
    // exception itself is never replaced. Call with no other error pending.
    void add_note(PyObject* note) noexcept;

private:
    Ref type_, value_, traceback_;
};

// The `errno` of an exception instance (an OSError), or 0 when it has none
// that reads as a number. Call it with no exception pending; it leaves none.
long errno_of(PyObject* error) noexcept;

// A body that reports failure must have set an error; one that did not
// gets SystemError here, so that nothing reads a missing exception.
void ensure_error_set() noexcept;

// Tidies up on the way out of a failure: `tidy` runs with the pending
// exception put aside, a failure of its own (a negative result) is dropped,
// and the pending exception is what the caller sees. Returns -1.
template <typename Tidy>
int fail_after(Tidy&& tidy)
{
    ensure_error_set();
    PendingError error;
    if (tidy() < 0)
        PyErr_Clear();
    error.restore();
    return -1;
}

}  // namespace tw::py
