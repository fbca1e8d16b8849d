#include "ui/background.h"

#include "py/boundary.h"

#include <system_error>

namespace tw::ui {

BackgroundRun::~BackgroundRun() { stop(); }

int BackgroundRun::start(Task task)
{
    if (thread_.joinable()) {
        // Replacing a joinable std::thread would end the process.
        PyErr_SetString(PyExc_RuntimeError, "a run is already going");
        return -1;
    }
    task_ = std::move(task);
    finished_.store(false, std::memory_order_relaxed);
    try {
        thread_ = std::thread(&BackgroundRun::work, this);
    } catch (const std::system_error& error) {
        PyErr_Format(PyExc_RuntimeError, "could not start the run: %s", error.what());
        return -1;
    }
    return 0;
}

void BackgroundRun::work() noexcept
{
    PyGILState_STATE state = PyGILState_Ensure();
    {
        run::ReportScope scope(report_);
        result_ = py::guard([&] { return task_(); });
        if (!result_) {
            py::ensure_error_set();
            error_.emplace();
        }
    }
    PyGILState_Release(state);
    finished_.store(true, std::memory_order_release);
}

void BackgroundRun::join() noexcept
{
    if (!thread_.joinable())
        return;
    Py_BEGIN_ALLOW_THREADS
    try {
        thread_.join();
    } catch (const std::system_error&) {
        // Only a self-join or a thread that is not joinable fails here;
        // neither can happen, and the thread is still ours to join.
    }
    Py_END_ALLOW_THREADS
}

void BackgroundRun::stop() noexcept
{
    cancel();
    join();
}

py::Ref BackgroundRun::take_result()
{
    if (error_) {
        error_->restore();
        error_.reset();
        return {};
    }
    return std::move(result_);
}

}  // namespace tw::ui
