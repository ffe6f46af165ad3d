// SPDX-License-Identifier: MIT
// The kernel's sscanf (see kernel_sscanf.h).
#include "simkernel/kernel_sscanf.h"

#include <climits>
#include <cstddef>
#include <cstdint>

namespace sim {
namespace {

// The kernel's character classes (Latin-1: 0xA0, the no-break space, is a blank too).
bool k_isspace(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r') || u == 0xA0;
}
bool k_isdigit(char c) { return c >= '0' && c <= '9'; }
bool k_isxdigit(char c) { return k_isdigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
char k_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c; }

const char* skip_spaces(const char* s) {
    while (k_isspace(*s))
        ++s;
    return s;
}

/// Value of @c as a digit of bases up to 16, or 16 when it is none.
unsigned digit_value(char c) {
    if (k_isdigit(c))
        return unsigned(c - '0');
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
        return unsigned((c | 0x20) - 'a' + 10);
    return 16;
}

/// An unsigned number of at most @max characters, the "0x" of base 16 (and
/// the base that base 0 picks from the prefix) included.  Overflow wraps, as
/// in the kernel.  @end is where the number stopped.
unsigned long long parse_unsigned(const char* s, size_t max, unsigned base, const char** end) {
    const char* start = s;
    if (base == 0) {
        if (s[0] == '0')
            base = (k_lower(s[1]) == 'x' && k_isxdigit(s[2])) ? 16 : 8;
        else
            base = 10;
    }
    if (base == 16 && s[0] == '0' && k_lower(s[1]) == 'x')
        s += 2;
    const size_t prefix = size_t(s - start);
    if (prefix >= max) {  // no room left for a digit after the prefix
        *end = start + max;
        return 0;
    }
    unsigned long long v = 0;
    for (size_t n = max - prefix; n > 0; --n, ++s) {
        const unsigned d = digit_value(*s);
        if (d >= base)
            break;
        v = v * base + d;
    }
    *end = s;
    return v;
}

long long parse_signed(const char* s, size_t max, unsigned base, const char** end) {
    if (*s == '-' && max > 0)
        return -static_cast<long long>(parse_unsigned(s + 1, max - 1, base, end));
    return static_cast<long long>(parse_unsigned(s, max, base, end));
}

/// The first character of a number must be a digit of its base ('-' aside, for a signed one).
bool number_starts(char c, unsigned base) {
    switch (base) {
    case 16: return k_isxdigit(c);
    case 8: return c >= '0' && c <= '7';
    default: return k_isdigit(c);  // 10, and 0 (the base is picked after the digit)
    }
}

void store(va_list& args, char qualifier, bool is_signed, long long s, unsigned long long u) {
    switch (qualifier) {
    case 'H':  // hh
        if (is_signed) *va_arg(args, signed char*) = static_cast<signed char>(s);
        else *va_arg(args, unsigned char*) = static_cast<unsigned char>(u);
        break;
    case 'h':
        if (is_signed) *va_arg(args, short*) = static_cast<short>(s);
        else *va_arg(args, unsigned short*) = static_cast<unsigned short>(u);
        break;
    case 'l':
        if (is_signed) *va_arg(args, long*) = static_cast<long>(s);
        else *va_arg(args, unsigned long*) = static_cast<unsigned long>(u);
        break;
    case 'L':  // ll
        if (is_signed) *va_arg(args, long long*) = s;
        else *va_arg(args, unsigned long long*) = u;
        break;
    case 'z':
        *va_arg(args, size_t*) = static_cast<size_t>(is_signed ? static_cast<unsigned long long>(s) : u);
        break;
    default:
        if (is_signed) *va_arg(args, int*) = static_cast<int>(s);
        else *va_arg(args, unsigned int*) = static_cast<unsigned int>(u);
        break;
    }
}

}  // namespace

KernelScan kernel_vsscanf(const char* buf, const char* fmt, va_list ap) {
    KernelScan r;
    va_list args;
    va_copy(args, ap);
    const char* str = buf;

    while (*fmt) {
        // blanks in the format match any run of blanks, also none
        if (k_isspace(*fmt)) {
            fmt = skip_spaces(fmt + 1);
            str = skip_spaces(str);
        }
        if (*fmt != '%' && *fmt) {  // anything else must be there as it is
            if (*fmt++ != *str++)
                break;
            continue;
        }
        if (!*fmt)
            break;
        ++fmt;

        if (*fmt == '*') {  // skipped field: up to the next blank on both sides
            if (!*str)
                break;
            while (!k_isspace(*fmt) && *fmt != '%' && *fmt) {
                if (*fmt == '[') {
                    r.unsupported = "%*[";
                    va_end(args);
                    return r;
                }
                ++fmt;
            }
            while (!k_isspace(*str) && *str)
                ++str;
            continue;
        }

        int width = -1;
        if (k_isdigit(*fmt)) {
            unsigned w = 0;
            while (k_isdigit(*fmt))
                w = w * 10 + unsigned(*fmt++ - '0');
            width = static_cast<int16_t>(w);  // the kernel keeps the width in 16 bits
            if (width <= 0)
                break;
        }

        char qualifier = 0;
        if (*fmt == 'h' || k_lower(*fmt) == 'l' || *fmt == 'z') {
            qualifier = *fmt++;
            if (qualifier == *fmt && (qualifier == 'h' || qualifier == 'l')) {
                qualifier = qualifier == 'h' ? 'H' : 'L';
                ++fmt;
            }
        }
        if (!*fmt)
            break;

        if (*fmt == 'n') {  // characters taken so far; no conversion counted
            *va_arg(args, int*) = int(str - buf);
            ++fmt;
            continue;
        }
        if (!*str)
            break;

        unsigned base = 10;
        bool is_signed = false;
        const char conv = *fmt++;
        switch (conv) {
        case 'c': {
            char* s = va_arg(args, char*);
            int n = width == -1 ? 1 : width;
            do
                *s++ = *str++;
            while (--n > 0 && *str);
            ++r.converted;
            continue;
        }
        case 's': {
            char* s = va_arg(args, char*);
            int n = width == -1 ? SHRT_MAX : width;
            str = skip_spaces(str);
            while (*str && !k_isspace(*str) && n-- > 0)
                *s++ = *str++;
            *s = '\0';
            ++r.converted;
            continue;
        }
        case '[':
            r.unsupported = "%[";
            va_end(args);
            return r;
        case 'o': base = 8; break;
        case 'x':
        case 'X': base = 16; break;
        case 'i': base = 0; is_signed = true; break;
        case 'd': is_signed = true; break;
        case 'u': break;
        case '%':
            if (*str++ != '%') {
                va_end(args);
                return r;
            }
            continue;
        default:  // not a conversion: the scan ends here
            va_end(args);
            return r;
        }

        // A number: blanks first, then a '-' for the signed conversions
        // only (never a '+'), then at once a digit of the base.
        str = skip_spaces(str);
        char first = *str;
        if (is_signed && first == '-') {
            if (width == 1)
                break;
            first = str[1];
        }
        if (!first || !number_starts(first, base))
            break;

        const size_t max = width >= 0 ? size_t(width) : size_t(INT_MAX);
        const char* next = str;
        long long s = 0;
        unsigned long long u = 0;
        if (is_signed)
            s = parse_signed(str, max, base, &next);
        else
            u = parse_unsigned(str, max, base, &next);
        store(args, qualifier, is_signed, s, u);
        ++r.converted;
        str = next;
    }
    va_end(args);
    return r;
}

}  // namespace sim
