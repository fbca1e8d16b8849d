// A test-only module that reaches what the shipped module keeps out of its
// namespace: the plans that a preview will show, and the run report that
// the window reads. It is built from the same sources and works on the
// namespace of the imported termweave_mira7, so the code under test is the
// code that ships.
#include "content/content.h"
#include "py/boundary.h"
#include "py/builtins.h"
#include "py/names.h"
#include "rename/rename.h"
#include "run/report.h"
#include "run/undo.h"

#include <memory>

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
    case run::ItemKind::content_restore: return "content_restore";
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
    case run::PassOver::edited_since: return "edited_since";
    case run::PassOver::moved_since: return "moved_since";
    case run::PassOver::name_taken: return "name_taken";
    case run::PassOver::backup_missing: return "backup_missing";
    }
    return "?";
}

PyObject* or_none(const Ref& ref) { return ref ? ref.get() : Py_None; }

Ref report_dict(run::Report& report)
{
    std::string current = report.current();
    PyObject* failures = report.failures();
    PyObject* renamed = failures ? report.renamed_folders() : nullptr;
    PyObject* notes = renamed ? report.notes() : nullptr;
    if (!notes)
        return {};
    return Ref::steal(Py_BuildValue(
        "{s:l,s:l,s:l,s:l,s:l,s:s#,s:O,s:O,s:O}", "seen", report.seen.load(), "changed",
        report.changed.load(), "passed_over", report.passed_over.load(), "failed",
        report.failed.load(), "unlisted_folders", report.unlisted_folders.load(), "current",
        current.data(), static_cast<Py_ssize_t>(current.size()), "failures", failures,
        "renamed_folders", renamed, "notes", notes));
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
        Ref entry = Ref::steal(Py_BuildValue("{s:s,s:s,s:O,s:O,s:n,s:O,s:s,s:k,s:K}", "kind", kind_name(item.kind),
                                             "outcome", outcome_name(item.outcome), "path",
                                             or_none(item.path), "new_path", or_none(item.new_path),
                                             "matches", item.matches, "problem", or_none(item.problem),
                                             "reason", reason_name(item.reason), "other_links",
                                             item.other_links, "backup_copy_bytes", item.backup_copy_bytes));
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

// The pending ordinary exception, taken as the result; anything else stays.
Ref exception_as_result()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return {};
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

// run(mode, root, old, new, recursive[, undoable]) -> (result or the exception raised, report)
// With `undoable` true the run keeps what undo needs, as the window's runs do.
PyObject* probe_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 5 && nargs != 6)
            return PyErr_Format(PyExc_TypeError, "run() takes 5 or 6 arguments");
        const Mode* mode = find_mode(args[0]);
        if (!mode || bind_module() < 0)
            return nullptr;
        auto report = std::make_unique<run::Report>();
        report->options.undoable = nargs == 6 && PyObject_IsTrue(args[5]) > 0;
        run::ReportScope scope(*report);
        g_active = report.get();
        Ref result = mode->run(args[1], args[2], args[3], args[4]);
        g_active = nullptr;
        if (!result && !(result = exception_as_result()))
            return nullptr;
        Ref counts = report_dict(*report);
        return counts ? PyTuple_Pack(2, result.get(), counts.get()) : nullptr;
    });
}

// undo_plan(folder) -> (items, notes): what undoing the last run on the
// folder ("" for the last run of all) would do; items is None when there
// is nothing to undo.
PyObject* probe_undo_plan(PyObject*, PyObject* folder) noexcept
{
    return py::guard([&]() -> PyObject* {
        run::Report report;
        run::Undo undo;
        run::Plan plan;
        if (undo.open(folder, report) < 0 || undo.plan(plan) < 0)
            return nullptr;
        Ref items = undo.found() ? plan_items(plan) : py::none();
        return items ? PyTuple_Pack(2, items.get(), report.notes()) : nullptr;
    });
}

// undo(folder) -> report, or None when there is nothing to undo; the
// exception that ended it is taken as the result, as run() does.
PyObject* probe_undo(PyObject*, PyObject* folder) noexcept
{
    return py::guard([&]() -> PyObject* {
        auto report = std::make_unique<run::Report>();
        g_active = report.get();
        run::Undo undo;
        run::Plan plan;
        int status = undo.open(folder, *report);
        if (status == 0)
            status = undo.plan(plan);
        if (status == 0 && !undo.found()) {
            g_active = nullptr;
            return Py_NewRef(Py_None);
        }
        if (status == 0)
            status = undo.act(*report);
        g_active = nullptr;
        if (status < 0)
            return exception_as_result().release();
        return report_dict(*report).release();
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

PyMethodDef g_methods[] = {
    {"plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_plan)), METH_FASTCALL, nullptr},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_run)), METH_FASTCALL, nullptr},
    {"cancel", probe_cancel, METH_NOARGS, nullptr},
    {"undo_plan", probe_undo_plan, METH_O, nullptr},
    {"undo", probe_undo, METH_O, nullptr},
    {"reported_failure",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_reported_failure)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_probe = {PyModuleDef_HEAD_INIT, "_termweave_probe", nullptr, -1, g_methods};

}  // namespace

PyMODINIT_FUNC PyInit__termweave_probe() { return PyModule_Create(&g_probe); }
