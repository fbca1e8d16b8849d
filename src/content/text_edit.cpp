#include "content/text_edit.h"

#include "py/unpack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tw::content::edit {

namespace {

// Why a paragraph or a unit got the plain assignment (null: a unit with
// matches, for the count they are measured against). Only a build made to
// count these (TW_TRACE_FALLBACKS) says so, on the standard error stream.
void trace(const char* reason)
{
#ifdef TW_TRACE_FALLBACKS
    std::fprintf(stderr, "termweave_mira7 %s: %s\n", reason ? "fallback" : "matched",
                 reason ? reason : "unit");
#else
    (void)reason;
#endif
}

struct Paragraph {
    py::Ref element, proxy, text;
    Py_ssize_t start = 0, end = 0;   // its place in the unit's text
    size_t first = 0, count = 0;     // its matches
    std::vector<Piece> pieces;
    bool plain = false;              // gets the library's plain assignment
};

// text[from:to] with every match in between replaced by its expansion:
// what pattern.sub gives for that stretch of the text.
py::Ref substitute(PyObject* text, const Match* matches, size_t count, Py_ssize_t from,
                   Py_ssize_t to)
{
    py::Ref parts = py::Ref::steal(PyList_New(0));
    if (!parts)
        return {};
    Py_ssize_t at = from;
    auto add = [&](PyObject* part) { return part && PyList_Append(parts.get(), part) == 0; };
    for (size_t i = 0; i < count; ++i) {
        if (!add(slice(text, at, matches[i].start).get()) || !add(matches[i].replacement.get()))
            return {};
        at = matches[i].end;
    }
    if (!add(slice(text, at, to).get()))
        return {};
    py::Ref empty = py::Ref::steal(PyUnicode_FromStringAndSize("", 0));
    return empty ? py::Ref::steal(PyUnicode_Join(empty.get(), parts.get())) : py::Ref();
}

// "".join or "\n".join of texts, compared with `expected`: 1 equal, 0 not, -1.
int joins_to(const std::vector<py::Ref>& texts, const char* separator, PyObject* expected)
{
    py::Ref list = py::Ref::steal(PyList_New(0));
    py::Ref sep = py::Ref::steal(PyUnicode_FromString(separator));
    if (!list || !sep)
        return -1;
    for (const py::Ref& text : texts)
        if (PyList_Append(list.get(), text.get()) < 0)
            return -1;
    py::Ref joined = py::Ref::steal(PyUnicode_Join(sep.get(), list.get()));
    return joined ? py::equals(joined.get(), expected) : -1;
}

struct PiecePosition {
    Piece* at = nullptr;
    Py_ssize_t offset = 0;
};

// The piece holding the character at `position`; at the paragraph's end,
// the end of its last piece. "The run where the match begins."
PiecePosition locate(std::vector<Piece>& pieces, Py_ssize_t position)
{
    for (Piece& piece : pieces)
        if (piece.start <= position && position < piece.start + piece.length)
            return {&piece, position - piece.start};
    if (pieces.empty())
        return {};
    return {&pieces.back(), pieces.back().length};
}

bool overlaps(const Piece& piece, Py_ssize_t start, Py_ssize_t end)
{
    return piece.start < end && start < piece.start + piece.length;
}

// Reads the unit's paragraphs. 1 when their texts joined by "\n" are the
// unit's text, 0 when not, -1 on error.
int read_paragraphs(Editor& editor, PyObject* text, const std::vector<py::Ref>& elements,
                    std::vector<Paragraph>& out)
{
    std::vector<py::Ref> texts;
    Py_ssize_t start = 0;
    for (const py::Ref& element : elements) {
        Paragraph paragraph;
        paragraph.element = element;
        paragraph.proxy = editor.paragraph(element.get());
        if (!paragraph.proxy)
            return -1;
        // The libraries join a unit's paragraphs: one paragraph's text is the
        // unit's, and is not read again.
        paragraph.text = elements.size() == 1 ? py::Ref::borrow(text)
                                              : editor.text_of(element.get(), paragraph.proxy.get());
        if (!paragraph.text)
            return -1;
        if (!PyUnicode_Check(paragraph.text.get()))
            return 0;
        paragraph.start = start;
        paragraph.end = start + length(paragraph.text.get());
        start = paragraph.end + 1;
        texts.push_back(paragraph.text);
        out.push_back(std::move(paragraph));
    }
    return joins_to(texts, "\n", text);
}

// Gives each paragraph the matches that lie in it. 1, or 0 when a match
// runs over a paragraph's end (or no paragraph holds it).
int share_matches(const std::vector<Match>& matches, std::vector<Paragraph>& paragraphs)
{
    size_t index = 0;
    for (size_t i = 0; i < matches.size(); ++i) {
        const Match& match = matches[i];
        while (index < paragraphs.size() && paragraphs[index].end < match.start)
            ++index;
        if (index == paragraphs.size() || match.end > paragraphs[index].end)
            return 0;
        Paragraph& paragraph = paragraphs[index];
        if (paragraph.count++ == 0)
            paragraph.first = i;
    }
    return 1;
}

// Whether every match of the paragraph maps onto its pieces: 1 yes, 0 no
// (the paragraph then gets the plain assignment), -1 on error.
int maps_in_place(Editor& editor, Paragraph& paragraph, const std::vector<Match>& matches)
{
    int collected = editor.collect(paragraph.element.get(), paragraph.pieces);
    if (collected <= 0) {
        if (collected == 0)
            trace("a text node holds more than text");
        return collected;
    }
    std::vector<py::Ref> texts;
    for (const Piece& piece : paragraph.pieces)
        texts.push_back(piece.text);
    int adds_up = joins_to(texts, "", paragraph.text.get());
    if (adds_up <= 0) {
        trace("the nodes do not add up to the paragraph's text");
        return adds_up;
    }
    for (size_t i = paragraph.first; i < paragraph.first + paragraph.count; ++i) {
        Py_ssize_t start = matches[i].start - paragraph.start;
        Py_ssize_t end = matches[i].end - paragraph.start;
        const Piece* first = nullptr;
        for (const Piece& piece : paragraph.pieces) {
            if (!overlaps(piece, start, end))
                continue;
            if (first && piece.region != first->region) {
                trace("a match crosses the edge of a hyperlink, wrapper or field");
                return 0;
            }
            first = first ? first : &piece;
        }
        if (!editor.can_insert(locate(paragraph.pieces, start).at, matches[i].replacement.get())) {
            trace("the replacement cannot go where its match begins");
            return 0;
        }
    }
    return 1;
}

// Decides how each paragraph is edited: 1 when each paragraph is edited on
// its own, 0 when the whole unit gets the plain assignment, -1 on error.
int plan_unit(Editor& editor, PyObject* text, const std::vector<py::Ref>& elements,
              const std::vector<Match>& matches, std::vector<Paragraph>& paragraphs)
{
    int status = read_paragraphs(editor, text, elements, paragraphs);
    if (status <= 0) {
        if (status == 0)
            trace("the text is not its paragraphs joined");
        return status;
    }
    if (share_matches(matches, paragraphs) == 0) {
        trace("a match spans two paragraphs");
        return 0;
    }
    for (Paragraph& paragraph : paragraphs) {
        if (paragraph.count == 0)
            continue;
        status = maps_in_place(editor, paragraph, matches);
        if (status < 0)
            return -1;
        if (status > 0)
            continue;
        paragraph.plain = true;
        py::Ref new_text = substitute(text, &matches[paragraph.first], paragraph.count,
                                      paragraph.start, paragraph.end);
        if (!new_text)
            return -1;
        if (!editor.can_assign(new_text.get())) {
            trace("the paragraph's assignment cannot hold the replacement");
            return 0;
        }
    }
    return 1;
}

int remove_matched(Editor& editor, Piece& piece, Py_ssize_t start, Py_ssize_t end)
{
    piece.touched = true;
    if (!piece.editable) {
        piece.removed = true;
        return 0;
    }
    // Edits run from the last match back, so the characters before `end`
    // are still where they were when the pieces were read.
    Py_ssize_t from = std::max(start, piece.start) - piece.start;
    Py_ssize_t to = std::min(end, piece.start + piece.length) - piece.start;
    py::Ref head = slice(piece.text.get(), 0, from);
    py::Ref tail = head ? slice(piece.text.get(), to, length(piece.text.get())) : py::Ref();
    py::Ref rest = tail ? concat(head.get(), tail.get()) : py::Ref();
    return rest ? editor.set_text(piece, rest.get()) : -1;
}

int apply_match(Editor& editor, Paragraph& paragraph, const Match& match)
{
    Py_ssize_t start = match.start - paragraph.start;
    Py_ssize_t end = match.end - paragraph.start;
    PiecePosition place = locate(paragraph.pieces, start);
    for (Piece& piece : paragraph.pieces)
        if (overlaps(piece, start, end) && remove_matched(editor, piece, start, end) < 0)
            return -1;
    if (length(match.replacement.get()) == 0)
        return 0;
    if (place.at)
        place.at->touched = true;
    return editor.insert(paragraph.element.get(), place.at, place.offset, match.replacement.get());
}

int apply_paragraph(Editor& editor, PyObject* text, Paragraph& paragraph,
                    const std::vector<Match>& matches)
{
    if (paragraph.plain) {
        py::Ref new_text = substitute(text, &matches[paragraph.first], paragraph.count,
                                      paragraph.start, paragraph.end);
        return new_text ? py::setattr(paragraph.proxy.get(), "text"_id, new_text.get()) : -1;
    }
    for (size_t i = paragraph.first + paragraph.count; i-- > paragraph.first;)
        if (apply_match(editor, paragraph, matches[i]) < 0)
            return -1;
    return editor.sweep(paragraph.pieces);
}

}  // namespace

