#include "ui/options.h"

#include "ui/toolkit.h"

#include <array>

namespace tw::ui {

namespace {

using run::NameScope;

struct ScopeButton {
    py::Id text, key;
    NameScope scope;
};

const ScopeButton g_scopes[] = {
    {"名称和扩展名"_id, "scope_whole"_id, NameScope::whole},
    {"仅名称"_id, "scope_stem"_id, NameScope::stem},
    {"仅扩展名"_id, "scope_extension"_id, NameScope::extension},
};

PyObject* boolean(bool value) { return value ? Py_True : Py_False; }

py::Ref check_box(py::Id text, py::Id key, bool ticked)
{
    return element("Checkbox"_id, {text}, {{"key"_id, key}, {"default"_id, boolean(ticked)}});
}

py::Ref switches_row(const run::Options& shown)
{
    std::array<py::Ref, 3> row;
    bool made = (row[0] = check_box("区分大小写"_id, "case_sensitive"_id, shown.case_sensitive))
        && (row[1] = check_box("正则表达式"_id, "regular_expression"_id, shown.regular_expression))
        && (row[2] = check_box("跳过隐藏项"_id, "skip_hidden"_id, shown.skip_hidden));
    return made ? list_of(row) : py::Ref();
}

py::Ref scope_row(const run::Options& shown)
{
    std::array<py::Ref, 4> row;
    if (!(row[0] = element("Text"_id, {"替换文件名称时："_id}, {})))
        return {};
    for (std::size_t i = 0; i < 3; ++i) {
        const ScopeButton& button = g_scopes[i];
        row[i + 1] = element("Radio"_id, {button.text, "name_scope"_id},
                             {{"key"_id, button.key},
                              {"default"_id, boolean(shown.name_scope == button.scope)}});
        if (!row[i + 1])
            return {};
    }
    return list_of(row);
}

py::Ref text_or_empty(const py::Ref& text)
{
    return text ? text : py::Ref::borrow(""_id.get());
}

py::Ref masks_row(const run::Options& shown)
{
    std::array<py::Ref, 4> row;
    py::Id tip = "用 ; 分隔多个，例如 *.docx;*.txt；留空表示全部文件"_id;
    py::Ref size = py::Ref::steal(Py_BuildValue("(ii)", 20, 1));
    bool made = size
        && (row[0] = element("Text"_id, {"包含文件："_id}, {}))
        && (row[1] = element("InputText"_id, {text_or_empty(shown.include_masks)},
                             {{"key"_id, "include_masks"_id}, {"size"_id, size}, {"tooltip"_id, tip}}))
        && (row[2] = element("Text"_id, {"排除文件："_id}, {}))
        && (row[3] = element("InputText"_id, {text_or_empty(shown.exclude_masks)},
                             {{"key"_id, "exclude_masks"_id}, {"size"_id, size}, {"tooltip"_id, tip}}));
    return made ? list_of(row) : py::Ref();
}

// values[key], or empty with no exception when the values do not hold it.
py::Ref optional_item(PyObject* values, py::Id key)
{
    py::Ref found = item(values, key);
    if (!found && PyErr_ExceptionMatches(PyExc_LookupError))
        PyErr_Clear();
    return found;
}

// Sets `flag` from a check box, when the values hold it. 0, or -1.
int read_flag(PyObject* values, py::Id key, bool& flag)
{
    py::Ref value = optional_item(values, key);
    if (!value)
        return PyErr_Occurred() ? -1 : 0;
    int on = py::truth(value.get());
    if (on < 0)
        return -1;
    flag = on > 0;
    return 0;
}

// A mask field's text, or null when it is empty or holds only spaces.
int read_masks(PyObject* values, py::Id key, py::Ref& masks)
{
    py::Ref value = optional_item(values, key);
    if (!value)
        return PyErr_Occurred() ? -1 : 0;
    if (!PyUnicode_Check(value.get()))
        return 0;
    py::Ref stripped = py::call_method(value.get(), "strip"_id);
    if (!stripped)
        return -1;
    masks = PyUnicode_GET_LENGTH(stripped.get()) > 0 ? stripped : py::Ref();
    return 0;
}

}  // namespace

int add_option_rows(const run::Options& shown, std::vector<py::Ref>& rows)
{
    for (auto make : {switches_row, scope_row, masks_row}) {
        py::Ref row = make(shown);
        if (!row)
            return -1;
        rows.push_back(std::move(row));
    }
    return 0;
}

int read_options(PyObject* values, run::Options& options)
{
    if (read_flag(values, "case_sensitive"_id, options.case_sensitive) < 0
        || read_flag(values, "regular_expression"_id, options.regular_expression) < 0
        || read_flag(values, "skip_hidden"_id, options.skip_hidden) < 0
        || read_masks(values, "include_masks"_id, options.include_masks) < 0
        || read_masks(values, "exclude_masks"_id, options.exclude_masks) < 0)
        return -1;
    for (const ScopeButton& button : g_scopes) {
        bool selected = false;
        if (read_flag(values, button.key, selected) < 0)
            return -1;
        if (selected) {
            options.name_scope = button.scope;
            break;
        }
    }
    return 0;
}

}  // namespace tw::ui
