// SPDX-License-Identifier: MIT
// Virtual time of the simulated box: nanoseconds since power-on.
#pragma once

#include <cstdint>

namespace sim {

using Nanos = uint64_t;

constexpr Nanos operator""_ns(unsigned long long v) { return v; }
constexpr Nanos operator""_us(unsigned long long v) { return v * 1000ull; }
constexpr Nanos operator""_ms(unsigned long long v) { return v * 1000'000ull; }
constexpr Nanos operator""_s(unsigned long long v) { return v * 1000'000'000ull; }

/// Seconds as a double, for printing.
inline double seconds(Nanos t) { return double(t) / 1e9; }

}  // namespace sim
