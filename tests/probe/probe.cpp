// A test-only module that reaches what the shipped module keeps out of its
// namespace: the plans that a preview will show, the run report that the
// window reads, the options a run is given, and the window itself with a
// run that can be held between two items. It is built from the same sources
// and works on the namespace of the imported termweave_mira7, so the code
// under test is the code that ships.
#include "content/content.h"
#include "content/package_copy.h"
#include "content/workbook_references.h"
#include "keyword/engine.h"
#include "module/function.h"
#include "module/functions.h"
#include "platform/fs.h"
#include "py/boundary.h"
#include "py/builtins.h"
#include "py/error.h"
#include "py/names.h"
#include "py/scope.h"
#include "rename/rename.h"
#include "run/hold.h"
#include "run/kept.h"
#include "run/options.h"
#include "run/report.h"
#include "run/undo.h"
#include "ui/ui.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

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
    case run::PassOver::version_control: return "version_control";
    case run::PassOver::hidden: return "hidden";
    case run::PassOver::left_out: return "left_out";
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

// This module's own copies of the module functions, bound to `globals`, by
// name: a run that goes through them runs this module's code.
Ref own_functions(PyObject* globals)
{
    if (module::ready_function_type() < 0)
        return {};
    Ref functions = Ref::steal(PyDict_New());
    for (const module::FunctionSpec& spec : module::function_table()) {
        Ref function = functions ? module::make_function(spec, globals) : Ref();
        if (!function || PyDict_SetItemString(functions.get(), spec.name, function.get()) < 0)
            return {};
    }
    return functions;
}

// The content handlers that a run calls through the module's namespace are
// the shipped module's own code, which cannot see a report installed by this
// module. While a run with options goes on, this module's copies of the
// functions stand in for them.
class OwnFunctions {
public:
    OwnFunctions() = default;
    OwnFunctions(const OwnFunctions&) = delete;
    OwnFunctions& operator=(const OwnFunctions&) = delete;

    int install()
    {
        Ref module = Ref::steal(PyImport_ImportModule("termweave_mira7"));
        if (!module)
            return -1;
        dict_ = Ref::borrow(PyModule_GetDict(module.get()));
        Ref own = own_functions(dict_.get());
        if (!own)
            return -1;
        for (const module::FunctionSpec& spec : module::function_table()) {
            saved_.emplace_back(spec.name, Ref::borrow(PyDict_GetItemString(dict_.get(), spec.name)));
            if (PyDict_SetItemString(dict_.get(), spec.name,
                                     PyDict_GetItemString(own.get(), spec.name)) < 0)
                return -1;
        }
        return 0;
    }

    ~OwnFunctions()
    {
        py::PendingError error;
        for (auto& [name, function] : saved_)
            if (!function || PyDict_SetItemString(dict_.get(), name, function.get()) < 0)
                PyErr_Clear();
        error.restore();
    }

private:
    Ref dict_;
    std::vector<std::pair<const char*, Ref>> saved_;
};

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
        Ref entry = Ref::steal(Py_BuildValue(
            "{s:s,s:s,s:O,s:O,s:n,s:O,s:s,s:z,s:k,s:K}", "kind", kind_name(item.kind), "outcome",
            outcome_name(item.outcome), "path", or_none(item.path), "new_path", or_none(item.new_path), "matches",
            item.matches, "problem", or_none(item.problem), "reason", reason_name(item.reason), "encoding",
            item.encoding, "other_links", item.other_links, "backup_copy_bytes", item.backup_copy_bytes));
        if (!entry || PyList_Append(items.get(), entry.get()) < 0)
            return {};
    }
    return items;
}

// A flag of the options dict: 1, 0, or `fallback` when absent; -1 on error.
int flag(PyObject* options, const char* name, bool fallback)
{
    PyObject* value = options ? PyDict_GetItemString(options, name) : nullptr;
    return value ? PyObject_IsTrue(value) : fallback;
}

Ref item(PyObject* options, const char* name)
{
    PyObject* value = options ? PyDict_GetItemString(options, name) : nullptr;
    return Ref::borrow(value == Py_None ? nullptr : value);
}

const char kKeptName[] = "termweave.kept_decisions";

// kept_decisions() -> a capsule that a plan's options fill ("kept") and a
// run's options take decisions from.
PyObject* probe_kept_decisions(PyObject*, PyObject*) noexcept
{
    return py::guard([&]() -> PyObject* {
        auto kept = std::make_unique<run::KeptDecisions>();
        PyObject* capsule = PyCapsule_New(kept.get(), kKeptName, [](PyObject* self) {
            delete static_cast<run::KeptDecisions*>(PyCapsule_GetPointer(self, kKeptName));
        });
        if (capsule)
            kept.release();
        return capsule;
    });
}

