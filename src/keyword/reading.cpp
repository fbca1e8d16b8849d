// Where the regex package (VERSION0) and re read the same valid expression
// differently. Found by comparing the two over every character and over the
// syntax both accept:
//   - a brace that is not a counted repeat: literal text for re, a fuzzy
//     constraint for regex (`a{e<=1}`), and in verbose mode `{1, 2}`;
//   - a `[` inside a set: literal for re, a POSIX class for regex (`[[:alpha:]]`);
//   - \w, \W, \b, \B: re's word characters are str.isalnum() and `_`,
//     regex's are Unicode's (combining marks, but not superscript digits);
//     and \B matches the empty text for regex only;
//   - \s, \S: re counts U+001C..U+001F as space, regex does not;
//   - \d, \D: regex's tables know digits added after the interpreter's
//     Unicode version (all above U+FFFF);
//   - case ignored: re folds i, I, U+0130 and U+0131 into one class, regex
//     pairs them differently; every other character folds alike;
//   - templates: `\g< 1>` and `\g<+1>`, which re still accepts.
// The first two, and the folding where the expression itself holds one of
// the four letters, make re match the whole keyword; the others depend on
// the text and make re match only the texts that hold such characters.
#include "keyword/engine.h"

namespace tw::keyword {

namespace {

constexpr Py_UCS4 k_end = 0x110000;  // past the text: no character

bool is_dotted_or_dotless(Py_UCS4 c) { return c == 0x130 || c == 0x131; }
bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

class ExpressionScan {
public:
    ExpressionScan(PyObject* text)
        : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), length_(PyUnicode_GET_LENGTH(text))
    {
    }

    Reading read(bool ignore_case)
    {
        while (at_ < length_) {
            if (in_set_)
                in_set();
            else
                outside_set();
        }
        if (ignore_case || inline_ignore_case_) {
            reading_.risks |= k_dotless_i;
            if (dotless_in_pattern_ || numeric_escape_)
                reading_.differs = true;
        }
        return reading_;
    }

private:
    Py_UCS4 peek(Py_ssize_t ahead = 0) const
    {
        return at_ + ahead < length_ ? PyUnicode_READ(kind_, data_, at_ + ahead) : k_end;
    }

    // At a backslash: what the escape means for the two readings. Returns
    // the character it stands for when it is a plain escaped one, else k_end.
    Py_UCS4 escape()
    {
        Py_UCS4 e = peek(1);
        at_ += 2;
        switch (e) {
        case 'b':
            if (in_set_)
                return '\b';
            [[fallthrough]];
        case 'B':
            reading_.risks |= k_empty;
            [[fallthrough]];
        case 'w': case 'W':
            reading_.risks |= k_non_ascii;
            return k_end;
        case 's': case 'S':
            reading_.risks |= k_separators;
            return k_end;
        case 'd': case 'D':
            reading_.risks |= k_astral;
            return k_end;
        case 'N':
            skip_braces();
            [[fallthrough]];
        case 'x': case 'u': case 'U':
            numeric_escape_ = true;
            return k_end;
        case 'a': return '\a';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case 'v': return '\v';
        default:
            if (is_digit(e))
                numeric_escape_ = true;
            return is_digit(e) || (e < 0x80 && Py_UNICODE_ISALPHA(e)) ? k_end : e;
        }
    }

    void skip_braces()
    {
        if (peek() != '{')
            return;
        while (at_ < length_ && peek() != '}')
            ++at_;
        ++at_;
    }

    void outside_set()
    {
        Py_UCS4 c = peek();
        if (c == '\\') {
            escape();
            return;
        }
        ++at_;
        if (c == '[')
            open_set();
        else if (c == '{')
            (counted_repeat() ? reading_.repeats : reading_.differs) = true;
        else if (c == '(' && peek() == '?')
            group_extension();
        else if (c == '*' || c == '+' || c == '?' || c == '|')
            reading_.repeats = true;
        else if (is_dotted_or_dotless(c))
            dotless_in_pattern_ = true;
    }

    // After `[`: a `^` and a first `]` belong to the set.
    void open_set()
    {
        in_set_ = true;
        last_ = k_end;
        if (peek() == '^')
            ++at_;
        if (peek() == ']') {
            ++at_;
            last_ = ']';
        }
    }

    void in_set()
    {
        Py_UCS4 c = peek();
        if (c == '\\') {
            last_ = escape();
            return;
        }
        ++at_;
        if (c == ']') {
            in_set_ = false;
        } else if (c == '[') {
            reading_.differs = true;
        } else if (c == '-' && last_ != k_end && peek() != ']' && peek() != k_end) {
            range_to();
        } else {
            if (is_dotted_or_dotless(c))
                dotless_in_pattern_ = true;
            last_ = c;
        }
    }

