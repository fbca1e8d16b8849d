#include "content/zip_records.h"

#include <algorithm>
#include <limits>

namespace tw::content::zip {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kEndMark = "PK\x05\x06"sv;
constexpr std::string_view kZip64LocatorMark = "PK\x06\x07"sv;
constexpr std::string_view kZip64EndMark = "PK\x06\x06"sv;
constexpr std::string_view kCentralMark = "PK\x01\x02"sv;
constexpr std::string_view kLocalMark = "PK\x03\x04"sv;
constexpr std::string_view kDescriptorMark = "PK\x07\x08"sv;

constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::uint32_t kMax32 = 0xffffffffu;
constexpr std::uint16_t kMax16 = 0xffffu;
constexpr std::uint16_t kDescriptorFlag = 0x0008;
constexpr std::uint16_t kUtf8Flag = 0x0800;
constexpr std::uint16_t kZip64Version = 45;

std::uint64_t le(std::string_view bytes, std::size_t at, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

void put(std::string& out, std::uint64_t value, int count)
{
    for (int i = 0; i < count; ++i, value >>= 8)
        out.push_back(static_cast<char>(value & 0xff));
}

void put_at(std::string& out, std::size_t at, std::uint64_t value, int count)
{
    for (int i = 0; i < count; ++i, value >>= 8)
        out[at + static_cast<std::size_t>(i)] = static_cast<char>(value & 0xff);
}

// The extra fields but the zip64 record.
std::string without_zip64(std::string_view extra)
{
    std::string kept;
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        std::size_t length = le(extra, at + 2, 2);
        if (at + 4 + length > extra.size())
            break;
        if (le(extra, at, 2) != kZip64Extra)
            kept.append(extra.substr(at, 4 + length));
        at += 4 + length;
    }
    return kept;
}

// The zip64 record among the extra fields: its offset and length in
// `extra`, or npos.
std::size_t find_zip64(std::string_view extra, std::size_t& length)
{
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        length = le(extra, at + 2, 2);
        if (at + 4 + length > extra.size())
            return std::string_view::npos;
        if (le(extra, at, 2) == kZip64Extra)
            return at;
        at += 4 + length;
    }
    return std::string_view::npos;
}

// The values a record marks as held by its zip64 field, in their order.
struct Zip64Values {
    bool size = false, compressed = false, offset = false, disk = false;
};

Zip64Values marked_values(std::string_view record)
{
    return {le(record, 24, 4) == kMax32, le(record, 20, 4) == kMax32, le(record, 42, 4) == kMax32,
            le(record, 34, 2) == kMax16};
}

// Reads the sizes and offset the zip64 field holds for the values marked,
// as zipfile does. False when the field is too short.
bool read_zip64(std::string_view extra, const Zip64Values& marked, Entry& entry)
{
    std::size_t length = 0;
    std::size_t at = find_zip64(extra, length);
    if (at == std::string_view::npos)
        return !marked.size && !marked.compressed && !marked.offset;
    std::size_t next = at + 4, end = at + 4 + length;
    for (auto [wanted, value] : {std::pair{marked.size, &entry.size}, std::pair{marked.compressed, &entry.compressed},
                                 std::pair{marked.offset, &entry.offset}}) {
        if (!wanted)
            continue;
        if (next + 8 > end)
            return false;
        *value = le(extra, next, 8);
        next += 8;
    }
    return true;
}

// The length of the data descriptor at `at` that repeats the entry's
// checksum and sizes (with or without its mark, with 4- or 8-byte sizes),
// or 0 when there is none.
std::size_t descriptor_length(std::string_view file, std::size_t at, std::size_t limit, const Entry& entry)
{
    for (std::size_t mark : {std::size_t{4}, std::size_t{0}}) {
        if (mark && (at + 4 > limit || file.substr(at, 4) != kDescriptorMark))
            continue;
        for (int width : {4, 8}) {
            std::size_t length = mark + 4 + 2 * static_cast<std::size_t>(width);
            if (at + length > limit)
                continue;
            std::size_t fields = at + mark;
            if (le(file, fields, 4) == entry.crc && le(file, fields + 4, width) == entry.compressed &&
                le(file, fields + 4 + static_cast<std::size_t>(width), width) == entry.size)
                return length;
        }
    }
    return 0;
}

