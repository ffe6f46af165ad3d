// SPDX-License-Identifier: MIT
#include "key_names.h"

#include <cstdlib>

#include "checks/key_table.h"

namespace fpsim {

namespace {

// Every key name of the input layer with its code, in the order of the
// kernel's header (the build generates the table from it).
constexpr KeyName kKeys[] = {
#include "key_codes.inc"
};

}  // namespace

std::span<const KeyName> key_names() { return kKeys; }

std::optional<unsigned> key_code(const std::string& name) {
    for (const auto& k : kKeys)
        if (name == k.name)
            return k.code;
    return std::nullopt;
}

std::string key_name(unsigned code) {
    if (code == 0)
        return "KEY_RESERVED";
    const char* name = nullptr;
    for (const auto& k : kKeys)
        if (k.code == code && !k.alias)
            name = k.name;
    return name ? name : "KEY_" + std::to_string(code);
}

std::optional<uint8_t> default_key_byte(unsigned code) {
    for (const auto& k : sim::checks::default_keys())
        if (k.code == code)
            return k.key_byte;
    return std::nullopt;
}

bool accepted_key_byte(uint8_t byte) {
    for (const auto& k : sim::checks::default_keys())
        if (k.key_byte == byte)
            return true;
    return false;
}

}  // namespace fpsim
