#include "content/package.h"

#include "content/expat.h"
#include "content/zip_records.h"
#include "platform/fs.h"

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
constexpr std::size_t zip64_records_size = 20 + 56;

struct Refusal {
    enum Kind { none, members, directory, total, ratio, understated, method } kind = none;
    std::uint64_t size = 0;    // the count or size over the limit; understated: the
                               // declared size; method: the compression method
    std::uint64_t stored = 0;  // ratio: the member's compressed size
    py::Ref member;            // the member's name, for the kinds about one member
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

// Reads the count and size of the directory from the end of the file,
// from the zip64 records when they are there. 1 when found, 0 when the
// file has no end record, -1 with the exception set.
int read_end_record(PyObject* file, EndRecord& out)
{
    long long size = seek(file, 0, 2);
    if (size < 0)
        return -1;
    std::size_t length = static_cast<std::size_t>(size);
    std::size_t window = std::min(length, zip::end_record_size + zip::max_comment_size);
    std::size_t wanted = std::min(length, window + zip64_records_size);
    if (seek(file, size - static_cast<long long>(wanted), 0) < 0)
        return -1;
    py::Ref count = number(static_cast<long long>(wanted));
    py::Ref data = count ? py::call_method(file, "read"_id, count) : py::Ref();
    if (!data)
        return -1;
    bool whole = PyBytes_Check(data.get()) &&
                 static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())) == wanted;
    if (!whole)
        return 0;
    std::string_view tail(PyBytes_AS_STRING(data.get()), wanted);
    std::size_t at = zip::find_end_record(tail, window);
    if (at == std::string_view::npos)
        return 0;
    zip::EndRecord record = zip::read_end_record(tail, at);
    out.members = record.members;
    out.directory_size = record.directory_size;
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
    bool beyond = size > max_total_size - std::min(total, max_total_size);
    total = beyond ? max_total_size + 1 : total + size;
    if (total > max_total_size) {
        refusal = {Refusal::total, total};
        return 1;
    }
    return 0;
}

// Reads the member entries through zipfile, which reads the directory as
// the libraries will, and judges their declared sizes. Sets `infos` to
// the entries when none breaks a limit.
int judge_declared(PyObject* file, Refusal& refusal, py::Ref& infos)
{
    py::Ref zipfile = py::Ref::steal(PyImport_ImportModule("zipfile"));
    py::Ref archive = zipfile ? py::call_method(zipfile.get(), "ZipFile"_id, file) : py::Ref();
    if (!archive)
        return -1;
    return py::with_scope(archive.get(), [&](PyObject* opened) {
        py::Ref all = py::call_method(opened, "infolist"_id);
        Py_ssize_t count = all ? PySequence_Size(all.get()) : -1;
        if (count < 0)
            return -1;
        if (static_cast<std::uint64_t>(count) > max_members) {
            refusal = {Refusal::members, static_cast<std::uint64_t>(count)};
            return 0;
        }
        std::uint64_t total = 0;
        int status = py::for_each(all.get(), [&](PyObject* info) {
            return judge_member(info, total, refusal);
        });
        if (status == 0 && refusal.kind == Refusal::none)
            infos = all;
        return status;
    });
}

// --- what the members really inflate to -------------------------------------
//
// zipfile cuts a member's data at its declared size, but it inflates in
// steps of up to a gigabyte before cutting when a library reads a member
// whole: a member that declares a thousand bytes and inflates to a
// gigabyte takes that gigabyte of memory. So every deflated member is
// inflated here in small steps, and one that yields more than it declares
// is refused. The work is bounded by the declared sizes, which are judged
// above.

constexpr std::uint64_t method_stored = 0;
constexpr std::uint64_t method_deflated = 8;
constexpr std::uint64_t flag_encrypted = 0x1;
constexpr std::size_t local_header_size = 30;
constexpr long long read_step = 64 * 1024;
constexpr long long inflate_step = 1024 * 1024;

