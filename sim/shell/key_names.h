// SPDX-License-Identifier: MIT
// Key names of the input layer (KEY_UP...) and the key bytes the remote
// control and the front keys send for them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace fpsim {

struct KeyName {
    const char* name;
    unsigned code;
    bool alias;  ///< defined as another name (KEY_HANGUEL as KEY_HANGEUL)
};

/// Every key name of the input layer (KEY_ and BTN_), aliases included.
std::span<const KeyName> key_names();
/// The input-layer code of a name like "KEY_UP", if known.
std::optional<unsigned> key_code(const std::string& name);
/// "KEY_UP" for 103: of the names the header gives a code by number, the
/// last (BTN_LEFT, not the range's first BTN_MOUSE); an unknown code as
/// "KEY_<decimal>"; 0 as "KEY_RESERVED".
std::string key_name(unsigned code);
/// The key byte the remote sends for @code with the driver's default key map
/// (the first one when two bytes share a key).
std::optional<uint8_t> default_key_byte(unsigned code);
/// Whether the driver takes @byte as a key: the 43 bytes of the remote's and
/// the front panel's keys (whatever the key map now gives them).
bool accepted_key_byte(uint8_t byte);

}  // namespace fpsim
