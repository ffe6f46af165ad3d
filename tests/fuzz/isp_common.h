// SPDX-License-Identifier: MIT
// What the harnesses of the ISP channel share: the ioctl commands of
// /dev/micom as a list to pick from, and the driver state that ISP traffic
// must leave alone.
#pragma once

#include <cstring>

#include "ir_vfd.h"
#include "micom_ioctl.h"

namespace fuzz {

constexpr unsigned kMicomIoctls[] = {
    MICOM_ISP_SYNC,                  MICOM_ISP_GET_SYNC,
    MICOM_ISP_CHECKSUM,              MICOM_ISP_CHECKSUM_STATUS,
    MICOM_ISP_CHECKSUM_VALUE,        MICOM_ISP_CHIP_ERASE,
    MICOM_ISP_CHIP_ERASE_STATUS,     MICOM_ISP_ERASE_VERIFY,
    MICOM_ISP_ERASE_VERIFY_STATUS,   MICOM_ISP_BLOCK_PROGRAM,
    MICOM_ISP_BLOCK_PROGRAM_STATUS,  MICOM_ISP_BYTE_STATUS,
    MICOM_ISP_BLOCK_VERIFY,          MICOM_ISP_BLOCK_VERIFY_STATUS,
    MICOM_ISP_STD_RESET,             MICOM_ISP_STD_RESET_STATUS,
    MICOM_ISP_UART_CLKDIV,           MICOM_ISP_STD_FREQ_SET,
    MICOM_ISP_STD_CHECKSUM,          MICOM_ISP_STD_CHECKSUM_STATUS,
    MICOM_ISP_STD_CHECKSUM_VALUE,    MICOM_ISP_STD_CHIP_ERASE,
    MICOM_ISP_STD_CHIP_ERASE_STATUS, MICOM_ISP_STD_PROGRAM,
    MICOM_ISP_STD_PROGRAM_STATUS,    MICOM_ISP_STD_FREQ_SET_STATUS,
    MICOM_ISP_STD_REPLY,
    0x20006F00u,  // number 0 of type 'o': no such command
    0x40046F1Cu,  // one past the last
};
constexpr unsigned kMicomIoctlCount = sizeof kMicomIoctls / sizeof kMicomIoctls[0];

/// Commands that copy an int from or to the caller (all but the plain sends).
inline bool ioctl_copies(unsigned cmd) {
    const unsigned dir = cmd >> 28;
    const unsigned nr = cmd & 0xFF;
    return (dir == 4 || dir == 8) && nr >= 1 && nr <= 27;
}

/// The fields ISP traffic must never write: everything of the driver state
/// but the ISP words, the receive buffer and its count.
struct Untouched {
    int32_t input_ready, rescue_state, rescue_answered, rescue_choice, time_ready, bootinfo_ready;
    uint16_t last_key;
    int32_t alarm_status, alarm_pending, power_state;
    uint32_t alarm_time, uart_base, uart_alt_base;
    int32_t rtc_year, rtc_sec;
    uint8_t alarm_cmd[256];
    uint32_t keymap[256];

    static Untouched of(const fp_priv_t& p) {
        Untouched u;
        u.input_ready = p.input_ready;
        u.rescue_state = p.rescue_state;
        u.rescue_answered = p.rescue_answered;
        u.rescue_choice = p.rescue_choice;
        u.time_ready = p.time_ready;
        u.bootinfo_ready = p.bootinfo_ready;
        u.last_key = p.last_key;
        u.alarm_status = p.alarm_status;
        u.alarm_pending = p.alarm_pending;
        u.power_state = p.power_state;
        u.alarm_time = p.alarm_time;
        u.uart_base = p.uart_base;
        u.uart_alt_base = p.uart_alt_base;
        u.rtc_year = p.rtc_year;
        u.rtc_sec = p.rtc_sec;
        std::memcpy(u.alarm_cmd, p.alarm_cmd, sizeof u.alarm_cmd);
        std::memcpy(u.keymap, p.keymap, sizeof u.keymap);
        return u;
    }
    /// The first field that differs, or null.
    const char* differs(const Untouched& o) const {
#define FP_SAME(f) if (std::memcmp(&f, &o.f, sizeof f) != 0) return #f
        FP_SAME(input_ready); FP_SAME(rescue_state); FP_SAME(rescue_answered);
        FP_SAME(rescue_choice); FP_SAME(time_ready); FP_SAME(bootinfo_ready);
        FP_SAME(last_key); FP_SAME(alarm_status); FP_SAME(alarm_pending);
        FP_SAME(power_state); FP_SAME(alarm_time); FP_SAME(uart_base);
        FP_SAME(uart_alt_base); FP_SAME(rtc_year); FP_SAME(rtc_sec);
        FP_SAME(alarm_cmd); FP_SAME(keymap);
#undef FP_SAME
        return nullptr;
    }
};

}  // namespace fuzz