// file.read(count) as bytes; empty bytes at the end of the file.
py::Ref read_bytes(PyObject* file, long long count)
{
    py::Ref size = number(count);
    py::Ref data = size ? py::call_method(file, "read"_id, size) : py::Ref();
    if (data && !PyBytes_Check(data.get())) {
        PyErr_SetString(PyExc_TypeError, "the file did not read as bytes");
        return {};
    }
    return data;
}

// What the text scan (when there is one) reads of one member: its name,
// its bytes with their checksum, and whether it read back whole. An
// ordinary error while reading only makes the scan give up.
class MemberScan {
public:
    MemberScan(PackageScan* scan, PyObject* zlib) : scan_(scan), zlib_(zlib) {}

    bool active() const { return scan_ && !scan_->settled(); }

    // The member's entry: its name for the scan, and what its local header
    // and checksum must show. 0, or -1 with the exception set.
    int begin(PyObject* info, std::uint64_t flags)
    {
        if (!active())
            return 0;
        py::Ref name = py::getattr(info, "filename"_id);
        py::Ref original = name ? py::getattr(info, "orig_filename"_id) : py::Ref();
        py::Ref crc = original ? py::getattr(info, "CRC"_id) : py::Ref();
        py::Ref declared = crc ? py::getattr(info, "file_size"_id) : py::Ref();
        if (!declared)
            return -1;
        expected_crc_ = PyLong_AsUnsignedLongMask(crc.get());
        unsigned long long size = PyLong_AsUnsignedLongLongMask(declared.get());
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &length) : nullptr;
        // The local header must spell the name as the directory does (zipfile
        // checks it on every read), in the encoding the entry's flag says.
        // Only with nothing pending: a name that failed above is not encoded.
        py::Ref spelled = utf8 && PyUnicode_Check(original.get())
                              ? py::Ref::steal(PyUnicode_AsEncodedString(original.get(),
                                                                         (flags & 0x800) ? "utf-8" : "cp437",
                                                                         "strict"))
                              : py::Ref();
        if (!utf8 || !spelled) {
            // A name that is not a str is no error of ours: the package is unsure.
            if (PyErr_Occurred() && (!PyErr_ExceptionMatches(PyExc_Exception) ||
                                     PyErr_ExceptionMatches(PyExc_MemoryError)))
                return -1;
            PyErr_Clear();
            scan_->give_up();
            return 0;
        }
        local_name_.assign(PyBytes_AS_STRING(spelled.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(spelled.get())));
        scan_->begin(std::string_view(utf8, static_cast<std::size_t>(length)), size,
                     static_cast<std::uint32_t>(expected_crc_ & 0xFFFFFFFFu));
        crc_ = 0;
        return 0;
    }

    // The name the local header holds.
    void local_header_name(std::string_view name)
    {
        if (active() && name != local_name_)
            scan_->give_up();
    }

    // A piece of the member's content, in order. 0, or -1 with the exception set.
    int bytes(PyObject* chunk)
    {
        if (!active())
            return 0;
        py::Ref value = py::Ref::steal(PyLong_FromUnsignedLong(crc_));
        py::Ref crc = value ? py::call_method(zlib_, "crc32"_id, chunk, value) : py::Ref();
        if (!crc)
            return -1;
        crc_ = PyLong_AsUnsignedLongMask(crc.get());
        scan_->feed(std::string_view(PyBytes_AS_STRING(chunk), static_cast<std::size_t>(PyBytes_GET_SIZE(chunk))));
        return 0;
    }

    // All of it was read (or not), `produced` bytes against `declared`.
    void end(bool read, std::uint64_t produced, std::uint64_t declared)
    {
        if (active())
            scan_->end(read && produced == declared && (crc_ & 0xFFFFFFFFu) == (expected_crc_ & 0xFFFFFFFFu));
    }

    void give_up()
    {
        if (scan_)
            scan_->give_up();
    }

private:
    PackageScan* scan_;
    PyObject* zlib_;
    std::string local_name_;
    unsigned long crc_ = 0, expected_crc_ = 0;
};

