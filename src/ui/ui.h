// The main window.
#pragma once

#include "py/ref.h"

namespace tw::ui {

py::Ref main_window();

}  // namespace tw::ui
