#include "module/function.h"

#include "module/calling.h"
#include "py/boundary.h"
#include "py/ops.h"
#include "py/traceback.h"

#include <cstddef>
#include <structmember.h>

namespace tw::module {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* globals;
    PyObject* code;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

py::Ref& g_function_type = py::process_wide_ref();

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    const FunctionSpec& spec = *as_function(self)->spec;
    PyObject* bound[max_params] = {};
    py::Ref result = py::guard([&] {
        if (bind_arguments(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0)
            return py::Ref();
        return spec.body(bound);
    });
    if (!result)
        py::add_traceback_entry(spec.name, spec.first_line);
    return result.release();
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->code);
    return 0;
}

int function_clear(PyObject* self) noexcept
{
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->code);
    return 0;
}

void function_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept
{
    // From the spec, not the qualname object, which tp_clear may have cleared.
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->spec->name, self);
}

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    // Sets the type's vectorcall offset; removed from the type once made
    // (it would show a code address).
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "termweave_mira7.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// A code object that reports the function's name, first line, parameters
// and locals, as a Python function's __code__ would.
py::Ref make_code(const FunctionSpec& spec)
{
    py::Ref code = py::Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("termweave_mira7", spec.name, spec.first_line)));
    auto count = static_cast<Py_ssize_t>(spec.params.size() + spec.locals.size());
    py::Ref varnames = py::Ref::steal(PyTuple_New(count));
    if (!code || !varnames)
        return {};
    Py_ssize_t index = 0;
    for (auto names : {spec.params, spec.locals}) {
        for (const char* name : names) {
            PyObject* str = PyUnicode_InternFromString(name);
            if (!str)
                return {};
            PyTuple_SET_ITEM(varnames.get(), index++, str);
        }
    }
    py::Ref argcount = py::Ref::steal(PyLong_FromSize_t(spec.params.size()));
    py::Ref nlocals = py::Ref::steal(PyLong_FromSsize_t(count));
    py::Ref replace = py::getattr(code.get(), "replace"_id);
    if (!argcount || !nlocals || !replace)
        return {};
    return py::call_kw(replace.get(), {},
                       {{"co_varnames"_id, varnames.get()},
                        {"co_argcount"_id, argcount.get()},
                        {"co_nlocals"_id, nlocals.get()}});
}

}  // namespace

// Instances read __module__ from the type's own "termweave_mira7" (a
// member of the same name would hide it from the type itself), and the
// vectorcall offset stays in the slot without a member showing it.
int ready_function_type()
{
    if (g_function_type)
        return 0;
    py::Ref type = py::Ref::steal(PyType_FromSpec(&function_spec));
    if (!type)
        return -1;
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    if (PyDict_DelItemString(dict, "__vectorcalloffset__") < 0)
        return -1;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    g_function_type = type;
    return 0;
}

py::Ref make_function(const FunctionSpec& spec, PyObject* globals)
{
    py::Ref code = make_code(spec);
    py::Ref name = py::Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!code || !name)
        return {};
    auto* type = reinterpret_cast<PyTypeObject*>(g_function_type.get());
    FunctionObject* fn = PyObject_GC_New(FunctionObject, type);
    if (!fn)
        return {};
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->name = Py_NewRef(name.get());
    fn->qualname = name.release();
    fn->globals = Py_NewRef(globals);
    fn->code = code.release();
    PyObject_GC_Track(fn);
    return py::Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace tw::module
