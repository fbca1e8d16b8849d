// Hands every file under a folder to the content handler for its extension.
#include "content/content.h"

#include "platform/walk.h"
#include "py/error.h"
#include "py/names.h"

namespace tw::content {

namespace {

struct Route {
    py::Id ext;
    py::Id handler;
};

// Checked in order; the first matching extension decides.
const Route g_routes[] = {
    {".pptx"_id, "replace_pptx_content"_id},
    {".docx"_id, "replace_docx_content"_id},
    {".xlsx"_id, "replace_xlsx_content"_id},
    {".csv"_id, "replace_csv_content"_id},
    {".txt"_id, "replace_text_content"_id},
};

// Old binary formats the handlers cannot read: left untouched.
const py::Id g_skipped[] = {".ppt"_id, ".doc"_id, ".xls"_id};

// os.path.splitext(filename)[1].lower()
py::Ref extension_of(PyObject* filename)
{
    py::Ref path = platform::os_path();
    py::Ref parts = path ? py::call_method(path.get(), "splitext"_id, filename) : py::Ref();
    if (!parts)
        return {};
    py::Ref ext = py::Ref::steal(PySequence_GetItem(parts.get(), 1));
    return ext ? py::call_method(ext.get(), "lower"_id) : py::Ref();
}

// Sets *handler to the handler's global name. Returns 1 when the file has a
// handler, 0 when it is skipped, -1 on error.
int route_for(PyObject* ext, py::Id* handler)
{
    for (const Route& route : g_routes) {
        int hit = py::equals(ext, route.ext);
        if (hit != 0) {
            *handler = route.handler;
            return hit;
        }
    }
    for (py::Id skipped : g_skipped) {
        int hit = py::equals(ext, skipped);
        if (hit != 0)
            return hit < 0 ? -1 : 0;
    }
    *handler = "replace_text_content"_id;
    return 1;
}

// Without the path the user cannot tell which of many files failed. The
// pending exception keeps its type, message and traceback; a note that
// cannot be made is dropped rather than replacing the real error.
void note_failed_file(PyObject* filepath)
{
    py::PendingError error;
    error.add_note(py::Ref::steal(PyUnicode_FromFormat("while replacing content in %S", filepath)).get());
    error.restore();
}

int replace_one_file(PyObject* foldername, PyObject* filename, PyObject* old_keyword,
                     PyObject* new_keyword)
{
    py::Ref filepath = platform::join_path(foldername, filename);
    py::Ref ext = filepath ? extension_of(filename) : py::Ref();
    if (!ext)
        return -1;
    py::Id name{};
    int routed = route_for(ext.get(), &name);
    if (routed <= 0)
        return routed;
    py::Ref handler = py::global(name);
    if (!handler)
        return -1;
    if (!py::call(handler.get(), filepath, old_keyword, new_keyword)) {
        note_failed_file(filepath.get());
        return -1;
    }
    return 0;
}

}  // namespace

py::Ref replace_file_contents(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                              PyObject* recursive)
{
    int status = platform::walk_tree(root_folder, recursive,
        [&](PyObject* foldername, PyObject*, PyObject* filenames) {
            return py::for_each(filenames, [&](PyObject* filename) {
                return replace_one_file(foldername, filename, old_keyword, new_keyword);
            });
        });
    return status < 0 ? py::Ref() : py::none();
}

}  // namespace tw::content