// kept_counts(capsule) -> (decisions kept, decisions a run found still holding)
PyObject* probe_kept_counts(PyObject*, PyObject* capsule) noexcept
{
    auto* kept = static_cast<run::KeptDecisions*>(PyCapsule_GetPointer(capsule, kKeptName));
    return kept ? Py_BuildValue("nn", static_cast<Py_ssize_t>(kept->size()), static_cast<Py_ssize_t>(kept->taken()))
                : nullptr;
}

// The window's options from a dict: case_sensitive, regular_expression,
// name_scope ("whole", "stem", "extension"), skip_hidden, include, exclude,
// left_out (a set of paths), from_window, undoable, kept (a kept_decisions()
// capsule). Absent keys keep the defaults.
int read_options(PyObject* options, run::Options& out)
{
    if (options && !PyDict_Check(options)) {
        PyErr_SetString(PyExc_TypeError, "options must be a dict");
        return -1;
    }
    int case_sensitive = flag(options, "case_sensitive", true);
    int regular = flag(options, "regular_expression", true);
    int hidden = flag(options, "skip_hidden", false);
    int window = flag(options, "from_window", false);
    int undoable = flag(options, "undoable", false);
    if (case_sensitive < 0 || regular < 0 || hidden < 0 || window < 0 || undoable < 0)
        return -1;
    out.undoable = undoable;
    out.case_sensitive = case_sensitive;
    out.regular_expression = regular;
    out.skip_hidden = hidden;
    out.from_window = window;
    out.include_masks = item(options, "include");
    out.exclude_masks = item(options, "exclude");
    out.left_out = item(options, "left_out");
    if (Ref kept = item(options, "kept")) {
        out.kept = static_cast<run::KeptDecisions*>(PyCapsule_GetPointer(kept.get(), kKeptName));
        if (!out.kept)
            return -1;
    }
    Ref scope = item(options, "name_scope");
    if (scope && PyUnicode_CompareWithASCIIString(scope.get(), "stem") == 0)
        out.name_scope = run::NameScope::stem;
    else if (scope && PyUnicode_CompareWithASCIIString(scope.get(), "extension") == 0)
        out.name_scope = run::NameScope::extension;
    return 0;
}

// plan(mode, root, old, new, recursive[, options]) -> (items, report)
PyObject* probe_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 5 && nargs != 6)
            return PyErr_Format(PyExc_TypeError, "plan() takes 5 or 6 arguments");
        const Mode* mode = find_mode(args[0]);
        if (!mode || bind_module() < 0)
            return nullptr;
        run::Report report;
        if (read_options(nargs == 6 ? args[5] : nullptr, report.options) < 0)
            return nullptr;
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

// The pending ordinary exception, taken as the result; anything else stays.
Ref exception_as_result()
{
    return PyErr_ExceptionMatches(PyExc_Exception) ? take_error() : Ref();
}

// run(mode, root, old, new, recursive[, options]) -> (result or the exception raised, report)
PyObject* probe_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 5 && nargs != 6)
            return PyErr_Format(PyExc_TypeError, "run() takes 5 or 6 arguments");
        const Mode* mode = find_mode(args[0]);
        if (!mode || bind_module() < 0)
            return nullptr;
        auto report = std::make_unique<run::Report>();
        if (read_options(nargs == 6 ? args[5] : nullptr, report->options) < 0)
            return nullptr;
        OwnFunctions own;
        if (nargs == 6 && own.install() < 0)
            return nullptr;
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

// library_saves(): how many files the library's save wrote because their
// package could not be copied.
PyObject* probe_library_saves(PyObject*, PyObject*) noexcept
{
    return PyLong_FromLong(content::library_saves());
}

// replace_xlsx_content(path, old, new), and the same of documents and
// presentations: the handlers of this module's own code, whose
// library_saves() counts.
template <py::Ref (*Handler)(PyObject*, PyObject*, PyObject*)>
PyObject* probe_replace_office_content(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 3)
            return PyErr_Format(PyExc_TypeError, "the handler takes 3 arguments");
        if (bind_module() < 0)
            return nullptr;
        return Handler(args[0], args[1], args[2]).release();
    });
}

