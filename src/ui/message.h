// A message to the user in a window owned by the main window: modal and on
// top, so that it can neither hide behind the main window nor be missed.
#pragma once

#include "ui/toolkit.h"

namespace tw::ui {

// Shows `text` until the user presses "确定" or closes the window. A long
// text (many lines, or very long ones) is shown in a scrollable box.
// Returns 0, or -1 with the exception set.
int show_message(const Owner& owner, PyObject* text);

}  // namespace tw::ui
