// A slow match carried on off the run's thread, so that the run can stop
// waiting for it when the user cancels.
//
// The run's thread and the matcher thread share one SlowMatch. The matcher
// thread holds the interpreter's lock while it calls (regex gives it back
// while it matches) and while it lets go of Python objects; the run's
// thread waits with the lock released. Lock order: the interpreter's lock
// before the SlowMatch's mutex, never the other way round.
//
// A matcher thread must never wake into a finalizing interpreter: on its
// first use an exit function is registered that waits, with the lock
// released, for every matcher thread still running; each ends within the
// hard time limit.
#include "keyword/engine.h"

#include "py/boundary.h"
#include "py/error.h"
#include "py/ops.h"
#include "run/report.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace tw::keyword {

namespace {

// How often the waiting run's thread looks at the cancel request.
constexpr auto k_cancel_poll = std::chrono::milliseconds(20);

struct SlowMatch {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;       // the result or the error is in
    bool abandoned = false;  // the run's thread no longer waits for it
    // Python objects: touched only with the interpreter's lock held.
    MatchJob job;
    double limit = 0;
    py::Ref result;
    std::unique_ptr<py::PendingError> error;
};

// The matcher threads still running. Never destroyed: a thread may still
// signal it while the process exits.
struct Running {
    std::mutex mutex;
    std::condition_variable ended;
    long count = 0;
};

Running& running()
{
    static Running* threads = new Running;
    return *threads;
}

void thread_ended()
{
    Running& threads = running();
    {
        std::lock_guard<std::mutex> lock(threads.mutex);
        --threads.count;
    }
    threads.ended.notify_all();
}

// atexit: waits for the matcher threads, the lock released.
PyObject* wait_for_matchers(PyObject*, PyObject*) noexcept
{
    Running& threads = running();
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(threads.mutex);
        threads.ended.wait(lock, [&] { return threads.count == 0; });
    }
    PyEval_RestoreThread(saved);
    Py_RETURN_NONE;
}

PyMethodDef g_wait_for_matchers = {"wait_for_matchers", wait_for_matchers, METH_NOARGS, nullptr};

// 0 once the exit wait is registered, -1 with the exception set.
int register_exit_wait()
{
    static bool registered = false;
    if (registered)
        return 0;
    py::Ref atexit = py::Ref::steal(PyImport_ImportModule("atexit"));
    py::Ref wait = atexit ? py::Ref::steal(PyCFunction_New(&g_wait_for_matchers, nullptr)) : py::Ref();
    if (!wait || !py::call_method(atexit.get(), "register"_id, wait))
        return -1;
    registered = true;
    return 0;
}

void match_off_thread(std::shared_ptr<SlowMatch> slow) noexcept
{
    PyGILState_STATE state = PyGILState_Ensure();
    py::Ref result = py::guard([&] { return perform(slow->job, slow->limit); });
    std::unique_ptr<py::PendingError> error;
    if (!result)
        error = std::make_unique<py::PendingError>();
    slow->job = {};
    {
        std::lock_guard<std::mutex> lock(slow->mutex);
        if (!slow->abandoned) {
            slow->result = std::move(result);
            slow->error = std::move(error);
        }
        slow->done = true;
    }
    slow->finished.notify_all();
    // An abandoned match's result goes here, with the lock still held.
    result = {};
    error.reset();
    PyGILState_Release(state);
    thread_ended();
}

// Starts the matcher thread. 0, or -1 when no thread could be made.
int start_thread(const std::shared_ptr<SlowMatch>& slow)
{
    {
        std::lock_guard<std::mutex> lock(running().mutex);
        ++running().count;
    }
    try {
        std::thread(match_off_thread, slow).detach();
        return 0;
    } catch (const std::system_error&) {
        thread_ended();
        return -1;
    }
}

// Waits, with the lock released, until the match is done or a cancel is
// requested. True when it is done.
bool wait_for(SlowMatch& slow, const run::Report* report)
{
    bool done;
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(slow.mutex);
        while (!slow.done && !(report && report->cancel_requested()))
            slow.finished.wait_for(lock, k_cancel_poll);
        done = slow.done;
        slow.abandoned = !done;
    }
    PyEval_RestoreThread(saved);
    return done;
}

py::Ref timed_out()
{
    std::string text = "匹配超时：旧关键字在一段文本上匹配了 " +
                       std::to_string(static_cast<long>(match_limits().hard_limit)) + " 秒仍未完成";
    py::Ref message = py::Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message)
        PyErr_SetObject(PyExc_TimeoutError, message.get());
    return {};
}

}  // namespace

long running_matchers()
{
    std::lock_guard<std::mutex> lock(running().mutex);
    return running().count;
}

py::Ref finish_off_thread(MatchJob job)
{
    double limit = match_limits().hard_limit - match_limits().first_slice;
    if (register_exit_wait() < 0)
        return {};
    auto slow = std::make_shared<SlowMatch>();
    slow->job = std::move(job);
    slow->limit = limit > 0 ? limit : 0;
    py::Ref result;
    if (start_thread(slow) < 0) {
        // No thread to spare: the match goes on here, the lock still given back.
        result = perform(slow->job, slow->limit);
        slow->job = {};
    } else if (!wait_for(*slow, run::current_report())) {
        run::stop_mid_item();
        return {};
    } else if (slow->error) {
        slow->error->restore();
    } else {
        result = std::move(slow->result);
    }
    if (result || !PyErr_ExceptionMatches(PyExc_TimeoutError))
        return result;
    PyErr_Clear();
    return timed_out();
}

}  // namespace tw::keyword
