// Word-processing paragraphs for the run-level editor: the nodes python-docx
// counts in `Paragraph.text`, with those of the runs that hyperlinks, smart
// tags, custom XML, simple fields and content controls wrap within the
// paragraph, and how a replacement goes into a run.
#pragma once

#include "content/text_edit.h"
#include "content/xml_tree.h"

namespace tw::content {

// Word-processing elements that several parts of the document handler look for.
inline constexpr py::Id W_P = TW_W_NS "p"_id;
inline constexpr py::Id W_TBL = TW_W_NS "tbl"_id;
inline constexpr py::Id W_TR = TW_W_NS "tr"_id;
inline constexpr py::Id W_TC = TW_W_NS "tc"_id;
inline constexpr py::Id W_VAL = TW_W_NS "val"_id;
inline constexpr py::Id W_SDT = TW_W_NS "sdt"_id;
inline constexpr py::Id W_SDT_PR = TW_W_NS "sdtPr"_id;
inline constexpr py::Id W_SDT_CONTENT = TW_W_NS "sdtContent"_id;
inline constexpr py::Id W_CUSTOM_XML = TW_W_NS "customXml"_id;

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
