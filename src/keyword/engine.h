// Where the matches are made (inside keyword/ only): by re, holding the
// interpreter's lock, or, for the window's runs, by the `regex` package,
// which gives the lock back while it matches.
//
// A regex call gets a short first slice on the calling thread. One that has
// not finished by then starts again on a matcher thread of its own, with a
// hard time limit, while the calling thread waits with the lock released
// and answers a cancel at once: the match is then abandoned (it runs out its
// limit, and its result is dropped) and the item is reported as not done.
// A match that reaches the hard limit fails with TimeoutError ("匹配超时").
#pragma once

#include "keyword/keyword.h"

namespace tw::keyword {

// pattern.search(text)
py::Ref search(const Keyword& keyword, PyObject* text);
// pattern.subn(new_keyword, text)
py::Ref subn(const Keyword& keyword, PyObject* text);
// The match objects of pattern.finditer(text) in a list, at most `limit`
// of them (all when `limit` is negative).
py::Ref matches(const Keyword& keyword, PyObject* text, Py_ssize_t limit);

// The expression and template compiled by regex when it reads them as re
// does: `out` gets the matcher (null when re must match the keyword) and
// the risks. `expression` is what re compiled. 0, or -1 with the exception
// set (only for errors that are not about the expression).
int compile_matcher(PyObject* expression, PyObject* new_keyword, bool ignore_case, Compiled& out);

// Whether regex reads an expression or a template otherwise than re.
struct Reading {
    bool differs = false;  // re must match this keyword
    unsigned risks = 0;    // TextRisk: texts that re must match
    // A repeat or an alternative: trying one place may take time that grows
    // faster than the text. Without either, a match takes time in step with
    // the text, and regex is asked without a time limit, which costs it
    // about a microsecond per match found.
    bool repeats = false;
};
Reading read_expression(PyObject* expression, bool ignore_case);
bool template_differs(PyObject* new_keyword);
// True when the text is one that `risks` hands to re.
bool text_at_risk(PyObject* text, unsigned risks);

// How long a regex call may take: first on the calling thread, then in all.
struct MatchLimits {
    double first_slice = 0.1;
    double hard_limit = 10.0;
};
MatchLimits& match_limits();

// What a regex call does, with the references it needs, so that a matcher
// thread can carry on with it after the caller has gone.
struct MatchJob {
    enum class Kind { search, subn, matches } kind;
    py::Ref matcher, text, new_keyword;
    Py_ssize_t limit = -1;
};

// The call made with `timeout` seconds (none when negative), giving the
// lock back while it matches. A result, or empty with the exception set
// (TimeoutError when the time ran out).
py::Ref perform(const MatchJob& job, double timeout);

// How many matcher threads are running (abandoned ones included).
long running_matchers();

// Carries on with a job whose first slice ran out, on a matcher thread,
// waiting for it as described above. The result, or empty with the
// exception set: TimeoutError, or the run's mid-item stop after a cancel.
py::Ref finish_off_thread(MatchJob job);

}  // namespace tw::keyword