    // After the `-` of a range in a set: its upper end. A range that may
    // hold U+0130 or U+0131 counts as naming them.
    void range_to()
    {
        Py_UCS4 high = peek();
        if (high == '\\')
            high = escape();
        else
            ++at_;
        if (high == k_end || (last_ <= 0x131 && high >= 0x130))
            dotless_in_pattern_ = true;
        last_ = k_end;
    }

    // After `{`: digits, optionally a comma and digits, then `}`.
    bool counted_repeat()
    {
        Py_ssize_t ahead = 0;
        while (is_digit(peek(ahead)))
            ++ahead;
        if (peek(ahead) == ',')
            for (++ahead; is_digit(peek(ahead));)
                ++ahead;
        return peek(ahead) == '}';
    }

    // After `(` with `?` next: a comment is skipped; inline flags are read.
    void group_extension()
    {
        ++at_;
        if (peek() == '#') {
            while (at_ < length_ && peek() != ')')
                ++at_;
            return;
        }
        for (Py_UCS4 c = peek(); c == '-' || (c < 0x80 && Py_UNICODE_ISALPHA(c) && c != 'P'); c = peek()) {
            if (c == 'i')
                inline_ignore_case_ = true;
            else if (c == 'x')
                reading_.differs = true;  // verbose: spaces and comments change the rest
            ++at_;
        }
    }

    int kind_;
    const void* data_;
    Py_ssize_t length_;
    Py_ssize_t at_ = 0;
    bool in_set_ = false;
    Py_UCS4 last_ = k_end;  // in a set: the last plain character, for a range
    bool inline_ignore_case_ = false;
    bool dotless_in_pattern_ = false;
    bool numeric_escape_ = false;
    Reading reading_;
};

bool all_ascii_digits(PyObject* text)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i)
        if (!is_digit(PyUnicode_READ_CHAR(text, i)))
            return false;
    return length > 0;
}

// A group name that re takes and regex may not: `\g< 1>`, `\g<+1>`.
bool odd_group_name(PyObject* new_keyword, Py_ssize_t start, Py_ssize_t end)
{
    py::Ref name = py::Ref::steal(PyUnicode_Substring(new_keyword, start, end));
    if (!name) {
        PyErr_Clear();
        return true;
    }
    return !all_ascii_digits(name.get()) && !PyUnicode_IsIdentifier(name.get());
}

bool contains_between(PyObject* text, Py_UCS4 low, Py_UCS4 high)
{
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= low && c <= high)
            return true;
    }
    return false;
}

}  // namespace

Reading read_expression(PyObject* expression, bool ignore_case)
{
    if (!PyUnicode_Check(expression) || PyUnicode_READY(expression) < 0) {
        PyErr_Clear();
        return {true, 0};
    }
    return ExpressionScan(expression).read(ignore_case);
}

bool template_differs(PyObject* new_keyword)
{
    if (!PyUnicode_Check(new_keyword) || PyUnicode_READY(new_keyword) < 0) {
        PyErr_Clear();
        return true;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(new_keyword);
    for (Py_ssize_t i = 0; i + 1 < length; ++i) {
        if (PyUnicode_READ_CHAR(new_keyword, i) != '\\')
            continue;
        if (PyUnicode_READ_CHAR(new_keyword, i + 1) == 'g' && i + 2 < length &&
            PyUnicode_READ_CHAR(new_keyword, i + 2) == '<') {
            Py_ssize_t close = PyUnicode_FindChar(new_keyword, '>', i + 3, length, 1);
            if (close == -2) {
                PyErr_Clear();  // unsure: as if it differed
                return true;
            }
            if (close >= 0 && odd_group_name(new_keyword, i + 3, close))
                return true;
        }
        ++i;  // the escaped character
    }
    return false;
}

bool text_at_risk(PyObject* text, unsigned risks)
{
    if (risks == 0)
        return false;
    if ((risks & k_empty) && PyUnicode_GET_LENGTH(text) == 0)
        return true;
    if ((risks & k_separators) && contains_between(text, 0x1c, 0x1f))
        return true;
    if (PyUnicode_IS_ASCII(text))
        return false;
    if (risks & k_non_ascii)
        return true;
    if ((risks & k_astral) && PyUnicode_KIND(text) == PyUnicode_4BYTE_KIND)
        return true;
    return (risks & k_dotless_i) && contains_between(text, 0x130, 0x131);
}

}  // namespace tw::keyword
