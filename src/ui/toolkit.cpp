#include "ui/toolkit.h"

#include "py/names.h"
#include "py/unpack.h"

#include <array>

namespace tw::ui {

py::Ref format_text(py::Id format, const py::Ref& args)
{
    PyObject* text = args ? format.get() : nullptr;
    return text ? py::Ref::steal(PyUnicode_Format(text, args.get())) : py::Ref();
}

py::Ref toolkit(py::Id kind)
{
    py::Ref sg = py::global("sg"_id);
    return sg ? py::getattr(sg.get(), kind) : py::Ref();
}

py::Ref element(py::Id kind, std::initializer_list<py::Arg> positional,
                std::initializer_list<py::Keyword> keywords)
{
    py::Ref factory = toolkit(kind);
    return factory ? py::call_kw(factory.get(), positional, keywords) : py::Ref();
}

py::Ref list_of(std::span<const py::Ref> items)
{
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list)
        return {};
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
    return list;
}

py::Ref item(PyObject* container, py::Id key)
{
    PyObject* str = key.get();
    return str ? py::Ref::steal(PyObject_GetItem(container, str)) : py::Ref();
}

namespace {

// The toolkit's own Tk window behind a window (created by its first read).
py::Ref tk_window(PyObject* window) { return py::getattr(window, "TKroot"_id); }

int make_transient(PyObject* window, PyObject* owner)
{
    py::Ref own = tk_window(window);
    py::Ref master = own ? tk_window(owner) : py::Ref();
    return master && py::call_method(own.get(), "transient"_id, master) ? 0 : -1;
}

}  // namespace

py::Ref open_owned_window(const Owner& owner, PyObject* layout, Look look)
{
    py::Ref window_type = toolkit("Window"_id);
    if (!window_type)
        return {};
    py::Id title = "关键字替换工具_mira7"_id;
    PyObject* modal = look.modal ? Py_True : Py_False;
    PyObject* resizable = look.resizable ? Py_True : Py_False;
    py::Ref window = owner.with_icon
        ? py::call_kw(window_type.get(), {title, layout},
                      {{"icon"_id, "brelvo.ico"_id}, {"modal"_id, modal},
                       {"keep_on_top"_id, Py_True}, {"resizable"_id, resizable},
                       {"finalize"_id, Py_True}})
        : py::call_kw(window_type.get(), {title, layout},
                      {{"modal"_id, modal}, {"keep_on_top"_id, Py_True},
                       {"resizable"_id, resizable}, {"finalize"_id, Py_True}});
    if (!window || make_transient(window.get(), owner.window) < 0)
        return {};
    return window;
}

int bind_key(PyObject* window, py::Id key, py::Id event)
{
    return py::call_method(window, "bind"_id, key, event) ? 0 : -1;
}

int read_window(const Owner& owner, PyObject* window, py::Ref& event, py::Ref& values,
                int timeout_ms)
{
    py::Ref read = py::getattr(window, "read"_id);
    py::Ref timeout = read ? py::Ref::steal(PyLong_FromLong(timeout_ms)) : py::Ref();
    py::Ref result = timeout ? py::call_kw(read.get(), {}, {{"timeout"_id, timeout}}) : py::Ref();
    if (owner.interrupts->has_caught()) {
        // The interrupt comes first, whatever else went wrong with the read.
        if (!result)
            PyErr_Clear();
        return owner.interrupts->raise_caught();
    }
    std::array<py::Ref, 2> pair;  // event, values
    if (!result || py::unpack(result.get(), pair) < 0 || owner.interrupts->watch(window) < 0)
        return -1;
    event = std::move(pair[0]);
    values = std::move(pair[1]);
    return 0;
}

int is_closed(PyObject* event)
{
    py::Ref closed = toolkit("WIN_CLOSED"_id);
    return closed ? py::equals(event, closed.get()) : -1;
}

int is_exit_event(PyObject* event)
{
    int hit = is_closed(event);
    return hit != 0 ? hit : py::equals(event, "退出"_id);
}

int is_timeout(PyObject* event)
{
    py::Ref timeout = toolkit("TIMEOUT_KEY"_id);
    return timeout ? py::equals(event, timeout.get()) : -1;
}

int update_element(PyObject* window, py::Id key, py::Keyword change)
{
    py::Ref target = item(window, key);
    py::Ref update = target ? py::getattr(target.get(), "update"_id) : py::Ref();
    return update && py::call_kw(update.get(), {}, {change}) ? 0 : -1;
}

}  // namespace tw::ui
