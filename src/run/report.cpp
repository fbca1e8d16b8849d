#include "run/report.h"

namespace tw::run {

namespace {

thread_local Report* t_current = nullptr;

PyObject* list_made_once(py::Ref& list)
{
    if (!list)
        list = py::Ref::steal(PyList_New(0));
    return list.get();
}

int append(py::Ref& list, PyObject* item)
{
    PyObject* made = list_made_once(list);
    return made ? PyList_Append(made, item) : -1;
}

}  // namespace

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

PyObject* Report::failures() const { return list_made_once(failures_); }

int Report::record_failure(PyObject* error)
{
    if (append(failures_, error) < 0)
        return -1;
    ++failed;
    return 0;
}

int Report::record_unlisted_folder(PyObject* error)
{
    if (append(failures_, error) < 0)
        return -1;
    ++unlisted_folders;
    return 0;
}

PyObject* Report::renamed_folders() const { return list_made_once(renamed_folders_); }

int Report::record_renamed_folder(PyObject* old_path, PyObject* new_path)
{
    py::Ref pair = py::Ref::steal(PyTuple_Pack(2, old_path, new_path));
    return pair ? append(renamed_folders_, pair.get()) : -1;
}

PyObject* Report::notes() const { return list_made_once(notes_); }

int Report::record_note(PyObject* line) { return append(notes_, line); }

Report* current_report() { return t_current; }

const Options& current_options()
{
    static const Options defaults;
    return t_current ? t_current->options : defaults;
}

ReportScope::ReportScope(Report& report) : previous_(t_current) { t_current = &report; }

ReportScope::~ReportScope() { t_current = previous_; }

namespace {

// The type of the error stop_mid_item sets, made on its first use.
py::Ref& stopped_type()
{
    static py::Ref& type = py::process_wide_ref();
    return type;
}

}  // namespace

void stop_mid_item()
{
    py::Ref& type = stopped_type();
    if (!type)
        type = py::Ref::steal(
            PyErr_NewException("termweave_mira7.StoppedMidItem", PyExc_BaseException, nullptr));
    if (type)
        PyErr_SetString(type.get(), "cancelled in the middle of an item");
}

// Never raised before the type exists, so it need not be made here.
bool stopped_mid_item()
{
    py::Ref& type = stopped_type();
    return type && PyErr_ExceptionMatches(type.get());
}

}  // namespace tw::run
