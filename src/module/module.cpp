// Module definition and start-up.
//
// Start-up state is process-wide: one module object per process, owned by
// the first interpreter that creates it. A re-import in the same interpreter
// gets the same object back and runs nothing again.
#include "module/functions.h"
#include "py/boundary.h"
#include "py/builtins.h"
#include "py/error.h"
#include "py/names.h"
#include "py/ops.h"
#include "py/scope.h"
#include "run/paths.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <string>

#ifndef TW_COMPILED_FOR_MAJOR
#define TW_COMPILED_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef TW_COMPILED_FOR_MINOR
#define TW_COMPILED_FOR_MINOR PY_MINOR_VERSION
#endif

namespace tw::module {

namespace {

using py::Ref;

std::int64_t g_owner_interpreter = -1;
Ref& g_module = py::process_wide_ref();

// --- creation --------------------------------------------------------------

int claim_interpreter()
{
    std::int64_t current = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (g_owner_interpreter == -1) {
        if (current == -1)
            return -1;
        // The run's worker thread attaches through PyGILState_Ensure, which
        // only knows the main interpreter: a subinterpreter cannot own us.
        if (PyThreadState_GetInterpreter(PyThreadState_Get()) != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError,
                            "termweave_mira7 can only be loaded into the main interpreter.");
            return -1;
        }
        g_owner_interpreter = current;
        return 0;
    }
    if (current != g_owner_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> to module.<to>; a spec without the attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* dict, py::Id from, py::Id to, bool skip_none)
{
    Ref value = py::getattr(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None)
        return 0;
    PyObject* key = to.get();
    return key ? PyDict_SetItem(dict, key, value.get()) : -1;
}

PyObject* create_module(PyObject* spec)
{
    if (claim_interpreter() < 0)
        return nullptr;
    if (g_module)
        return Py_NewRef(g_module.get());
    Ref name = py::getattr(spec, "name"_id);
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader"_id, "__loader__"_id, false) < 0 ||
        copy_spec_attribute(spec, dict, "origin"_id, "__file__"_id, false) < 0 ||
        copy_spec_attribute(spec, dict, "parent"_id, "__package__"_id, false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations"_id, "__path__"_id, true) < 0)
        return nullptr;
    return module.release();
}

// --- execution -------------------------------------------------------------

int check_version()
{
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == TW_COMPILED_FOR_MAJOR && minor == TW_COMPILED_FOR_MINOR)
        return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  TW_COMPILED_FOR_MAJOR, TW_COMPILED_FOR_MINOR, "termweave_mira7", "does not match",
                  major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int enter_in_sys_modules(PyObject* module)
{
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* name = "termweave_mira7"_id.get();
    if (!name)
        return -1;
    int present = PySequence_Contains(modules, name);
    if (present != 0)
        return present < 0 ? -1 : 0;
    return PyObject_SetItem(modules, name, module);
}

// getattr(obj, name, None): only a missing attribute is taken as None.
Ref getattr_or_none(PyObject* obj, py::Id name)
{
    Ref value = py::getattr(obj, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value;
    PyErr_Clear();
    return py::none();
}

// Whether a loaded module is still being imported, as the import system
// judges it: getattr(getattr(module, "__spec__", None), "_initializing", False).
int is_initialising(PyObject* module)
{
    Ref spec = getattr_or_none(module, "__spec__"_id);
    Ref initialising = spec ? getattr_or_none(spec.get(), "_initializing"_id) : Ref();
    return initialising ? py::truth(initialising.get()) : -1;
}

// `import name`: a loaded, fully initialised module is reused.
Ref import_module(PyObject* globals, py::Id name)
{
    PyObject* key = name.get();
    if (!key)
        return {};
    Ref loaded = Ref::steal(PyImport_GetModule(key));
    if (!loaded && PyErr_Occurred())
        return {};
    // None in sys.modules blocks an import; the import function reports it.
    if (loaded && loaded.get() != Py_None) {
        int busy = is_initialising(loaded.get());
        if (busy < 0)
            return {};
        if (!busy)
            return loaded;
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(key, globals, nullptr, nullptr, 0));
}

// `from package import name`.
Ref import_from(PyObject* globals, py::Id package, py::Id name)
{
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist || !package.get() || !name.get())
        return {};
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name.get()));
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(package.get(), globals, nullptr, fromlist.get(), 0));
    if (!module)
        return {};
    Ref attr = py::getattr(module.get(), name);
    if (attr || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return attr;
    PyErr_Clear();
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name.get()));
    if (!full)
        return {};
    Ref submodule = Ref::steal(PyImport_GetModule(full.get()));
    if (!submodule && !PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
    return submodule;
}

int bind(PyObject* dict, py::Id name, const Ref& value)
{
    if (!value || !name.get())
        return -1;
    return PyDict_SetItem(dict, name.get(), value.get());
}

int import_libraries(PyObject* dict)
{
    if (bind(dict, "base64"_id, import_module(dict, "base64"_id)) < 0 ||
        bind(dict, "docx"_id, import_module(dict, "docx"_id)) < 0 ||
        bind(dict, "load_workbook"_id, import_from(dict, "openpyxl"_id, "load_workbook"_id)) < 0 ||
        bind(dict, "os"_id, import_module(dict, "os"_id)) < 0 ||
        bind(dict, "sg"_id, import_module(dict, "PySimpleGUI"_id)) < 0 ||
        bind(dict, "Presentation"_id, import_from(dict, "pptx"_id, "Presentation"_id)) < 0 ||
        bind(dict, "csv"_id, import_module(dict, "csv"_id)) < 0 ||
        bind(dict, "re"_id, import_module(dict, "re"_id)) < 0)
        return -1;
    return 0;
}