// Fills the entry's local extent from its local header. `limit` is where
// the members end (the directory's start).
bool read_local(std::string_view file, std::uint64_t limit, Entry& entry)
{
    if (entry.offset > limit || limit - entry.offset < kLocalSize)
        return false;
    std::size_t at = static_cast<std::size_t>(entry.offset);
    if (file.substr(at, 4) != kLocalMark)
        return false;
    std::size_t name = le(file, at + 26, 2), extra = le(file, at + 28, 2);
    std::uint64_t data = entry.offset + kLocalSize + name + extra;
    if (data > limit || limit - data < entry.compressed)
        return false;
    entry.local_extra = file.substr(at + kLocalSize + name, extra);
    std::uint64_t end = data + entry.compressed;
    if (entry.flags & kDescriptorFlag) {
        std::size_t descriptor = descriptor_length(file, static_cast<std::size_t>(end), static_cast<std::size_t>(limit), entry);
        if (descriptor == 0)
            return false;
        end += descriptor;
    }
    entry.span = end - entry.offset;
    return true;
}

// One central directory record at `at`, not past `end`. False when it is
// not one, or lies on another disk.
bool read_record(std::string_view file, std::size_t& at, std::size_t end, Entry& entry)
{
    if (at + kCentralSize > end || file.substr(at, 4) != kCentralMark)
        return false;
    std::size_t name = le(file, at + 28, 2), extra = le(file, at + 30, 2), comment = le(file, at + 32, 2);
    std::size_t length = kCentralSize + name + extra + comment;
    if (at + length > end)
        return false;
    std::string_view record = file.substr(at, length);
    at += length;
    entry.record = record;
    entry.name = record.substr(kCentralSize, name);
    entry.flags = static_cast<std::uint16_t>(le(record, 8, 2));
    entry.method = static_cast<std::uint16_t>(le(record, 10, 2));
    entry.crc = static_cast<std::uint32_t>(le(record, 16, 4));
    entry.compressed = le(record, 20, 4);
    entry.size = le(record, 24, 4);
    entry.offset = le(record, 42, 4);
    Zip64Values marked = marked_values(record);
    if (!read_zip64(record.substr(kCentralSize + name, extra), marked, entry))
        return false;
    return le(record, 34, 2) == 0 || marked.disk;
}

// No two members' extents overlap.
bool apart(std::vector<Entry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.offset < b.offset; });
    for (std::size_t i = 1; i < entries.size(); ++i)
        if (entries[i - 1].offset + entries[i - 1].span > entries[i].offset)
            return false;
    return true;
}

}  // namespace

std::size_t find_end_record(std::string_view tail, std::size_t window)
{
    if (tail.size() >= end_record_size) {
        std::size_t at = tail.size() - end_record_size;
        if (tail.substr(at, 4) == kEndMark && tail.substr(tail.size() - 2) == "\0\0"sv)
            return at;
    }
    std::size_t start = tail.size() - std::min(window, tail.size());
    std::size_t found = tail.substr(start).rfind(kEndMark);
    if (found == std::string_view::npos || start + found + end_record_size > tail.size())
        return std::string_view::npos;
    return start + found;
}

