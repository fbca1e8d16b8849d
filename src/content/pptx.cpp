// Presentations: every slide shape with a readable text, matched and
// replaced on its whole text, then saved over the same path.
#include "content/content.h"
#include "content/office_text.h"
#include "content/package.h"
#include "py/names.h"
#include "rename/rename.h"

namespace tw::content {

namespace {

// Pictures, tables, groups and connectors have no `text`; any error the
// read raises only means the shape is passed over. An interrupt is not an
// error of the shape, so it still ends the run. 1, 0, or -1 (error set).
int has_text(PyObject* shape)
{
    py::Ref text = py::getattr(shape, "text"_id);
    if (text)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

int replace_in_slide(PyObject* slide, const rename::Keyword& sub)
{
    py::Ref shapes = py::getattr(slide, "shapes"_id);
    if (!shapes)
        return -1;
    return py::for_each(shapes.get(), [&](PyObject* shape) {
        int readable = has_text(shape);
        return readable > 0 ? substitute_text(shape, sub) : readable;
    });
}

int replace_in_slides(PyObject* prs, const rename::Keyword& sub)
{
    py::Ref slides = py::getattr(prs, "slides"_id);
    if (!slides)
        return -1;
    return py::for_each(slides.get(), [&](PyObject* slide) {
        return replace_in_slide(slide, sub);
    });
}

py::Ref open_presentation(PyObject* file_path)
{
    if (check_package(file_path) < 0) return {};
    py::Ref presentation = py::global("Presentation"_id);
    if (!presentation)
        return {};
    return py::call(presentation.get(), file_path);
}

}  // namespace

py::Ref replace_pptx_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref pattern = rename::compile_keyword(old_keyword);
    if (!pattern)
        return {};
    py::Ref prs = open_presentation(file_path);
    if (!prs)
        return {};
    if (replace_in_slides(prs.get(), rename::Keyword{pattern.get(), new_keyword}) < 0)
        return {};
    return save_over(prs.get(), file_path) < 0 ? py::Ref() : py::none();
}

}  // namespace tw::content
