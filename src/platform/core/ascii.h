// Letter case of ASCII letters only, whatever the locale: the rules of
// names in file formats and of device names on Windows are ASCII rules.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tw::platform::native {

template <class C>
constexpr C ascii_lower(C c)
{
    return (c >= C('A') && c <= C('Z')) ? C(c + (C('a') - C('A'))) : c;
}

template <class C>
constexpr C ascii_upper(C c)
{
    return (c >= C('a') && c <= C('z')) ? C(c - (C('a') - C('A'))) : c;
}

template <class C>
constexpr bool equal_ignoring_ascii_case(std::basic_string_view<C> a, std::basic_string_view<C> b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

inline std::string ascii_lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = ascii_lower(c);
    return out;
}

inline std::string ascii_uppered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = ascii_upper(c);
    return out;
}

}  // namespace tw::platform::native
