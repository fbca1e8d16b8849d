#include "ui/settings.h"

#include "platform/fs.h"
#include "py/error.h"
#include "py/scope.h"
#include "run/paths.h"
#include "ui/reasons.h"
#include "ui/toolkit.h"

#include <span>
#include <string_view>

namespace tw::ui {

namespace {

using run::NameScope;

// How the settings file spells the mode and the name scope.
struct Spelling {
    const char* text;
    int value;
};

const Spelling g_modes[] = {
    {"folders", static_cast<int>(ModeKind::folders)},
    {"file_names", static_cast<int>(ModeKind::file_names)},
    {"contents", static_cast<int>(ModeKind::contents)},
};

const Spelling g_scopes[] = {
    {"whole", static_cast<int>(NameScope::whole)},
    {"stem", static_cast<int>(NameScope::stem)},
    {"extension", static_cast<int>(NameScope::extension)},
};

py::Ref import(const char* name) { return py::Ref::steal(PyImport_ImportModule(name)); }

// ---- where the file lives ------------------------------------------------------

// os.environ.get(name) when it is a non-empty str, else empty (no error).
py::Ref environment(PyObject* os, const char* name)
{
    py::Ref environ = py::getattr(os, "environ"_id);
    py::Ref key = environ ? py::Ref::steal(PyUnicode_FromString(name)) : py::Ref();
    py::Ref value = key ? py::call_method(environ.get(), "get"_id, key) : py::Ref();
    if (!value)
        return {};
    bool usable = PyUnicode_Check(value.get()) && PyUnicode_GET_LENGTH(value.get()) > 0;
    return usable ? value : py::Ref();
}

py::Ref home_folder(PyObject* os_path, py::Id below)
{
    return py::call_method(os_path, "expanduser"_id, below);
}

// The user's configuration folder, as the platform names it.
py::Ref configuration_folder(PyObject* os, PyObject* os_path)
{
#if defined(_WIN32)
    py::Ref appdata = environment(os, "APPDATA");
    if (appdata || PyErr_Occurred())
        return appdata;
    return home_folder(os_path, "~\\AppData\\Roaming"_id);
#elif defined(__APPLE__)
    (void)os;
    return home_folder(os_path, "~/Library/Preferences"_id);
#else
    // A relative XDG_CONFIG_HOME is to be ignored.
    py::Ref xdg = environment(os, "XDG_CONFIG_HOME");
    py::Ref absolute = xdg ? py::call_method(os_path, "isabs"_id, xdg) : py::Ref();
    int is_absolute = absolute ? py::truth(absolute.get()) : 0;
    if (is_absolute || PyErr_Occurred())
        return is_absolute < 0 ? py::Ref() : xdg;
    return home_folder(os_path, "~/.config"_id);
#endif
}

py::Ref settings_path()
{
    py::Ref os = import("os");
    py::Ref os_path = os ? run::os_path() : py::Ref();
    py::Ref base = os_path ? configuration_folder(os.get(), os_path.get()) : py::Ref();
    return base ? py::call_method(os_path.get(), "join"_id, base, "termweave_mira7"_id,
                                  "settings.json"_id)
                : py::Ref();
}

// ---- reading ------------------------------------------------------------------------

// The file's content as JSON: a dict, or empty with the exception set.
py::Ref parse(PyObject* data)
{
    py::Ref json = import("json");
    py::Ref parsed = json ? py::call_method(json.get(), "loads"_id, data) : py::Ref();
    if (parsed && !PyDict_Check(parsed.get())) {
        PyErr_SetString(PyExc_ValueError, "the settings are not a JSON object");
        return {};
    }
    return parsed;
}

void read_bool(PyObject* dict, const char* key, bool& out)
{
    PyObject* value = PyDict_GetItemString(dict, key);
    if (value && PyBool_Check(value))
        out = value == Py_True;
}

py::Ref read_text(PyObject* dict, const char* key)
{
    PyObject* value = PyDict_GetItemString(dict, key);
    return value && PyUnicode_Check(value) ? py::Ref::borrow(value) : py::Ref();
}

template <class Enum>
void read_choice(PyObject* dict, const char* key, std::span<const Spelling> spellings, Enum& out)
{
    py::Ref text = read_text(dict, key);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();  // a name that cannot be spelt is one the file does not hold
    for (const Spelling& spelling : spellings) {
        if (utf8 && std::string_view(utf8) == spelling.text)
            out = static_cast<Enum>(spelling.value);
    }
}

// The str items of the list under `key`, at most as many as are remembered.
int read_keywords(PyObject* dict, const char* key, py::Ref& out)
{
    out = py::Ref::steal(PyList_New(0));
    PyObject* value = PyDict_GetItemString(dict, key);
    for (Py_ssize_t i = 0; out && value && PyList_Check(value) && i < PyList_GET_SIZE(value); ++i) {
        PyObject* keyword = PyList_GET_ITEM(value, i);
        if (PyList_GET_SIZE(out.get()) < k_remembered_keywords && PyUnicode_Check(keyword) &&
            PyList_Append(out.get(), keyword) < 0)
            return -1;
    }
    return out ? 0 : -1;
}

// What the file holds; a field of the wrong kind keeps its default.
int apply(PyObject* dict, Settings& settings)
{
    settings.folder = read_text(dict, "folder");
    if (read_keywords(dict, "old_keywords", settings.old_keywords) < 0 ||
        read_keywords(dict, "new_keywords", settings.new_keywords) < 0)
        return -1;
    read_choice(dict, "mode", g_modes, settings.mode);
    read_choice(dict, "name_scope", g_scopes, settings.options.name_scope);
    run::Options& options = settings.options;
    read_bool(dict, "recursive", settings.recursive);
    read_bool(dict, "case_sensitive", options.case_sensitive);
    read_bool(dict, "regular_expression", options.regular_expression);
    read_bool(dict, "skip_hidden", options.skip_hidden);
    options.include_masks = read_text(dict, "include_files");
    options.exclude_masks = read_text(dict, "exclude_files");
    return 0;
}

// Renames a damaged or unreadable settings file aside, to a name not yet
// taken, and says what was done. 0 (with file.problem set), or -1.
int set_aside(SettingsFile& file, PyObject* error)
{
    py::Ref original = original_text(error, 300);
    if (!original)
        return -1;
    for (int attempt = 1; attempt <= 20; ++attempt) {
        py::Ref aside = attempt == 1
            ? py::Ref::steal(PyUnicode_FromFormat("%U.damaged", file.path.get()))
            : py::Ref::steal(PyUnicode_FromFormat("%U.damaged-%d", file.path.get(), attempt));
        if (!aside)
            return -1;
        if (platform::rename_no_replace(file.path.get(), aside.get()) == 0) {
            file.problem = format_text(
                "设置文件已损坏或无法读取，本次使用默认设置。\n原文件已改名保留：%s\n%s"_id,
                py::Ref::steal(PyTuple_Pack(2, aside.get(), original.get())));
            return file.problem ? 0 : -1;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError))
            break;
        PyErr_Clear();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception) && PyErr_Occurred())
        return -1;
    PyErr_Clear();
    // It stays where it is, untouched: nothing is written over it.
    file.writable = false;
    file.problem = format_text(
        "设置文件无法读取，本次使用默认设置，设置不会保存：%s\n%s"_id,
        py::Ref::steal(PyTuple_Pack(2, file.path.get(), original.get())));
    return file.problem ? 0 : -1;
}