py::Ref Editor::text_of(PyObject*, PyObject* proxy)
{
    return py::getattr(proxy, "text"_id);
}

py::Ref slice(PyObject* text, Py_ssize_t from, Py_ssize_t to)
{
    return py::Ref::steal(PyUnicode_Substring(text, from, to));
}

py::Ref concat(PyObject* first, PyObject* second)
{
    return py::Ref::steal(PyUnicode_Concat(first, second));
}

bool contains_any(PyObject* text, const char* chars)
{
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80 && c != 0 && std::strchr(chars, static_cast<int>(c)))
            return true;
    }
    return false;
}

int edit_unit(Editor& editor, const keyword::Keyword& keyword, PyObject* holder, PyObject* text,
              const std::vector<py::Ref>& elements, Py_ssize_t& matches)
{
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "the library gave a text that is not a str");
        return -1;
    }
    std::vector<Match> found;
    if (keyword::find_matches(keyword, text, found) < 0)
        return -1;
    if (found.empty())
        return 0;
    matches += static_cast<Py_ssize_t>(found.size());
    if (keyword.samples) {
        for (const Match& match : found)
            if (keyword::note_sample(*keyword.samples, text, match.start, match.end,
                                    match.replacement.get()) < 0)
                return -1;
    }
    trace(nullptr);
    std::vector<Paragraph> paragraphs;
    int planned = plan_unit(editor, text, elements, found, paragraphs);
    if (planned < 0)
        return -1;
    if (planned == 0) {
        py::Ref new_text = substitute(text, found.data(), found.size(), 0, length(text));
        return new_text ? py::setattr(holder, "text"_id, new_text.get()) : -1;
    }
    for (Paragraph& paragraph : paragraphs)
        if (paragraph.count && apply_paragraph(editor, text, paragraph, found) < 0)
            return -1;
    return 0;
}

}  // namespace tw::content::edit
