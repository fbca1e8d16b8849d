// The texts every match of a keyword holds, read from its expression, so
// that a file which holds none of them need not be matched at all.
#include "keyword/keyword.h"
#include "py/names.h"

#include <algorithm>
#include <string_view>

namespace tw::keyword {

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

}  // namespace tw::keyword
