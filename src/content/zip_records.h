// The records of a zip file as office packages use them, read and written
// byte for byte: the end record (and its zip64 form), the central
// directory, and the extent of each member's local header, data and data
// descriptor. A package copied through these keeps every member it does
// not change exactly as it was stored, compressed data included, which
// zipfile cannot do. Plain C++.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw::content::zip {

// Where the end record lies in `tail`, the last bytes of a file: at the
// very end, or, when the archive has a comment, the last mark within
// `window` bytes of the end (where zipfile looks too). npos when none.
std::size_t find_end_record(std::string_view tail, std::size_t window);

// The end record at `at` in `tail`: the count and extent of the central
// directory, from the zip64 records before it when they are there.
struct EndRecord {
    std::uint64_t members = 0;
    std::uint64_t directory_size = 0;
    std::uint64_t directory_offset = 0;
    std::uint64_t zip64_record = 0;  // offset of the zip64 end record (in the file)
    bool zip64 = false;
    std::string_view comment;        // empty when `tail` ends before it
};
EndRecord read_end_record(std::string_view tail, std::size_t at);

// Bytes an end record needs at least, and the space a comment may take.
inline constexpr std::size_t end_record_size = 22;
inline constexpr std::size_t max_comment_size = 0xffff;

// One member as the central directory lists it, with views into the file.
struct Entry {
    std::string_view record;  // the central directory record, whole
    std::string_view name;    // as stored (see flags bit 11 for its encoding)
    std::uint16_t flags = 0, method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressed = 0, size = 0, offset = 0;
    std::uint64_t span = 0;        // local header, data and data descriptor
    std::string_view local_extra;  // the local header's extra fields
};

// The members of a whole zip file in memory, in directory order. False
// when any of it is not laid out as one plain archive: a directory that
// does not sit right before its end record, more than one disk, a local
// header that is not where its entry says, a data descriptor that does
// not repeat its entry's checksum and sizes, members that overlap.
bool read_directory(std::string_view file, std::vector<Entry>& out);

// What a member written anew says of itself.
struct Header {
    std::string name;  // as stored
    std::uint16_t version_made = 20, version_needed = 20, flags = 0, method = 8;
    std::uint16_t time = 0, date = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressed = 0, size = 0;
    std::string local_extra, central_extra, comment;
    std::uint16_t internal_attr = 0;
    std::uint32_t external_attr = 0;
};

// The header of `entry` for new data of the same member: its name, time,
// method, attributes, comment and extra fields (zip64 records aside, which
// are made again as the new sizes need); the checksum and sizes are the
// caller's to set.
Header header_of(const Entry& entry);

std::string local_header(const Header& header);
std::string central_record(const Header& header, std::uint64_t offset);
// The entry's own record, pointing at `offset`. False when its extra
// fields cannot take a zip64 offset.
bool relocated_record(const Entry& entry, std::uint64_t offset, std::string& out);
// The end of the archive: the zip64 records when the counts or offsets
// need them, then the end record with `comment`.
std::string end_records(std::uint64_t members, std::uint64_t directory_offset, std::uint64_t directory_size,
                        std::string_view comment);

// A DOS date and time from the fields of a local time.
void dos_stamp(int year, int month, int day, int hour, int minute, int second, std::uint16_t& date,
               std::uint16_t& time);

}  // namespace tw::content::zip