EndRecord read_end_record(std::string_view tail, std::size_t at)
{
    EndRecord out;
    out.members = le(tail, at + 10, 2);
    out.directory_size = le(tail, at + 12, 4);
    out.directory_offset = le(tail, at + 16, 4);
    std::size_t comment = le(tail, at + 20, 2);
    if (at + end_record_size + comment <= tail.size())
        out.comment = tail.substr(at + end_record_size, comment);
    if (at >= kLocatorSize + kZip64EndSize) {
        std::size_t locator = at - kLocatorSize;
        std::size_t record = locator - kZip64EndSize;
        if (tail.substr(locator, 4) == kZip64LocatorMark && tail.substr(record, 4) == kZip64EndMark) {
            out.zip64 = true;
            out.zip64_record = le(tail, locator + 8, 8);
            out.members = le(tail, record + 32, 8);
            out.directory_size = le(tail, record + 40, 8);
            out.directory_offset = le(tail, record + 48, 8);
        }
    }
    return out;
}

bool read_directory(std::string_view file, std::vector<Entry>& out)
{
    out.clear();
    std::size_t at = find_end_record(file, end_record_size + max_comment_size);
    if (at == std::string_view::npos || at + end_record_size > file.size())
        return false;
    EndRecord end = read_end_record(file, at);
    std::size_t directory_end = at;
    if (end.zip64) {
        directory_end = at - kLocatorSize - kZip64EndSize;
        if (end.zip64_record != directory_end || le(file, directory_end + 16, 8) != 0)
            return false;
    } else if (le(file, at + 4, 4) != 0) {
        return false;  // another disk
    }
    if (end.directory_offset > directory_end || directory_end - end.directory_offset != end.directory_size)
        return false;
    std::size_t next = static_cast<std::size_t>(end.directory_offset);
    for (std::uint64_t i = 0; i < end.members; ++i) {
        Entry entry;
        if (!read_record(file, next, directory_end, entry) || !read_local(file, end.directory_offset, entry))
            return false;
        out.push_back(entry);
    }
    return next == directory_end && apart(out);
}

Header header_of(const Entry& entry)
{
    Header header;
    std::string_view record = entry.record;
    std::size_t name = le(record, 28, 2), extra = le(record, 30, 2), comment = le(record, 32, 2);
    header.name = std::string(entry.name);
    header.version_made = static_cast<std::uint16_t>(le(record, 4, 2));
    header.method = entry.method == 0 ? 0 : 8;
    header.version_needed = header.method == 0 ? 10 : 20;
    header.flags = entry.flags & kUtf8Flag;
    header.time = static_cast<std::uint16_t>(le(record, 12, 2));
    header.date = static_cast<std::uint16_t>(le(record, 14, 2));
    header.internal_attr = static_cast<std::uint16_t>(le(record, 36, 2));
    header.external_attr = static_cast<std::uint32_t>(le(record, 38, 4));
    header.central_extra = without_zip64(record.substr(kCentralSize + name, extra));
    header.local_extra = without_zip64(entry.local_extra);
    header.comment = std::string(record.substr(kCentralSize + name + extra, comment));
    return header;
}

std::string local_header(const Header& header)
{
    bool zip64 = header.size >= kMax32 || header.compressed >= kMax32;
    std::string extra;
    if (zip64) {
        put(extra, kZip64Extra, 2);
        put(extra, 16, 2);
        put(extra, header.size, 8);
        put(extra, header.compressed, 8);
    }
    extra += header.local_extra;
    std::string out(kLocalMark);
    put(out, zip64 ? std::max(header.version_needed, kZip64Version) : header.version_needed, 2);
    put(out, header.flags, 2);
    put(out, header.method, 2);
    put(out, header.time, 2);
    put(out, header.date, 2);
    put(out, header.crc, 4);
    put(out, zip64 ? kMax32 : header.compressed, 4);
    put(out, zip64 ? kMax32 : header.size, 4);
    put(out, header.name.size(), 2);
    put(out, extra.size(), 2);
    return out + header.name + extra;
}

