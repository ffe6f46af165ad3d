// SPDX-License-Identifier: MIT
// Key names of the input layer (KEY_UP...) and the key bytes the remote
// control and the front keys send for them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fpsim {

/// The input-layer code of a name like "KEY_UP", if known.
std::optional<unsigned> key_code(const std::string& name);
/// "KEY_UP" for 103; an unknown code as "KEY_<decimal>"; 0 as "KEY_RESERVED".
std::string key_name(unsigned code);
/// The key byte the remote sends for @code with the driver's default key map
/// (the first one when two bytes share a key).
std::optional<uint8_t> default_key_byte(unsigned code);

}  // namespace fpsim
