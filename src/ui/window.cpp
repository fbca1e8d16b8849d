#include "ui/ui.h"

namespace tw::ui {

py::Ref main_window()
{
    PyErr_SetString(PyExc_NotImplementedError, "main_window");
    return {};
}

}  // namespace tw::ui
