#include "ui/preview_text.h"

#include "py/unpack.h"
#include "run/paths.h"
#include "ui/reasons.h"

#include <algorithm>
#include <array>

namespace tw::ui {

namespace {

using run::ItemKind;
using run::Outcome;
using run::PassOver;

py::Ref text_of(py::Id text) { return py::Ref::borrow(text.get()); }

py::Ref pack(std::initializer_list<PyObject*> items)
{
    py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (!tuple || !item)
            return {};
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    }
    return tuple;
}

py::Id kind_text(ItemKind kind)
{
    return kind == ItemKind::folder_name || kind == ItemKind::folder_listing ? "文件夹"_id : "文件"_id;
}

py::Id pass_over_text(PassOver reason)
{
    switch (reason) {
    case PassOver::not_regular: return "不是普通文件（管道、设备或失效的链接）"_id;
    case PassOver::own_temporary: return "本工具的临时文件"_id;
    case PassOver::binary: return "二进制文件"_id;
    case PassOver::old_format: return "旧格式（.doc、.ppt、.xls），不处理"_id;
    case PassOver::version_control: return "版本库目录"_id;
    case PassOver::hidden: return "隐藏项"_id;
    case PassOver::left_out: return "未勾选"_id;
    case PassOver::edited_since: return "替换后又被修改过，不撤销"_id;
    case PassOver::moved_since: return "替换后已被移动或删除，不撤销"_id;
    case PassOver::name_taken: return "原来的名称已被占用，不撤销"_id;
    case PassOver::backup_missing: return "保存的原内容已不在，无法撤销"_id;
    case PassOver::none: break;
    }
    return "跳过"_id;
}

py::Ref new_name(PyObject* new_path)
{
    py::Ref os_path = run::os_path();
    return os_path ? py::call_method(os_path.get(), "basename"_id, new_path) : py::Ref();
}

// The third column: the new name, the number of matches, or what cannot be done.
py::Ref outcome_text(const run::PlannedItem& item)
{
    switch (item.outcome) {
    case Outcome::change:
        if (item.kind == ItemKind::file_content)
            return format_text("%d 处"_id, py::Ref::steal(Py_BuildValue("(n)", item.matches)));
        if (item.kind == ItemKind::content_restore)
            return text_of("恢复原内容"_id);
        return new_name(item.new_path.get());
    case Outcome::failure:
        return text_of(item.kind == ItemKind::folder_listing  ? "无法读取"_id
                       : item.kind == ItemKind::file_content ? "无法修改"_id
                                                             : "无法重命名"_id);
    case Outcome::passed_over:
        break;
    }
    return text_of("跳过"_id);
}

py::Ref problem_text(const run::PlannedItem& item)
{
    if (item.outcome == Outcome::failure && item.problem)
        return reason_text(item.problem.get());
    if (item.outcome == Outcome::change && item.other_links > 0)
        return format_text("另有 %d 个硬链接"_id, py::Ref::steal(Py_BuildValue("(k)", item.other_links)));
    if (item.outcome == Outcome::passed_over)
        return text_of(pass_over_text(item.reason));
    return text_of(""_id);
}

}  // namespace

py::Ref item_cells(const PathView& paths, const run::PlannedItem& item)
{
    std::array<py::Ref, 4> cells;
    bool made = (cells[0] = text_of(kind_text(item.kind)))
        && (cells[1] = paths.shown(item.path.get())) && (cells[2] = outcome_text(item))
        && (cells[3] = problem_text(item));
    return made ? list_of(cells) : py::Ref();
}

namespace {

// ---- details ----------------------------------------------------------------------

py::Ref joined_lines(PyObject* lines)
{
    PyObject* newline = "\n"_id.get();
    return newline ? py::Ref::steal(PyUnicode_Join(newline, lines)) : py::Ref();
}

// Line breaks inside a match shown as "↵", so each sample keeps to its lines.
py::Ref visible(PyObject* text)
{
    py::Ref shown = py::Ref::borrow(text);
    for (py::Id line_break : {"\r\n"_id, "\n"_id, "\r"_id}) {
        if (!shown)
            return {};
        shown = py::call_method(shown.get(), "replace"_id, line_break, "↵"_id);
    }
    return shown;
}

// "1. before【old】after" and "   → before【new】after"; a match in a
// workbook formula is marked, since the formula is edited as text.
int add_sample(PyObject* lines, Py_ssize_t number, PyObject* sample, bool formula)
{
    std::array<py::Ref, 4> parts;  // before, old, new, after
    if (py::unpack(sample, parts) < 0)
        return -1;
    for (py::Ref& part : parts) {
        if (!(part = visible(part.get())))
            return -1;
    }
    py::Ref number_text = py::Ref::steal(PyUnicode_FromFormat("%zd", number));
    py::Ref old_line = number_text ? format_text(formula ? "%s. （公式）%s【%s】%s"_id : "%s. %s【%s】%s"_id,
                                                 pack({number_text.get(),
        parts[0].get(), parts[1].get(), parts[3].get()})) : py::Ref();
    py::Ref new_line = old_line ? format_text("   → %s【%s】%s"_id, pack({parts[0].get(),
        parts[2].get(), parts[3].get()})) : py::Ref();
    return new_line && PyList_Append(lines, old_line.get()) == 0
        && PyList_Append(lines, new_line.get()) == 0 ? 0 : -1;
}

py::Ref content_details(const run::PlannedItem& item)
{
    Py_ssize_t shown = item.samples ? PyList_GET_SIZE(item.samples.get()) : 0;
    py::Ref count = shown < item.matches
        ? format_text("共 %d 处，前 %d 处："_id,
                      py::Ref::steal(Py_BuildValue("(nn)", item.matches, shown)))
        : format_text("共 %d 处："_id, py::Ref::steal(Py_BuildValue("(n)", item.matches)));
    // A file not in UTF-8 shows its encoding after its path: "a.csv（GBK）".
    py::Ref heading = !item.encoding ? item.path
        : format_text("%s（%s）"_id, py::Ref::steal(Py_BuildValue("(Os)", item.path.get(), item.encoding)));
    py::Ref lines = count && heading ? py::Ref::steal(PyList_New(0)) : py::Ref();
    if (!lines || PyList_Append(lines.get(), heading.get()) < 0
        || PyList_Append(lines.get(), count.get()) < 0)
        return {};
    if (item.other_links > 0) {
        py::Ref links = format_text("另有 %d 个硬链接：文件在原处改写，其他名称下的内容也会一起改变。"_id,
                                    py::Ref::steal(Py_BuildValue("(k)", item.other_links)));
        if (!links || PyList_Append(lines.get(), links.get()) < 0)
            return {};
    }
    for (Py_ssize_t i = 0; i < shown; ++i) {
        bool formula = static_cast<std::size_t>(i) < item.formula_samples.size() && item.formula_samples[i];
        if (add_sample(lines.get(), i + 1, PyList_GET_ITEM(item.samples.get(), i), formula) < 0)
            return {};
    }
    return joined_lines(lines.get());
}

}  // namespace

