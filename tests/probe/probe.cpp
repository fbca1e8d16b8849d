// A test-only module that reaches what the shipped module keeps out of its
// namespace: the plans that a preview will show, the run report that the
// window reads, the options a run is given, and the window itself with a
// run that can be held between two items. It is built from the same sources
// and works on the namespace of the imported termweave_mira7, so the code
// under test is the code that ships.
#include "content/content.h"
#include "module/function.h"
#include "module/functions.h"
#include "py/boundary.h"
#include "py/builtins.h"
#include "py/names.h"
#include "py/error.h"
#include "py/scope.h"
#include "rename/rename.h"
#include "run/hold.h"
#include "run/options.h"
#include "run/report.h"
#include "ui/ui.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

using namespace tw;
using py::Ref;

const char* kind_name(run::ItemKind kind)
{
    switch (kind) {
    case run::ItemKind::folder_name: return "folder_name";
    case run::ItemKind::file_name: return "file_name";
    case run::ItemKind::file_content: return "file_content";
    case run::ItemKind::folder_listing: return "folder_listing";
    }
    return "?";
}

const char* outcome_name(run::Outcome outcome)
{
    switch (outcome) {
    case run::Outcome::change: return "change";
    case run::Outcome::failure: return "failure";
    case run::Outcome::passed_over: return "passed_over";
    }
    return "?";
}

const char* reason_name(run::PassOver reason)
{
    switch (reason) {
    case run::PassOver::none: return "";
    case run::PassOver::not_regular: return "not_regular";
    case run::PassOver::own_temporary: return "own_temporary";
    case run::PassOver::binary: return "binary";
    case run::PassOver::old_format: return "old_format";
    }
    return "?";
}

PyObject* or_none(const Ref& ref) { return ref ? ref.get() : Py_None; }

Ref report_dict(run::Report& report)
{
    std::string current = report.current();
    PyObject* failures = report.failures();
    PyObject* renamed = failures ? report.renamed_folders() : nullptr;
    if (!renamed)
        return {};
    return Ref::steal(Py_BuildValue(
        "{s:l,s:l,s:l,s:l,s:l,s:s#,s:O,s:O}", "seen", report.seen.load(), "changed",
        report.changed.load(), "passed_over", report.passed_over.load(), "failed",
        report.failed.load(), "unlisted_folders", report.unlisted_folders.load(), "current",
        current.data(), static_cast<Py_ssize_t>(current.size()), "failures", failures,
        "renamed_folders", renamed));
}

int bind_module()
{
    Ref module = Ref::steal(PyImport_ImportModule("termweave_mira7"));
    Ref builtins = module ? Ref::steal(PyImport_ImportModule("builtins")) : Ref();
    if (!builtins || py::bind_builtins(builtins.get()) < 0)
        return -1;
    py::set_namespace_dict(PyModule_GetDict(module.get()));
    return 0;
}

using PlanFn = int (*)(PyObject*, PyObject*, PyObject*, PyObject*, run::Plan&);
using RunFn = Ref (*)(PyObject*, PyObject*, PyObject*, PyObject*);

struct Mode {
    const char* name;
    PlanFn plan;
    RunFn run;
};

const Mode g_modes[] = {
    {"folders", rename::plan_folder_names, rename::replace_folder_names},
    {"files", rename::plan_file_names, rename::replace_file_names},
    {"content", content::plan_file_contents, content::replace_file_contents},
};

const Mode* find_mode(PyObject* name)
{
    for (const Mode& mode : g_modes) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, mode.name) == 0)
            return &mode;
    }
    PyErr_Format(PyExc_ValueError, "no mode %R", name);
    return nullptr;
}

Ref plan_items(const run::Plan& plan)
{
    Ref items = Ref::steal(PyList_New(0));
    for (const run::PlannedItem& item : plan) {
        if (!items)
            return {};
        Ref entry = Ref::steal(Py_BuildValue("{s:s,s:s,s:O,s:O,s:n,s:O,s:s}", "kind", kind_name(item.kind),
                                             "outcome", outcome_name(item.outcome), "path",
                                             or_none(item.path), "new_path", or_none(item.new_path),
                                             "matches", item.matches, "problem", or_none(item.problem),
                                             "reason", reason_name(item.reason)));
        if (!entry || PyList_Append(items.get(), entry.get()) < 0)
            return {};
    }
    return items;
}

