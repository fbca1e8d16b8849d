// What a run installs on its thread for the file-system layer: its record,
// and the file it decided on for the path in hand.
#include "platform/fs.h"

#include "py/ops.h"

namespace tw::platform {

RecordScope::~RecordScope() = default;

int RecordScope::install(native::Record* record) { return slot_.install(record); }

native::Record* installed_record() { return static_cast<native::Record*>(ThreadSlot::find(kRunRecordSlot)); }

ExpectFile::~ExpectFile() = default;

int ExpectFile::install(PyObject* expected_path, PyObject* stat_result)
{
    py::Ref device = py::getattr(stat_result, "st_dev"_id);
    py::Ref number = device ? py::getattr(stat_result, "st_ino"_id) : py::Ref();
    if (!number)
        return -1;
    id.device = PyLong_AsUnsignedLongLongMask(device.get());
    if (PyErr_Occurred())
        return -1;
    id.number = PyLong_AsUnsignedLongLongMask(number.get());
    if (PyErr_Occurred())
        return -1;
    path = py::Ref::borrow(expected_path);
    return slot_.install(this);
}

const native::FileId* expected_for(PyObject* path)
{
    auto* expected = static_cast<ExpectFile*>(ThreadSlot::find(kExpectedFileSlot));
    if (!expected || !expected->path)
        return nullptr;
    if (expected->path.get() == path)
        return &expected->id;
    int same = PyObject_RichCompareBool(expected->path.get(), path, Py_EQ);
    if (same < 0)
        PyErr_Clear();  // not comparable: not the path expected
    return same > 0 ? &expected->id : nullptr;
}

}  // namespace tw::platform
