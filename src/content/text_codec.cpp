#include "content/text_codec.h"

#include "content/text_file.h"
#include "platform/fs.h"
#include "py/builtins.h"
#include "py/error.h"
#include "py/scope.h"

#include <algorithm>
#include <functional>
#include <cstdio>
#include <memory>
#include <string_view>

namespace tw::content {

namespace {

using text_bytes::Mark;

const char* const kGb18030 = "gb18030";

// Text pieces are encoded this many characters at a time, and written out
// once this many bytes are waiting, so that a large file is never held
// twice over in memory.
constexpr Py_ssize_t kPieceLength = 1 << 20;
constexpr std::size_t kWriteSize = 1 << 20;

bool is_control(Py_UCS4 c)
{
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || (c >= 0x7F && c <= 0x9F);
}

// The first control character of `text` (see is_control), or -1.
Py_ssize_t find_control(PyObject* text)
{
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (is_control(PyUnicode_READ(kind, data, i)))
            return i;
    }
    return -1;
}

// 1 when `text` encodes as GB18030 to exactly `bytes`, 0 when not, -1.
// Encoded a piece at a time, so the text is never held twice.
int encodes_back(PyObject* text, std::string_view bytes)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    std::size_t at = 0;
    for (Py_ssize_t start = 0; start < length; start += kPieceLength) {
        py::Ref piece = py::Ref::steal(PyUnicode_Substring(text, start, start + kPieceLength));
        py::Ref encoded = piece ? py::Ref::steal(PyUnicode_AsEncodedString(piece.get(), kGb18030, "strict"))
                                : py::Ref();
        if (!encoded)
            return -1;
        std::string_view part(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        if (bytes.substr(at, part.size()) != part)
            return 0;
        at += part.size();
    }
    return at == bytes.size() ? 1 : 0;
}

// Decodes `bytes` as GB18030 under the rules. 1 with `out` filled, 0 with
// `why` saying why not, -1 for an error that is not about the bytes.
int decode_gb18030(std::string_view bytes, DecodedText& out, py::Ref& why)
{
    py::Ref text = py::Ref::steal(PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), kGb18030, "strict"));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return -1;
        py::PendingError error;
        why = py::Ref::steal(PyObject_Str(error.value()));
        return why ? 0 : -1;
    }
    Py_ssize_t control = find_control(text.get());
    if (control >= 0) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(PyUnicode_READ_CHAR(text.get(), control)));
        why = py::Ref::steal(PyUnicode_FromFormat("it holds the control character %s at character %zd", code, control));
        return why ? 0 : -1;
    }
    int same = encodes_back(text.get(), bytes);
    if (same <= 0) {
        why = same < 0 ? py::Ref() : py::Ref::steal(PyUnicode_FromString("it does not encode back to the same bytes"));
        return why ? 0 : -1;
    }
    out.text = std::move(text);
    out.encoding = TextEncoding::gb18030;
    out.four_byte = text_bytes::has_four_byte_sequence(bytes);
    return 1;
}

// After strict UTF-8 failed (its error pending): GB18030, or the UTF-8
// error made to say that GB18030 was tried too. 0, or -1.
int utf8_or_gb18030(std::string_view bytes, DecodedText& out)
{
    py::PendingError utf8_error;
    py::Ref why;
    int decoded = decode_gb18030(bytes, out, why);
    if (decoded != 0)
        return decoded > 0 ? 0 : -1;
    PyObject* error = utf8_error.value();
    py::Ref object = py::Ref::steal(PyUnicodeDecodeError_GetObject(error));
    Py_ssize_t start = 0, end = 0;
    py::Ref reason = object ? py::Ref::steal(PyUnicodeDecodeError_GetReason(error)) : py::Ref();
    if (!reason || PyUnicodeDecodeError_GetStart(error, &start) < 0 || PyUnicodeDecodeError_GetEnd(error, &end) < 0)
        return -1;
    py::Ref both = py::Ref::steal(PyUnicode_FromFormat("%U; not GB18030 text either: %U", reason.get(), why.get()));
    py::Ref raised = both ? py::Ref::steal(PyObject_CallFunction(PyExc_UnicodeDecodeError, "sOnnO", "utf-8",
                                                                  object.get(), start, end, both.get()))
                          : py::Ref();
    if (raised)
        PyErr_SetObject(PyExc_UnicodeDecodeError, raised.get());
    return -1;
}