// plan(mode, root, old, new, recursive) -> (items, report)
PyObject* probe_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 5)
            return PyErr_Format(PyExc_TypeError, "plan() takes 5 arguments");
        const Mode* mode = find_mode(args[0]);
        if (!mode || bind_module() < 0)
            return nullptr;
        run::Report report;
        run::ReportScope scope(report);
        run::Plan plan;
        if (mode->plan(args[1], args[2], args[3], args[4], plan) < 0)
            return nullptr;
        Ref items = plan_items(plan);
        Ref counts = items ? report_dict(report) : Ref();
        return counts ? PyTuple_Pack(2, items.get(), counts.get()) : nullptr;
    });
}

run::Report* g_active = nullptr;

// run(mode, root, old, new, recursive) -> (result or the exception raised, report)
PyObject* probe_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 5)
            return PyErr_Format(PyExc_TypeError, "run() takes 5 arguments");
        const Mode* mode = find_mode(args[0]);
        if (!mode || bind_module() < 0)
            return nullptr;
        auto report = std::make_unique<run::Report>();
        run::ReportScope scope(*report);
        g_active = report.get();
        Ref result = mode->run(args[1], args[2], args[3], args[4]);
        g_active = nullptr;
        if (!result) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                return nullptr;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyErr_NormalizeException(&type, &value, &traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            result = Ref::steal(value);
        }
        Ref counts = report_dict(*report);
        return counts ? PyTuple_Pack(2, result.get(), counts.get()) : nullptr;
    });
}

// cancel(): asks the run in progress to stop, as the window's button does.
PyObject* probe_cancel(PyObject*, PyObject*) noexcept
{
    if (g_active)
        g_active->request_cancel();
    Py_RETURN_NONE;
}

// reported_failure(path, error): what the workbook handler does when it
// prints its failure line.
PyObject* probe_reported_failure(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    if (nargs != 2)
        return PyErr_Format(PyExc_TypeError, "reported_failure() takes 2 arguments");
    run::note_reported_failure(args[0], args[1]);
    Py_RETURN_NONE;
}

// ---- the window, as built from these sources --------------------------------------

// main(): the window, running the probe's own copy of the code (so that
// hold() reaches its runs), on the namespace of termweave_mira7.
PyObject* probe_main(PyObject*, PyObject*) noexcept
{
    return py::guard([&]() -> PyObject* {
        return bind_module() < 0 ? nullptr : ui::main_window().release();
    });
}

// functions() -> {name: function}: the module's functions as built here,
// bound to termweave_mira7's namespace; a test puts the operations in that
// namespace so that the window's runs go through this copy of the run code.
PyObject* probe_functions(PyObject*, PyObject*) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (bind_module() < 0 || module::ready_function_type() < 0)
            return nullptr;
        PyObject* globals = py::namespace_dict();
        Ref functions = Ref::steal(PyDict_New());
        for (const module::FunctionSpec& spec : module::function_table()) {
            Ref function = functions ? module::make_function(spec, globals) : Ref();
            if (!function || PyDict_SetItemString(functions.get(), spec.name, function.get()) < 0)
                return nullptr;
        }
        return functions.release();
    });
}

const char* scope_name(run::NameScope scope)
{
    switch (scope) {
    case run::NameScope::whole: return "whole";
    case run::NameScope::stem: return "stem";
    case run::NameScope::extension: return "extension";
    }
    return "?";
}

// current_options() -> dict: the options of the run in progress on this
// thread, as the operations see them.
PyObject* probe_current_options(PyObject*, PyObject*) noexcept
{
    return py::guard([&]() -> PyObject* {
        const run::Options& options = run::current_options();
        return Py_BuildValue("{s:O,s:O,s:s,s:O,s:O,s:O,s:O,s:O}",
                             "case_sensitive", options.case_sensitive ? Py_True : Py_False,
                             "regular_expression", options.regular_expression ? Py_True : Py_False,
                             "name_scope", scope_name(options.name_scope),
                             "skip_hidden", options.skip_hidden ? Py_True : Py_False,
                             "include_masks", or_none(options.include_masks),
                             "exclude_masks", or_none(options.exclude_masks),
                             "left_out", or_none(options.left_out),
                             "from_window", options.from_window ? Py_True : Py_False);
    });
}

