// File renaming: every file whose name (extension included) matches the
// keyword gets the substitution applied to its name, in its own folder.
#include "platform/fs.h"
#include "platform/walk.h"
#include "rename/rename.h"

namespace tw::rename {

namespace {

// Renames one file in `foldername` when its name matches. 0 or -1.
int rename_matching_file(const Keyword& keyword, PyObject* foldername, PyObject* filename)
{
    Replacement replaced;
    int matched = replace_in(keyword, filename, replaced);
    if (matched <= 0)
        return matched;
    PyObject* new_filename = replaced.text.get();
    // A substituted name must stay a name in this folder: "", ".." or a
    // separator would move the file elsewhere or onto the folder itself.
    if (platform::check_plain_name(filename, new_filename) < 0)
        return -1;
    py::Ref src = platform::join_path(foldername, filename);
    if (!src)
        return -1;
    py::Ref dst = platform::join_path(foldername, new_filename);
    if (!dst)
        return -1;
    return platform::rename_no_replace(src.get(), dst.get());
}

}  // namespace

py::Ref replace_file_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                           PyObject* recursive)
{
    py::Ref pattern = compile_keyword(old_keyword);
    if (!pattern)
        return {};
    int status = platform::walk_tree(
        root_folder, recursive, [&](PyObject* foldername, PyObject*, PyObject* filenames) {
            return py::for_each(filenames, [&](PyObject* filename) {
                return rename_matching_file({pattern.get(), new_keyword}, foldername, filename);
            });
        });
    if (status < 0)
        return {};
    return py::none();
}

}  // namespace tw::rename
