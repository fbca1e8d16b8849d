#include "ui/preview.h"

#include "py/error.h"
#include "ui/preview_text.h"

#include <array>

namespace tw::ui {

namespace {

// Rows in the table at a time. Tk's table takes about 60 µs a row, so a
// plan of tens of thousands of items is shown a page at a time and the
// window opens at once.
constexpr std::size_t k_page_rows = 1000;
constexpr long k_table_lines = 15;

py::Ref pair_of(long first, long second)
{
    return py::Ref::steal(Py_BuildValue("(ll)", first, second));
}

py::Ref table_element(ModeKind mode, const py::Ref& rows)
{
    py::Ref headings = table_headings(mode);
    // Narrow enough for a screen 800 pixels wide; the details show the rest.
    int third = mode == ModeKind::contents ? 8 : 20;
    py::Ref widths = headings ? py::Ref::steal(Py_BuildValue("[iiii]", 5, 38, third, 42 - third))
                              : py::Ref();
    py::Ref lines = widths ? py::Ref::steal(PyLong_FromLong(k_table_lines)) : py::Ref();
    if (!lines)
        return {};
    return element("Table"_id, {rows},
                   {{"headings"_id, headings}, {"key"_id, "preview_table"_id},
                    {"auto_size_columns"_id, Py_False}, {"col_widths"_id, widths},
                    {"num_rows"_id, lines}, {"justification"_id, "left"_id},
                    {"select_mode"_id, "browse"_id}, {"enable_events"_id, Py_True}});
}

// The row of page buttons, shown only when the plan has more than one page.
py::Ref page_row()
{
    std::array<py::Ref, 3> row;
    bool made = (row[0] = element("Button"_id, {"上一页"_id}, {{"disabled"_id, Py_True}}))
        && (row[1] = element("Text"_id, {""_id},
                             {{"key"_id, "preview_page"_id}, {"size"_id, pair_of(40, 1)}}))
        && (row[2] = element("Button"_id, {"下一页"_id}, {}));
    return made ? list_of(row) : py::Ref();
}

py::Ref single_row(py::Ref element_made)
{
    std::array<py::Ref, 1> row{std::move(element_made)};
    return row[0] ? list_of(row) : py::Ref();
}

class PreviewWindow {
public:
    PreviewWindow(const Request& request, const run::Plan& plan, const PlanCounts& counts,
                  const PreviewWords& words)
        : request_(request), plan_(plan), counts_(counts), words_(words)
    {
    }

    int open(const Owner& owner)
    {
        if (paths_.start(request_.folder.get()) < 0)
            return -1;
        py::Ref layout = build_layout();
        window_ = layout ? open_owned_window(owner, layout.get(), true) : py::Ref();
        return window_ && show_page_number() == 0 ? 0 : -1;
    }

    // Reads until the user answers. 0 with `confirmed` set, or -1.
    int answer(const Owner& owner, bool& confirmed)
    {
        for (;;) {
            py::Ref event, values;
            if (read_window(owner, window_.get(), event, values) < 0)
                return -1;
            int done = handle(event.get(), values.get(), confirmed);
            if (done != 0)
                return done < 0 ? -1 : 0;
        }
    }

    int close()
    {
        py::Ref window = std::move(window_);
        return !window || py::call_method(window.get(), "close"_id) ? 0 : -1;
    }

private:
    bool paged() const { return plan_.size() > k_page_rows; }
    std::size_t pages() const { return (plan_.size() + k_page_rows - 1) / k_page_rows; }

    py::Ref build_layout()
    {
        py::Ref rows = table_rows(paths_, plan_, 0, k_page_rows);
        py::Ref summary = !rows ? py::Ref() : words_.summary ? words_.summary : preview_summary(request_.mode, counts_);
        py::Ref layout = summary ? py::Ref::steal(PyList_New(0)) : py::Ref();
        auto add = [&](py::Ref row) { return row && PyList_Append(layout.get(), row.get()) == 0; };
        bool made = layout
            && add(single_row(element("Text"_id, {summary}, {{"key"_id, "preview_summary"_id}})))
            && add(single_row(table_element(request_.mode, rows)))
            && (!paged() || add(page_row()))
            && add(single_row(element("Multiline"_id, {"选中一项可查看详情。"_id},
                                      {{"key"_id, "preview_detail"_id}, {"size"_id, pair_of(80, 6)},
                                       {"disabled"_id, Py_True}})))
            && add(single_row(element("Text"_id, {hint()}, {})))
            && add(buttons());
        return made ? layout : py::Ref();
    }

    py::Id confirm() const { return words_.confirm.get ? words_.confirm : "确认替换"_id; }
    py::Id hint() const
    {
        return words_.hint.get ? words_.hint : "按“确认替换”执行以上修改；按“取消”不做任何修改。"_id;
    }

    py::Ref buttons() const
    {
        std::array<py::Ref, 2> row;
        bool made = (row[0] = element("Button"_id, {confirm()}, {}))
            && (row[1] = element("Button"_id, {"取消"_id}, {}));
        return made ? list_of(row) : py::Ref();
    }

