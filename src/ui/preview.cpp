#include "ui/preview.h"

#include "py/error.h"
#include "ui/preview_rows.h"
#include "ui/preview_text.h"
#include "ui/table.h"

#include <array>

namespace tw::ui {

namespace {

// Rows in the table at a time. Tk's table takes about 60 µs a row, so a
// plan of tens of thousands of items is shown a page at a time and the
// window opens at once.
constexpr std::size_t k_page_rows = 1000;
constexpr long k_table_lines = 15;
// Column widths, in characters: tick, kind, path, new name or matches, problem.
constexpr int k_least_widths[] = {3, 5, 24, 8, 10};
constexpr int k_most_widths[] = {3, 6, 60, 30, 30};

py::Ref pair_of(long first, long second)
{
    return py::Ref::steal(Py_BuildValue("(ll)", first, second));
}

py::Ref single_row(py::Ref element_made)
{
    std::array<py::Ref, 1> row{std::move(element_made)};
    return row[0] ? list_of(row) : py::Ref();
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

// The filter box, and the buttons that tick or clear every row shown when
// rows may be left out.
py::Ref filter_row(bool choosable)
{
    py::Ref row = py::Ref::steal(PyList_New(0));
    auto add = [&](py::Ref made) { return made && PyList_Append(row.get(), made.get()) == 0; };
    bool made = row
        && add(element("Text"_id, {"筛选路径："_id}, {}))
        && add(element("InputText"_id, {""_id},
                       {{"key"_id, "preview_filter"_id}, {"size"_id, pair_of(30, 1)},
                        {"enable_events"_id, Py_True}}))
        && (!choosable || (add(element("Button"_id, {"全选"_id}, {}))
                           && add(element("Button"_id, {"全不选"_id}, {}))));
    return made ? row : py::Ref();
}

// The (row, column) of a click on the table: the toolkit reports it as
// (key, "+CLICKED+", (row, column)), the heading being row -1. 1 when
// `event` is such a click, 0 if not, -1.
int table_click(PyObject* event, Py_ssize_t& row, Py_ssize_t& column)
{
    if (!PyTuple_Check(event) || PyTuple_GET_SIZE(event) != 3)
        return 0;
    int ours = py::equals(PyTuple_GET_ITEM(event, 0), "preview_table"_id);
    if (ours <= 0)
        return ours;
    PyObject* where = PyTuple_GET_ITEM(event, 2);
    if (!PyTuple_Check(where) || PyTuple_GET_SIZE(where) != 2)
        return 0;
    PyObject* r = PyTuple_GET_ITEM(where, 0);
    PyObject* c = PyTuple_GET_ITEM(where, 1);
    if (!PyLong_Check(r) || !PyLong_Check(c))
        return 0;  // a click outside the cells
    row = PyLong_AsSsize_t(r);
    column = PyLong_AsSsize_t(c);
    return PyErr_Occurred() ? -1 : 1;
}

class PreviewWindow {
public:
    PreviewWindow(const Request& request, const run::Plan& plan, const PlanCounts& counts,
                  PyObject* warning, const PreviewWords& words)
        : request_(request), rows_(request.mode, plan, words.choosable), counts_(counts),
          warning_(warning), words_(words)
    {
    }

    int open(const Owner& owner)
    {
        if (rows_.start(request_.folder.get()) < 0)
            return -1;
        py::Ref layout = build_layout();
        window_ = layout ? open_owned_window(owner, layout.get(), {.resizable = true}) : py::Ref();
        if (!window_ || bind_key(window_.get(), "<Escape>"_id, "取消"_id) < 0)
            return -1;
        py::Ref table = item(window_.get(), "preview_table"_id);
        if (!table || !py::call_method(table.get(), "bind"_id, "<space>"_id, "+SPACE+"_id))
            return -1;
        return show_page_number();
    }

    // Reads until the user answers. 0 with `answer` set, or -1.
    int answer(const Owner& owner, PreviewAnswer& answer)
    {
        for (;;) {
            py::Ref event, values;
            if (read_window(owner, window_.get(), event, values) < 0)
                return -1;
            int done = handle(event.get(), values.get(), answer);
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
    bool paged() const { return rows_.plan_size() > k_page_rows; }
    std::size_t pages() const
    {
        return std::max<std::size_t>(1, (rows_.shown_count() + k_page_rows - 1) / k_page_rows);
    }

    py::Ref table(const py::Ref& rows)
    {
        py::Ref headings = rows_.headings();
        py::Ref widths = headings ? fitted_widths(headings.get(), rows.get(), k_least_widths,
                                                  k_most_widths) : py::Ref();
        return table_element("preview_table"_id, headings, rows, widths, k_table_lines, true);
    }

    py::Ref build_layout()
    {
        py::Ref rows = rows_.page(0, k_page_rows);
        py::Ref summary = !rows ? py::Ref() : words_.summary ? words_.summary : preview_summary(request_.mode, counts_);
        py::Ref ticked = summary ? rows_.ticked_text() : py::Ref();
        py::Ref layout = ticked ? py::Ref::steal(PyList_New(0)) : py::Ref();
        auto add = [&](py::Ref row) { return row && PyList_Append(layout.get(), row.get()) == 0; };
        bool made = layout
            && add(single_row(element("Text"_id, {summary}, {{"key"_id, "preview_summary"_id}})))
            && (!warning_ || add(single_row(element("Text"_id, {warning_},
                   {{"key"_id, "preview_warning"_id}, {"text_color"_id, "#B00000"_id}}))))
            && add(filter_row(words_.choosable))
            && add(single_row(table(rows)))
            && (!paged() || add(page_row()))
            && (!words_.choosable || add(single_row(element("Text"_id, {ticked},
                   {{"key"_id, "preview_ticked"_id}, {"size"_id, pair_of(60, 1)}}))))
            && add(single_row(element("Multiline"_id, {"选中一项可查看详情。"_id},
                                      {{"key"_id, "preview_detail"_id}, {"size"_id, pair_of(80, 6)},
                                       {"disabled"_id, Py_True}, {"expand_x"_id, Py_True}})))
            && add(single_row(element("Text"_id, {hint()}, {})))
            && add(buttons());
        return made ? layout : py::Ref();
    }

    py::Id confirm() const { return words_.confirm.get ? words_.confirm : "确认替换"_id; }
    py::Id hint() const
    {
        return words_.hint.get ? words_.hint
            : "勾选的项目将被修改（空格键或点击勾选列可切换）。按“确认替换”执行；按“取消”不做任何修改。"_id;
    }

    py::Ref buttons() const
    {
        std::array<py::Ref, 2> row;
        bool made = (row[0] = element("Button"_id, {confirm()}, {}))
            && (row[1] = element("Button"_id, {"取消"_id}, {}));
        return made ? list_of(row) : py::Ref();
    }

    // 1 when the user has answered, 0 to go on reading, -1.
    int handle(PyObject* event, PyObject* values, PreviewAnswer& answer)
    {
        int closed = is_closed(event);
        int confirm = closed == 0 ? py::equals(event, this->confirm()) : 0;
        int cancel = confirm == 0 && closed == 0 ? py::equals(event, "取消"_id) : 0;
        if (closed < 0 || confirm < 0 || cancel < 0)
            return -1;
        if (closed || confirm || cancel) {
            answer.confirmed = confirm > 0;
            answer.ticked = rows_.ticked_changes();
            return answer.confirmed && rows_.left_out(answer.left_out) < 0 ? -1 : 1;
        }
        Py_ssize_t row = 0, column = 0;
        int click = table_click(event, row, column);
        if (click != 0)
            return click < 0 ? -1 : clicked(row, column);
        return handle_named(event, values);
    }

    // Events named by a text: selection, Space, filter, pages, ticks. 0, or -1.
    int handle_named(PyObject* event, PyObject* values)
    {
        if (!PyUnicode_Check(event))
            return 0;
        struct Action { py::Id name; int (PreviewWindow::*act)(PyObject* values); };
        static const Action actions[] = {
            {"preview_table"_id, &PreviewWindow::show_selected},
            {"preview_table+SPACE+"_id, &PreviewWindow::toggle_selected},
            {"preview_filter"_id, &PreviewWindow::filter},
            {"全选"_id, &PreviewWindow::tick_all},
            {"全不选"_id, &PreviewWindow::clear_all},
            {"下一页"_id, &PreviewWindow::next_page},
            {"上一页"_id, &PreviewWindow::previous_page},
        };
        for (const Action& action : actions) {
            int hit = py::equals(event, action.name);
            if (hit != 0)
                return hit < 0 ? -1 : (this->*action.act)(values);
        }
        return 0;
    }

    // A click on a heading sorts by its column; one on a tick toggles it.
    int clicked(Py_ssize_t row, Py_ssize_t column)
    {
        if (row == -1 && column >= 0)
            return sort_by(column);
        if (row >= 0 && column == 0)
            return toggle_rows({row});
        return 0;
    }

    // The rows selected on this page, from the table itself.
    int selected_rows(std::vector<Py_ssize_t>& rows)
    {
        py::Ref table = item(window_.get(), "preview_table"_id);
        py::Ref selection = table ? py::call_method(table.get(), "get"_id) : py::Ref();
        if (!selection)
            return -1;
        return py::for_each(selection.get(), [&](PyObject* index) {
            Py_ssize_t row = PyLong_AsSsize_t(index);
            if (row == -1 && PyErr_Occurred())
                return -1;
            rows.push_back(row);
            return 0;
        });
    }

    int show_selected(PyObject*)
    {
        std::vector<Py_ssize_t> rows;
        if (selected_rows(rows) < 0)
            return -1;
        if (rows.empty())
            return 0;
        py::Ref details = rows_.details(page_ * k_page_rows + static_cast<std::size_t>(rows.front()));
        return details ? show_details(details.get()) : (PyErr_Occurred() ? -1 : 0);
    }

    int toggle_selected(PyObject*)
    {
        std::vector<Py_ssize_t> rows;
        return selected_rows(rows) < 0 ? -1 : toggle_rows(rows);
    }

    int toggle_rows(const std::vector<Py_ssize_t>& rows)
    {
        for (Py_ssize_t row : rows) {
            std::size_t at = page_ * k_page_rows + static_cast<std::size_t>(row);
            if (!rows_.toggle(at))
                continue;
            py::Ref shown = rows_.row(at);
            if (!shown || set_table_row(window_.get(), "preview_table"_id, row, shown.get()) < 0)
                return -1;
        }
        return show_ticked();
    }

    int tick_all(PyObject*) { return set_all(true); }
    int clear_all(PyObject*) { return set_all(false); }

    int set_all(bool ticked)
    {
        rows_.tick_shown(ticked);
        return show_page(page_) < 0 ? -1 : show_ticked();
    }

    int filter(PyObject* values)
    {
        py::Ref text = item(values, "preview_filter"_id);
        if (!text || rows_.filter(text.get()) < 0)
            return -1;
        return show_page(0);
    }

    int sort_by(Py_ssize_t column)
    {
        if (rows_.sort(column) < 0)
            return -1;
        for (Py_ssize_t c = 0; c < rows_.columns(); ++c) {
            py::Ref heading = rows_.heading(c);
            py::Ref name = heading ? rows_.column_name(c) : py::Ref();
            if (!name || set_table_heading(window_.get(), "preview_table"_id, name.get(),
                                           heading.get()) < 0)
                return -1;
        }
        return show_page(0);
    }

    int next_page(PyObject*) { return page_ + 1 < pages() ? show_page(page_ + 1) : 0; }
    int previous_page(PyObject*) { return page_ > 0 ? show_page(page_ - 1) : 0; }

    int show_page(std::size_t page)
    {
        py::Ref rows = rows_.page(page * k_page_rows, k_page_rows);
        if (!rows || update_element(window_.get(), "preview_table"_id, {"values"_id, rows}) < 0)
            return -1;
        page_ = page;
        if (paged()) {
            PyObject* first = page == 0 ? Py_True : Py_False;
            PyObject* last = page + 1 >= pages() ? Py_True : Py_False;
            if (update_element(window_.get(), "上一页"_id, {"disabled"_id, first}) < 0
                || update_element(window_.get(), "下一页"_id, {"disabled"_id, last}) < 0)
                return -1;
        }
        if (show_details("选中一项可查看详情。"_id.get()) < 0)
            return -1;
        return show_page_number();
    }

    int show_details(PyObject* text)
    {
        return text ? update_element(window_.get(), "preview_detail"_id, {"value"_id, text}) : -1;
    }

    int show_ticked()
    {
        py::Ref text = rows_.ticked_text();
        return text ? update_element(window_.get(), "preview_ticked"_id, {"value"_id, text}) : -1;
    }

    // "第 1001–2000 项，共 20000 项"
    int show_page_number()
    {
        if (!paged())
            return 0;
        std::size_t shown = rows_.shown_count();
        std::size_t first = std::min(shown, page_ * k_page_rows + 1);
        std::size_t last = std::min(shown, page_ * k_page_rows + k_page_rows);
        py::Ref text = format_text("第 %d–%d 项，共 %d 项"_id, py::Ref::steal(Py_BuildValue(
            "(nnn)", static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(last),
            static_cast<Py_ssize_t>(shown))));
        return text ? update_element(window_.get(), "preview_page"_id, {"value"_id, text}) : -1;
    }

    const Request& request_;
    PreviewRows rows_;
    const PlanCounts& counts_;
    PyObject* warning_;
    const PreviewWords& words_;
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
    return format_text("没有找到匹配项\n（跳过 %d 项：版本库目录、隐藏项、特殊文件、二进制文件、旧格式文件或本工具的临时文件）"_id,
                       py::Ref::steal(Py_BuildValue("(l)", counts.passed_over)));
}

int show_preview(const Owner& owner, const Request& request, const run::Plan& plan,
                 const PlanCounts& counts, PyObject* warning, PreviewAnswer& answer,
                 const PreviewWords& words)
{
    answer = PreviewAnswer();
    PreviewWindow window(request, plan, counts, warning, words);
    if (window.open(owner) < 0)
        return -1;
    // Leaving with an error (an interrupt): the window goes, the error stays.
    if (window.answer(owner, answer) < 0)
        return py::fail_after([&] { return window.close(); });
    return window.close();
}

}  // namespace tw::ui
