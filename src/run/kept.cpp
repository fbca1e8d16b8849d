#include "run/kept.h"

#include "py/ops.h"
#include "run/probe.h"

namespace tw::run {

namespace {

// The file size a signature records (its third field).
std::uint64_t signed_size(PyObject* signature)
{
    unsigned long long size = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(signature, 2));
    if (PyErr_Occurred()) {
        PyErr_Clear();  // a size that does not fit only keeps its write out
        return UINT64_MAX;
    }
    return size;
}

}  // namespace

int KeptDecisions::keep(PyObject* path, PyObject* stat_result, Verdict verdict, std::function<int()> write)
{
    if (!index_ && !(index_ = py::Ref::steal(PyDict_New())))
        return -1;
    py::Ref signature = write_signature(stat_result);
    py::Ref position = signature ? py::Ref::steal(PyLong_FromSize_t(decisions_.size())) : py::Ref();
    if (!position)
        return -1;
    if (write) {
        std::uint64_t size = signed_size(signature.get());
        if (size > kWriteBudget - write_bytes_)
            write = nullptr;
        else
            write_bytes_ += size;
    }
    decisions_.push_back({std::move(signature), verdict, std::move(write)});
    if (PyDict_SetItem(index_.get(), path, position.get()) == 0)
        return 0;
    decisions_.pop_back();
    return -1;
}

const KeptDecision* KeptDecisions::find(PyObject* path, PyObject* stat_result)
{
    if (!index_)
        return nullptr;
    PyObject* position = PyDict_GetItemWithError(index_.get(), path);  // borrowed
    if (!position)
        return nullptr;
    std::size_t at = PyLong_AsSize_t(position);
    if (at == static_cast<std::size_t>(-1) && PyErr_Occurred())
        return nullptr;
    const KeptDecision& kept = decisions_.at(at);
    py::Ref now = write_signature(stat_result);
    int same = now ? py::equals(now.get(), kept.signature.get()) : -1;
    if (same <= 0)
        return nullptr;
    ++taken_;
    return &kept;
}

void KeptDecisions::clear()
{
    decisions_.clear();
    index_ = py::Ref();
    write_bytes_ = 0;
    taken_ = 0;
}

}  // namespace tw::run