int decode_bytes(std::string_view bytes, DecodedText& out)
{
    Mark mark = text_bytes::mark_of(bytes);
    std::string_view rest = bytes.substr(text_bytes::mark_length(mark));
    auto size = static_cast<Py_ssize_t>(rest.size());
    switch (mark) {
    case Mark::utf16_le:
    case Mark::utf16_be: {
        int order = mark == Mark::utf16_le ? -1 : 1;
        out.encoding = mark == Mark::utf16_le ? TextEncoding::utf16_le : TextEncoding::utf16_be;
        out.text = py::Ref::steal(PyUnicode_DecodeUTF16(rest.data(), size, "strict", &order));
        break;
    }
    case Mark::utf8:
    case Mark::none:
        out.encoding = mark == Mark::utf8 ? TextEncoding::utf8_mark : TextEncoding::utf8;
        out.text = py::Ref::steal(PyUnicode_DecodeUTF8(rest.data(), size, "strict"));
        if (!out.text && mark == Mark::none && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return utf8_or_gb18030(bytes, out);
        break;
    }
    return out.text ? 0 : -1;
}

}  // namespace

int read_text_file(PyObject* path, DecodedText& out)
{
    out = DecodedText{};
    std::string bytes;
    return read_file_bytes(path, bytes) < 0 ? -1 : decode_bytes(bytes, out);
}

const char* encoding_name(const DecodedText& text)
{
    switch (text.encoding) {
    case TextEncoding::utf8: return nullptr;
    case TextEncoding::utf8_mark: return "UTF-8 BOM";
    case TextEncoding::utf16_le: return "UTF-16 LE";
    case TextEncoding::utf16_be: return "UTF-16 BE";
    case TextEncoding::gb18030: return text.four_byte ? "GB18030" : "GBK";
    }
    return nullptr;
}

// ---- writing -------------------------------------------------------------------

namespace {

// Encoded text on its way into an open binary file.
class EncodedOutput {
public:
    // Where the encoded bytes go: 0, or -1 with the exception set.
    using Sink = std::function<int(const std::string& bytes)>;

    EncodedOutput(Sink sink, TextEncoding encoding) : sink_(std::move(sink)), encoding_(encoding)
    {
        utf8_ = encoding_ == TextEncoding::utf8 || encoding_ == TextEncoding::utf8_mark;
    }

    int put_mark();
    // text[start:end], encoded.
    int put_text(PyObject* text, Py_ssize_t start, Py_ssize_t end);
    int flush();

private:
    const char* codec() const;
    int put_bytes(std::string_view bytes);

    Sink sink_;
    TextEncoding encoding_;
    bool utf8_ = false;
    std::string waiting_;
};

const char* EncodedOutput::codec() const
{
    switch (encoding_) {
    case TextEncoding::utf16_le: return "utf-16-le";
    case TextEncoding::utf16_be: return "utf-16-be";
    case TextEncoding::gb18030: return kGb18030;
    default: return "utf-8";
    }
}

int EncodedOutput::put_mark()
{
    switch (encoding_) {
    case TextEncoding::utf8_mark: return put_bytes("\xEF\xBB\xBF");
    case TextEncoding::utf16_le: return put_bytes("\xFF\xFE");
    case TextEncoding::utf16_be: return put_bytes("\xFE\xFF");
    default: return 0;
    }
}

int EncodedOutput::put_bytes(std::string_view bytes)
{
    waiting_.append(bytes);
    return waiting_.size() >= kWriteSize ? flush() : 0;
}

int EncodedOutput::put_text(PyObject* text, Py_ssize_t start, Py_ssize_t end)
{
    if (PyUnicode_READY(text) < 0)
        return -1;
    // ASCII text is its own UTF-8: copied, not encoded.
    if (utf8_ && PyUnicode_IS_ASCII(text)) {
        const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        return put_bytes(std::string_view(data + start, static_cast<std::size_t>(end - start)));
    }
    for (Py_ssize_t from = start; from < end; from += kPieceLength) {
        py::Ref piece = py::Ref::steal(PyUnicode_Substring(text, from, std::min(end, from + kPieceLength)));
        py::Ref encoded = piece ? py::Ref::steal(PyUnicode_AsEncodedString(piece.get(), codec(), "strict"))
                                : py::Ref();
        if (!encoded || put_bytes(std::string_view(PyBytes_AS_STRING(encoded.get()),
                                                   static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())))) < 0)
            return -1;
    }
    return 0;
}

int EncodedOutput::flush()
{
    if (waiting_.empty())
        return 0;
    if (sink_(waiting_) < 0)
        return -1;
    waiting_.clear();
    return 0;
}

