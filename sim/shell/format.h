// SPDX-License-Identifier: MIT
// printf into a std::string, for the shell's short lines (a decoded frame's
// field, a date, a status): at most 255 characters.
#pragma once

#include <cstdio>
#include <string>

namespace fpsim {

inline std::string format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace fpsim
