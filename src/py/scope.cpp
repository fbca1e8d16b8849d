#include "py/scope.h"

namespace tw::py {

int exit_scope_with_error(PyObject* exit)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(tb);

    Ref result = call(exit, owned_type, owned_value, tb ? tb : Py_None);
    if (!result) {
        // An error raised by __exit__ replaces the original, which becomes its context.
        PyObject *new_type, *new_value, *new_tb;
        PyErr_Fetch(&new_type, &new_value, &new_tb);
        PyErr_NormalizeException(&new_type, &new_value, &new_tb);
        PyException_SetContext(new_value, owned_value.release());
        PyErr_Restore(new_type, new_value, new_tb);
        return -1;
    }
    int suppressed = truth(result.get());
    if (suppressed < 0)
        return -1;
    if (suppressed)
        return 0;
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
    return -1;
}

}  // namespace tw::py
