// The keyword engine that both renaming and content replacement use: the
// old keyword turned into a pattern, matched, and replaced by the template.
// Every match the program makes goes through here, so that a rename, a
// file's text and a preview see the same matches and the same replacements.
#pragma once

#include "py/ref.h"
#include "run/options.h"

#include <string>
#include <vector>

namespace tw::keyword {

// The expression text of a keyword: every `*` becomes a lazy `.*?`.
py::Ref convert_to_regex(PyObject* pattern);

// The first few matches met while deciding one file, each with a little of
// the text around it, for a preview to show: a list of (before, old, new,
// after) texts, made on the first match.
struct MatchSamples {
    py::Ref list;
    Py_ssize_t limit = 5;
    // Whether the text being matched is a formula (a workbook cell's), and
    // for each sample in `list`, whether its text was one.
    bool in_formula = false;
    std::vector<bool> formulas;
};

// Texts on which the `regex` package and re would disagree for a keyword
// (see Keyword::matcher): re matches those.
enum TextRisk : unsigned {
    k_non_ascii = 1,   // \w, \b and their kin: the two read Unicode's word characters differently
    k_separators = 2,  // \s, \S: re counts U+001C..U+001F as space
    k_astral = 4,      // \d, \D: regex knows digits added to Unicode after the interpreter's tables
    k_dotless_i = 8,   // case ignored: re folds i, I, U+0130 and U+0131 together
    k_empty = 16,      // \B: re finds no boundary in the empty text, regex one
};

// The keyword as the operations apply it: the compiled pattern and the
// replacement template; `samples`, when set, collects the matches that the
// deciding meets.
//
// `matcher`, when set, is the same expression compiled by the `regex`
// package (for the window's runs): its matching gives the interpreter's
// lock back and stops at a time limit, and a cancel stops the wait for it.
// Texts that `risks` names, and anything but a str, are matched by re.
struct Keyword {
    PyObject* pattern;
    PyObject* new_keyword;
    MatchSamples* samples = nullptr;
    PyObject* matcher = nullptr;
    unsigned risks = 0;
    bool timed = true;  // regex is asked with a time limit (see engine.h)
};

// A keyword compiled for the options of a run: the old keyword as a pattern
// (a regular expression, or plain text in which only `*` is a wildcard;
// case ignored or not) and the new keyword as a template (plain text gets
// its backslashes doubled, so that each stands for itself).
struct Compiled {
    py::Ref pattern;      // re.compile's pattern
    py::Ref new_keyword;  // the template
    py::Ref matcher;      // see Keyword::matcher; null when re matches
    unsigned risks = 0;
    bool timed = true;

    Keyword keyword() const
    {
        return {pattern.get(), new_keyword.get(), nullptr, matcher.get(), risks, timed};
    }
};

// The keyword compiled for `options`. With the default options this is
// re.compile(convert_to_regex(old_keyword)), both looked up as globals, and
// the new keyword as it is. `new_keyword` may be null (no template). 0, or
// -1 with the exception set.
int compile_for(const run::Options& options, PyObject* old_keyword, PyObject* new_keyword,
                Compiled& out);

// compile_for the options of the run installed on this thread.
int compile_keyword(PyObject* old_keyword, PyObject* new_keyword, Compiled& out);

// The keyword for a whole run, checked before anything is touched:
// compiled, and the template expanded once, since `pattern.sub(new_keyword,
// "")` rejects a bad template even where nothing matches. 0, or -1.
int compile_checked(PyObject* old_keyword, PyObject* new_keyword, Compiled& out);

// 1 when the keyword matches the empty text (so that it would also match
// between any two characters of a name or a text), 0 when not, -1.
int matches_empty_text(const Keyword& keyword);

// The keyword applied to one text.
struct Replacement {
    py::Ref text;          // the text with every match replaced
    Py_ssize_t count = 0;  // how many matches were replaced
};

// One match in a text, with what it becomes.
struct Match {
    Py_ssize_t start = 0, end = 0;
    py::Ref replacement;  // the match's own expansion of the template
};

// `pattern.subn(new_keyword, text)`, counted. 0, or -1 with the exception set.
int substitute(const Keyword& keyword, PyObject* text, Replacement& out);

// `pattern.search(text)` decides whether the keyword occurs (an empty match
// counts); when it does, `out` gets `pattern.subn(new_keyword, text)` and
// the samples get its matches. (With a matcher, subn's count decides.)
// Returns 1 when it occurs, 0 when not, -1 with the exception set.
int replace_in(const Keyword& keyword, PyObject* text, Replacement& out);

// Every match of the keyword in `text`, left to right (`pattern.finditer`),
// each with its own expansion of the template. 0, or -1 with the exception set.
int find_matches(const Keyword& keyword, PyObject* text, std::vector<Match>& out);

// Texts (UTF-8) that every match of a compiled keyword pattern contains,
// read from its expression: 1 with `out` filled, 0 when the expression is
// beyond this small reading or needs no text; -1 with the exception set.
// Only a str pattern compiled without flags is read, made of characters,
// escaped punctuation, `.`, `^`, `$` and quantifiers on single items;
// classes, groups, alternatives, other escapes and inline flags are not.
int required_texts(PyObject* pattern, std::vector<std::string>& out);

// Adds the matches in `text` to the keyword's samples until they are full;
// nothing when it collects none. 0, or -1 with the exception set.
int note_samples(const Keyword& keyword, PyObject* text);
// Adds one match, text[start:end] becoming `replacement`. 0, or -1.
int note_sample(MatchSamples& samples, PyObject* text, Py_ssize_t start, Py_ssize_t end,
                PyObject* replacement);

}  // namespace tw::keyword
