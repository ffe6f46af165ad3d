// SPDX-License-Identifier: MIT
// Durations as the shell writes them: a whole number and a unit, "10us",
// "250ms", "2s" (also "ns" and "min").
#pragma once

#include <optional>
#include <string>

#include "core/sim_time.h"

namespace fpsim {

std::optional<sim::Nanos> parse_duration(const std::string& text);

}  // namespace fpsim
