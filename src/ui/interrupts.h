// Console interrupts (Ctrl+C) while the windows are open.
//
// The interpreter raises an interrupt in whatever Python code the event
// thread runs next. Inside the toolkit that is mostly a Tk callback, where
// tkinter prints it and carries on, or a bare `except:` of the toolkit,
// which swallows it: the program would not end. So while main() runs, the
// relay takes the interrupt itself. Its handler only records it; the next
// read of a window (at most one read timeout later) raises it, and main()
// stops the run in progress and leaves.
#pragma once

#include "py/ref.h"

namespace tw::ui {

class InterruptRelay {
public:
    InterruptRelay() = default;
    // Puts back what start() and watch() replaced.
    ~InterruptRelay();
    InterruptRelay(const InterruptRelay&) = delete;
    InterruptRelay& operator=(const InterruptRelay&) = delete;

    // Takes over SIGINT when the interpreter's own handler has it (a host's
    // handler, or a call off the main thread, is left alone). 0, or -1.
    int start();
    // Also takes the interrupts that reach tkinter's report of a failed
    // callback, on the Tk root behind `window` once that exists (after the
    // window's first read); ordinary errors are still reported as tkinter
    // does. 0, or -1 with the exception set.
    int watch(PyObject* window);

    bool has_caught() const;
    // Sets the first interrupt caught as the pending exception; -1.
    int raise_caught();

private:
    py::Ref caught_;            // a list of the interrupts caught
    py::Ref signal_module_;     // set while SIGINT is ours
    py::Ref previous_handler_;
    py::Ref root_;              // set while the root's reports are ours
};

}  // namespace tw::ui