    // 1 when the user has answered, 0 to go on reading, -1.
    int handle(PyObject* event, PyObject* values, bool& confirmed)
    {
        int closed = is_closed(event);
        int confirm = closed == 0 ? py::equals(event, this->confirm()) : 0;
        int cancel = confirm == 0 && closed == 0 ? py::equals(event, "取消"_id) : 0;
        if (closed < 0 || confirm < 0 || cancel < 0)
            return -1;
        if (closed || confirm || cancel) {
            confirmed = confirm > 0;
            return 1;
        }
        int selected = py::equals(event, "preview_table"_id);
        if (selected != 0)
            return selected < 0 ? -1 : show_selected(values);
        int next = paged() ? py::equals(event, "下一页"_id) : 0;
        int previous = paged() && next == 0 ? py::equals(event, "上一页"_id) : 0;
        if (next < 0 || previous < 0)
            return -1;
        if (next && page_ + 1 < pages())
            return turn_to(page_ + 1);
        if (previous && page_ > 0)
            return turn_to(page_ - 1);
        return 0;
    }

    // The details of the row selected in the table, if any. 0, or -1.
    int show_selected(PyObject* values)
    {
        py::Ref selection = item(values, "preview_table"_id);
        bool any = selection && PySequence_Check(selection.get()) &&
                   PySequence_Size(selection.get()) > 0;
        py::Ref first = any ? py::Ref::steal(PySequence_GetItem(selection.get(), 0)) : py::Ref();
        if (!first)
            return selection && !PyErr_Occurred() ? 0 : -1;
        Py_ssize_t row = PyLong_AsSsize_t(first.get());
        if (row == -1 && PyErr_Occurred())
            return -1;
        std::size_t index = page_ * k_page_rows + static_cast<std::size_t>(row);
        if (row < 0 || index >= plan_.size())
            return 0;
        py::Ref details = item_details(plan_[index]);
        return details ? show_details(details.get()) : -1;
    }

    int turn_to(std::size_t page)
    {
        py::Ref rows = table_rows(paths_, plan_, page * k_page_rows, k_page_rows);
        if (!rows || update_element(window_.get(), "preview_table"_id, {"values"_id, rows}) < 0)
            return -1;
        page_ = page;
        PyObject* first = page == 0 ? Py_True : Py_False;
        PyObject* last = page + 1 == pages() ? Py_True : Py_False;
        if (update_element(window_.get(), "上一页"_id, {"disabled"_id, first}) < 0
            || update_element(window_.get(), "下一页"_id, {"disabled"_id, last}) < 0
            || show_details("选中一项可查看详情。"_id.get()) < 0)
            return -1;
        return show_page_number();
    }

    int show_details(PyObject* text)
    {
        return text ? update_element(window_.get(), "preview_detail"_id, {"value"_id, text}) : -1;
    }

    // "第 1001–2000 项，共 20000 项"
    int show_page_number()
    {
        if (!paged())
            return 0;
        std::size_t first = page_ * k_page_rows;
        std::size_t last = std::min(plan_.size(), first + k_page_rows);
        py::Ref text = format_text("第 %d–%d 项，共 %d 项"_id, py::Ref::steal(Py_BuildValue(
            "(nnn)", static_cast<Py_ssize_t>(first + 1), static_cast<Py_ssize_t>(last),
            static_cast<Py_ssize_t>(plan_.size()))));
        return text ? update_element(window_.get(), "preview_page"_id, {"value"_id, text}) : -1;
    }

    const Request& request_;
    const run::Plan& plan_;
    const PlanCounts& counts_;
    const PreviewWords& words_;
    PathView paths_;
    py::Ref window_;
    std::size_t page_ = 0;
};

}  // namespace

PlanCounts count_plan(const run::Plan& plan)
{
    PlanCounts counts;
    for (const run::PlannedItem& item : plan) {
        switch (item.outcome) {
        case run::Outcome::change:
            ++counts.changes;
            counts.matches += item.matches;
            break;
        case run::Outcome::failure:
            ++(item.kind == run::ItemKind::folder_listing ? counts.unlisted_folders
                                                          : counts.failures);
            break;
        case run::Outcome::passed_over:
            ++counts.passed_over;
            break;
        }
    }
    return counts;
}

py::Ref nothing_found_text(const PlanCounts& counts)
{
    if (counts.passed_over == 0)
        return py::Ref::borrow("没有找到匹配项"_id.get());
    return format_text("没有找到匹配项\n（跳过 %d 个文件：特殊文件、二进制文件、旧格式文件或本工具的临时文件）"_id,
                       py::Ref::steal(Py_BuildValue("(l)", counts.passed_over)));
}

int show_preview(const Owner& owner, const Request& request, const run::Plan& plan,
                 const PlanCounts& counts, bool& confirmed, const PreviewWords& words)
{
    confirmed = false;
    PreviewWindow window(request, plan, counts, words);
    if (window.open(owner) < 0)
        return -1;
    // Leaving with an error (an interrupt): the window goes, the error stays.
    if (window.answer(owner, confirmed) < 0)
        return py::fail_after([&] { return window.close(); });
    return window.close();
}

}  // namespace tw::ui