// Moves `file` to the start of the member's data, behind its local header.
// 1, 0 when the header is not there (the library reports the damage), -1.
int seek_to_data(PyObject* file, std::uint64_t header_offset, MemberScan& member)
{
    if (seek(file, static_cast<long long>(header_offset), 0) < 0)
        return -1;
    py::Ref header = read_bytes(file, local_header_size);
    if (!header)
        return -1;
    std::string_view bytes(PyBytes_AS_STRING(header.get()),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(header.get())));
    if (bytes.size() != local_header_size || bytes.substr(0, 4) != "PK\x03\x04"sv)
        return 0;
    std::uint64_t name_size = little_endian(bytes, 26, 2);
    std::uint64_t extra_size = little_endian(bytes, 28, 2);
    if (member.active()) {
        py::Ref name = read_bytes(file, static_cast<long long>(name_size));
        if (!name)
            return -1;
        member.local_header_name(std::string_view(PyBytes_AS_STRING(name.get()),
                                                  static_cast<std::size_t>(PyBytes_GET_SIZE(name.get()))));
        name_size = 0;
    }
    return seek(file, static_cast<long long>(name_size + extra_size), 1) < 0 ? -1 : 1;
}

// Feeds one chunk of compressed data, counting what it inflates to.
// 1 when the count passed `limit` or the stream ended, 0 to go on, -1.
int inflate_chunk(PyObject* inflater, PyObject* chunk, std::uint64_t limit, std::uint64_t& produced,
                  MemberScan& member)
{
    py::Ref step = number(inflate_step);
    py::Ref data = step ? py::Ref::borrow(chunk) : py::Ref();
    while (data && PyBytes_GET_SIZE(data.get()) > 0) {
        py::Ref out = py::call_method(inflater, "decompress"_id, data, step);
        if (!out)
            return -1;
        produced += static_cast<std::uint64_t>(PyBytes_GET_SIZE(out.get()));
        if (produced > limit)
            return 1;
        if (member.bytes(out.get()) < 0)
            return -1;
        py::Ref ended = py::getattr(inflater, "eof"_id);
        int done = ended ? py::truth(ended.get()) : -1;
        if (done != 0)
            return done;
        data = py::getattr(inflater, "unconsumed_tail"_id);
    }
    return data ? 0 : -1;
}

// The next step of a member's data: empty when the file ends early, null
// with the exception set. `stored` counts down what is left to read.
py::Ref next_chunk(PyObject* file, std::uint64_t& stored)
{
    auto wanted = static_cast<long long>(std::min<std::uint64_t>(stored, read_step));
    py::Ref chunk = read_bytes(file, wanted);
    if (chunk)
        stored -= static_cast<std::uint64_t>(PyBytes_GET_SIZE(chunk.get()));
    return chunk;
}

// Counts what the member's data inflates to, up to one byte past its
// declared size; missing data counts as far as it goes. `read` tells
// whether the stream was read to its end.
int count_inflated(PyObject* file, PyObject* zlib, std::uint64_t header_offset, std::uint64_t stored,
                   std::uint64_t declared, std::uint64_t& produced, MemberScan& member, bool& read)
{
    read = false;
    int found = seek_to_data(file, header_offset, member);
    if (found <= 0)
        return found;
    py::Ref raw = number(-15);
    py::Ref inflater = raw ? py::call_method(zlib, "decompressobj"_id, raw) : py::Ref();
    if (!inflater)
        return -1;
    while (stored > 0) {
        py::Ref chunk = next_chunk(file, stored);
        if (!chunk)
            return -1;
        if (PyBytes_GET_SIZE(chunk.get()) == 0)
            return 0;
        int status = inflate_chunk(inflater.get(), chunk.get(), declared, produced, member);
        if (status != 0) {
            read = status > 0;
            return status < 0 ? -1 : 0;
        }
    }
    read = true;
    return 0;
}

