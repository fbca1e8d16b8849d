// Name replacement: the keyword pattern, folder and file renaming.
#pragma once

#include "py/ref.h"
#include "run/plan.h"

#include <string>
#include <vector>

namespace tw::rename {

// The expression text of a keyword: every `*` becomes a lazy `.*?`.
py::Ref convert_to_regex(PyObject* pattern);

// re.compile(convert_to_regex(old_keyword)), both looked up as globals.
py::Ref compile_keyword(PyObject* old_keyword);

// The keyword pattern for a whole run, checked before anything is touched:
// compiled, and the template expanded once, since `pattern.sub(new_keyword,
// "")` rejects a bad template even where nothing matches.
py::Ref compile_checked(PyObject* old_keyword, PyObject* new_keyword);

// The first few matches met while deciding one file, each with a little of
// the text around it, for a preview to show: a list of (before, old, new,
// after) texts, made on the first match.
struct MatchSamples {
    py::Ref list;
    Py_ssize_t limit = 5;
};

// The keyword as the operations apply it: the compiled pattern and the
// replacement template; `samples`, when set, collects the matches that the
// deciding meets.
struct Keyword {
    PyObject* pattern;
    PyObject* new_keyword;
    MatchSamples* samples = nullptr;
};

// The keyword applied to one text.
struct Replacement {
    py::Ref text;          // the text with every match replaced
    Py_ssize_t count = 0;  // how many matches were replaced
};

// `pattern.search(text)` decides whether the keyword occurs (an empty match
// counts); when it does, `out` gets `pattern.subn(new_keyword, text)`.
// Returns 1 when it occurs, 0 when not, -1 with the exception set.
int replace_in(const Keyword& keyword, PyObject* text, Replacement& out);

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

py::Ref replace_folder_names(PyObject* root_folder, PyObject* old_keyword,
                             PyObject* new_keyword, PyObject* recursive);
py::Ref replace_file_names(PyObject* root_folder, PyObject* old_keyword,
                           PyObject* new_keyword, PyObject* recursive);

// What the two operations would do, decided by their own code with nothing
// on disk changed: the renames in the order the run would make them (nested
// folders under their parents' new names), and those that would fail.
// Progress and cancellation go through the report installed on this thread.
// Returns 0, or -1 with the exception set for an error that would end the run.
int plan_folder_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                      PyObject* recursive, run::Plan& plan);
int plan_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                    PyObject* recursive, run::Plan& plan);

}  // namespace tw::rename
