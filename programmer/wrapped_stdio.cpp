// SPDX-License-Identifier: MIT
// Standard output and standard error of micomflash linked with -Wl,--wrap,
// captured per run, byte for byte, in the order written, where the loader's
// wrapped_stdio::capture() says.  Other streams go to the C library.
#include "wrapped_stdio.h"

#include <cstdarg>

namespace {

std::string* captured(FILE* stream) { return wrapped_stdio::capture(stream); }

int append_formatted(std::string& to, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (n > 0) {
        const size_t at = to.size();
        to.resize(at + size_t(n) + 1);
        std::vsnprintf(to.data() + at, size_t(n) + 1, format, args);
        to.resize(at + size_t(n));
    }
    return n;
}

}  // namespace

extern "C" {

int __wrap_vfprintf(FILE* stream, const char* format, va_list args) {
    if (std::string* to = captured(stream))
        return append_formatted(*to, format, args);
    return std::vfprintf(stream, format, args);
}

int __wrap_vprintf(const char* format, va_list args) { return __wrap_vfprintf(stdout, format, args); }

int __wrap_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = __wrap_vfprintf(stdout, format, args);
    va_end(args);
    return n;
}

int __wrap_fprintf(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = __wrap_vfprintf(stream, format, args);
    va_end(args);
    return n;
}

int __wrap_fputs(const char* text, FILE* stream) {
    if (std::string* to = captured(stream)) {
        *to += text;
        return 1;
    }
    return std::fputs(text, stream);
}

int __wrap_puts(const char* text) {
    if (std::string* to = captured(stdout)) {
        *to += text;
        *to += '\n';
        return 1;
    }
    return std::puts(text);
}

int __wrap_fflush(FILE* stream) {
    if (stream && captured(stream))
        return 0;  // captured output has no buffer
    return std::fflush(stream);
}

}  // extern "C"
