// What the window remembers across restarts: the last folder, the last ten
// old and new keywords, the mode and the options. One file, settings.json,
// in the user's configuration folder ($XDG_CONFIG_HOME or ~/.config on
// Linux, %APPDATA% on Windows, ~/Library/Preferences on macOS), read and
// written with the interpreter's json module; written all or nothing.
#pragma once

#include "run/options.h"
#include "ui/checks.h"

namespace tw::ui {

// Keywords remembered, most recent first.
inline constexpr Py_ssize_t k_remembered_keywords = 10;

struct Settings {
    py::Ref folder;        // str, or null
    py::Ref old_keywords;  // list of str, most recent first
    py::Ref new_keywords;
    ModeKind mode = ModeKind::folders;
    bool recursive = true;
    run::Options options;  // the choices of the option rows only
};

// What reading the settings file came to.
struct SettingsFile {
    py::Ref path;      // settings.json, or null when no folder could be named
    bool writable = true;  // false when a file there could be neither read nor set aside
    // For the user, once: the file was damaged or unreadable and what was
    // done with it. Null when all went well (or there was no file).
    py::Ref problem;
};

// Reads the settings; a missing file gives the defaults. A file that cannot
// be read or is damaged is renamed aside (never deleted), and the defaults
// are used. 0, or -1 with the exception set (only for what is not about the
// file: memory, an interrupt).
int load_settings(Settings& settings, SettingsFile& file);

// Remembers a request the user ran: its folder, keywords (put first in
// their lists), mode and options.
int remember_request(Settings& settings, const Request& request);

// Writes the settings, all or nothing. 0; or -1 with the exception set
// (an OSError when the file could not be written).
int save_settings(const Settings& settings, const SettingsFile& file);

}  // namespace tw::ui
