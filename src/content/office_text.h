// What the document and presentation handlers share: the library's load,
// passed over when the keyword provably matches none of the text, the walk
// over what was loaded, and the library's save, made all-or-nothing.
#pragma once

#include "content/decision.h"
#include "content/package_scan.h"
#include "keyword/keyword.h"
#include "py/ref.h"

#include <string_view>
#include <vector>

namespace tw::content {

// document.save(file_path), made all-or-nothing: the library writes a
// temporary file that then takes the original's place.
int save_over(PyObject* document, PyObject* file_path);

// The parts that the internal relationships of `owner` (a library part, or
// the package) of type `type` lead to, as the library loaded them. 0, or -1
// with the exception set.
int related_parts(PyObject* owner, std::string_view type, std::vector<py::Ref>& out);

// The library's parts a walk changed, each once, in the order first changed.
class ChangedParts {
public:
    // Adds `part` when `before` differs from `after` (the walk's counts of
    // edits around the part's content). 0, or -1 with the exception set.
    int note(PyObject* part, Py_ssize_t before, Py_ssize_t after) { return before == after ? 0 : add(part); }
    int add(PyObject* part);
    const std::vector<py::Ref>& parts() const { return parts_; }

private:
    std::vector<py::Ref> parts_;
};

// Writes the loaded document or presentation over the file at `file_path`
// as a copy of its own package in which only `parts` are new (serialised
// from what the library holds); every other member keeps its stored bytes.
// A package the copy cannot edit with certainty is saved by the library
// instead (counted in library_saves). 0, or -1 with the exception set.
int write_changed_parts(PyObject* file_path, PyObject* document, const std::vector<py::Ref>& parts);

// The document (docx.Document) or presentation (Presentation) at
// `file_path`, or None when the keyword provably matches none of its text:
// it is then not loaded at all. Empty with the exception set on error.
py::Ref load_unless_unmatched(PyObject* file_path, const keyword::Keyword& keyword, PackageScan::Kind kind);

// The decision for one document or presentation: loaded as above, walked
// by a Walk (made from the keyword; load(), walk(loaded), matches() and
// changed_parts()), and written over itself when the walk changed a part.
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
    if (!walk.changed_parts().empty())
        out.write = [loaded, path = py::Ref::borrow(file_path), parts = walk.changed_parts()] {
            return write_changed_parts(path.get(), loaded.get(), parts);
        };
    return 0;
}

}  // namespace tw::content
