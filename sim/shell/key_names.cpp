// SPDX-License-Identifier: MIT
#include "key_names.h"

#include <cstdlib>

namespace fpsim {

namespace {

struct KeyName {
    const char* name;
    unsigned code;
};

// The keys of the box's remote control and front panel, with the input
// layer's codes.
constexpr KeyName kKeys[] = {
    {"KEY_RESERVED", 0},     {"KEY_1", 2},          {"KEY_2", 3},
    {"KEY_3", 4},            {"KEY_4", 5},          {"KEY_5", 6},
    {"KEY_6", 7},            {"KEY_7", 8},          {"KEY_8", 9},
    {"KEY_9", 10},           {"KEY_0", 11},         {"KEY_HOME", 102},
    {"KEY_UP", 103},         {"KEY_LEFT", 105},     {"KEY_RIGHT", 106},
    {"KEY_DOWN", 108},       {"KEY_MUTE", 113},     {"KEY_VOLUMEDOWN", 114},
    {"KEY_VOLUMEUP", 115},   {"KEY_POWER", 116},    {"KEY_MENU", 139},
    {"KEY_PLAYPAUSE", 164},  {"KEY_REWIND", 168},   {"KEY_EXIT", 174},
    {"KEY_PLAY", 207},       {"KEY_FASTFORWARD", 208}, {"KEY_OK", 352},
    {"KEY_INFO", 358},       {"KEY_EPG", 365},      {"KEY_TV", 377},
    {"KEY_RADIO", 385},      {"KEY_TEXT", 388},     {"KEY_DVD", 389},
    {"KEY_AUDIO", 392},      {"KEY_VIDEO", 393},    {"KEY_RED", 398},
    {"KEY_GREEN", 399},      {"KEY_YELLOW", 400},   {"KEY_BLUE", 401},
    {"KEY_CHANNELUP", 402},  {"KEY_CHANNELDOWN", 403}, {"KEY_NEXT", 407},
    {"KEY_PREVIOUS", 412},
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

std::optional<unsigned> key_code(const std::string& name) {
    for (const auto& k : kKeys)
        if (name == k.name)
            return k.code;
    return std::nullopt;
}

std::string key_name(unsigned code) {
    for (const auto& k : kKeys)
        if (k.code == code)
            return k.name;
    return "KEY_" + std::to_string(code);
}

std::optional<uint8_t> default_key_byte(unsigned code) {
    for (const auto& k : kDefaultBytes)
        if (k.code == code)
            return k.byte;
    return std::nullopt;
}

}  // namespace fpsim
