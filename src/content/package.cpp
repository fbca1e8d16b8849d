#include "content/package.h"

#include "py/builtins.h"
#include "py/ops.h"
#include "py/scope.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace tw::content {

namespace {

using namespace package_limits;
using namespace std::string_view_literals;

// The records at the end of a zip file, where zipfile looks for them.
constexpr std::size_t end_record_size = 22;
constexpr std::size_t max_comment_size = 0xffff;
constexpr std::size_t zip64_locator_size = 20;
constexpr std::size_t zip64_end_record_size = 56;
constexpr std::string_view end_record_mark = "PK\x05\x06"sv;
constexpr std::string_view zip64_locator_mark = "PK\x06\x07"sv;
constexpr std::string_view zip64_end_record_mark = "PK\x06\x06"sv;

struct Refusal {
    enum Kind { none, members, directory, total, ratio } kind = none;
    std::uint64_t size = 0;    // the count or size over the limit
    std::uint64_t stored = 0;  // ratio: the member's compressed size
    py::Ref member;            // ratio: the member's name
};

// What the end record says of the directory.
struct EndRecord {
    std::uint64_t members = 0;
    std::uint64_t directory_size = 0;
};

std::uint64_t little_endian(std::string_view bytes, std::size_t at, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

py::Ref number(long long value) { return py::Ref::steal(PyLong_FromLongLong(value)); }

// file.seek(offset, whence), as a C++ integer; -1 with the exception set.
long long seek(PyObject* file, long long offset, int whence)
{
    py::Ref at = number(offset);
    py::Ref from = at ? number(whence) : py::Ref();
    py::Ref position = from ? py::call_method(file, "seek"_id, at, from) : py::Ref();
    return position ? PyLong_AsLongLong(position.get()) : -1;
}

// The end record sits at the very end, or, when the archive has a comment,
// it is the last mark within the space a comment may take (zipfile looks
// in the same two places). `window` is that space, at the end of `tail`.
// Returns its offset in `tail`, or npos.
std::size_t find_end_record(std::string_view tail, std::size_t window)
{
    if (tail.size() >= end_record_size) {
        std::size_t at = tail.size() - end_record_size;
        if (tail.substr(at, 4) == end_record_mark && tail.substr(tail.size() - 2) == "\0\0"sv)
            return at;
    }
    std::size_t start = tail.size() - window;
    std::size_t found = tail.substr(start).rfind(end_record_mark);
    if (found == std::string_view::npos || start + found + end_record_size > tail.size())
        return std::string_view::npos;
    return start + found;
}

// Reads the count and size of the directory from the end of the file,
// from the zip64 records when they are there. 1 when found, 0 when the
// file has no end record, -1 with the exception set.
int read_end_record(PyObject* file, EndRecord& out)
{
    long long size = seek(file, 0, 2);
    if (size < 0)
        return -1;
    std::size_t length = static_cast<std::size_t>(size);
    std::size_t window = std::min(length, end_record_size + max_comment_size);
    std::size_t wanted = std::min(length, window + zip64_locator_size + zip64_end_record_size);
    if (seek(file, size - static_cast<long long>(wanted), 0) < 0)
        return -1;
    py::Ref count = number(static_cast<long long>(wanted));
    py::Ref data = count ? py::call_method(file, "read"_id, count) : py::Ref();
    if (!data)
        return -1;
    if (!PyBytes_Check(data.get()) || static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())) != wanted)
        return 0;
    std::string_view tail(PyBytes_AS_STRING(data.get()), wanted);
    std::size_t at = find_end_record(tail, window);
    if (at == std::string_view::npos)
        return 0;
    out.members = little_endian(tail, at + 10, 2);
    out.directory_size = little_endian(tail, at + 12, 4);
    if (at >= zip64_locator_size + zip64_end_record_size) {
        std::size_t locator = at - zip64_locator_size;
        std::size_t record = locator - zip64_end_record_size;
        if (tail.substr(locator, 4) == zip64_locator_mark &&
            tail.substr(record, 4) == zip64_end_record_mark) {
            out.members = little_endian(tail, record + 32, 8);
            out.directory_size = little_endian(tail, record + 40, 8);
        }
    }
    return 1;
}

// Integer attribute of a member's entry; false with the exception set.
bool size_of(PyObject* info, py::Id name, std::uint64_t& out)
{
    py::Ref value = py::getattr(info, name);
    if (!value)
        return false;
    out = PyLong_AsUnsignedLongLong(value.get());
    return !PyErr_Occurred();
}

// More than max_ratio times its stored size, for a member large enough to matter.
bool over_ratio(std::uint64_t size, std::uint64_t stored)
{
    if (size <= ratio_checked_above)
        return false;
    if (stored > std::numeric_limits<std::uint64_t>::max() / max_ratio)
        return false;
    return size > stored * max_ratio;
}

