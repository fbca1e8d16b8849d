#include "run/filters.h"

#include "platform/core/ascii.h"
#include "py/names.h"
#include "run/paths.h"
#include "run/run.h"

namespace tw::run {

namespace {

const char* const k_version_control[] = {".git", ".svn", ".hg", ".bzr"};

// `name` spelled as the ASCII text `ascii`; on Windows, whose file systems
// ignore letter case, in any case.
bool name_is(PyObject* name, const char* ascii)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < length; ++i, ++ascii) {
        Py_UCS4 c = PyUnicode_READ_CHAR(name, i);
#ifdef _WIN32
        c = platform::native::ascii_lower(c);
#endif
        if (*ascii == '\0' || c != static_cast<Py_UCS4>(*ascii))
            return false;
    }
    return *ascii == '\0';
}

bool begins_with_dot(PyObject* name)
{
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '.';
}

// The fnmatch module, imported once.
PyObject* fnmatch_module()
{
    static py::Ref& module = py::process_wide_ref();
    if (!module)
        module = py::Ref::steal(PyImport_ImportModule("fnmatch"));
    return module.get();
}

// "*.docx; ~$*" → ["*.docx", "~$*"]: each mask trimmed, empty ones dropped,
// and `[` made literal, since masks know only `*` and `?`.
py::Ref split_masks(PyObject* text)
{
    py::Ref masks = py::Ref::steal(PyList_New(0));
    if (!masks || !text || text == Py_None)
        return masks;
    py::Ref parts = py::call_method(text, "split"_id, ";"_id);
    if (!parts)
        return {};
    int status = py::for_each(parts.get(), [&](PyObject* part) {
        py::Ref mask = py::call_method(part, "strip"_id);
        int empty = mask ? PyObject_Not(mask.get()) : -1;
        if (empty != 0)
            return empty < 0 ? -1 : 0;
        py::Ref literal = py::call_method(mask.get(), "replace"_id, "["_id, "[[]"_id);
        return literal ? PyList_Append(masks.get(), literal.get()) : -1;
    });
    return status < 0 ? py::Ref() : masks;
}

// 1 when `name` matches one of `masks`, 0 when none, -1.
int matches_any(PyObject* masks, PyObject* name)
{
    PyObject* fnmatch = fnmatch_module();
    if (!fnmatch)
        return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(masks); ++i) {
        py::Ref hit = py::call_method(fnmatch, "fnmatch"_id, name, PyList_GET_ITEM(masks, i));
        int matched = hit ? py::truth(hit.get()) : -1;
        if (matched != 0)
            return matched;
    }
    return 0;
}

}  // namespace

bool is_version_control(PyObject* name)
{
    if (!PyUnicode_Check(name))
        return false;
    for (const char* known : k_version_control)
        if (name_is(name, known))
            return true;
    return false;
}

int in_version_control(PyObject* root)
{
    // abspath normalises: no "." or "..", and on Windows only backslashes.
    py::Ref path = os_path();
    py::Ref absolute = path ? py::call_method(path.get(), "abspath"_id, root) : py::Ref();
#ifdef _WIN32
    py::Ref separator = py::Ref::borrow("\\"_id.get());
#else
    py::Ref separator = py::Ref::borrow("/"_id.get());
#endif
    py::Ref parts = absolute && separator ? py::call_method(absolute.get(), "split"_id, separator) : py::Ref();
    if (!parts)
        return -1;
    int found = 0;
    int status = py::for_each(parts.get(), [&](PyObject* part) {
        found = is_version_control(part);
        return found;
    });
    return status < 0 ? -1 : found;
}

int is_hidden(PyObject* path, PyObject* name)
{
    if (begins_with_dot(name))
        return 1;
#ifdef _WIN32
    constexpr long k_hidden_attribute = 2;  // FILE_ATTRIBUTE_HIDDEN
    py::Ref info = stat_path(path, false);
    if (!info) {
        if (!PyErr_ExceptionMatches(PyExc_OSError))
            return -1;
        PyErr_Clear();  // gone: whatever meets it next says so
        return 0;
    }
    py::Ref attributes = py::getattr(info.get(), "st_file_attributes"_id);
    long bits = attributes ? PyLong_AsLong(attributes.get()) : -1;
    if (bits == -1 && PyErr_Occurred())
        return -1;
    return (bits & k_hidden_attribute) != 0;
#else
    (void)path;
    return 0;
#endif
}

