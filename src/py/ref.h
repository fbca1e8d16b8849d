// Owning reference to a Python object.
//
// Every owned PyObject* lives in a Ref from the moment it is received;
// release() hands the reference back to CPython at the edge. An empty Ref
// returned from a helper means "failed, exception set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tw::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (null allowed: the result is then empty).
    static Ref steal(PyObject* obj) noexcept
    {
        Ref ref;
        ref.ptr_ = obj;
        return ref;
    }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// Process-wide state lives until the process ends: a Ref made here is never
// destroyed, so no reference is dropped after the interpreter has finalised.
inline Ref& process_wide_ref() { return *new Ref(); }

inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace tw::py