// Judges one member's entry: 1 when it breaks a limit, 0 to go on, -1 on error.
int judge_member(PyObject* info, std::uint64_t& total, Refusal& refusal)
{
    std::uint64_t size = 0, stored = 0;
    if (!size_of(info, "file_size"_id, size) || !size_of(info, "compress_size"_id, stored))
        return -1;
    if (over_ratio(size, stored)) {
        py::Ref name = py::getattr(info, "filename"_id);
        if (!name)
            return -1;
        refusal = {Refusal::ratio, size, stored, name};
        return 1;
    }
    total = size > max_total_size - std::min(total, max_total_size) ? max_total_size + 1 : total + size;
    if (total > max_total_size) {
        refusal = {Refusal::total, total};
        return 1;
    }
    return 0;
}

// Judges the members through zipfile, which reads the directory as the
// libraries will. The declared sizes are what zipfile trusts: a member
// never yields more than its declared size (more data fails its check
// sum), so bounding the declared sizes bounds what reading inflates.
int judge_members(PyObject* file, Refusal& refusal)
{
    py::Ref zipfile = py::Ref::steal(PyImport_ImportModule("zipfile"));
    py::Ref archive = zipfile ? py::call_method(zipfile.get(), "ZipFile"_id, file) : py::Ref();
    if (!archive)
        return -1;
    return py::with_scope(archive.get(), [&](PyObject* opened) {
        py::Ref infos = py::call_method(opened, "infolist"_id);
        Py_ssize_t count = infos ? PySequence_Size(infos.get()) : -1;
        if (count < 0)
            return -1;
        if (static_cast<std::uint64_t>(count) > max_members) {
            refusal = {Refusal::members, static_cast<std::uint64_t>(count)};
            return 0;
        }
        std::uint64_t total = 0;
        return py::for_each(infos.get(), [&](PyObject* info) {
            return judge_member(info, total, refusal);
        });
    });
}

// The end record is judged first: a directory too large is refused before
// zipfile reads it, since that makes an object for every entry.
int judge(PyObject* file, Refusal& refusal)
{
    EndRecord end;
    int found = read_end_record(file, end);
    if (found <= 0)
        return found;
    if (end.members > max_members) {
        refusal = {Refusal::members, end.members};
        return 0;
    }
    if (end.directory_size > max_directory_size) {
        refusal = {Refusal::directory, end.directory_size};
        return 0;
    }
    return judge_members(file, refusal);
}

void raise_refusal(PyObject* file_path, const Refusal& refusal)
{
    using ull = unsigned long long;
    switch (refusal.kind) {
    case Refusal::members:
        PyErr_Format(PyExc_ValueError,
                     "refusing to open %R: it holds %llu members, more than the limit of %llu",
                     file_path, ull{refusal.size}, ull{max_members});
        break;
    case Refusal::directory:
        PyErr_Format(PyExc_ValueError,
                     "refusing to open %R: its zip directory takes %llu bytes, more than the "
                     "limit of %llu",
                     file_path, ull{refusal.size}, ull{max_directory_size});
        break;
    case Refusal::total:
        PyErr_Format(PyExc_ValueError,
                     "refusing to open %R: its members inflate to more than the limit of %llu "
                     "bytes (%llu GiB) in all",
                     file_path, ull{max_total_size}, ull{max_total_size >> 30});
        break;
    case Refusal::ratio:
        PyErr_Format(PyExc_ValueError,
                     "refusing to open %R: its member %R inflates from %llu to %llu bytes, more "
                     "than the limit of %llu times for a member over %llu MiB",
                     file_path, refusal.member.get(), ull{refusal.stored}, ull{refusal.size},
                     ull{max_ratio}, ull{ratio_checked_above >> 20});
        break;
    case Refusal::none:
        break;
    }
}

// An ordinary error while reading means the file is no readable zip
// package, or no file at all: the library that opens it next reports that
// in its own words. Running out of memory and interrupts are not the
// file's fault and go on.
int leave_to_library()
{
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

}  // namespace

int check_package(PyObject* file_path)
{
    py::Ref file = py::call(py::builtin_open(), file_path, "rb"_id);
    if (!file)
        return leave_to_library();
    Refusal refusal;
    int status = py::with_scope(file.get(), [&](PyObject* opened) { return judge(opened, refusal); });
    if (status < 0)
        return leave_to_library();
    if (status > 0 || refusal.kind == Refusal::none)
        return 0;
    raise_refusal(file_path, refusal);
    return -1;
}

}  // namespace tw::content
