// What the document and presentation handlers share: the library's load,
// passed over when the keyword provably matches none of the text, the walk
// over what was loaded, and the library's save, made all-or-nothing.
#pragma once

#include "content/decision.h"
#include "content/package_scan.h"
#include "keyword/keyword.h"
#include "py/ref.h"

namespace tw::content {

// document.save(file_path), made all-or-nothing: the library writes a
// temporary file that then takes the original's place.
int save_over(PyObject* document, PyObject* file_path);

// The document (docx.Document) or presentation (Presentation) at
// `file_path`, or None when the keyword provably matches none of its text:
// it is then not loaded at all. Empty with the exception set on error.
py::Ref load_unless_unmatched(PyObject* file_path, const keyword::Keyword& keyword, PackageScan::Kind kind);

// The decision for one document or presentation: loaded as above, walked
// by a Walk (made from the keyword; load(), walk(loaded), matches() and
// changed()), and saved over itself when the walk changed it.
template <class Walk>
int decide_office_content(PyObject* file_path, const keyword::Keyword& keyword, PackageScan::Kind kind,
                          Decision& out)
{
    out = Decision{};
    py::Ref loaded = load_unless_unmatched(file_path, keyword, kind);
    if (!loaded)
        return -1;
    if (loaded.get() == Py_None)
        return 0;
    Walk walk(keyword);
    if (walk.load() < 0 || walk.walk(loaded.get()) < 0)
        return -1;
    out.matches = walk.matches();
    if (walk.changed())
        out.write = [loaded, path = py::Ref::borrow(file_path)] { return save_over(loaded.get(), path.get()); };
    return 0;
}

}  // namespace tw::content
