// Folder renaming.
//
// Only a folder's own name is searched and replaced, so no folder ever moves
// to another parent. Parents are renamed before their subfolders, and the
// walk goes on beneath a renamed folder under its new path, so nested
// matches are renamed too.
#include "platform/fs.h"
#include "platform/walk.h"
#include "rename/rename.h"

namespace tw::rename {

namespace {

using py::Ref;

struct FolderRenaming {
    Keyword keyword;
    PyObject* recursive;
};

// os.path.split without the trailing separators a typed path may carry:
// "a/b/" gives ("a", "b"). A root such as "/" has no name of its own.
int split_own_name(PyObject* folder, Ref& parent, Ref& name)
{
    Ref path = platform::os_path();
    Ref current = Ref::borrow(folder);
    while (path) {
        Ref parts[2];
        Ref split = py::call_method(path.get(), "split"_id, current);
        if (!split || py::unpack(split.get(), parts) < 0)
            return -1;
        parent = parts[0];
        name = parts[1];
        Py_ssize_t length = PyObject_Length(name.get());
        if (length != 0)
            return length < 0 ? -1 : 0;
        int same = py::equals(parent.get(), current.get());
        if (same != 0)
            return same < 0 ? -1 : 0;
        current = parent;
    }
    return -1;
}

bool has_own_name(PyObject* name)
{
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 &&
           PyUnicode_CompareWithASCIIString(name, ".") != 0 &&
           PyUnicode_CompareWithASCIIString(name, "..") != 0;
}

// Renames `folder` when its own name matches; `current` receives the path
// the folder has afterwards.
int rename_folder(const FolderRenaming& job, PyObject* folder, Ref& current)
{
    current = Ref::borrow(folder);
    Ref parent, name;
    if (split_own_name(folder, parent, name) < 0)
        return -1;
    if (!has_own_name(name.get()))
        return 0;
    Replacement new_name;
    int matched = replace_in(job.keyword, name.get(), new_name);
    if (matched <= 0)
        return matched;
    if (platform::check_plain_name(name.get(), new_name.text.get()) < 0)
        return -1;
    Ref new_foldername = platform::join_path(parent.get(), new_name.text.get());
    if (!new_foldername || platform::rename_no_replace(folder, new_foldername.get()) < 0)
        return -1;
    current = new_foldername;
    return 0;
}

int is_link(PyObject* path)
{
    Ref os_path = platform::os_path();
    Ref link = os_path ? py::call_method(os_path.get(), "islink"_id, path) : Ref();
    return link ? py::truth(link.get()) : -1;
}

// Visits one folder and, in recursive mode, its subtree, depth first.
// Returns 1 when the walk ends because recursion is off, 0 to go on, -1 on error.
int visit_folder(const FolderRenaming& job, PyObject* folder)
{
    // The walk's first triple lists just this folder; an unlistable one yields none.
    Ref walk = platform::start_walk(folder);
    Ref it = walk ? Ref::steal(PyObject_GetIter(walk.get())) : Ref();
    if (!it)
        return -1;
    Ref triple = Ref::steal(PyIter_Next(it.get()));
    if (!triple)
        return PyErr_Occurred() ? -1 : 0;
    Ref parts[3];  // foldername, subfolders, filenames
    Ref current;
    if (py::unpack(triple.get(), parts) < 0 || rename_folder(job, parts[0].get(), current) < 0)
        return -1;
    int recursive = py::truth(job.recursive);
    if (recursive <= 0)
        return recursive < 0 ? -1 : 1;
    return py::for_each(parts[1].get(), [&](PyObject* subfolder) {
        Ref child = platform::join_path(current.get(), subfolder);
        int link = child ? is_link(child.get()) : -1;
        if (link != 0)
            return link < 0 ? -1 : 0;  // links to folders are not followed
        return visit_folder(job, child.get()) < 0 ? -1 : 0;
    });
}

}  // namespace

py::Ref replace_folder_names(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                             PyObject* recursive)
{
    Ref pattern = compile_keyword(old_keyword);
    if (!pattern)
        return {};
    FolderRenaming job{{pattern.get(), new_keyword}, recursive};
    if (visit_folder(job, root_folder) < 0)
        return {};
    return py::none();
}

}  // namespace tw::rename