int write_pieces(EncodedOutput& output, PyObject* text, const std::vector<Splice>& splices)
{
    if (output.put_mark() < 0)
        return -1;
    Py_ssize_t at = 0;
    for (const Splice& splice : splices) {
        PyObject* new_text = splice.text.get();
        if (output.put_text(text, at, splice.start) < 0 ||
            output.put_text(new_text, 0, PyUnicode_GET_LENGTH(new_text)) < 0)
            return -1;
        at = splice.end;
    }
    if (output.put_text(text, at, PyUnicode_GET_LENGTH(text)) < 0)
        return -1;
    return output.flush();
}

}  // namespace

int write_spliced(PyObject* path, const DecodedText& text, const std::vector<Splice>& splices)
{
    platform::NewContent content;
    int natively = content.open(path);
    if (natively != 0) {
        EncodedOutput output([&](const std::string& bytes) { return content.write(bytes); }, text.encoding);
        int status = natively < 0 ? -1 : write_pieces(output, text.text.get(), splices);
        content.close();
        return status;
    }
    return py::with_file_written(path, "wb"_id, [&](PyObject* file) {
        EncodedOutput output(
            [file](const std::string& bytes) {
                py::Ref view = py::Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(bytes.data()),
                                                                      static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
                return view && py::call_method(file, "write"_id, view) ? 0 : -1;
            },
            text.encoding);
        return write_pieces(output, text.text.get(), splices);
    });
}

// ---- the GBK codes -------------------------------------------------------------

namespace {

using text_bytes::GbCodes;

constexpr int kTrails = 191;  // 0x40 to 0xFE; 0x7F is never a trail

// One decoded code's character, when it passes: one character, not a
// control character. Sets its bit.
void note_code(GbCodes& codes, int lead, int trail, PyObject* text, Py_ssize_t at)
{
    if (!is_control(PyUnicode_READ_CHAR(text, at)))
        codes.two_byte[(lead - 0x81) * kTrails + (trail - 0x40)] = true;
}

// `bytes` decoded strictly and encoded back to the same: the text, or
// empty with nothing pending when the codec refuses or changes them; -1
// only for an error that is not about the bytes (left pending).
int round_trip(std::string_view bytes, py::Ref& text)
{
    text = py::Ref::steal(PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), kGb18030, "strict"));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    int same = encodes_back(text.get(), bytes);
    if (same <= 0)
        text = py::Ref();
    return same;
}

// The codes with lead byte `lead`: the whole row at once, and code by code
// only when the row as a whole does not pass. 0, or -1.
int fill_row(GbCodes& codes, int lead)
{
    std::string row;
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail != 0x7F)
            row.append({static_cast<char>(lead), static_cast<char>(trail)});
    }
    py::Ref text;
    int whole = round_trip(row, text);
    if (whole < 0)
        return -1;
    // Every trail byte is outside the digits, so each code is read as two
    // bytes: a row that passes whole gives one character per code.
    if (whole > 0 && PyUnicode_GET_LENGTH(text.get()) == kTrails - 1) {
        Py_ssize_t at = 0;
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (trail != 0x7F)
                note_code(codes, lead, trail, text.get(), at++);
        }
        return 0;
    }
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
        const char code[] = {static_cast<char>(lead), static_cast<char>(trail)};
        int passed = trail == 0x7F ? 0 : round_trip(std::string_view(code, 2), text);
        if (passed < 0)
            return -1;
        if (passed > 0 && PyUnicode_GET_LENGTH(text.get()) == 1)
            note_code(codes, lead, trail, text.get(), 0);
    }
    return 0;
}

int fill_single(GbCodes& codes)
{
    std::string bytes;
    for (int b = 0; b < 0x80; ++b)
        bytes.push_back(static_cast<char>(b));
    py::Ref text;
    int passed = round_trip(bytes, text);
    if (passed <= 0 || PyUnicode_GET_LENGTH(text.get()) != 0x80)
        return passed < 0 ? -1 : 0;
    for (int b = 0; b < 0x80; ++b)
        codes.single[b] = PyUnicode_READ_CHAR(text.get(), b) == static_cast<Py_UCS4>(b) && !is_control(b);
    return 0;
}

}  // namespace

const GbCodes* gb_codes()
{
    static const GbCodes* made = nullptr;  // for the whole process, like the codec
    if (made)
        return made;
    auto codes = std::make_unique<GbCodes>();
    if (fill_single(*codes) < 0)
        return nullptr;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        if (fill_row(*codes, lead) < 0)
            return nullptr;
    }
    made = codes.release();
    return made;
}

}  // namespace tw::content
