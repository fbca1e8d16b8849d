#include "content/workbook_values.h"

#include "py/ops.h"

#include <cmath>
#include <string>
#include <string_view>

namespace tw::content::workbook {

namespace {

// Integers beyond this are not held exactly by the double a cell holds.
constexpr long long kExactInteger = 1LL << 53;

py::Ref import(const char* name) { return py::Ref::steal(PyImport_ImportModule(name)); }

// A text that is not of the type asked for: None, the "no" of the readers
// below. Anything but a ValueError or OverflowError stays an error.
py::Ref not_of_type()
{
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
        return {};
    PyErr_Clear();
    return py::none();
}

// `value` when its text form is `text` exactly, else None.
py::Ref if_written_as(py::Ref value, PyObject* text)
{
    if (!value || value.get() == Py_None)
        return value;
    py::Ref shown = py::Ref::steal(PyObject_Str(value.get()));
    int same = shown ? py::equals(shown.get(), text) : -1;
    if (same < 0)
        return {};
    return same ? value : py::none();
}

py::Ref integer_of(PyObject* text)
{
    py::Ref number = py::Ref::steal(PyLong_FromUnicodeObject(text, 10));
    if (!number)
        return not_of_type();
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (n == -1 && PyErr_Occurred())
        return {};
    if (overflow || n <= -kExactInteger || n >= kExactInteger)
        return py::none();
    return if_written_as(number, text);
}

py::Ref number_of(PyObject* text)
{
    py::Ref integer = integer_of(text);
    if (!integer || integer.get() != Py_None)
        return integer;
    py::Ref number = py::Ref::steal(PyFloat_FromString(text));
    if (!number)
        return not_of_type();
    if (!std::isfinite(PyFloat_AS_DOUBLE(number.get())))
        return py::none();
    return if_written_as(number, text);
}

// A run of at most `most` digits.
bool read_digits(std::string_view& text, std::size_t least, std::size_t most, long long& out)
{
    std::size_t n = 0;
    out = 0;
    while (n < text.size() && n < most && text[n] >= '0' && text[n] <= '9')
        out = out * 10 + (text[n++] - '0');
    text.remove_prefix(n);
    return n >= least;
}

// str(timedelta) read back: "[-]D day[s], H:MM:SS[.ffffff]".
py::Ref duration_of(PyObject* timedelta, PyObject* text)
{
    std::string utf8;
    if (!py::utf8_of(text, utf8))
        return {};
    std::string_view rest = utf8;
    long long days = 0, hours = 0, minutes = 0, seconds = 0, micro = 0;
    std::size_t comma = rest.find(", ");
    if (comma != std::string_view::npos) {
        bool negative = !rest.empty() && rest[0] == '-';
        rest.remove_prefix(negative ? 1 : 0);
        if (!read_digits(rest, 1, 9, days) || (rest.substr(0, 6) != " days," && rest.substr(0, 5) != " day,"))
            return py::none();
        days = negative ? -days : days;
        rest = rest.substr(rest.find(", ") + 2);
    }
    bool ok = read_digits(rest, 1, 2, hours) && rest.substr(0, 1) == ":";
    rest.remove_prefix(ok ? 1 : 0);
    ok = ok && read_digits(rest, 2, 2, minutes) && rest.substr(0, 1) == ":";
    rest.remove_prefix(ok ? 1 : 0);
    ok = ok && read_digits(rest, 2, 2, seconds);
    if (ok && rest.substr(0, 1) == ".") {
        rest.remove_prefix(1);
        ok = read_digits(rest, 6, 6, micro);
    }
    if (!ok || !rest.empty())
        return py::none();
    long long total = seconds + minutes * 60 + hours * 3600;
    py::Ref whole = py::Ref::steal(PyObject_CallFunction(timedelta, "LLL", days, total, micro));
    return whole ? if_written_as(whole, text) : not_of_type();
}

// A date, time or duration of the old value's kind read from `text`; None
// when the text is none, or when the old value is none of these.
py::Ref moment_of(PyObject* old_value, PyObject* text, bool& duration)
{
    py::Ref datetime = import("datetime");
    py::Ref timedelta = datetime ? py::getattr(datetime.get(), "timedelta"_id) : py::Ref();
    py::Ref date = timedelta ? py::getattr(datetime.get(), "date"_id) : py::Ref();
    py::Ref time = date ? py::getattr(datetime.get(), "time"_id) : py::Ref();
    if (!time)
        return {};
    duration = PyObject_IsInstance(old_value, timedelta.get());
    if (duration)
        return duration_of(timedelta.get(), text);
    int clock = PyObject_IsInstance(old_value, time.get());
    int calendar = clock == 0 ? PyObject_IsInstance(old_value, date.get()) : clock;
    if (clock < 0 || calendar <= 0)
        return calendar < 0 ? py::Ref() : py::none();
    py::Ref value = py::call_method(reinterpret_cast<PyObject*>(Py_TYPE(old_value)), "fromisoformat"_id, text);
    return value ? if_written_as(value, text) : not_of_type();
}

// Whether the workbook reads the moment's serial number back as the same
// moment: 1 yes, 0 no (out of the workbook's range, or finer than it
// keeps), -1.
int survives_the_file(PyObject* wb, PyObject* value, bool duration)
{
    py::Ref dates = import("openpyxl.utils.datetime");
    py::Ref epoch = dates ? py::getattr(wb, "epoch"_id) : py::Ref();
    py::Ref serial = epoch ? py::call_method(dates.get(), "to_excel"_id, value, epoch) : py::Ref();
    py::Ref from_excel = serial ? py::getattr(dates.get(), "from_excel"_id) : py::Ref();
    py::Ref back;
    if (from_excel)
        back = py::call_kw(from_excel.get(), {serial, epoch}, {{"timedelta"_id, duration ? Py_True : Py_False}});
    if (!back) {
        py::Ref no = epoch ? not_of_type() : py::Ref();
        return no ? 0 : -1;
    }
    // Excel shows no moment before its first day.
    double days = PyFloat_Check(serial.get()) ? PyFloat_AS_DOUBLE(serial.get()) : 0;
    if (Py_TYPE(back.get()) != Py_TYPE(value) || days < 0)
        return 0;
    return py::equals(back.get(), value);
}

}  // namespace

py::Ref typed_value(PyObject* wb, PyObject* old_value, PyObject* new_text)
{
    py::Ref text = py::Ref::borrow(new_text);
    if (PyUnicode_Check(old_value))
        return text;
    if (PyBool_Check(old_value)) {
        int is_true = py::equals(new_text, "True"_id);
        int is_false = is_true == 0 ? py::equals(new_text, "False"_id) : 0;
        if (is_true < 0 || is_false < 0)
            return {};
        return is_true ? py::Ref::borrow(Py_True) : is_false ? py::Ref::borrow(Py_False) : text;
    }
    if (PyLong_Check(old_value) || PyFloat_Check(old_value)) {
        py::Ref number = number_of(new_text);
        return !number || number.get() != Py_None ? number : text;
    }
    bool duration = false;
    py::Ref moment = moment_of(old_value, new_text, duration);
    if (!moment || moment.get() == Py_None)
        return moment ? text : moment;
    int kept = survives_the_file(wb, moment.get(), duration);
    if (kept < 0)
        return {};
    return kept ? moment : text;
}

py::Ref value_text(PyObject* wb, PyObject* value, bool iso)
{
    if (PyBool_Check(value))
        return py::str_from_utf8(value == Py_True ? "1" : "0");
    if (PyLong_Check(value))
        return py::Ref::steal(PyObject_Str(value));
    if (PyFloat_Check(value))
        return py::Ref::steal(PyObject_Repr(value));
    if (iso && PyObject_HasAttr(value, "isoformat"_id.get()))
        return py::call_method(value, "isoformat"_id);
    py::Ref dates = import("openpyxl.utils.datetime");
    py::Ref epoch = dates ? py::getattr(wb, "epoch"_id) : py::Ref();
    py::Ref serial = epoch ? py::call_method(dates.get(), "to_excel"_id, value, epoch) : py::Ref();
    if (!serial)
        return {};
    // A whole day is written as Excel writes it: without a fraction.
    double days = PyFloat_Check(serial.get()) ? PyFloat_AS_DOUBLE(serial.get()) : 0.5;
    if (days == std::floor(days) && std::fabs(days) < static_cast<double>(kExactInteger))
        return py::str_from_utf8(std::to_string(static_cast<long long>(days)));
    return py::Ref::steal(PyObject_Str(serial.get()));
}

}  // namespace tw::content::workbook
