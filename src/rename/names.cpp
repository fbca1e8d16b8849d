#include "rename/names.h"

#include "platform/fs.h"
#include "run/paths.h"
#include "run/probe.h"

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

}  // namespace

int NameLedger::check(PyObject* src, PyObject* dst, PyObject* new_name)
{
    int taken = contains(taken_, new_name);
    if (taken != 0)
        return taken < 0 ? -1 : refuse("two items would get the same name", src, dst);
    int exists = lexists(dst);
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
                    NameChange& out)
{
    keyword::Replacement replaced;
    int matched = keyword::replace_in(keyword, name, replaced);
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

int rename_entry(const NameChange& change)
{
    return platform::rename_no_replace(change.src.get(), change.dst.get());
}

int act_or_foresee(run::Run& run, PyObject* folder, const NameChange& change)
{
    if (run.planning())
        return run::check_may_rename(folder, change.src.get(), change.dst.get());
    return rename_entry(change);
}

int PendingRenames::add(const NameChange& change)
{
    renames_.emplace_back(change.src, change.dst);
    return renames_.size() < kMost ? 0 : make_all();
}

int PendingRenames::make_all()
{
    std::vector<std::pair<py::Ref, py::Ref>> renames;
    std::vector<std::uint64_t> said;
    renames.swap(renames_);
    if (platform::say_renames(renames, said) < 0)
        return -1;
    for (std::size_t i = 0; i < renames.size(); ++i) {
        PyObject *src = renames[i].first.get(), *dst = renames[i].second.get();
        int status = platform::rename_said(src, dst, said[i]) < 0
                         ? run_.fail(run::ItemKind::file_name, src, run::Doing::renaming)
                         : run_.change(run::ItemKind::file_name, src, dst, 0);
        if (status < 0)
            return -1;
    }
    return 0;
}

}  // namespace tw::rename
