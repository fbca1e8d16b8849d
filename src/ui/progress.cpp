#include "ui/progress.h"

#include "py/error.h"

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

class ProgressWindow {
public:
    explicit ProgressWindow(Pass pass) : pass_(pass) {}

    bool is_open() const { return static_cast<bool>(window_); }

    int open(const Owner& owner)
    {
        std::array<py::Ref, 3> rows;
        std::array<py::Ref, 1> cell;
        py::Id heading = pass_ == Pass::plan ? "正在查找匹配项，请稍候…"_id : "正在替换，请稍候…"_id;
        bool made = (cell[0] = element("Text"_id, {heading},
                                       {{"key"_id, "progress_count"_id}, {"size"_id, size(60)}}))
            && (rows[0] = list_of(cell))
            && (cell[0] = element("Text"_id, {""_id},
                                  {{"key"_id, "progress_path"_id}, {"size"_id, size(k_path_width)}}))
            && (rows[1] = list_of(cell))
            && (cell[0] = element("Button"_id, {"取消"_id}, {}))
            && (rows[2] = list_of(cell));
        py::Ref layout = made ? list_of(rows) : py::Ref();
        window_ = layout ? open_owned_window(owner, layout.get(), false) : py::Ref();
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
        int cancel = py::equals(event.get(), "取消"_id);
        if (cancel > 0 && update_element(window_.get(), "取消"_id, {"disabled"_id, Py_True}) < 0)
            return -1;
        return cancel;
    }

    int refresh(const run::Report& report, bool cancelling)
    {
        if (closed_by_user_)
            return 0;
        py::Ref count = count_line(report, pass_, cancelling);
        py::Ref path = count ? shortened(report.current()) : py::Ref();
        if (!path)
            return -1;
        return show(count_shown_, "progress_count"_id, count)
            || show(path_shown_, "progress_path"_id, path) ? -1 : 0;
    }

    int close()
    {
        py::Ref window = std::move(window_);
        return !window || py::call_method(window.get(), "close"_id) ? 0 : -1;
    }

private:
    static py::Ref size(long width) { return py::Ref::steal(Py_BuildValue("(li)", width, 1)); }

    // Updates a text element only when its text changed. 0, or -1 (as true).
    int show(py::Ref& shown, py::Id key, const py::Ref& text)
    {
        int same = shown ? py::equals(shown.get(), text.get()) : 0;
        if (same != 0)
            return same < 0 ? -1 : 0;
        if (update_element(window_.get(), key, {"value"_id, text}) < 0)
            return -1;
        shown = text;
        return 0;
    }

    Pass pass_;
    py::Ref window_;
    py::Ref count_shown_, path_shown_;
    bool closed_by_user_ = false;
};

// One round of waiting: the main window's events, then the progress window.
// Returns 1 when the user leaves the program, 0 to go on, -1 on error.
int wait_once(const Owner& owner, BackgroundRun& run, ProgressWindow& progress,
              Clock::time_point started)
{
    py::Ref event, values;
    if (read_window(owner, owner.window, event, values) < 0)
        return -1;
    int leave = is_exit_event(event.get());
    if (leave != 0)
        return leave;
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

int watch(const Owner& owner, BackgroundRun& run, ProgressWindow& progress, Waited& waited)
{
    Clock::time_point started = Clock::now();
    while (!run.finished()) {
        int leave = wait_once(owner, run, progress, started);
        if (leave < 0)
            return -1;
        if (leave) {
            run.stop();
            waited = Waited::leaving;
            return 0;
        }
    }
    run.join();
    waited = Waited::finished;
    return 0;
}

}  // namespace

int wait_for_run(const Owner& owner, BackgroundRun& run, Pass pass, Waited& waited)
{
    ProgressWindow progress(pass);
    if (watch(owner, run, progress, waited) < 0) {
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