// ---- writing ------------------------------------------------------------------------

py::Ref spelling_of(std::span<const Spelling> spellings, int value)
{
    for (const Spelling& spelling : spellings) {
        if (spelling.value == value)
            return py::Ref::steal(PyUnicode_FromString(spelling.text));
    }
    return py::Ref::steal(PyUnicode_FromString(spellings.front().text));
}

PyObject* or_empty(const py::Ref& text) { return text ? text.get() : ""_id.get(); }

py::Ref settings_dict(const Settings& settings)
{
    const run::Options& options = settings.options;
    py::Ref mode = spelling_of(g_modes, static_cast<int>(settings.mode));
    py::Ref scope = mode ? spelling_of(g_scopes, static_cast<int>(options.name_scope)) : py::Ref();
    if (!scope)
        return {};
    return py::Ref::steal(Py_BuildValue(
        "{s:i,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "version", 1,
        "folder", settings.folder ? settings.folder.get() : Py_None,
        "old_keywords", settings.old_keywords.get(), "new_keywords", settings.new_keywords.get(),
        "mode", mode.get(), "recursive", settings.recursive ? Py_True : Py_False,
        "case_sensitive", options.case_sensitive ? Py_True : Py_False,
        "regular_expression", options.regular_expression ? Py_True : Py_False,
        "name_scope", scope.get(), "skip_hidden", options.skip_hidden ? Py_True : Py_False,
        "include_files", or_empty(options.include_masks),
        "exclude_files", or_empty(options.exclude_masks)));
}

