// Messages and questions to the user in windows owned by the main window:
// modal and on top, so that they can neither hide behind the main window
// nor be missed.
#pragma once

#include "ui/toolkit.h"

namespace tw::ui {

// Shows `text` until the user presses "确定" (or Enter or Esc) or closes
// the window. A long text (many lines, or very long ones) is shown in a
// scrollable box. Returns 0, or -1 with the exception set.
int show_message(const Owner& owner, PyObject* text);

// Asks `question` with two buttons; `first` is set when the user presses
// the first one. Esc or the close box answer with the second, which must be
// the safe answer. Returns 0, or -1 with the exception set.
int ask(const Owner& owner, py::Id question, py::Id first_button, py::Id second_button,
        bool& first);

// Reads the window until the user answers: the event that is not a timeout.
// 0 with `event` set, or -1 with the exception set.
int wait_for_answer(const Owner& owner, PyObject* window, py::Ref& event);

// Closes a message that the user answered with Enter or Esc as "确定" does.
// 0, or -1.
int bind_closing_keys(PyObject* window);

}  // namespace tw::ui
