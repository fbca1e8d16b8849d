#include "ui/off_thread.h"

namespace tw::ui {

int run_off_thread(const Owner& owner, BackgroundRun& run, Pass pass, long total,
                   BackgroundRun::Task task, Ended& ended)
{
    Waited waited = Waited::finished;
    if (!run.ready() || run.start(std::move(task)) < 0 ||
        wait_for_run(owner, run, pass, total, waited) < 0)
        return -1;
    ended.leaving = waited == Waited::leaving;
    ended.result = run.take_result();
    if (ended.result)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    ended.error.emplace();
    return 0;
}

}  // namespace tw::ui
