#include "py/traceback.h"

#include "py/error.h"
#include "py/names.h"

#include <frameobject.h>

#include <string>

namespace tw::py {

void add_traceback_entry(const char* name, int line)
{
    PendingError error;
    Ref frame;
    try {
        std::string qualified = std::string("termweave_mira7.") + name;
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(
            PyCode_NewEmpty("termweave_mira7", qualified.c_str(), line)));
        if (code) {
            PyObject* globals = namespace_dict() ? namespace_dict() : PyEval_GetBuiltins();
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
        }
    } catch (...) {
        // No memory for the name: the entry is left out.
    }
    // Failing to decorate the traceback must not replace the real error.
    PyErr_Clear();
    error.restore();
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tw::py
