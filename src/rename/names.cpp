#include "rename/names.h"

#include "platform/fs.h"
#include "run/paths.h"
#include "py/unpack.h"
#include "run/probe.h"

#include <algorithm>
#include <cerrno>

namespace tw::rename {

namespace {

int contains(const py::Ref& set, PyObject* name)
{
    return set ? PySet_Contains(set.get(), name) : 0;
}

int add(py::Ref& set, PyObject* name)
{
    if (!set)
        set = py::Ref::steal(PySet_New(nullptr));
    return set ? PySet_Add(set.get(), name) : -1;
}

int lexists(PyObject* path)
{
    py::Ref os_path = run::os_path();
    py::Ref found = os_path ? py::call_method(os_path.get(), "lexists"_id, path) : py::Ref();
    return found ? py::truth(found.get()) : -1;
}

// The same directory entry under another spelling: a change of letter case
// on a file system that ignores case.
int same_entry(PyObject* src, PyObject* dst)
{
    py::Ref first = run::stat_path(src, false);
    py::Ref second = first ? run::stat_path(dst, false) : py::Ref();
    py::Ref os_path = second ? run::os_path() : py::Ref();
    py::Ref same = os_path ? py::call_method(os_path.get(), "samestat"_id, first, second) : py::Ref();
    if (!same && PyErr_ExceptionMatches(PyExc_OSError)) {
        PyErr_Clear();
        return 0;
    }
    return same ? py::truth(same.get()) : -1;
}

int refuse(const char* reason, PyObject* src, PyObject* dst)
{
    py::Ref error = py::Ref::steal(
        PyObject_CallFunction(PyExc_FileExistsError, "isOOO", EEXIST, reason, src, Py_None, dst));
    if (error)
        PyErr_SetObject(PyExc_FileExistsError, error.get());
    return -1;
}

// The rename would fail with "File name too long": say so now, as the
// run would, so that a plan does not promise it.
int name_too_long(const NameChange& change)
{
    errno = ENAMETOOLONG;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, change.src.get(), change.dst.get());
    return -1;
}

#ifdef _WIN32

// Windows counts a name in UTF-16 units, at most 255.
int check_name_length(PyObject*, const NameChange& change)
{
    constexpr Py_ssize_t k_name_max = 255;
    PyObject* name = change.new_name.get();
    Py_ssize_t units = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(name); ++i)
        units += PyUnicode_READ_CHAR(name, i) > 0xFFFF;
    return units > k_name_max ? name_too_long(change) : 0;
}

#else

// os.pathconf(folder, name), or `fallback` where the system cannot say;
// -1 with the exception set for an error that is not about the question
// (an interrupt).
long path_limit(PyObject* folder, py::Id name, long fallback)
{
    py::Ref os = py::global("os"_id);
    py::Ref limit = os ? py::call_method(os.get(), "pathconf"_id, folder, name) : py::Ref();
    long value = limit ? PyLong_AsLong(limit.get()) : -1;
    if (value > 0)
        return value;
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return fallback;
}

Py_ssize_t encoded_size(PyObject* text)
{
    py::Ref bytes = py::Ref::steal(PyUnicode_EncodeFSDefault(text));
    return bytes ? PyBytes_GET_SIZE(bytes.get()) : -1;
}

// POSIX counts a name and a path in bytes of the file-system encoding; the
// name's limit is the folder's file system's own (NAME_MAX).
int check_name_length(PyObject* folder, const NameChange& change)
{
    Py_ssize_t name = encoded_size(change.new_name.get());
    Py_ssize_t path = name < 0 ? -1 : encoded_size(change.dst.get());
    if (path < 0)
        return -1;  // not encodable: the rename would fail the same way
    long name_max = path_limit(folder, "PC_NAME_MAX"_id, 255);
    long path_max = name_max < 0 ? -1 : path_limit(folder, "PC_PATH_MAX"_id, 4096);
    if (path_max < 0)
        return -1;
    return name > name_max || path >= path_max ? name_too_long(change) : 0;
}

#endif

py::Ref concat(PyObject* first, PyObject* second)
{
    return py::Ref::steal(PyUnicode_Concat(first, second));
}

