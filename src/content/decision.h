// What a content handler decides for one file before anything is written:
// the run then writes, the preview only shows it.
#pragma once

#include "py/ref.h"

#include <functional>

namespace tw::content {

struct Decision {
    Py_ssize_t matches = 0;       // occurrences the write replaces
    const char* encoding = nullptr;  // a text file's encoding, when not UTF-8
    std::function<int()> write;   // writes the change (0, or -1 with the
                                  // exception set); empty when the file stays as it is
};

}  // namespace tw::content
