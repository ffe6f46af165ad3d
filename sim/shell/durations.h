// SPDX-License-Identifier: MIT
// Durations as the shell writes them: a whole number and a unit, "10us",
// "250ms", "2s", "1m" (or "1min"), "1h", also "ns"; at most a day.
#pragma once

#include <optional>
#include <string>

#include "machine/sim_time.h"

namespace fpsim {

std::optional<sim::Nanos> parse_duration(const std::string& text);

}  // namespace fpsim
