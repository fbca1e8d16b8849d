// Which new names stay plain names in their folder. Pure functions, so the
// Windows rules are tested on every system.
#include "platform/core/native.h"

#include <array>

namespace tw::platform::native {

namespace {

template <class View>
bool is_dot_name(View name)
{
    return name.size() <= 2 && name.find_first_not_of('.') == View::npos;
}

wchar_t ascii_upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? c - (L'a' - L'A') : c; }

bool equal_ignoring_ascii_case(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    return true;
}

// Windows opens a device for these names whatever follows the first dot,
// and ignores spaces before that dot ("NUL .txt").
bool is_device_name(std::wstring_view name)
{
    std::wstring_view base = name.substr(0, name.find(L'.'));
    base = base.substr(0, base.find_last_not_of(L' ') + 1);
    static constexpr std::array<std::wstring_view, 6> words = {L"CON", L"PRN", L"AUX", L"NUL",
                                                              L"CONIN$", L"CONOUT$"};
    for (std::wstring_view word : words)
        if (equal_ignoring_ascii_case(base, word))
            return true;
    if (base.size() != 4)
        return false;
    std::wstring_view stem = base.substr(0, 3);
    if (!equal_ignoring_ascii_case(stem, L"COM") && !equal_ignoring_ascii_case(stem, L"LPT"))
        return false;
    // COM1-9 and LPT1-9, and the superscript digits ¹²³ Windows also maps.
    wchar_t digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace

bool is_plain_name_posix(std::string_view name)
{
    return !name.empty() && !is_dot_name(name) && name.find('/') == std::string_view::npos;
}

bool is_plain_name_windows(std::wstring_view name)
{
    if (name.empty() || is_dot_name(name))
        return false;
    for (wchar_t c : name)
        if (c < 0x20 || std::wstring_view(L"\\/:<>\"|?*").find(c) != std::wstring_view::npos)
            return false;
    if (name.back() == L'.' || name.back() == L' ')
        return false;
    return !is_device_name(name);
}

bool is_plain_name(StringView name)
{
#ifdef _WIN32
    return is_plain_name_windows(name);
#else
    return is_plain_name_posix(name);
#endif
}

}  // namespace tw::platform::native