// ---- holding a run between two items --------------------------------------------

struct Hold {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool planning = false;
    long at = 0;       // the run is held when it has taken up this many items
    bool held = false;
    bool released = false;
};

Hold g_hold;

// hold(at, planning=False): the next run (or plan) that has taken up `at`
// items waits before it takes up another, until release() or a cancel.
PyObject* probe_hold(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    if (nargs < 1 || nargs > 2)
        return PyErr_Format(PyExc_TypeError, "hold() takes 1 or 2 arguments");
    long at = PyLong_AsLong(args[0]);
    int planning = nargs == 2 ? PyObject_IsTrue(args[1]) : 0;
    if ((at == -1 && PyErr_Occurred()) || planning < 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_hold.mutex);
    g_hold.armed = true;
    g_hold.planning = planning > 0;
    g_hold.at = at;
    g_hold.held = g_hold.released = false;
    Py_RETURN_NONE;
}

// wait_held(seconds) -> bool: whether a run is held now, waiting up to `seconds`.
PyObject* probe_wait_held(PyObject*, PyObject* seconds) noexcept
{
    double limit = PyFloat_AsDouble(seconds);
    if (limit == -1.0 && PyErr_Occurred())
        return nullptr;
    bool held = false;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(g_hold.mutex);
    held = g_hold.changed.wait_for(lock, std::chrono::duration<double>(limit),
                                   [] { return g_hold.held; });
    lock.unlock();
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(held);
}

// release(): lets a held run go on (and disarms a hold not yet reached).
PyObject* probe_release(PyObject*, PyObject*) noexcept
{
    {
        std::lock_guard<std::mutex> lock(g_hold.mutex);
        g_hold.armed = false;
        g_hold.released = true;
    }
    g_hold.changed.notify_all();
    Py_RETURN_NONE;
}

// The pending exception, taken out (null when none is pending).
Ref take_error()
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

// silent_failure(manager): a scope body, then a tidy-up path, each failing
// without setting an error; each must surface as SystemError. Returns the
// two exceptions.
PyObject* probe_silent_failure(PyObject*, PyObject* manager) noexcept
{
    Ref scope_error, tidy_error;
    if (py::with_scope(manager, [](PyObject*) { return -1; }) < 0)
        scope_error = take_error();
    py::fail_after([] { return 0; });
    tidy_error = take_error();
    return PyTuple_Pack(2, or_none(scope_error), or_none(tidy_error));
}

PyMethodDef g_methods[] = {
    {"main", probe_main, METH_NOARGS, nullptr},
    {"functions", probe_functions, METH_NOARGS, nullptr},
    {"current_options", probe_current_options, METH_NOARGS, nullptr},
    {"hold", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_hold)), METH_FASTCALL, nullptr},
    {"wait_held", probe_wait_held, METH_O, nullptr},
    {"release", probe_release, METH_NOARGS, nullptr},
    {"plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_plan)), METH_FASTCALL, nullptr},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_run)), METH_FASTCALL, nullptr},
    {"cancel", probe_cancel, METH_NOARGS, nullptr},
    {"silent_failure", probe_silent_failure, METH_O, nullptr},
    {"reported_failure",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_reported_failure)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_probe = {PyModuleDef_HEAD_INIT, "_termweave_probe", nullptr, -1, g_methods};

}  // namespace

namespace tw::run {

// The run waits here, with the interpreter's lock released, while a hold
// set for this point lasts: until release() or until the run is asked to
// stop (the window's cancel, or its stop on the way out).
void before_item(const Report& report, bool planning)
{
    {
        std::lock_guard<std::mutex> lock(g_hold.mutex);
        if (!g_hold.armed || g_hold.planning != planning || report.seen.load() != g_hold.at)
            return;
        g_hold.armed = false;
        g_hold.held = true;
        g_hold.released = false;
    }
    g_hold.changed.notify_all();
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(g_hold.mutex);
    while (!g_hold.released && !report.cancel_requested())
        g_hold.changed.wait_for(lock, std::chrono::milliseconds(10));
    g_hold.held = false;
    lock.unlock();
    Py_END_ALLOW_THREADS
}

}  // namespace tw::run

PyMODINIT_FUNC PyInit__termweave_probe() { return PyModule_Create(&g_probe); }
