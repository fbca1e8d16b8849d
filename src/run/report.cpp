#include "run/report.h"

namespace tw::run {

namespace {
thread_local Report* t_current = nullptr;
}

Report::Report()
    : failures_(py::Ref::steal(PyList_New(0))), renamed_folders_(py::Ref::steal(PyList_New(0)))
{
}

void Report::set_current(std::string path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = std::move(path);
}

std::string Report::current() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

int Report::record_failure(PyObject* error)
{
    if (!failures_)
        return PyErr_NoMemory(), -1;
    if (PyList_Append(failures_.get(), error) < 0)
        return -1;
    ++failed;
    return 0;
}

Report* current_report() { return t_current; }

ReportScope::ReportScope(Report& report) : previous_(t_current) { t_current = &report; }

ReportScope::~ReportScope() { t_current = previous_; }

void note_reported_failure(PyObject*, PyObject*) {}

}  // namespace tw::run
