// Presentation paragraphs for the run-level editor: the nodes python-pptx
// counts in `_Paragraph.text` (runs, line breaks, fields), and how a
// replacement goes into them: "\v" is a line break, "\n" starts a new
// paragraph, as `TextFrame.text` reads them.
#pragma once

#include "content/text_edit.h"

namespace tw::content {

class PptxEditor final : public edit::Editor {
public:
    // Looks up the library's text-frame and paragraph classes and element
    // factory. 0, or -1 with the exception set.
    int load();
    // The library's text frame over a p:txBody or a:txBody element.
    py::Ref text_frame(PyObject* body);

    py::Ref paragraph(PyObject* element) override;
    int collect(PyObject* element, std::vector<edit::Piece>& pieces) override;
    bool can_insert(const edit::Piece* at, PyObject* replacement) const override;
    bool can_assign(PyObject* text) const override;
    int set_text(edit::Piece& piece, PyObject* text) override;
    int insert(PyObject* paragraph, edit::Piece* at, Py_ssize_t offset,
               PyObject* replacement) override;
    int sweep(std::vector<edit::Piece>& pieces) override;

private:
    struct Cursor;
    py::Ref new_node(py::Id tag, PyObject* properties);
    int place(Cursor& cursor, PyObject* node);
    int split_paragraph(Cursor& cursor);
    int emit(Cursor& cursor, PyObject* text);
    int emit_run(Cursor& cursor, PyObject* text);
    int insert_lines(Cursor& cursor, edit::Piece& at, PyObject* head, PyObject* tail, PyObject* replacement);

    py::Ref text_frame_class_;  // pptx.text.text.TextFrame
    py::Ref paragraph_class_;   // pptx.text.text._Paragraph
    py::Ref make_element_;      // pptx.oxml.xmlchemy.OxmlElement
};

}  // namespace tw::content