// --- the host's process state ---------------------------------------------
//
// Importing the window toolkit switches off certificate checks for every
// HTTPS request of the process and adds warnings filters (one shows every
// UserWarning always); its Tcl library sets the numeric locale to "C".
// The host that imports this module keeps its own: all three are put back
// once the libraries are in.

struct HttpsContext {
    Ref ssl;      // empty when the interpreter has no ssl module (or no such context)
    Ref factory;  // ssl._create_default_https_context before the imports
};

int save_https_context(HttpsContext& saved)
{
    saved.ssl = Ref::steal(PyImport_ImportModule("ssl"));
    if (!saved.ssl) {
        // Without ssl there is nothing to keep; a library that needs it
        // reports its own import error.
        if (!PyErr_ExceptionMatches(PyExc_ImportError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    saved.factory = py::getattr(saved.ssl.get(), "_create_default_https_context"_id);
    if (saved.factory || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return saved.factory ? 0 : -1;
    PyErr_Clear();
    saved.ssl = Ref();
    return 0;
}

int put_back_https_context(const HttpsContext& saved)
{
    if (!saved.ssl)
        return 0;
    Ref now = py::getattr(saved.ssl.get(), "_create_default_https_context"_id);
    if (!now)
        return -1;
    if (now.get() == saved.factory.get())
        return 0;
    return py::setattr(saved.ssl.get(), "_create_default_https_context"_id, saved.factory.get());
}

// After a failed import the import's error is the one reported.
int restore_https_context(const HttpsContext& saved, int imported)
{
    if (imported == 0)
        return put_back_https_context(saved);
    return py::fail_after([&] { return put_back_https_context(saved); });
}

// with warnings.catch_warnings(): import_libraries(dict)
int import_keeping_warnings(PyObject* dict)
{
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    Ref keeper = warnings ? py::call_method(warnings.get(), "catch_warnings"_id) : Ref();
    if (!keeper)
        return -1;
    // As with the statement, an error that __exit__ suppresses is gone and
    // the names it left unbound fail when they are used.
    int status = py::with_scope(keeper.get(), [&](PyObject*) { return import_libraries(dict); });
    return status > 0 ? 0 : status;
}

// The C library's locale, all categories, as setlocale reports it.
std::string current_locale()
{
    const char* name = std::setlocale(LC_ALL, nullptr);
    return name ? name : "";
}

void restore_locale(const std::string& saved)
{
    if (!saved.empty() && current_locale() != saved)
        std::setlocale(LC_ALL, saved.c_str());
}

int import_libraries_keeping_host_state(PyObject* dict)
{
    HttpsContext saved;
    if (save_https_context(saved) < 0)
        return -1;
    std::string locale = current_locale();
    int imported = import_keeping_warnings(dict);
    restore_locale(locale);
    return restore_https_context(saved, imported);
}

int set_theme()
{
    Ref sg = py::global("sg"_id);
    Ref theme = sg ? py::getattr(sg.get(), "theme"_id) : Ref();
    return theme && py::call(theme.get(), "SystemDefaultForReal"_id) ? 0 : -1;
}

int bind_functions(PyObject* dict)
{
    if (ready_function_type() < 0)
        return -1;
    for (const FunctionSpec& spec : function_table()) {
        Ref function = make_function(spec, dict);
        if (!function || PyDict_SetItemString(dict, spec.name, function.get()) < 0)
            return -1;
    }
    return 0;
}

// Run as a script, the module opens its window.
int run_main_if_script()
{
    Ref name = py::global("__name__"_id);
    if (!name)
        return -1;
    int is_main = py::equals(name.get(), "__main__"_id.get());
    if (is_main <= 0)
        return is_main;
    Ref main = py::global("main"_id);
    return main && py::call(main.get()) ? 0 : -1;
}

int run_body(PyObject* dict)
{
    if (import_libraries_keeping_host_state(dict) < 0 || run::know_path_functions() < 0 || set_theme() < 0 ||
        bind_functions(dict) < 0 || run_main_if_script() < 0)
        return -1;
    return bind(dict, "__test__"_id, Ref::steal(PyDict_New()));
}

int start_up(PyObject* module)
{
    PyObject* dict = PyModule_GetDict(module);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0)
        return -1;
    if (check_version() < 0 || enter_in_sys_modules(module) < 0)
        return -1;
    if (py::bind_builtins(builtins.get()) < 0)
        return -1;
    return run_body(dict);
}

int execute_module(PyObject* module)
{
    if (g_module) {
        if (g_module.get() == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'termweave_mira7' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    g_module = Ref::borrow(module);
    py::set_namespace_dict(PyModule_GetDict(module));
    if (start_up(module) < 0) {
        py::set_namespace_dict(nullptr);
        g_module = Ref();
        return -1;
    }
    return 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept
{
    return py::guard([&] { return create_module(spec); });
}

int module_exec(PyObject* module) noexcept
{
    return py::guard([&] { return execute_module(module); });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "termweave_mira7",
    nullptr,
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tw::module

PyMODINIT_FUNC PyInit_termweave_mira7()
{
    return PyModuleDef_Init(&tw::module::g_definition);
}
