#include "ui/progress.h"

#include "py/error.h"
#include "ui/message.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

namespace tw::ui {

namespace {

using Clock = std::chrono::steady_clock;

// A run that ends sooner shows no progress window at all.
constexpr auto k_show_after = std::chrono::milliseconds(500);
// Characters of the current path shown; a longer path keeps its end.
constexpr Py_ssize_t k_path_width = 60;

py::Ref text_of(const std::string& utf8)
{
    return py::Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                               "replace"));
}

// "…" and the path's last characters when it is too long to show whole.
py::Ref shortened(const std::string& path)
{
    py::Ref text = text_of(path);
    if (!text)
        return {};
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (length <= k_path_width)
        return text;
    py::Ref tail = py::Ref::steal(PyUnicode_Substring(text.get(), length - k_path_width + 1, length));
    return tail ? format_text("…%s"_id, py::Ref::steal(PyTuple_Pack(1, tail.get()))) : py::Ref();
}

py::Ref count_line(const run::Report& report, Pass pass, bool cancelling)
{
    long seen = report.seen.load(), changed = report.changed.load();
    long passed = report.passed_over.load(), failed = report.failed.load();
    if (cancelling)
        return format_text(pass == Pass::plan ? "正在取消：不做任何修改（已查看 %d 项）"_id
                                              : "正在取消：当前文件处理完后停止（已处理 %d 项）"_id,
                           py::Ref::steal(Py_BuildValue("(l)", seen)));
    return format_text(pass == Pass::plan ? "已查看 %d 项（将修改 %d，跳过 %d，失败 %d）"_id
                                          : "已处理 %d 项（已改 %d，跳过 %d，失败 %d）"_id,
                       py::Ref::steal(Py_BuildValue("(llll)", seen, changed, passed, failed)));
}

// "约 1 分 20 秒": the time left at the pace so far, once there is a pace.
py::Ref time_left_text(long done, long total, Clock::duration spent)
{
    double seconds = std::chrono::duration<double>(spent).count();
    if (done <= 0 || seconds < 1.0)
        return py::Ref::borrow("剩余时间：正在估算…"_id.get());
    if (done >= total)
        return py::Ref::borrow("剩余时间：即将完成"_id.get());
    long left = static_cast<long>(seconds / static_cast<double>(done) *
                                  static_cast<double>(total - done) + 0.5);
    if (left < 60)
        return format_text("剩余时间：约 %d 秒"_id, py::Ref::steal(Py_BuildValue("(l)", std::max(left, 1L))));
    if (left < 3600)
        return format_text("剩余时间：约 %d 分 %d 秒"_id,
                           py::Ref::steal(Py_BuildValue("(ll)", left / 60, left % 60)));
    return format_text("剩余时间：约 %d 小时 %d 分"_id,
                       py::Ref::steal(Py_BuildValue("(ll)", left / 3600, left % 3600 / 60)));
}

py::Ref single_row(py::Ref made)
{
    std::array<py::Ref, 1> row{std::move(made)};
    return row[0] ? list_of(row) : py::Ref();
}

class ProgressWindow {
public:
    ProgressWindow(Pass pass, long total, Clock::time_point started)
        : pass_(pass), total_(pass == Pass::act ? total : 0), started_(started)
    {
    }

    bool is_open() const { return static_cast<bool>(window_); }

    int open(const Owner& owner)
    {
        py::Ref layout = build_layout();
        window_ = layout ? open_owned_window(owner, layout.get(), {.modal = false}) : py::Ref();
        return window_ ? 0 : -1;
    }

    // 1 when the user asks to stop the run ("取消" or the close box), 0 if
    // not, -1 on error.
    int poll(const Owner& owner)
    {
        if (closed_by_user_)
            return 0;
        py::Ref event, values;
        if (read_window(owner, window_.get(), event, values, 0) < 0)
            return -1;
        int closed = is_closed(event.get());
        if (closed != 0) {
            closed_by_user_ = closed > 0;
            return closed;
        }
        return py::equals(event.get(), "取消"_id);
    }

    int refresh(const run::Report& report, bool cancelling)
    {
        if (closed_by_user_)
            return 0;
        if (cancelling && !cancel_shown_) {
            if (update_element(window_.get(), "取消"_id, {"disabled"_id, Py_True}) < 0)
                return -1;
            cancel_shown_ = true;
        }
        py::Ref count = count_line(report, pass_, cancelling);
        py::Ref path = count ? shortened(report.current()) : py::Ref();
        if (!path || show(count_shown_, "progress_count"_id, count)
            || show(path_shown_, "progress_path"_id, path))
            return -1;
        return total_ > 0 ? refresh_bar(report.seen.load()) : 0;
    }

    int close()
    {
        py::Ref window = std::move(window_);
        return !window || py::call_method(window.get(), "close"_id) ? 0 : -1;
    }

private:
    static py::Ref size(long width, long height = 1)
    {
        return py::Ref::steal(Py_BuildValue("(ll)", width, height));
    }

