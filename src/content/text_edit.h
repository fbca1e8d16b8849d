// Run-level replacement in word-processing and presentation text.
//
// The keyword is matched once on the text of a unit (a paragraph, a table
// cell, a text frame): what the library reads for it, and in a Word document
// also the text that wrappers of runs hold (see docx_text.h). Each match is
// then mapped onto the nodes that make up that text, counted exactly as the
// library counts them, and edited there from the last match to the first,
// so that earlier offsets stay valid. The replacement goes into the run where
// its match begins and takes that run's formatting; the match's characters
// in later runs are removed; everything else in the paragraph is left as it
// was.
//
// Where a match cannot be mapped safely, that paragraph (or, failing that,
// the whole unit) gets the library's plain text assignment instead, so the
// text read back is always what the plain substitution gives.
#pragma once

#include "py/ops.h"
#include "keyword/keyword.h"

#include <vector>

namespace tw::content::edit {

// The container a piece's characters sit in (a hyperlink, a field result).
// A match whose characters lie in two containers is not edited in place.
using Region = long long;

// One node that the library counts in a paragraph's text.
struct Piece {
    py::Ref element;          // the node (w:t, w:tab, a:r, a:br, a:fld ...)
    py::Ref text;             // its characters as the library reads them, kept current
    Py_ssize_t start = 0;     // offset in the paragraph's text before any edit
    Py_ssize_t length = 0;    // characters before any edit (never 0)
    bool editable = false;    // holds characters that can change; otherwise it stands
                              // for exactly one character (a tab, a line break)
    Region region = 0;
    bool touched = false;     // an edit changed it: the sweep looks at it
    bool removed = false;     // a one-character node whose character was matched
};

using keyword::Match;

// What one file format does with the nodes of its paragraphs.
class Editor {
public:
    virtual ~Editor() = default;
    // The library's paragraph object for a paragraph element: its `text` is
    // read, and assigned where the paragraph cannot be edited in place.
    virtual py::Ref paragraph(PyObject* element) = 0;
    // The text of a paragraph that is matched: by default what the library
    // reads from `proxy`, the paragraph object made above.
    virtual py::Ref text_of(PyObject* element, PyObject* proxy);
    // The paragraph's pieces in document order (pieces of no characters are
    // left out). 1, 0 when the paragraph holds text that cannot be edited
    // in place, or -1 with the exception set.
    virtual int collect(PyObject* element, std::vector<Piece>& pieces) = 0;
    // Whether `replacement` can go where a match begins: `at` is the piece
    // (null in a paragraph with no text).
    virtual bool can_insert(const Piece* at, PyObject* replacement) const = 0;
    // Whether the library's paragraph assignment reads back as `text`.
    virtual bool can_assign(PyObject* text) const = 0;
    // Gives an editable piece new characters.
    virtual int set_text(Piece& piece, PyObject* text) = 0;
    // Puts `replacement` at `offset` in piece `at` (offset == length: after
    // it), or into the paragraph when it has no piece (`at` null).
    virtual int insert(PyObject* paragraph, Piece* at, Py_ssize_t offset,
                       PyObject* replacement) = 0;
    // After all edits of a paragraph: removes the nodes the edits emptied.
    virtual int sweep(std::vector<Piece>& pieces) = 0;
};

// Replaces the keyword in one unit of text. `holder` is the library object
// whose `text` is the unit's text (read by the caller as `text`) and which
// takes the plain assignment when nothing finer works; `paragraphs` are the
// unit's paragraph elements, whose texts joined by "\n" make that text.
// Adds the number of matches to `matches`. 0, or -1 with the exception set.
int edit_unit(Editor& editor, const keyword::Keyword& keyword, PyObject* holder, PyObject* text,
              const std::vector<py::Ref>& paragraphs, Py_ssize_t& matches);

// Text helpers shared by the editors.
py::Ref slice(PyObject* text, Py_ssize_t from, Py_ssize_t to);
py::Ref concat(PyObject* first, PyObject* second);
inline Py_ssize_t length(PyObject* text) { return PyUnicode_GET_LENGTH(text); }
// Whether `text` holds one of the code points in `chars`.
bool contains_any(PyObject* text, const char* chars);

}  // namespace tw::content::edit