int PathView::start(PyObject* chosen_folder)
{
    py::Ref os_path = run::os_path();
    py::Ref absolute = os_path ? py::call_method(os_path.get(), "abspath"_id, chosen_folder)
                               : py::Ref();
    base_ = absolute ? py::call_method(os_path.get(), "dirname"_id, absolute) : py::Ref();
    relpath_ = base_ ? py::getattr(os_path.get(), "relpath"_id) : py::Ref();
    return relpath_ ? 0 : -1;
}

py::Ref PathView::shown(PyObject* path) const
{
    py::Ref relative = py::call(relpath_.get(), path, base_);
    // Only a path on another drive has no relative spelling.
    if (relative || !PyErr_ExceptionMatches(PyExc_ValueError))
        return relative;
    PyErr_Clear();
    return py::Ref::borrow(path);
}

py::Ref preview_summary(ModeKind mode, const PlanCounts& counts)
{
    py::Ref parts = py::Ref::steal(PyList_New(0));
    py::Ref head = mode == ModeKind::contents
        ? format_text("将修改 %d 个文件，共 %d 处"_id,
                      py::Ref::steal(Py_BuildValue("(ln)", counts.changes, counts.matches)))
        : format_text("将重命名 %d 个%s"_id, py::Ref::steal(Py_BuildValue(
              "(ls)", counts.changes, mode == ModeKind::folders ? "文件夹" : "文件")));
    if (!parts || !head || PyList_Append(parts.get(), head.get()) < 0)
        return {};
    if (counts.passed_over > 0 || counts.failures > 0) {
        py::Ref others = format_text("；跳过 %d 个，失败 %d 个"_id, py::Ref::steal(Py_BuildValue(
            "(ll)", counts.passed_over, counts.failures)));
        if (!others || PyList_Append(parts.get(), others.get()) < 0)
            return {};
    }
    if (counts.unlisted_folders > 0) {
        py::Ref unlisted = format_text(
            "；%d 个文件夹无法读取，其中的内容不会处理"_id,
            py::Ref::steal(Py_BuildValue("(l)", counts.unlisted_folders)));
        if (!unlisted || PyList_Append(parts.get(), unlisted.get()) < 0)
            return {};
    }
    PyObject* end = "。"_id.get();
    if (!end || PyList_Append(parts.get(), end) < 0)
        return {};
    PyObject* nothing = ""_id.get();
    return nothing ? py::Ref::steal(PyUnicode_Join(nothing, parts.get())) : py::Ref();
}

py::Ref table_headings(ModeKind mode)
{
    std::array<py::Ref, 4> headings;
    bool made = (headings[0] = text_of("类型"_id)) && (headings[1] = text_of("路径"_id))
        && (headings[2] = text_of(mode == ModeKind::contents ? "匹配数"_id : "新名称"_id))
        && (headings[3] = text_of("问题"_id));
    return made ? list_of(headings) : py::Ref();
}

py::Ref item_details(const run::PlannedItem& item)
{
    switch (item.outcome) {
    case Outcome::change:
        if (item.kind == ItemKind::file_content)
            return content_details(item);
        if (item.kind == ItemKind::content_restore)
            return format_text("%s\n恢复为替换前的内容"_id, pack({item.path.get()}));
        return format_text("%s\n→ %s"_id, pack({item.path.get(), item.new_path.get()}));
    case Outcome::failure: {
        if (!item.problem)
            return py::Ref::borrow(item.path.get());
        py::Ref reason = reason_text(item.problem.get());
        py::Ref original = reason ? original_text(item.problem.get()) : py::Ref();
        return original ? format_text("%s\n%s\n%s"_id,
                                      pack({item.path.get(), reason.get(), original.get()}))
                        : py::Ref();
    }
    case Outcome::passed_over:
        break;
    }
    return format_text("%s\n跳过：%s"_id, pack({item.path.get(), pass_over_text(item.reason).get()}));
}

}  // namespace tw::ui
