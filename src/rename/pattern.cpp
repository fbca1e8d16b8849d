// The keyword pattern: the old keyword is a regular expression in which a
// `*` stands for any run of characters, as short as possible.
#include "py/names.h"
#include "py/unpack.h"
#include "rename/rename.h"

#include <algorithm>
#include <string_view>

namespace tw::rename {

namespace {

template <class Char>
void expand_stars(const Char* keyword, Py_ssize_t length, Char* out)
{
    for (const Char* end = keyword + length; keyword != end; ++keyword) {
        if (*keyword == '*') {
            *out++ = '.';
            *out++ = '*';
            *out++ = '?';
        } else {
            *out++ = *keyword;
        }
    }
}

template <class Char>
Py_ssize_t count_stars(const void* data, Py_ssize_t length)
{
    const Char* chars = static_cast<const Char*>(data);
    return std::count(chars, chars + length, Char('*'));
}

// What str.replace("*", ".*?") gives for an exact str, with no method call:
// the keyword itself when it holds no `*` (as str.replace returns it), else
// a new string of the keyword's own kind, since the inserted characters are
// ASCII and a `*` was already there.
py::Ref expand_str(PyObject* keyword)
{
    if (PyUnicode_READY(keyword) < 0)
        return {};
    Py_ssize_t length = PyUnicode_GET_LENGTH(keyword);
    int kind = PyUnicode_KIND(keyword);
    const void* data = PyUnicode_DATA(keyword);
    Py_ssize_t stars = kind == PyUnicode_1BYTE_KIND   ? count_stars<Py_UCS1>(data, length)
                       : kind == PyUnicode_2BYTE_KIND ? count_stars<Py_UCS2>(data, length)
                                                      : count_stars<Py_UCS4>(data, length);
    if (stars == 0)
        return py::Ref::borrow(keyword);
    if (stars > (PY_SSIZE_T_MAX - length) / 2) {
        PyErr_SetString(PyExc_OverflowError, "replace string is too long");
        return {};
    }
    py::Ref result = py::Ref::steal(
        PyUnicode_New(length + 2 * stars, PyUnicode_MAX_CHAR_VALUE(keyword)));
    if (!result)
        return {};
    void* out = PyUnicode_DATA(result.get());
    if (kind == PyUnicode_1BYTE_KIND)
        expand_stars(static_cast<const Py_UCS1*>(data), length, static_cast<Py_UCS1*>(out));
    else if (kind == PyUnicode_2BYTE_KIND)
        expand_stars(static_cast<const Py_UCS2*>(data), length, static_cast<Py_UCS2*>(out));
    else
        expand_stars(static_cast<const Py_UCS4*>(data), length, static_cast<Py_UCS4*>(out));
    return result;
}

}  // namespace

// A built-in str's type cannot be changed, so its replace is known and done
// here; any other object, a str subclass included, is asked through its own
// `replace`, so that its override and its errors stay what they are.
py::Ref convert_to_regex(PyObject* pattern)
{
    if (PyUnicode_CheckExact(pattern))
        return expand_str(pattern);
    return py::call_method(pattern, "replace"_id, "*"_id, ".*?"_id);
}

py::Ref compile_keyword(PyObject* old_keyword)
{
    py::Ref convert = py::global("convert_to_regex"_id);
    if (!convert)
        return {};
    py::Ref expression = py::call(convert.get(), old_keyword);
    if (!expression)
        return {};
    py::Ref re = py::global("re"_id);
    if (!re)
        return {};
    return py::call_method(re.get(), "compile"_id, expression);
}

py::Ref compile_checked(PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref pattern = compile_keyword(old_keyword);
    if (!pattern)
        return {};
    py::Ref empty = py::Ref::steal(PyUnicode_New(0, 0));
    if (!empty || !py::call_method(pattern.get(), "sub"_id, new_keyword, empty))
        return {};
    return pattern;
}

int replace_in(const Keyword& keyword, PyObject* text, Replacement& out)
{
    py::Ref found = py::call_method(keyword.pattern, "search"_id, text);
    int matched = found ? py::truth(found.get()) : -1;
    if (matched <= 0)
        return matched;
    py::Ref result = py::call_method(keyword.pattern, "subn"_id, keyword.new_keyword, text);
    py::Ref parts[2];
    if (!result || py::unpack(result.get(), parts) < 0)
        return -1;
    Py_ssize_t count = PyLong_AsSsize_t(parts[1].get());
    if (count < 0 && PyErr_Occurred())
        return -1;
    out.text = parts[0];
    out.count = count;
    return note_samples(keyword, text) < 0 ? -1 : 1;
}

}  // namespace tw::rename