// The keyword applied to the part of `name` that `scope` names: 1 with
// `out` holding the whole new name, 0 when that part does not match, -1.
// The extension is what os.path.splitext gives, without its dot, so a
// leading dot does not begin one.
int replace_in_scope(const Keyword& keyword, PyObject* name, run::NameScope scope,
                     keyword::Replacement& out)
{
    if (scope == run::NameScope::whole)
        return keyword::replace_in(keyword, name, out);
    py::Ref split = run::split_extension(name);
    py::Ref parts[2];  // the stem, and the extension with its dot (or "")
    if (!split || py::unpack(split.get(), parts) < 0)
        return -1;
    Py_ssize_t length = PyObject_Length(parts[1].get());
    if (length < 0)
        return -1;
    if (scope == run::NameScope::stem) {
        int matched = keyword::replace_in(keyword, parts[0].get(), out);
        if (matched > 0 && !(out.text = concat(out.text.get(), parts[1].get())))
            return -1;
        return matched;
    }
    if (length == 0)
        return 0;  // no extension to match in
    py::Ref dot = py::Ref::steal(PySequence_GetSlice(parts[1].get(), 0, 1));
    py::Ref extension = dot ? py::Ref::steal(PySequence_GetSlice(parts[1].get(), 1, length)) : py::Ref();
    int matched = extension ? keyword::replace_in(keyword, extension.get(), out) : -1;
    if (matched <= 0)
        return matched;
    py::Ref head = concat(parts[0].get(), dot.get());
    return head && (out.text = concat(head.get(), out.text.get())) ? 1 : -1;
}

}  // namespace

int NameLedger::check(PyObject* src, PyObject* dst, PyObject* new_name)
{
    int taken = contains(taken_, new_name);
    if (taken != 0)
        return taken < 0 ? -1 : refuse("two items would get the same name", src, dst);
    int exists = look_on_disk_ ? lexists(dst) : 0;
    if (exists <= 0)
        return exists;
    int freed = contains(freed_, new_name);
    int same = freed == 0 ? same_entry(src, dst) : 0;
    if (freed < 0 || same < 0)
        return -1;
    return freed || same ? 0 : refuse("target exists", src, dst);
}

int NameLedger::settle(PyObject* old_name, PyObject* new_name)
{
    if (add(taken_, new_name) < 0 || add(freed_, old_name) < 0)
        return -1;
    // A name given up and then taken again is no longer free.
    return PySet_Discard(freed_.get(), new_name) < 0 ? -1 : 0;
}

int decide_new_name(const Keyword& keyword, NameLedger& ledger, PyObject* folder, PyObject* name,
                    run::NameScope scope, NameChange& out)
{
    keyword::Replacement replaced;
    int matched = replace_in_scope(keyword, name, scope, replaced);
    if (matched <= 0)
        return matched;
    int same = py::equals(replaced.text.get(), name);
    if (same != 0)
        return same < 0 ? -1 : 0;
    // A substituted name must stay a name in this folder: "", ".." or a
    // separator would move the entry elsewhere or onto the folder itself.
    if (platform::check_plain_name(name, replaced.text.get()) < 0)
        return -1;
    out.new_name = replaced.text;
    out.src = run::join_path(folder, name);
    out.dst = out.src ? run::join_path(folder, out.new_name.get()) : py::Ref();
    if (!out.dst || ledger.check(out.src.get(), out.dst.get(), out.new_name.get()) < 0)
        return -1;
    return 1;
}

namespace {

// A rename that failed because its target exists is refused as a decision
// that looked would have refused it. Always -1.
int refuse_if_taken(PyObject* src, PyObject* dst)
{
    if (!PyErr_ExceptionMatches(PyExc_FileExistsError))
        return -1;
    PyErr_Clear();
    return refuse("target exists", src, dst);
}

int rename_refusing(PyObject* src, PyObject* dst, std::uint64_t said)
{
    return platform::rename_said(src, dst, said) == 0 ? 0 : refuse_if_taken(src, dst);
}

}  // namespace

int rename_made(int made, const NameChange& change)
{
    return made == 0 ? 0 : refuse_if_taken(change.src.get(), change.dst.get());
}

int rename_entry(const NameChange& change)
{
    return rename_refusing(change.src.get(), change.dst.get(), change.said);
}

int act_or_foresee(run::Run& run, PyObject* folder, const NameChange& change)
{
    if (run.planning())
        return check_name_length(folder, change) < 0 ? -1
                                                     : run::check_may_rename(folder, change.src.get(), change.dst.get());
    return rename_entry(change);
}

int PendingRenames::add(const NameChange& change)
{
    renames_.emplace_back(change.src, change.dst);
    return renames_.size() < batch_size_ ? 0 : hand_over();
}

int PendingRenames::hand_over()
{
    batch_size_ = std::min(batch_size_ * 2, kMost);
    return making_.start(std::exchange(renames_, {}), reporter());
}

platform::RenameBatch::Outcome PendingRenames::reporter()
{
    return [this](PyObject* src, PyObject* dst, int made) {
        if (made == 0)
            return run_.change(run::ItemKind::file_name, src, dst, 0);
        refuse_if_taken(src, dst);
        return run_.fail(run::ItemKind::file_name, src, run::Doing::renaming);
    };
}

int PendingRenames::finish()
{
    if (!renames_.empty() && hand_over() < 0)
        return -1;
    return making_.finish(reporter());
}

}  // namespace tw::rename
