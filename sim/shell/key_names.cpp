// SPDX-License-Identifier: MIT
#include "key_names.h"

#include <cstdlib>

namespace fpsim {

namespace {

// Every key name of the input layer with its code, in the order of the
// kernel's header (the build generates the table from it).
constexpr KeyName kKeys[] = {
#include "key_codes.inc"
};

struct KeyByte {
    uint8_t byte;
    unsigned code;
};

// What the remote and the front keys send for each key, as the driver maps
// it at load time.
constexpr KeyByte kDefaultBytes[] = {
    {0x01, 116}, {0x02, 102}, {0x03, 385}, {0x20, 11},  {0x21, 2},   {0x22, 3},
    {0x23, 4},   {0x24, 5},   {0x25, 6},   {0x26, 7},   {0x27, 8},   {0x28, 9},
    {0x29, 10},  {0x2A, 377}, {0x2B, 207}, {0x40, 402}, {0x41, 403}, {0x42, 114},
    {0x43, 115}, {0x45, 113}, {0x46, 352}, {0x47, 139}, {0x49, 103}, {0x4A, 108},
    {0x4B, 105}, {0x4C, 106}, {0x4E, 174}, {0x60, 358}, {0x62, 164}, {0x66, 412},
    {0x70, 412}, {0x71, 407}, {0x72, 398}, {0x73, 399}, {0x74, 400}, {0x75, 401},
    {0x76, 365}, {0x78, 168}, {0x79, 208}, {0x80, 407}, {0x81, 388}, {0x82, 393},
    {0x83, 392},
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
    for (const auto& k : kDefaultBytes)
        if (k.code == code)
            return k.byte;
    return std::nullopt;
}

bool accepted_key_byte(uint8_t byte) {
    for (const auto& k : kDefaultBytes)
        if (k.byte == byte)
            return true;
    return false;
}

}  // namespace fpsim