// The edits of copy_package: each item of `items` parsed by `format` into
// the pointers, then handed to `take`.
template <class... Out, class Take>
int for_each_edit(PyObject* items, const char* format, Take&& take, Out*... out)
{
    return py::for_each(items, [&](PyObject* item) {
        if (!PyArg_ParseTuple(item, format, out...))
            return -1;
        take();
        return 0;
    });
}

int plan_copy(content::PackageCopy& copy, PyObject* replace, PyObject* add, PyObject* remove, PyObject* add_rels,
              PyObject* remove_rels)
{
    const char *member = nullptr, *type = nullptr, *source = nullptr, *id = nullptr, *target = nullptr;
    PyObject* data = nullptr;
    int external = 0;
    if (for_each_edit(replace, "sS", [&] { copy.replace(member, Ref::borrow(data)); }, &member, &data) < 0 ||
        for_each_edit(add, "sSs", [&] { copy.add(member, Ref::borrow(data), type); }, &member, &data, &type) < 0 ||
        py::for_each(remove, [&](PyObject* name) {
            member = PyUnicode_AsUTF8(name);
            return member ? (copy.remove(member), 0) : -1;
        }) < 0 ||
        for_each_edit(remove_rels, "ss", [&] { copy.remove_relationship(source, id); }, &source, &id) < 0)
        return -1;
    return for_each_edit(
        add_rels, "ssssp", [&] { copy.add_relationship(source, {id, type, target, external != 0}); }, &source, &id,
        &type, &target, &external);
}

// copy_package(path, replace, add, remove, add_relationships, remove_relationships):
// the package at `path` written over itself as a copy with these edits:
// (member, bytes), (member, bytes, content type), member, (source, id,
// type, target, external), (source, id). False when the copy fell back (the
// file is then untouched).
PyObject* probe_copy_package(PyObject*, PyObject* args) noexcept
{
    return py::guard([&]() -> PyObject* {
        PyObject *path, *replace, *add, *remove, *add_rels, *remove_rels;
        if (!PyArg_ParseTuple(args, "OOOOOO", &path, &replace, &add, &remove, &add_rels, &remove_rels) ||
            bind_module() < 0)
            return nullptr;
        content::xml::Parser xml;
        content::PackageCopy copy;
        int step = xml.open() < 0 ? -1 : copy.read(path);
        if (step == content::kDone)
            step = plan_copy(copy, replace, add, remove, add_rels, remove_rels) < 0 ? -1 : copy.settle(xml);
        if (step < 0)
            return nullptr;
        if (step == content::kFallBack)
            Py_RETURN_FALSE;
        if (platform::replace_file(path, [&](PyObject* temp) { return copy.write(temp); }) < 0)
            return nullptr;
        Py_RETURN_TRUE;
    });
}

// The keyword compiled as a run with the options of dict `options` compiles it.
int compile_with(PyObject* old_keyword, PyObject* new_keyword, PyObject* options, keyword::Compiled& out)
{
    run::Options read;
    if (bind_module() < 0 || read_options(options, read) < 0)
        return -1;
    return keyword::compile_for(read, old_keyword, new_keyword == Py_None ? nullptr : new_keyword, out);
}

// keyword(old, new, options) -> {"engine": "regex" or "re", "risks": int,
// "matches_empty": bool}: how the keyword layer compiles for those options.
PyObject* probe_keyword(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 3)
            return PyErr_Format(PyExc_TypeError, "keyword() takes 3 arguments");
        keyword::Compiled compiled;
        if (compile_with(args[0], args[1], args[2], compiled) < 0)
            return nullptr;
        int empty = keyword::matches_empty_text(compiled.keyword());
        if (empty < 0)
            return nullptr;
        return Py_BuildValue("{s:s,s:I,s:O,s:O,s:O}", "engine", compiled.matcher ? "regex" : "re", "risks",
                             compiled.risks, "matches_empty", empty ? Py_True : Py_False, "pattern",
                             compiled.pattern.get(), "template",
                             compiled.new_keyword ? compiled.new_keyword.get() : Py_None);
    });
}

// substitute(old, new, text, options) -> (new text, count, [(start, end,
// replacement), ...]): the keyword layer's substitution and matches.
PyObject* probe_substitute(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return py::guard([&]() -> PyObject* {
        if (nargs != 4)
            return PyErr_Format(PyExc_TypeError, "substitute() takes 4 arguments");
        keyword::Compiled compiled;
        if (compile_with(args[0], args[1], args[3], compiled) < 0)
            return nullptr;
        keyword::Replacement replaced;
        std::vector<keyword::Match> found;
        if (keyword::substitute(compiled.keyword(), args[2], replaced) < 0 ||
            keyword::find_matches(compiled.keyword(), args[2], found) < 0)
            return nullptr;
        Ref spans = Ref::steal(PyList_New(0));
        for (const keyword::Match& match : found) {
            Ref span = spans ? Ref::steal(Py_BuildValue("(nnO)", match.start, match.end,
                                                        match.replacement.get()))
                             : Ref();
            if (!span || PyList_Append(spans.get(), span.get()) < 0)
                return nullptr;
        }
        return spans ? Py_BuildValue("(OnO)", replaced.text.get(), replaced.count, spans.get()) : nullptr;
    });
}