int folder_reason(const Options& options, PyObject* path, PyObject* name, PassOver& reason)
{
    reason = PassOver::none;
    if (is_version_control(name)) {
        reason = PassOver::version_control;
        return 0;
    }
    int hidden = options.skip_hidden ? is_hidden(path, name) : 0;
    if (hidden > 0)
        reason = PassOver::hidden;
    return hidden < 0 ? -1 : 0;
}

int is_left_out(const Options& options, PyObject* shown_path)
{
    if (!options.left_out || !shown_path)
        return 0;
    return PySequence_Contains(options.left_out.get(), shown_path);
}

int Masks::read(const Options& options)
{
    include_ = split_masks(options.include_masks.get());
    exclude_ = include_ ? split_masks(options.exclude_masks.get()) : py::Ref();
    if (!exclude_)
        return -1;
    read_ = true;
    return 0;
}

int Masks::admit(const Options& options, PyObject* name)
{
    if (!read_ && read(options) < 0)
        return -1;
    if (PyList_GET_SIZE(include_.get()) > 0) {
        int included = matches_any(include_.get(), name);
        if (included <= 0)
            return included;
    }
    int excluded = matches_any(exclude_.get(), name);
    return excluded < 0 ? -1 : !excluded;
}

// ---- the run's hooks ------------------------------------------------------------

int Run::pass_over_root(PyObject* root)
{
    int inside = in_version_control(root);
    if (inside <= 0)
        return inside;
    return pass_over(ItemKind::folder_name, root, PassOver::version_control) < 0 ? -1 : 1;
}

int Run::prune_subfolders(PyObject* folder, PyObject* subfolders)
{
    if (!PyList_Check(subfolders)) {
        PyErr_SetString(PyExc_TypeError, "os.walk gave subfolders that are not a list");
        return -1;
    }
    py::Ref kept = py::Ref::steal(PyList_New(0));
    if (!kept)
        return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subfolders); ++i) {
        PyObject* name = PyList_GET_ITEM(subfolders, i);
        py::Ref path = join_path(folder, name);
        int passed = pass_over_folder(path.get(), path.get(), name);
        if (passed < 0 || (passed == 0 && PyList_Append(kept.get(), name) < 0))
            return -1;
    }
    // os.walk goes down only into the folders left in its list.
    return PyList_SetSlice(subfolders, 0, PyList_GET_SIZE(subfolders), kept.get());
}

int Run::pass_over_folder(PyObject* shown_path, PyObject* disk_path, PyObject* name)
{
    if (!shown_path || !disk_path)
        return -1;
    PassOver reason;
    if (folder_reason(options(), disk_path, name, reason) < 0)
        return -1;
    if (reason == PassOver::none)
        return 0;
    return pass_over(ItemKind::folder_name, shown_path, reason) < 0 ? -1 : 1;
}

int Run::passes_over_folder(PyObject* disk_path, PyObject* name)
{
    PassOver reason;
    return folder_reason(options(), disk_path, name, reason) < 0 ? -1 : reason != PassOver::none;
}

int Run::admit_file(PyObject* name) { return masks_.admit(options(), name); }

int Run::screen_item(ItemKind kind, PyObject* shown_path, PyObject* disk_path, PyObject* name)
{
    int hidden = options().skip_hidden ? is_hidden(disk_path, name) : 0;
    if (hidden > 0)
        return pass_over(kind, shown_path, PassOver::hidden) < 0 ? -1 : 1;
    int left_out = hidden == 0 ? is_left_out(options(), shown_path) : -1;
    if (left_out > 0)
        return pass_over(kind, shown_path, PassOver::left_out) < 0 ? -1 : 1;
    return left_out;
}

}  // namespace tw::run
