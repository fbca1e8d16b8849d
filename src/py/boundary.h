// The edge where the interpreter calls into our C++. No C++ exception may
// cross it: each entry point runs its body through guard(), which turns an
// escaping exception into a Python one (MemoryError for std::bad_alloc) and
// returns the failure value the interpreter expects.
#pragma once

#include "py/ref.h"

#include <exception>
#include <new>
#include <type_traits>

namespace tw::py {

void set_error_from_cpp_exception() noexcept;

template <class Body>
auto guard(Body&& body) noexcept -> decltype(body())
{
    using Result = decltype(body());
    try {
        return body();
    } catch (...) {
        set_error_from_cpp_exception();
    }
    if constexpr (std::is_pointer_v<Result>)
        return nullptr;
    else if constexpr (std::is_same_v<Result, Ref>)
        return Ref();
    else
        return -1;
}

}  // namespace tw::py
