// SPDX-License-Identifier: MIT
#include "durations.h"

#include <cstdint>

namespace fpsim {

std::optional<sim::Nanos> parse_duration(const std::string& text) {
    size_t i = 0;
    uint64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (value > (UINT64_MAX - 9) / 10)
            return std::nullopt;
        value = value * 10 + uint64_t(text[i] - '0');
        ++i;
    }
    if (i == 0)
        return std::nullopt;
    const std::string unit = text.substr(i);
    uint64_t scale;
    if (unit == "ns")
        scale = 1;
    else if (unit == "us")
        scale = 1000;
    else if (unit == "ms")
        scale = 1000'000;
    else if (unit == "s")
        scale = 1000'000'000;
    else if (unit == "m" || unit == "min")
        scale = 60'000'000'000ull;
    else if (unit == "h")
        scale = 3600'000'000'000ull;
    else
        return std::nullopt;
    // a day of virtual time is far more than any scenario needs, and keeps
    // every sum of durations far from overflowing
    constexpr uint64_t kMax = 86400ull * 1000'000'000ull;
    if (value > kMax / scale)
        return std::nullopt;
    return value * scale;
}

}  // namespace fpsim
