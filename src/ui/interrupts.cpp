#include "ui/interrupts.h"

#include "py/boundary.h"
#include "py/error.h"
#include "py/ops.h"

namespace tw::ui {

namespace {

// The SIGINT handler, called as handler(signum, frame); `self` is the list
// of interrupts caught. It raises nothing, so no `except:` can lose it.
PyObject* record_signal(PyObject* self, PyObject* const*, Py_ssize_t) noexcept
{
    return py::guard([&]() -> PyObject* {
        py::Ref interrupt = py::Ref::steal(PyObject_CallNoArgs(PyExc_KeyboardInterrupt));
        if (!interrupt || PyList_Append(self, interrupt.get()) < 0)
            return nullptr;
        return Py_NewRef(Py_None);
    });
}

// root.report_callback_exception(exc, val, tb); `self` is (caught, root).
PyObject* relay_callback_exception(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "report_callback_exception() takes 3 arguments");
            return nullptr;
        }
        PyObject* caught = PyTuple_GET_ITEM(self, 0);
        PyObject* root = PyTuple_GET_ITEM(self, 1);
        PyObject* error = args[1];
        if (PyExceptionInstance_Check(error) && !PyErr_GivenExceptionMatches(error, PyExc_Exception)) {
            if (PyList_Append(caught, error) < 0)
                return nullptr;
            // Ends the Tk loop now: the callback's own work may never finish.
            return py::call_method(root, "quit"_id).release();
        }
        py::Ref report = py::getattr(reinterpret_cast<PyObject*>(Py_TYPE(root)),
                                     "report_callback_exception"_id);
        return report ? py::call(report.get(), root, args[0], args[1], args[2]).release() : nullptr;
    });
}

PyMethodDef g_signal_method = {
    "record_interrupt",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record_signal)),
    METH_FASTCALL,
    nullptr,
};

PyMethodDef g_report_method = {
    "report_callback_exception",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relay_callback_exception)),
    METH_FASTCALL,
    nullptr,
};

// Whether `handler` is the interpreter's own SIGINT handler: 1, 0 or -1.
int is_default_handler(PyObject* signal, PyObject* handler)
{
    py::Ref own = py::getattr(signal, "default_int_handler"_id);
    return own ? handler == own.get() : -1;
}

}  // namespace

InterruptRelay::~InterruptRelay()
{
    py::PendingError error;
    if (signal_module_) {
        py::Ref number = py::getattr(signal_module_.get(), "SIGINT"_id);
        if (!number || !py::call_method(signal_module_.get(), "signal"_id, number,
                                        previous_handler_))
            PyErr_Clear();
    }
    if (root_) {
        PyObject* name = "report_callback_exception"_id.get();
        if (!name || PyObject_DelAttr(root_.get(), name) < 0)
            PyErr_Clear();
    }
    error.restore();
}

int InterruptRelay::start()
{
    caught_ = py::Ref::steal(PyList_New(0));
    py::Ref signal = caught_ ? py::Ref::steal(PyImport_ImportModule("signal")) : py::Ref();
    py::Ref number = signal ? py::getattr(signal.get(), "SIGINT"_id) : py::Ref();
    py::Ref current = number ? py::call_method(signal.get(), "getsignal"_id, number) : py::Ref();
    int ours_to_take = current ? is_default_handler(signal.get(), current.get()) : -1;
    if (ours_to_take <= 0)
        return ours_to_take;
    py::Ref handler = py::Ref::steal(PyCFunction_New(&g_signal_method, caught_.get()));
    if (!handler)
        return -1;
    if (!py::call_method(signal.get(), "signal"_id, number, handler)) {
        // Only the main thread may set handlers; elsewhere none reach us.
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    signal_module_ = signal;
    previous_handler_ = current;
    return 0;
}

int InterruptRelay::watch(PyObject* window)
{
    if (root_ || !caught_)
        return 0;
    py::Ref tk_window = py::getattr(window, "TKroot"_id);
    if (!tk_window || tk_window.get() == Py_None)
        return tk_window ? 0 : -1;
    py::Ref root = py::call_method(tk_window.get(), "_root"_id);
    py::Ref self = root ? py::Ref::steal(PyTuple_Pack(2, caught_.get(), root.get())) : py::Ref();
    py::Ref relay = self ? py::Ref::steal(PyCFunction_New(&g_report_method, self.get())) : py::Ref();
    if (!relay || py::setattr(root.get(), "report_callback_exception"_id, relay.get()) < 0)
        return -1;
    root_ = root;
    return 0;
}

bool InterruptRelay::has_caught() const
{
    return caught_ && PyList_GET_SIZE(caught_.get()) > 0;
}

int InterruptRelay::raise_caught()
{
    py::Ref error = py::Ref::borrow(PyList_GET_ITEM(caught_.get(), 0));
    if (PyList_SetSlice(caught_.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0)
        return -1;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return -1;
}

}  // namespace tw::ui
