#include "platform/thread_slot.h"

#include "py/error.h"

namespace tw::platform {

namespace {

py::Ref key_for(const char* name)
{
    return py::Ref::steal(PyUnicode_InternFromString(name));
}

}  // namespace

int ThreadSlot::install(void* pointer)
{
    PyObject* dict = PyThreadState_GetDict();
    py::Ref key = dict ? key_for(name_) : py::Ref();
    if (!key) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "no thread state to install a run's state in");
        return -1;
    }
    PyObject* before = PyDict_GetItemWithError(dict, key.get());
    if (!before && PyErr_Occurred())
        return -1;
    // Only a capsule of this name counts: anything else under the key is
    // not ours, and is neither used nor kept.
    previous_ = before && PyCapsule_IsValid(before, name_) ? py::Ref::borrow(before) : py::Ref();
    py::Ref capsule = py::Ref::steal(PyCapsule_New(pointer, name_, nullptr));
    if (!capsule || PyDict_SetItem(dict, key.get(), capsule.get()) < 0)
        return -1;
    installed_ = capsule;
    return 0;
}

void ThreadSlot::uninstall()
{
    if (!installed_)
        return;
    py::PendingError pending;
    PyObject* dict = PyThreadState_GetDict();
    py::Ref key = dict ? key_for(name_) : py::Ref();
    PyObject* now = key ? PyDict_GetItemWithError(dict, key.get()) : nullptr;
    if (now == installed_.get()) {
        int status = previous_ ? PyDict_SetItem(dict, key.get(), previous_.get()) : PyDict_DelItem(dict, key.get());
        if (status < 0)
            PyErr_Clear();
    }
    PyErr_Clear();
    installed_ = py::Ref();
    previous_ = py::Ref();
    pending.restore();
}

void* ThreadSlot::find(const char* name)
{
    PyObject* dict = PyThreadState_GetDict();
    py::Ref key = dict ? key_for(name) : py::Ref();
    PyObject* capsule = key ? PyDict_GetItemWithError(dict, key.get()) : nullptr;
    if (!capsule || !PyCapsule_IsValid(capsule, name)) {
        PyErr_Clear();  // none installed (or no memory to look): as if none
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, name);
}

}  // namespace tw::platform
