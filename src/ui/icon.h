// The window icon as the module carries it: standard base64 of an ICO file.
#pragma once

#include "py/ref.h"

namespace tw::ui {

// The icon text as a str, or empty with the exception set.
py::Ref icon_text();

}  // namespace tw::ui
