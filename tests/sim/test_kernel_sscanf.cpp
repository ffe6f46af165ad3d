// SPDX-License-Identifier: MIT
// The simulated kernel's sscanf parses numbers as the Linux kernel does, not
// as the C library does (the QEMU guest test checks the same texts on a real
// kernel through /proc/led).
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "simkernel/kernel_sscanf.h"

namespace {

sim::KernelScan scan(const char* buf, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const sim::KernelScan r = sim::kernel_vsscanf(buf, fmt, ap);
    va_end(ap);
    return r;
}

}  // namespace

TEST(KernelSscanf, NumbersAsTheKernelParsesThem) {
    struct Case {
        const char* text;
        const char* fmt;
        int converted;
        int value;  // 77: left as it was
    };
    const Case cases[] = {
        {"+2", "%d", 0, 77},          // no '+' at all
        {" 2", "%d", 1, 2},           // blanks before the number
        {"\t\n 7", "%d", 1, 7},
        {"2x", "%d", 1, 2},           // the number ends at its first non-digit
        {"0x2", "%d", 1, 0},          // %d knows no prefix
        {"-2", "%d", 1, -2},
        {"- 2", "%d", 0, 77},         // the digit must follow the '-'
        {"-2", "%u", 0, 77},          // unsigned conversions take no sign
        {"", "%d", 0, 77},            // 0, not the C library's EOF
        {"12345", "%2d", 1, 12},
        {"4294967297", "%d", 1, 1},   // too big: wraps, no error
        {"0x1f", "%x", 1, 31},
        {"1F", "%x", 1, 31},
        {"-1f", "%x", 0, 77},
        {"010", "%i", 1, 8},
        {"0x10", "%i", 1, 16},
        {"0x", "%i", 1, 0},           // "0x" without a hex digit is an octal 0
        {"-010", "%i", 1, -8},
        {"08", "%i", 1, 0},
        {"17", "%o", 1, 15},
        {"8", "%o", 0, 77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\" " + c.fmt);
        int v = 77;
        const sim::KernelScan r = scan(c.text, c.fmt, &v);
        EXPECT_EQ(r.converted, c.converted);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(r.unsupported, nullptr);
    }

    // literal text and blanks in the format, and what is left
    int a = 0, b = 0, n = 0;
    EXPECT_EQ(scan("a=5  b=-3;x", "a=%d b=%d%n", &a, &b, &n).converted, 2);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, -3);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(scan("a:5", "a=%d", &a).converted, 0);
    EXPECT_STREQ(scan("1", "%[0-9]", &a).unsupported, "%[");
}