std::string central_record(const Header& header, std::uint64_t offset)
{
    std::string zip64;
    for (std::uint64_t value : {header.size, header.compressed, offset})
        if (value >= kMax32)
            put(zip64, value, 8);
    std::string extra;
    if (!zip64.empty()) {
        put(extra, kZip64Extra, 2);
        put(extra, zip64.size(), 2);
        extra += zip64;
    }
    extra += header.central_extra;
    std::string out(kCentralMark);
    put(out, header.version_made, 2);
    put(out, zip64.empty() ? header.version_needed : std::max(header.version_needed, kZip64Version), 2);
    put(out, header.flags, 2);
    put(out, header.method, 2);
    put(out, header.time, 2);
    put(out, header.date, 2);
    put(out, header.crc, 4);
    put(out, std::min<std::uint64_t>(header.compressed, kMax32), 4);
    put(out, std::min<std::uint64_t>(header.size, kMax32), 4);
    put(out, header.name.size(), 2);
    put(out, extra.size(), 2);
    put(out, header.comment.size(), 2);
    put(out, 0, 2);  // disk
    put(out, header.internal_attr, 2);
    put(out, header.external_attr, 4);
    put(out, std::min<std::uint64_t>(offset, kMax32), 4);
    return out + header.name + extra + header.comment;
}

bool relocated_record(const Entry& entry, std::uint64_t offset, std::string& out)
{
    out = std::string(entry.record);
    Zip64Values marked = marked_values(entry.record);
    if (!marked.offset && offset < kMax32) {
        put_at(out, 42, offset, 4);
        return true;
    }
    std::size_t name = le(out, 28, 2), extra_size = le(out, 30, 2);
    std::string extra = out.substr(kCentralSize + name, extra_size);
    std::size_t length = 0;
    std::size_t at = find_zip64(extra, length);
    // The zip64 field holds, in order, the sizes marked, the offset, the disk.
    std::size_t place = (marked.size ? 8 : 0) + (marked.compressed ? 8 : 0);
    if (marked.offset) {
        if (at == std::string_view::npos || place + 8 > length)
            return false;
        put_at(out, kCentralSize + name + at + 4 + place, offset, 8);
        return true;
    }
    std::string value;
    put(value, offset, 8);
    if (at == std::string_view::npos) {
        at = extra.size();
        extra += std::string("\x01\x00\x00\x00", 4);
        length = 0;
    }
    if (place > length)
        return false;
    extra.insert(at + 4 + place, value);
    put_at(extra, at + 2, length + 8, 2);
    if (extra.size() > kMax16)
        return false;
    out.replace(kCentralSize + name, extra_size, extra);
    put_at(out, 30, extra.size(), 2);
    put_at(out, 42, kMax32, 4);
    put_at(out, 6, std::max<std::uint64_t>(le(out, 6, 2), kZip64Version), 2);
    return true;
}

std::string end_records(std::uint64_t members, std::uint64_t directory_offset, std::uint64_t directory_size,
                        std::string_view comment)
{
    std::string out;
    if (members >= kMax16 || directory_offset >= kMax32 || directory_size >= kMax32) {
        out += kZip64EndMark;
        put(out, kZip64EndSize - 12, 8);
        put(out, kZip64Version, 2);
        put(out, kZip64Version, 2);
        put(out, 0, 8);  // this disk, the directory's disk
        put(out, members, 8);
        put(out, members, 8);
        put(out, directory_size, 8);
        put(out, directory_offset, 8);
        out += kZip64LocatorMark;
        put(out, 0, 4);
        put(out, directory_offset + directory_size, 8);
        put(out, 1, 4);
    }
    out += kEndMark;
    put(out, 0, 4);
    put(out, std::min<std::uint64_t>(members, kMax16), 2);
    put(out, std::min<std::uint64_t>(members, kMax16), 2);
    put(out, std::min<std::uint64_t>(directory_size, kMax32), 4);
    put(out, std::min<std::uint64_t>(directory_offset, kMax32), 4);
    comment = comment.substr(0, kMax16);
    put(out, comment.size(), 2);
    return out.append(comment);
}

void dos_stamp(int year, int month, int day, int hour, int minute, int second, std::uint16_t& date,
               std::uint16_t& time)
{
    if (year < 1980) {
        year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    }
    date = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    time = static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

}  // namespace tw::content::zip
