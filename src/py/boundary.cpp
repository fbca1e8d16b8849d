#include "py/boundary.h"

namespace tw::py {

// Called from a catch block: the exception in flight is rethrown to learn its kind.
void set_error_from_cpp_exception() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "termweave_mira7: unexpected C++ error: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "termweave_mira7: unexpected C++ error");
    }
}

}  // namespace tw::py
