// Which new names stay plain names in their folder, and the names of the
// program's own files. Pure functions, so the Windows rules are tested on
// every system.
#include "platform/core/ascii.h"
#include "platform/core/native.h"

#include <array>
#include <atomic>
#include <chrono>
#include <random>

namespace tw::platform::native {

namespace {

#ifdef _WIN32
constexpr Char kSeparators[] = L"\\/";
#else
constexpr Char kSeparators[] = "/";
#endif

constexpr StringView kTempPrefix = TW_NATIVE(".termweave-");
constexpr StringView kTempSuffixes[] = {TW_NATIVE(".tmp"), TW_NATIVE(".old"), TW_NATIVE(".bak")};

template <class View>
bool is_dot_name(View name)
{
    return name.size() <= 2 && name.find_first_not_of('.') == View::npos;
}

std::uint64_t mixed(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Unpredictable enough that two processes never race for one name for
// long; the exclusive creation that follows settles any clash.
std::uint64_t random_bits()
{
    static const std::uint64_t seed = [] {
        std::random_device device;
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return (std::uint64_t{device()} << 32) ^ device() ^ static_cast<std::uint64_t>(now);
    }();
    static std::atomic<std::uint64_t> counter{0};
    return mixed(seed + counter.fetch_add(1) * 0xD1B54A32D192ED03ull);
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
    if (!equal_ignoring_ascii_case(stem, std::wstring_view(L"COM")) &&
        !equal_ignoring_ascii_case(stem, std::wstring_view(L"LPT")))
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

const Char* const kBackupFolderName = TW_NATIVE(".termweave-undo");

String random_letters(int count)
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    String letters;
    std::uint64_t bits = random_bits();
    for (int i = 0; i < count; ++i, bits /= 36) {
        if (i % 12 == 11)
            bits = random_bits();
        letters += static_cast<Char>(kLetters[bits % 36]);
    }
    return letters;
}

String temp_name(const Char* suffix) { return String(kTempPrefix) + random_letters() + suffix; }

bool is_temp_name(StringView name)
{
    if (name.size() <= kTempPrefix.size() + 4 || !name.starts_with(kTempPrefix))
        return false;
    for (StringView suffix : kTempSuffixes)
        if (name.ends_with(suffix))
            return true;
    return false;
}

bool is_backup_folder_name(StringView name) { return name == kBackupFolderName; }

String last_name_of(const String& path)
{
    std::size_t cut = path.find_last_of(kSeparators);
    return cut == String::npos ? path : path.substr(cut + 1);
}

String folder_of(const String& path)
{
    std::size_t cut = path.find_last_of(kSeparators);
    if (cut == String::npos)
        return TW_NATIVE(".");
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

String join(const String& folder, const String& name)
{
    if (!folder.empty() && StringView(kSeparators).find(folder.back()) != StringView::npos)
        return folder + name;
    return folder + kSeparators[0] + name;
}

}  // namespace tw::platform::native