namespace tw::rename {

namespace {

// Reads an expression's items left to right, keeping the runs of plain
// characters that every match holds in one piece. false when an item is
// not one it reads.
class RequiredTexts {
public:
    bool read(std::string_view expression)
    {
        for (std::size_t at = 0; at < expression.size();) {
            unsigned char c = static_cast<unsigned char>(expression[at]);
            if (c == '\\') {
                if (at + 1 >= expression.size() || !is_escaped_punctuation(expression[at + 1]))
                    return false;
                character(expression.substr(at + 1, 1));
                at += 2;
            } else if (c == '.' || c == '^' || c == '$') {
                other(c != '.');
                ++at;
            } else if (c == '*' || c == '+' || c == '?' || c == '{') {
                if (!quantifier(expression, at))
                    return false;
            } else if (std::string_view("[]()|}").find(static_cast<char>(c)) != std::string_view::npos) {
                return false;
            } else {
                std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
                character(expression.substr(at, length));
                at += length;
            }
        }
        close();
        return true;
    }

    std::vector<std::string> texts;

private:
    enum class Last { nothing, character, other, anchor, quantified };

    static bool is_escaped_punctuation(char c)
    {
        unsigned char b = static_cast<unsigned char>(c);
        return b >= 0x20 && b < 0x7F && !(b >= '0' && b <= '9') && !(b >= 'a' && b <= 'z') &&
               !(b >= 'A' && b <= 'Z');
    }

    void character(std::string_view bytes)
    {
        last_char_ = run_.size();
        run_ += bytes;
        last_ = Last::character;
    }

    void other(bool anchor)
    {
        close();
        last_ = anchor ? Last::anchor : Last::other;
    }

    void close()
    {
        if (!run_.empty() && std::find(texts.begin(), texts.end(), run_) == texts.end())
            texts.push_back(run_);
        run_.clear();
    }

    // `*`, `+`, `?` or `{m}`, `{m,}`, `{m,n}`, lazy or not, on the item
    // before it: a character that may be absent leaves the run; one that
    // must be there ends it, and (its last copy) starts the next.
    bool quantifier(std::string_view expression, std::size_t& at)
    {
        if (last_ != Last::character && last_ != Last::other)
            return false;
        char c = expression[at++];
        bool optional = c == '*' || c == '?';
        if (c == '{') {
            std::size_t digits = at;
            while (at < expression.size() && expression[at] >= '0' && expression[at] <= '9')
                ++at;
            if (at == digits)
                return false;  // "{,n}", or a brace taken literally
            optional = expression.find_first_not_of('0', digits) >= at;
            if (at < expression.size() && expression[at] == ',')
                ++at;
            while (at < expression.size() && expression[at] >= '0' && expression[at] <= '9')
                ++at;
            if (at >= expression.size() || expression[at] != '}')
                return false;
            ++at;
        }
        if (at < expression.size() && expression[at] == '?')
            ++at;  // lazy
        if (at < expression.size() && std::string_view("*+?{").find(expression[at]) != std::string_view::npos)
            return false;  // possessive, or something else
        if (last_ == Last::character) {
            std::string repeated = run_.substr(last_char_);
            if (optional)
                run_.resize(last_char_);
            close();
            if (!optional) {
                run_ = repeated;
                last_char_ = 0;
            }
        }
        last_ = Last::quantified;
        return true;
    }

    std::string run_;
    std::size_t last_char_ = 0;
    Last last_ = Last::nothing;
};

}  // namespace

int required_texts(PyObject* pattern, std::vector<std::string>& out)
{
    out.clear();
    static py::Ref& pattern_type = py::process_wide_ref();
    if (!pattern_type) {
        py::Ref re = py::Ref::steal(PyImport_ImportModule("re"));
        pattern_type = re ? py::getattr(re.get(), "Pattern"_id) : py::Ref();
        if (!pattern_type)
            return -1;
    }
    // A pattern made by something other than the interpreter's own re
    // cannot be read here.
    if (Py_TYPE(pattern) != reinterpret_cast<PyTypeObject*>(pattern_type.get()))
        return 0;
    py::Ref expression = py::getattr(pattern, "pattern"_id);
    py::Ref flags = expression ? py::getattr(pattern, "flags"_id) : py::Ref();
    if (!flags)
        return -1;
    long flag_bits = PyLong_AsLong(flags.get());
    if (flag_bits == -1 && PyErr_Occurred())
        return -1;
    constexpr long kUnicode = 32;  // re.UNICODE, which every str pattern has
    if (!PyUnicode_Check(expression.get()) || flag_bits != kUnicode)
        return 0;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(expression.get(), &size);
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError))
            return -1;
        PyErr_Clear();  // lone surrogates: no text of a document holds them as such
        return 0;
    }
    RequiredTexts reading;
    if (!reading.read(std::string_view(utf8, static_cast<std::size_t>(size))) || reading.texts.empty())
        return 0;
    out = std::move(reading.texts);
    return 1;
}

}  // namespace tw::rename
