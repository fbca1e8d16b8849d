// Word-processing paragraphs for the run-level editor: the nodes python-docx
// counts in `Paragraph.text`, with those of the runs that hyperlinks, smart
// tags, custom XML, simple fields and content controls wrap within the
// paragraph, and how a replacement goes into a run.
#pragma once

#include "content/text_edit.h"

namespace tw::content {

class DocxEditor final : public edit::Editor {
public:
    // Looks up the library's paragraph class and element factory.
    // 0, or -1 with the exception set.
    int load();

    py::Ref paragraph(PyObject* element) override;
    // The paragraph's text as shown: its runs and the runs its wrappers hold.
    py::Ref text_of(PyObject* element, PyObject* proxy) override;
    int collect(PyObject* element, std::vector<edit::Piece>& pieces) override;
    bool can_insert(const edit::Piece*, PyObject*) const override { return true; }
    bool can_assign(PyObject*) const override { return true; }
    int set_text(edit::Piece& piece, PyObject* text) override;
    int insert(PyObject* paragraph, edit::Piece* at, Py_ssize_t offset,
               PyObject* replacement) override;
    int sweep(std::vector<edit::Piece>& pieces) override;

private:
    int insert_run_content(PyObject* anchor, bool before, PyObject* text);
    int add_run(PyObject* paragraph, PyObject* text);

    py::Ref paragraph_class_;  // docx.text.paragraph.Paragraph
    py::Ref make_element_;     // docx.oxml.parser.OxmlElement
};

}  // namespace tw::content
