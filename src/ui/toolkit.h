// The window toolkit as the windows use it: `sg` looked up at each use,
// elements, and windows that belong to the main window.
#pragma once

#include "py/ops.h"
#include "ui/interrupts.h"

#include <initializer_list>
#include <span>

namespace tw::ui {

// How long one read of a window waits for an event. Reads never block
// without limit, so the windows go on checking a run in progress and a
// console interrupt is noticed within this time.
inline constexpr int k_read_timeout_ms = 100;

// The main window, which every other window belongs to.
struct Owner {
    PyObject* window;
    bool with_icon;  // "brelvo.ico" could be written and is every window's icon
    InterruptRelay* interrupts;
};

// `format % args` by the interpreter's own %-formatting, for texts that are
// not ASCII (which PyUnicode_FromFormat refuses). `args` is a tuple (or
// empty, with its error set).
py::Ref format_text(py::Id format, const py::Ref& args);

// sg.<kind>, with sg looked up now: a host may rebind it between calls.
py::Ref toolkit(py::Id kind);

// sg.<kind>(*positional, **keywords)
py::Ref element(py::Id kind, std::initializer_list<py::Arg> positional,
                std::initializer_list<py::Keyword> keywords);

// A new list holding the items (all present).
py::Ref list_of(std::span<const py::Ref> items);

// container[key]
py::Ref item(PyObject* container, py::Id key);

// How an owned window behaves.
struct Look {
    bool modal = true;       // the main window takes no input until it closes
    bool resizable = false;  // the user may resize it (its tables grow with it)
};

// A window that belongs to the owner: kept on top, modal when asked, and
// made transient for the main window so that it cannot end up behind it.
py::Ref open_owned_window(const Owner& owner, PyObject* layout, Look look);

// Makes a key (Tk's name for it, "<Escape>") report `event`, as if the
// button of that name were pressed. 0, or -1 with the exception set.
int bind_key(PyObject* window, py::Id key, py::Id event);

// window.read(timeout=k_read_timeout_ms) (or `timeout_ms`), unpacked into
// event and values; a console interrupt caught meanwhile is raised. Returns
// 0, or -1 with the exception set.
int read_window(const Owner& owner, PyObject* window, py::Ref& event, py::Ref& values,
                int timeout_ms = k_read_timeout_ms);

// 1 when the event says the window was closed (sg.WIN_CLOSED), 0 if not, -1.
int is_closed(PyObject* event);
// 1 when an event of the main window ends the program: its close box or
// "退出". 0 if not, -1 with the exception set.
int is_exit_event(PyObject* event);
// 1 when the read timed out without an event (sg.TIMEOUT_KEY), 0 if not, -1.
int is_timeout(PyObject* event);

// window[key].update(**{name: value})
int update_element(PyObject* window, py::Id key, py::Keyword change);

}  // namespace tw::ui
