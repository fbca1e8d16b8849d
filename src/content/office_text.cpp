#include "content/office_text.h"

#include "content/package.h"
#include "content/package_copy.h"
#include "platform/fs.h"
#include "py/names.h"
#include "py/ops.h"

namespace tw::content {

int save_over(PyObject* document, PyObject* file_path)
{
    return platform::replace_file(file_path, [&](PyObject* temp_path) {
        return py::call_method(document, "save"_id, temp_path) ? 0 : -1;
    });
}

int ChangedParts::add(PyObject* part)
{
    for (const py::Ref& known : parts_)
        if (known.get() == part)
            return 0;
    parts_.push_back(py::Ref::borrow(part));
    return 0;
}

int related_parts(PyObject* owner, std::string_view type, std::vector<py::Ref>& out)
{
    py::Ref rels = py::getattr(owner, "rels"_id);
    py::Ref values = rels ? py::call_method(rels.get(), "values"_id) : py::Ref();
    if (!values)
        return -1;
    return py::for_each(values.get(), [&](PyObject* rel) {
        py::Ref external = py::getattr(rel, "is_external"_id);
        py::Ref kind = external ? py::getattr(rel, "reltype"_id) : py::Ref();
        std::string text;
        int outside = kind ? py::truth(external.get()) : -1;
        if (outside < 0 || !py::utf8_of(kind.get(), text))
            return -1;
        if (outside || text != type)
            return 0;
        py::Ref target = py::getattr(rel, "target_part"_id);
        if (!target)
            return -1;
        out.push_back(target);
        return 0;
    });
}

namespace {

// Each changed part goes into the copy under its own member name, which
// is the name the library read it from.
int plan_parts(PyObject* file_path, const std::vector<py::Ref>& parts, PackageCopy& copy)
{
    int step = copy.read(file_path);
    for (std::size_t i = 0; step == kDone && i < parts.size(); ++i) {
        py::Ref name = py::getattr(parts[i].get(), "partname"_id);
        py::Ref text = name ? py::Ref::steal(PyObject_Str(name.get())) : py::Ref();
        py::Ref blob = text ? py::getattr(parts[i].get(), "blob"_id) : py::Ref();
        std::string member;
        if (!blob || !py::utf8_of(text.get(), member))
            return -1;
        if (member.size() < 2 || member[0] != '/' || !copy.has(member.substr(1)) || !PyBytes_Check(blob.get()))
            return kFallBack;
        copy.replace(member.substr(1), blob);
    }
    return step;
}

}  // namespace

int write_changed_parts(PyObject* file_path, PyObject* document, const std::vector<py::Ref>& parts)
{
    // The package is read again here, every member inflated: it is held to
    // the same limits as when the library opened it.
    if (check_package(file_path) < 0)
        return -1;
    PackageCopy copy;
    int planned = plan_parts(file_path, parts, copy);
    if (planned < 0) {
        // A member that does not read is the library's to write or to
        // refuse; an interrupt still ends the run.
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        planned = kFallBack;
    }
    return write_copy_or_save(file_path, copy, planned, document);
}

py::Ref load_unless_unmatched(PyObject* file_path, const keyword::Keyword& keyword, PackageScan::Kind kind)
{
    int unmatched = check_package_for_text(file_path, keyword, kind);
    if (unmatched != 0)
        return unmatched < 0 ? py::Ref() : py::none();
    bool document = kind == PackageScan::Kind::document;
    // Looked up in the module's namespace at each use, like every name the
    // handlers call.
    py::Ref found = py::global(document ? "docx"_id : "Presentation"_id);
    py::Ref load = found && document ? py::getattr(found.get(), "Document"_id) : found;
    // The library is handed the checked content, never the path.
    py::Ref stream = load ? package_for_library(file_path, document ? "docx.opc.exceptions" : "pptx.exc")
                          : py::Ref();
    return stream ? py::call(load.get(), stream) : py::Ref();
}

}  // namespace tw::content