// A stored member is read only for the scan. `read` as for count_inflated.
int read_stored(PyObject* file, std::uint64_t header_offset, std::uint64_t stored, std::uint64_t& produced,
                MemberScan& member, bool& read)
{
    read = false;
    int found = seek_to_data(file, header_offset, member);
    if (found <= 0)
        return found;
    while (stored > 0 && member.active()) {
        py::Ref chunk = next_chunk(file, stored);
        if (!chunk)
            return -1;
        if (PyBytes_GET_SIZE(chunk.get()) == 0)
            return 0;
        produced += static_cast<std::uint64_t>(PyBytes_GET_SIZE(chunk.get()));
        if (member.bytes(chunk.get()) < 0)
            return -1;
    }
    read = stored == 0;
    return 0;
}

int refuse_member(PyObject* info, Refusal::Kind kind, std::uint64_t size, Refusal& refusal)
{
    py::Ref name = py::getattr(info, "filename"_id);
    if (!name)
        return -1;
    refusal = {kind, size, 0, name};
    return 1;
}

// An ordinary error while reading means the file is no readable zip
// package, or no file at all, or (while inflating a member) a damaged
// member: the library reports that in its own words when it reads it.
// Running out of memory and interrupts are not the file's doing and go on.
int leave_to_library()
{
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

// Patched data and strong encryption: zipfile refuses to read them.
constexpr std::uint64_t flags_unsupported = 0x20 | 0x40;

// 1 when the member inflates to more than it declares or uses another
// method, 0 to go on (a damaged member included), -1 on error.
int judge_inflation(PyObject* file, PyObject* zlib, PyObject* info, Refusal& refusal, PackageScan* scan)
{
    MemberScan member(scan, zlib);
    std::uint64_t method = 0, flags = 0, offset = 0, stored = 0, declared = 0;
    if (!size_of(info, "compress_type"_id, method) || !size_of(info, "flag_bits"_id, flags) ||
        !size_of(info, "header_offset"_id, offset) || !size_of(info, "compress_size"_id, stored) ||
        !size_of(info, "file_size"_id, declared) || member.begin(info, flags) < 0) {
        member.give_up();
        return leave_to_library();
    }
    if (flags & (flag_encrypted | flags_unsupported))
        member.give_up();
    // Encrypted data cannot be read without its password, by the libraries either.
    if (flags & flag_encrypted)
        return 0;
    std::uint64_t produced = 0;
    bool read = false;
    if (method == method_stored) {
        if (member.active() && read_stored(file, offset, stored, produced, member, read) < 0) {
            member.give_up();
            return leave_to_library();
        }
        member.end(read, produced, declared);
        return 0;
    }
    // Office programs write no other method; the others that zipfile
    // reads (bzip2, lzma) inflate in the same unbounded steps.
    if (method != method_deflated)
        return refuse_member(info, Refusal::method, method, refusal);
    if (count_inflated(file, zlib, offset, stored, declared, produced, member, read) < 0) {
        member.give_up();
        return leave_to_library();
    }
    member.end(read, produced, declared);
    return produced > declared ? refuse_member(info, Refusal::understated, declared, refusal) : 0;
}

int judge_inflation_of_all(PyObject* file, PyObject* infos, Refusal& refusal, PackageScan* scan)
{
    py::Ref zlib = py::Ref::steal(PyImport_ImportModule("zlib"));
    if (!zlib)
        return -1;
    return py::for_each(infos, [&](PyObject* info) {
        return judge_inflation(file, zlib.get(), info, refusal, scan);
    });
}

// The end record is judged first: a directory too large is refused before
// zipfile reads it, since that makes an object for every entry.
int judge(PyObject* file, Refusal& refusal, PackageScan* scan)
{
    EndRecord end;
    int found = read_end_record(file, end);
    if (found <= 0 && scan)
        scan->give_up();
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
    py::Ref infos;
    if (judge_declared(file, refusal, infos) < 0)
        return -1;
    if (!infos && scan)
        scan->give_up();
    return infos ? judge_inflation_of_all(file, infos.get(), refusal, scan) : 0;
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
                     "refusing to open %R: its zip directory claims %llu bytes, more than the "
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
    case Refusal::understated:
        PyErr_Format(PyExc_ValueError,
                     "refusing to open %R: its member %R inflates to more than the %llu bytes it "
                     "declares",
                     file_path, refusal.member.get(), ull{refusal.size});
        break;
    case Refusal::method:
        PyErr_Format(PyExc_ValueError,
                     "refusing to open %R: its member %R is compressed with method %llu; only "
                     "stored and deflated members are read",
                     file_path, refusal.member.get(), ull{refusal.size});
        break;
    case Refusal::none:
        break;
    }
}

}  // namespace

