// Python operations spelled as the Python they perform.
//
//   call_method(pattern, "search"_id, text)   ~  pattern.search(text)
//   getattr(doc, "paragraphs"_id)             ~  doc.paragraphs
//
// "..."_id is an interned str made once per process for each distinct
// literal; it serves for attribute names, keyword names and constant texts.
#pragma once

#include "py/ref.h"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace tw::py {

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// An interned str, made on first use. get() is borrowed; it is null (with
// MemoryError set) only when the interpreter could not make the string, and
// the next get() tries again. Call it only with no exception pending.
struct Id {
    PyObject* (*get)();
    const char* text;
};

template <Literal L>
PyObject* intern_once()
{
    static PyObject* str = nullptr;
    if (!str)
        str = PyUnicode_InternFromString(L.text);
    return str;
}

template <Literal L>
constexpr Id operator""_id()
{
    return Id{&intern_once<L>, L.text};
}

// Argument adapters: anything that names an object for a call.
inline PyObject* as_ptr(PyObject* obj) { return obj; }
inline PyObject* as_ptr(const Ref& ref) { return ref.get(); }
inline PyObject* as_ptr(Id id) { return id.get(); }

// An argument of call_kw: an object, or an Id made into one only when the
// call is about to be made, so that no name is made while an error is pending.
class Arg {
public:
    Arg(PyObject* obj) : obj_(obj) {}
    Arg(const Ref& ref) : obj_(ref.get()) {}
    Arg(Id id) : id_(id.get) {}
    PyObject* get() const { return id_ ? id_() : obj_; }

private:
    PyObject* obj_ = nullptr;
    PyObject* (*id_)() = nullptr;
};

// Fills argv from the arguments in order, stopping at the first one that
// is missing. True when all are present; otherwise an exception is pending.
bool resolve_all(PyObject** argv, std::initializer_list<Arg> args);

Ref getattr(PyObject* obj, Id name);
int setattr(PyObject* obj, Id name, PyObject* value);

template <class... Args>
Ref call(PyObject* callable, const Args&... args)
{
    PyObject* argv[sizeof...(Args) + 1] = {};
    if (!resolve_all(argv + 1, {Arg(args)...}))
        return {};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Ref call_method(PyObject* obj, Id name, const Args&... args)
{
    PyObject* argv[sizeof...(Args) + 2] = {obj};
    if (!resolve_all(argv + 1, {Arg(args)..., Arg(name)}))
        return {};
    PyObject* method = argv[sizeof...(Args) + 1];
    return Ref::steal(PyObject_VectorcallMethod(method, argv, sizeof...(Args) + 1, nullptr));
}

// callable(*positional, **{name: value ...}), keywords in the order given.
struct Keyword {
    Id name;
    Arg value;
};
Ref call_kw(PyObject* callable, std::initializer_list<Arg> positional,
            std::initializer_list<Keyword> keywords);

// Truth of obj: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }
// obj == other, by the interpreter's rich comparison: 1, 0 or -1.
inline int equals(PyObject* obj, PyObject* other)
{
    return PyObject_RichCompareBool(obj, other, Py_EQ);
}
inline int equals(PyObject* obj, Id text)
{
    PyObject* str = text.get();
    return str ? equals(obj, str) : -1;
}

// The UTF-8 of a str; false with TypeError for anything else, or with the
// error of a str that has no UTF-8 (a lone surrogate).
bool utf8_of(PyObject* text, std::string& out);
// A str from UTF-8.
Ref str_from_utf8(std::string_view text);

// Runs body(item) for each item of an iterable. body returns 0 to go on,
// 1 to stop early, -1 on error. Returns -1 on error, else 0.
template <class Body>
int for_each(PyObject* iterable, Body&& body)
{
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it)
        return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        int status = body(item.get());
        if (status < 0)
            return -1;
        if (status > 0)
            return 0;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace tw::py

using tw::py::operator""_id;