py::Ref encoded(const Settings& settings)
{
    py::Ref dict = settings_dict(settings);
    py::Ref json = dict ? import("json") : py::Ref();
    py::Ref dumps = json ? py::getattr(json.get(), "dumps"_id) : py::Ref();
    py::Ref text = dumps ? py::call_kw(dumps.get(), {dict},
                                       {{"ensure_ascii"_id, Py_False},
                                        {"indent"_id, py::Ref::steal(PyLong_FromLong(2))}})
                         : py::Ref();
    return text ? py::Ref::steal(PyUnicode_AsUTF8String(text.get())) : py::Ref();
}

// The folder and a file to replace: the replacement keeps what the file is.
// A first file holds an empty object, which reads as the defaults.
int prepare_file(PyObject* path)
{
    py::Ref os = import("os");
    py::Ref os_path = os ? run::os_path() : py::Ref();
    py::Ref folder = os_path ? py::call_method(os_path.get(), "dirname"_id, path) : py::Ref();
    py::Ref makedirs = folder ? py::getattr(os.get(), "makedirs"_id) : py::Ref();
    if (!makedirs || !py::call_kw(makedirs.get(), {folder}, {{"exist_ok"_id, Py_True}}))
        return -1;
    py::Ref empty = py::Ref::steal(PyBytes_FromString("{}"));
    if (!empty)
        return -1;
    int written = py::with_file_written(path, "xb"_id, [&](PyObject* file) {
        return py::call_method(file, "write"_id, empty.get()) ? 0 : -1;
    });
    if (written == 0 ||
        !PyErr_ExceptionMatches(PyExc_FileExistsError))
        return PyErr_Occurred() ? -1 : 0;
    PyErr_Clear();
    return 0;
}

// Puts `keyword` first in `list`, once, keeping at most the remembered number.
int put_first(py::Ref& list, PyObject* keyword)
{
    if (!PyUnicode_Check(keyword) || PyUnicode_GET_LENGTH(keyword) == 0)
        return 0;
    py::Ref kept = py::Ref::steal(PyList_New(0));
    if (!kept || PyList_Append(kept.get(), keyword) < 0)
        return -1;
    for (Py_ssize_t i = 0; list && i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* old = PyList_GET_ITEM(list.get(), i);
        int same = py::equals(old, keyword);
        if (same < 0)
            return -1;
        if (!same && PyList_GET_SIZE(kept.get()) < k_remembered_keywords &&
            PyList_Append(kept.get(), old) < 0)
            return -1;
    }
    list = std::move(kept);
    return 0;
}

}  // namespace

int load_settings(Settings& settings, SettingsFile& file)
{
    settings.old_keywords = py::Ref::steal(PyList_New(0));
    settings.new_keywords = py::Ref::steal(PyList_New(0));
    if (!settings.old_keywords || !settings.new_keywords || !(file.path = settings_path()))
        return -1;
    py::Ref data = py::read_whole_file(file.path.get());
    py::Ref parsed = data ? parse(data.get()) : py::Ref();
    if (parsed)
        return apply(parsed.get(), settings);
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;  // an interrupt, not the file
    if (!data && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        PyErr_Clear();
        return 0;
    }
    py::PendingError error;
    return set_aside(file, error.value());
}

int remember_request(Settings& settings, const Request& request)
{
    if (PyUnicode_Check(request.folder.get()))
        settings.folder = request.folder;
    if (put_first(settings.old_keywords, request.old_keyword.get()) < 0 ||
        put_first(settings.new_keywords, request.new_keyword.get()) < 0)
        return -1;
    int recursive = py::truth(request.recursive.get());
    if (recursive < 0)
        return -1;
    settings.recursive = recursive > 0;
    if (request.has_mode)
        settings.mode = request.mode;
    const run::Options& chosen = request.options;
    run::Options& kept = settings.options;
    kept.case_sensitive = chosen.case_sensitive;
    kept.regular_expression = chosen.regular_expression;
    kept.name_scope = chosen.name_scope;
    kept.skip_hidden = chosen.skip_hidden;
    kept.include_masks = chosen.include_masks;
    kept.exclude_masks = chosen.exclude_masks;
    return 0;
}

int save_settings(const Settings& settings, const SettingsFile& file)
{
    if (!file.path || !file.writable)
        return 0;
    py::Ref data = encoded(settings);
    if (!data || prepare_file(file.path.get()) < 0)
        return -1;
    return platform::replace_file(file.path.get(), [&](PyObject* temp_path) {
        return py::with_file_written(temp_path, "wb"_id, [&](PyObject* file) {
            return py::call_method(file, "write"_id, data.get()) ? 0 : -1;
        });
    });
}

}  // namespace tw::ui
