// Limits on what an office document may hold. A .docx, .pptx or .xlsx is a
// zip package, and nothing else bounds what its members inflate to: a file
// of a megabyte can unpack to many gigabytes inside the library that opens
// it. Its zip directory is therefore read and judged before any library
// sees the file, and a package over a limit is refused untouched.
#pragma once

#include "content/package_scan.h"
#include "py/ref.h"
#include "keyword/keyword.h"

#include <cstdint>

namespace tw::content {

namespace package_limits {

// All members together, inflated.
inline constexpr std::uint64_t max_total_size = std::uint64_t{1} << 30;  // 1 GiB
// A member larger than this may not inflate more than max_ratio times its
// stored size; smaller members may (a page of spaces compresses very well).
inline constexpr std::uint64_t ratio_checked_above = std::uint64_t{1} << 20;  // 1 MiB
inline constexpr std::uint64_t max_ratio = 200;
inline constexpr std::uint64_t max_members = 10000;
// The zip directory itself, whatever count it claims: reading it makes one
// object per entry, so it is bounded before it is read. A real document
// needs about a hundred bytes per member.
inline constexpr std::uint64_t max_directory_size = max_members * 1024;

}  // namespace package_limits

// Judges the package at `file_path` by its zip directory. Returns 0 when it
// is within the limits, and also when it cannot be read as a zip package at
// all: the library that opens it next then reports that in its own words.
// Returns -1 with ValueError naming the file and the limit when the
// package is refused, or with the error that stopped the reading when it
// is no ordinary error of the file (MemoryError, an interrupt).
// With `scan`, the members are also handed to it as they are read (see
// package_scan.h); a package that cannot be read to the end makes it give up.
int check_package(PyObject* file_path, PackageScan* scan = nullptr);

// check_package, and in the same reading whether the keyword can match any
// text of the document or presentation at all: 1 when it provably cannot
// (the library need not load it), 0 when it may or when that is unsure,
// -1 with the exception set as check_package sets it.
int check_package_for_text(PyObject* file_path, const keyword::Keyword& keyword, PackageScan::Kind kind);

// The package at `file_path` as python-docx or python-pptx is handed it:
// read checked, into memory (platform::checked_stream). A file that is no
// zip package is refused with the PackageNotFoundError of
// `exceptions_module`, as the library refuses one it is given by path.
py::Ref package_for_library(PyObject* file_path, const char* exceptions_module);

}  // namespace tw::content
