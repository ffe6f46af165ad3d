// SPDX-License-Identifier: MIT
// The kernel's sscanf, whose number parsing is not the C library's: %d takes
// a leading '-' but no '+', nothing converts without a digit right after the
// blanks (and the sign), and a number simply ends at the first character
// that is no digit of its base.
#pragma once

#include <cstdarg>

namespace sim {

/// What one scan did.
struct KernelScan {
    int converted = 0;                ///< conversions stored, as the kernel's sscanf returns
    const char* unsupported = nullptr;  ///< a conversion this model does not have (e.g. "%["), or null
};

/// Scans @buf by @fmt as the Linux kernel's vsscanf does, for the conversions
/// d i u x X o c s n % with the qualifiers hh h l ll L z, field widths and '*'.
KernelScan kernel_vsscanf(const char* buf, const char* fmt, va_list args);

}  // namespace sim