    py::Ref build_layout()
    {
        py::Id heading = pass_ == Pass::plan ? "正在查找匹配项，请稍候…"_id : "正在替换，请稍候…"_id;
        py::Ref layout = py::Ref::steal(PyList_New(0));
        auto add = [&](py::Ref row) { return row && PyList_Append(layout.get(), row.get()) == 0; };
        bool made = layout && add(single_row(element("Text"_id, {heading},
            {{"key"_id, "progress_count"_id}, {"size"_id, size(60)}})));
        if (made && total_ > 0)
            made = add(bar_row()) && add(single_row(element("Text"_id, {"剩余时间：正在估算…"_id},
                {{"key"_id, "progress_left"_id}, {"size"_id, size(60)}})));
        made = made
            && add(single_row(element("Text"_id, {""_id},
                   {{"key"_id, "progress_path"_id}, {"size"_id, size(k_path_width)}})))
            && add(single_row(element("Button"_id, {"取消"_id}, {})));
        return made ? layout : py::Ref();
    }

    py::Ref bar_row()
    {
        std::array<py::Ref, 2> row;
        py::Ref most = py::Ref::steal(PyLong_FromLong(total_));
        py::Ref fraction = most ? fraction_text(0) : py::Ref();
        bool made = fraction
            && (row[0] = element("ProgressBar"_id, {most},
                                 {{"orientation"_id, "h"_id}, {"size"_id, size(40, 20)},
                                  {"key"_id, "progress_bar"_id}}))
            && (row[1] = element("Text"_id, {fraction},
                                 {{"key"_id, "progress_fraction"_id}, {"size"_id, size(24)}}));
        return made ? list_of(row) : py::Ref();
    }

    // "N / M"; a tree that grew since the plan was made shows N / N.
    py::Ref fraction_text(long done) const
    {
        return format_text("%d / %d"_id, py::Ref::steal(Py_BuildValue("(ll)", done,
                                                                      std::max(done, total_))));
    }

    int refresh_bar(long done)
    {
        py::Ref fraction = fraction_text(done);
        py::Ref left = fraction ? time_left_text(done, total_, Clock::now() - started_) : py::Ref();
        if (!left || show(fraction_shown_, "progress_fraction"_id, fraction)
            || show(left_shown_, "progress_left"_id, left))
            return -1;
        if (done == bar_shown_)
            return 0;
        py::Ref count = py::Ref::steal(PyLong_FromLong(std::min(done, total_)));
        if (!count || update_element(window_.get(), "progress_bar"_id, {"current_count"_id, count}) < 0)
            return -1;
        bar_shown_ = done;
        return 0;
    }

    // Updates a text element only when its text changed. 0, or -1 (as true).
    int show(py::Ref& shown, py::Id key, const py::Ref& text)
    {
        if (!text)
            return -1;
        int same = shown ? py::equals(shown.get(), text.get()) : 0;
        if (same != 0)
            return same < 0 ? -1 : 0;
        if (update_element(window_.get(), key, {"value"_id, text}) < 0)
            return -1;
        shown = text;
        return 0;
    }

    Pass pass_;
    long total_;
    Clock::time_point started_;
    py::Ref window_;
    py::Ref count_shown_, path_shown_, fraction_shown_, left_shown_;
    long bar_shown_ = -1;
    bool closed_by_user_ = false;
    bool cancel_shown_ = false;
};

// Asks whether to stop the run and leave: `leave` is set when the user says so.
int stop_and_leave(const Owner& owner, bool& leave)
{
    return ask(owner, "正在替换，确定要停止吗？"_id, "停止并退出"_id, "继续替换"_id, leave);
}

// One round of waiting: the main window's events, then the progress window.
// Sets `leaving` when the user chose to stop the run and leave the program.
// Returns 0 to go on, -1 on error.
int wait_once(const Owner& owner, BackgroundRun& run, ProgressWindow& progress,
              Clock::time_point started, bool& leaving)
{
    py::Ref event, values;
    if (read_window(owner, owner.window, event, values) < 0)
        return -1;
    int leave = leaving ? 0 : is_exit_event(event.get());
    if (leave < 0)
        return -1;
    // A run that has ended meanwhile asks nothing: its summary comes, then the program ends.
    if (leave > 0 && run.finished())
        leaving = true;
    else if (leave > 0 && stop_and_leave(owner, leaving) < 0)
        return -1;
    if (leaving)
        run.cancel();
    if (!progress.is_open() && !run.finished() && Clock::now() - started >= k_show_after &&
        progress.open(owner) < 0)
        return -1;
    if (!progress.is_open())
        return 0;
    int cancel = progress.poll(owner);
    if (cancel < 0)
        return -1;
    if (cancel)
        run.cancel();
    return progress.refresh(run.report(), run.cancelled());
}

int watch(const Owner& owner, BackgroundRun& run, ProgressWindow& progress,
          Clock::time_point started, Waited& waited)
{
    bool leaving = false;
    while (!run.finished()) {
        if (wait_once(owner, run, progress, started, leaving) < 0)
            return -1;
    }
    run.join();
    waited = leaving ? Waited::leaving : Waited::finished;
    return 0;
}

}  // namespace

int wait_for_run(const Owner& owner, BackgroundRun& run, Pass pass, long total, Waited& waited)
{
    Clock::time_point started = Clock::now();
    ProgressWindow progress(pass, total, started);
    if (watch(owner, run, progress, started, waited) < 0) {
        // Leaving with an error (an interrupt, a toolkit fault): the run
        // must not outlive us, and the error is what the caller sees.
        return py::fail_after([&] {
            run.stop();
            return progress.close();
        });
    }
    return progress.close();
}

}  // namespace tw::ui
