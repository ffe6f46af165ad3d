// SPDX-License-Identifier: MIT
// The driver's default key map (driver/key_map.h) for the simulator's tools:
// the key bytes that the remote control and the front keys send, each with
// its key code, as the driver starts from them.  The shell names keys and
// the soak picks them from it without reading the driver's headers.
#pragma once

#include <cstdint>
#include <span>

namespace sim::checks {

struct DefaultKey {
    uint8_t key_byte;
    uint16_t code;
};

/// Every entry of the driver's default key map, in its order.
std::span<const DefaultKey> default_keys();

}  // namespace sim::checks
