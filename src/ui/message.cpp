#include "ui/message.h"

#include <algorithm>
#include <array>

namespace tw::ui {

namespace {

// Beyond these the text goes into a scrollable box.
constexpr Py_ssize_t k_plain_lines = 12;
constexpr Py_ssize_t k_plain_width = 100;
constexpr Py_ssize_t k_box_width = 90;
constexpr Py_ssize_t k_box_lines = 20;

// Sets the number of lines and the length of the longest one.
int measure(PyObject* text, Py_ssize_t& lines, Py_ssize_t& widest)
{
    py::Ref split = py::Ref::steal(PyUnicode_Splitlines(text, 0));
    if (!split)
        return -1;
    lines = PyList_GET_SIZE(split.get());
    widest = 0;
    for (Py_ssize_t i = 0; i < lines; ++i)
        widest = std::max(widest, PyUnicode_GET_LENGTH(PyList_GET_ITEM(split.get(), i)));
    return 0;
}

py::Ref text_element(PyObject* text)
{
    Py_ssize_t lines = 0, widest = 0;
    if (measure(text, lines, widest) < 0)
        return {};
    if (lines <= k_plain_lines && widest <= k_plain_width)
        return element("Text"_id, {text}, {});
    py::Ref size = py::Ref::steal(
        Py_BuildValue("(nn)", k_box_width, std::clamp(lines, Py_ssize_t{5}, k_box_lines)));
    if (!size)
        return {};
    return element("Multiline"_id, {text},
                   {{"size"_id, size}, {"disabled"_id, Py_True}, {"key"_id, "message_text"_id}});
}

py::Ref message_layout(PyObject* text)
{
    std::array<py::Ref, 1> body, buttons;
    std::array<py::Ref, 2> rows;
    bool made = (body[0] = text_element(text)) && (rows[0] = list_of(body))
        && (buttons[0] = element("Button"_id, {"确定"_id}, {})) && (rows[1] = list_of(buttons));
    return made ? list_of(rows) : py::Ref();
}

}  // namespace

int wait_for_answer(const Owner& owner, PyObject* window, py::Ref& event)
{
    for (;;) {
        py::Ref values;
        if (read_window(owner, window, event, values) < 0)
            return -1;
        int waiting = is_timeout(event.get());
        if (waiting <= 0)
            return waiting;
    }
}

int bind_closing_keys(PyObject* window)
{
    return bind_key(window, "<Return>"_id, "确定"_id) < 0 ||
           bind_key(window, "<KP_Enter>"_id, "确定"_id) < 0 ||
           bind_key(window, "<Escape>"_id, "确定"_id) < 0 ? -1 : 0;
}

int show_message(const Owner& owner, PyObject* text)
{
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "a message must be text");
        return -1;
    }
    py::Ref layout = message_layout(text);
    py::Ref window = layout ? open_owned_window(owner, layout.get(), {}) : py::Ref();
    py::Ref event;
    if (!window || bind_closing_keys(window.get()) < 0 ||
        wait_for_answer(owner, window.get(), event) < 0)
        return -1;
    return py::call_method(window.get(), "close"_id) ? 0 : -1;
}

int ask(const Owner& owner, py::Id question, py::Id first_button, py::Id second_button,
        bool& first)
{
    std::array<py::Ref, 1> text;
    std::array<py::Ref, 2> buttons, rows;
    bool made = (text[0] = element("Text"_id, {question}, {})) && (rows[0] = list_of(text))
        && (buttons[0] = element("Button"_id, {first_button}, {}))
        && (buttons[1] = element("Button"_id, {second_button}, {}))
        && (rows[1] = list_of(buttons));
    py::Ref layout = made ? list_of(rows) : py::Ref();
    py::Ref window = layout ? open_owned_window(owner, layout.get(), {}) : py::Ref();
    py::Ref event;
    if (!window || bind_key(window.get(), "<Escape>"_id, second_button) < 0 ||
        wait_for_answer(owner, window.get(), event) < 0)
        return -1;
    int chosen = py::equals(event.get(), first_button);
    if (chosen < 0)
        return -1;
    first = chosen > 0;
    return py::call_method(window.get(), "close"_id) ? 0 : -1;
}

}  // namespace tw::ui
