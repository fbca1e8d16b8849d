// How the text and CSV handlers read a file's text and write it back: in
// the encoding it was found in, with its byte-order mark, through the
// interpreter's codecs, and with every byte outside the changed stretches
// as it was.
//
// The rules, in order: a UTF-8 mark, the rest UTF-8; a UTF-16 mark (LE or
// BE), the rest UTF-16 in that order; else strict UTF-8; else GB18030
// (GBK's superset) when the bytes decode strictly, encode back to exactly
// the same bytes and hold no control character but tab, line feed,
// carriage return and form feed (GB18030 takes most byte pairs, so a
// picture could otherwise pass for text); else UnicodeDecodeError.
// Nothing translates line ends.
#pragma once

#include "content/text_bytes.h"
#include "py/ref.h"

#include <vector>

namespace tw::content {

enum class TextEncoding { utf8, utf8_mark, utf16_le, utf16_be, gb18030 };

struct DecodedText {
    py::Ref text;  // str, without the mark
    TextEncoding encoding = TextEncoding::utf8;
    bool four_byte = false;  // GB18030 with characters outside GBK
};

// Reads the file at `path` and decodes it by the rules above. 0, or -1 with
// the exception set: OSError, or UnicodeDecodeError saying what was tried.
int read_text_file(PyObject* path, DecodedText& out);

// The encoding's name for a preview ("GBK", "UTF-16 LE", "UTF-8 BOM"...);
// null for UTF-8 without a mark.
const char* encoding_name(const DecodedText& text);

// The stretch [start, end) of a decoded text, replaced by `text` (a str).
struct Splice {
    Py_ssize_t start = 0, end = 0;
    py::Ref text;
};

// Writes `text` with the splices made (in order, not overlapping), encoded
// as it was read and with its mark, into a new file at `path`, a piece at
// a time. 0, or -1 with the exception set (UnicodeEncodeError for a new
// text the encoding cannot hold).
int write_spliced(PyObject* path, const DecodedText& text, const std::vector<Splice>& splices);

// The GBK codes the interpreter's codec decodes, as text_bytes::GbCodes
// describes them, worked out once per process. Null with the exception set.
const text_bytes::GbCodes* gb_codes();

}  // namespace tw::content