// match_limits(first_slice, hard_limit) -> the previous (first_slice, hard_limit)
PyObject* probe_match_limits(PyObject*, PyObject* args) noexcept
{
    keyword::MatchLimits& limits = keyword::match_limits();
    keyword::MatchLimits wanted;
    if (!PyArg_ParseTuple(args, "dd", &wanted.first_slice, &wanted.hard_limit))
        return nullptr;
    keyword::MatchLimits previous = limits;
    limits = wanted;
    return Py_BuildValue("(dd)", previous.first_slice, previous.hard_limit);
}

// running_matchers() -> how many matcher threads are running
PyObject* probe_running_matchers(PyObject*, PyObject*) noexcept
{
    return PyLong_FromLong(keyword::running_matchers());
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
        return bind_module() < 0 ? nullptr : own_functions(py::namespace_dict()).release();
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

// rename_columns(formula, [(table, old, new), ...]) -> the formula with its
// structured references to those columns renamed, or None when that is not
// certain. Names are compared in ASCII lower case here.
PyObject* probe_rename_columns(PyObject*, PyObject* args) noexcept
{
    return py::guard([&]() -> PyObject* {
        const char* formula = nullptr;
        PyObject* renames = nullptr;
        if (!PyArg_ParseTuple(args, "sO", &formula, &renames))
            return nullptr;
        content::workbook::Fold fold = [](std::string_view text) {
            std::string out(text);
            for (char& c : out)
                c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
            return out;
        };
        std::vector<content::workbook::ColumnRename> list;
        const char *table = nullptr, *old_name = nullptr, *new_name = nullptr;
        if (py::for_each(renames, [&](PyObject* item) {
                if (!PyArg_ParseTuple(item, "sss", &table, &old_name, &new_name))
                    return -1;
                list.push_back({fold(table), fold(old_name), new_name, fold(new_name)});
                return 0;
            }) < 0)
            return nullptr;
        std::string text = formula;
        if (content::workbook::rename_columns(text, list, fold) == content::workbook::FormulaEdit::uncertain)
            Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyMethodDef g_methods[] = {
    {"main", probe_main, METH_NOARGS, nullptr},
    {"functions", probe_functions, METH_NOARGS, nullptr},
    {"current_options", probe_current_options, METH_NOARGS, nullptr},
    {"hold", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_hold)), METH_FASTCALL, nullptr},
    {"wait_held", probe_wait_held, METH_O, nullptr},
    {"release", probe_release, METH_NOARGS, nullptr},
    {"rename_columns", probe_rename_columns, METH_VARARGS, nullptr},
    {"running_matchers", probe_running_matchers, METH_NOARGS, nullptr},
    {"keyword", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_keyword)), METH_FASTCALL,
     nullptr},
    {"match_limits", probe_match_limits, METH_VARARGS, nullptr},
    {"substitute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_substitute)),
     METH_FASTCALL, nullptr},
    {"plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_plan)), METH_FASTCALL, nullptr},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_run)), METH_FASTCALL, nullptr},
    {"cancel", probe_cancel, METH_NOARGS, nullptr},
    {"kept_decisions", probe_kept_decisions, METH_NOARGS, nullptr},
    {"kept_counts", probe_kept_counts, METH_O, nullptr},
    {"silent_failure", probe_silent_failure, METH_O, nullptr},
    {"undo_plan", probe_undo_plan, METH_O, nullptr},
    {"undo", probe_undo, METH_O, nullptr},
    {"library_saves", probe_library_saves, METH_NOARGS, nullptr},
    {"replace_xlsx_content",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(probe_replace_office_content<content::replace_xlsx_content>)),
     METH_FASTCALL, nullptr},
    {"replace_docx_content",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(probe_replace_office_content<content::replace_docx_content>)),
     METH_FASTCALL, nullptr},
    {"replace_pptx_content",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(probe_replace_office_content<content::replace_pptx_content>)),
     METH_FASTCALL, nullptr},
    {"copy_package", probe_copy_package, METH_VARARGS, nullptr},
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
