#include "keyword/engine.h"

#include "py/names.h"
#include "py/ops.h"

namespace tw::keyword {

namespace {

// Errors of the expression or the template: regex cannot take what re
// took, and re then matches. Anything else (no memory, an interrupt) stays.
int leave_to_re()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
        return -1;
    PyErr_Clear();
    return 0;
}

// The regex module, imported once; null without an error when it is not
// installed (re then matches every keyword).
PyObject* regex_module()
{
    static py::Ref& module = py::process_wide_ref();
    static bool tried = false;
    if (!tried) {
        tried = true;
        module = py::Ref::steal(PyImport_ImportModule("regex"));
        if (!module && leave_to_re() < 0)
            tried = false;
    }
    return module.get();
}

long flag_of(PyObject* module, py::Id name)
{
    py::Ref value = py::getattr(module, name);
    return value ? PyLong_AsLong(value.get()) : -1;
}

// The regex method `name` of the job's matcher, called with the lock given
// back and `timeout`.
py::Ref call_matcher(const MatchJob& job, py::Id name, std::initializer_list<py::Arg> args,
                     PyObject* timeout)
{
    py::Ref method = py::getattr(job.matcher.get(), name);
    if (!method)
        return {};
    if (!timeout)
        return py::call_kw(method.get(), args, {{"concurrent"_id, Py_True}});
    return py::call_kw(method.get(), args, {{"concurrent"_id, Py_True}, {"timeout"_id, timeout}});
}

// The first `limit` items of an iterator (all when negative), in a list.
py::Ref take(PyObject* iterator, Py_ssize_t limit)
{
    py::Ref list = py::Ref::steal(PyList_New(0));
    while (list && (limit < 0 || PyList_GET_SIZE(list.get()) < limit)) {
        py::Ref item = py::Ref::steal(PyIter_Next(iterator));
        if (!item)
            return PyErr_Occurred() ? py::Ref() : list;
        if (PyList_Append(list.get(), item.get()) < 0)
            return {};
    }
    return list;
}

// A regex call, first on this thread for a short slice, then off it; or,
// for a keyword without repeats, here in one go.
py::Ref call_engine(const Keyword& keyword, MatchJob job)
{
    if (!keyword.timed)
        return perform(job, -1);
    py::Ref first = perform(job, match_limits().first_slice);
    if (first || !PyErr_ExceptionMatches(PyExc_TimeoutError))
        return first;
    PyErr_Clear();
    return finish_off_thread(std::move(job));
}

// The regex pattern for this text, or null when re matches it.
PyObject* matcher_for(const Keyword& keyword, PyObject* text)
{
    if (!keyword.matcher || !PyUnicode_CheckExact(text))
        return nullptr;
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();  // re meets the same text and says what is wrong
        return nullptr;
    }
    return text_at_risk(text, keyword.risks) ? nullptr : keyword.matcher;
}

}  // namespace

MatchLimits& match_limits()
{
    static MatchLimits limits;
    return limits;
}

int compile_matcher(PyObject* expression, PyObject* new_keyword, bool ignore_case, Compiled& out)
{
    out.matcher = {};
    Reading reading = read_expression(expression, ignore_case);
    if (reading.differs || (new_keyword && template_differs(new_keyword)))
        return 0;
    PyObject* regex = regex_module();
    if (!regex)
        return PyErr_Occurred() ? -1 : 0;
    long flags = flag_of(regex, "VERSION0"_id);
    long ignore = flags == -1 ? -1 : flag_of(regex, "IGNORECASE"_id);
    if (ignore == -1)
        return leave_to_re();
    py::Ref flag_value = py::Ref::steal(PyLong_FromLong(flags | (ignore_case ? ignore : 0)));
    py::Ref matcher = flag_value ? py::call_method(regex, "compile"_id, expression, flag_value) : py::Ref();
    if (!matcher)
        return leave_to_re();
    out.matcher = std::move(matcher);
    out.risks = reading.risks;
    out.timed = reading.repeats;
    return 0;
}

py::Ref perform(const MatchJob& job, double timeout)
{
    py::Ref seconds = timeout < 0 ? py::Ref() : py::Ref::steal(PyFloat_FromDouble(timeout));
    if (!seconds && timeout >= 0)
        return {};
    switch (job.kind) {
    case MatchJob::Kind::search:
        return call_matcher(job, "search"_id, {job.text}, seconds.get());
    case MatchJob::Kind::subn:
        return call_matcher(job, "subn"_id, {job.new_keyword, job.text}, seconds.get());
    case MatchJob::Kind::matches:
        break;
    }
    // The time limit runs from the making of the iterator over all its steps.
    py::Ref found = call_matcher(job, "finditer"_id, {job.text}, seconds.get());
    return found ? take(found.get(), job.limit) : py::Ref();
}

py::Ref search(const Keyword& keyword, PyObject* text)
{
    PyObject* matcher = matcher_for(keyword, text);
    if (!matcher)
        return py::call_method(keyword.pattern, "search"_id, text);
    return call_engine(keyword, {MatchJob::Kind::search, py::Ref::borrow(matcher), py::Ref::borrow(text), {}});
}

py::Ref subn(const Keyword& keyword, PyObject* text)
{
    PyObject* matcher = matcher_for(keyword, text);
    if (!matcher)
        return py::call_method(keyword.pattern, "subn"_id, keyword.new_keyword, text);
    return call_engine(keyword, {MatchJob::Kind::subn, py::Ref::borrow(matcher), py::Ref::borrow(text),
                        py::Ref::borrow(keyword.new_keyword)});
}

py::Ref matches(const Keyword& keyword, PyObject* text, Py_ssize_t limit)
{
    PyObject* matcher = matcher_for(keyword, text);
    if (matcher)
        return call_engine(keyword, {MatchJob::Kind::matches, py::Ref::borrow(matcher), py::Ref::borrow(text), {},
                            limit});
    py::Ref found = py::call_method(keyword.pattern, "finditer"_id, text);
    return found ? take(found.get(), limit) : py::Ref();
}

}  // namespace tw::keyword