int check_package(PyObject* file_path, PackageScan* scan)
{
    py::Ref file = platform::open_checked(file_path);
    if (!file) {
        if (scan)
            scan->give_up();
        return leave_to_library();
    }
    Refusal refusal;
    int status = py::with_scope(file.get(), [&](PyObject* opened) {
        return judge(opened, refusal, scan);
    });
    if (status != 0 && scan)
        scan->give_up();
    if (status < 0)
        return leave_to_library();
    if (status > 0 || refusal.kind == Refusal::none)
        return 0;
    raise_refusal(file_path, refusal);
    return -1;
}

namespace {

// The notes and comments parts, which the document handler reads itself
// (whether or not the library parses them).
constexpr const char* kNotesTypes[] = {
    "application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml",
    "application/vnd.openxmlformats-officedocument.wordprocessingml.endnotes+xml",
    "application/vnd.openxmlformats-officedocument.wordprocessingml.comments+xml",
};

// The content types the library reads as XML when it loads a package: the
// ones its part factory gives a class of XML parts. Left unknown, without
// an error, when the factory is not what it looks like: every part is
// then read.
int parsed_content_types(PackageScan::Kind kind, std::optional<std::set<std::string>>& out)
{
    out.reset();
    bool document = kind == PackageScan::Kind::document;
    py::Ref module = py::Ref::steal(PyImport_ImportModule(document ? "docx.opc.part" : "pptx.opc.package"));
    py::Ref factory = module ? py::getattr(module.get(), "PartFactory"_id) : py::Ref();
    py::Ref registry = factory ? py::getattr(factory.get(), "part_type_for"_id) : py::Ref();
    py::Ref xml_part = registry ? py::getattr(module.get(), "XmlPart"_id) : py::Ref();
    if (xml_part && !PyDict_Check(registry.get()))
        return 0;
    py::Ref items = xml_part ? py::Ref::steal(PyDict_Items(registry.get())) : py::Ref();
    if (!items)
        return leave_to_library();
    std::set<std::string> types;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* type = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* part_class = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        if (!PyUnicode_Check(type) || !PyType_Check(part_class))
            return 0;
        int xml = PyObject_IsSubclass(part_class, xml_part.get());
        Py_ssize_t size = 0;
        const char* text = xml > 0 ? PyUnicode_AsUTF8AndSize(type, &size) : nullptr;
        if (xml > 0 && text)
            types.emplace(text, static_cast<std::size_t>(size));
        else if (xml != 0)
            return leave_to_library();
    }
    if (document)
        types.insert(std::begin(kNotesTypes), std::end(kNotesTypes));
    out = std::move(types);
    return 0;
}

}  // namespace

int check_package_for_text(PyObject* file_path, const keyword::Keyword& keyword, PackageScan::Kind kind)
{
    std::vector<std::string> required;
    int readable = keyword::required_texts(keyword.pattern, required);
    if (readable < 0)
        return -1;
    std::vector<std::string> needles = readable ? text_needles(required) : std::vector<std::string>();
    if (needles.empty())
        return check_package(file_path);
    // Without a usable expat there is no scan: the library loads the file.
    const PyExpat_CAPI* expat = interpreter_expat();
    if (!expat && PyErr_Occurred() && leave_to_library() < 0)
        return -1;
    if (!expat)
        return check_package(file_path);
    std::optional<std::set<std::string>> parsed;
    if (parsed_content_types(kind, parsed) < 0)
        return -1;
    PackageScan scan(*expat, kind, needles, std::move(parsed));
    if (check_package(file_path, &scan) < 0)
        return -1;
    return scan.cannot_match() ? 1 : 0;
}

}  // namespace tw::content
