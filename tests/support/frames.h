// SPDX-License-Identifier: MIT
// Frames the micom sends to the driver, as the tests feed them to it: their
// bytes and check byte come from the driver's own header (frame.h).  Header
// only, so that micom_host (tests/qemu), which has no simulator, uses it too.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "frame.h"

namespace fptest {

/// A frame from the micom: AA DF, the code/length byte @code, the payload,
/// the check byte.
inline std::vector<uint8_t> micom_frame(uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f{FRAME_START, FRAME_TO_HOST, code};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(frame_checksum(FRAME_TO_HOST, code, payload.data(), static_cast<int>(payload.size())));
    return f;
}

/// A key-event frame from the micom: AA DF E5, the five event bytes, the
/// check byte (on the stack: a fuzz harness sends it while the box heap is on).
constexpr std::array<uint8_t, 9> key_event_frame(uint8_t k0, uint8_t k1, uint8_t addr, uint8_t k3, uint8_t k4) {
    const uint8_t event[5] = {k0, k1, addr, k3, k4};
    std::array<uint8_t, 9> f{FRAME_START, FRAME_TO_HOST, FRAME_KEY, k0, k1, addr, k3, k4, 0};
    f[8] = frame_checksum(FRAME_TO_HOST, FRAME_KEY, event, 5);
    return f;
}

/// The remote's press of the key byte @key from the address @addr (its pair
/// is the key byte inverted), and its release (the pair swapped).
constexpr std::array<uint8_t, 9> key_press_frame(uint8_t key, uint8_t addr = 0x5F) {
    return key_event_frame(0x01, 0x00, addr, key, uint8_t(~key));
}
constexpr std::array<uint8_t, 9> key_release_frame(uint8_t key, uint8_t addr = 0x5F) {
    return key_event_frame(0x01, 0x00, addr, uint8_t(~key), key);
}

/// The front panel's power key: one frame that is a press and a release.
constexpr std::array<uint8_t, 9> front_power_frame() { return key_event_frame(0x02, 0x12, 0x12, 0x00, 0xFF); }

}  // namespace fptest
