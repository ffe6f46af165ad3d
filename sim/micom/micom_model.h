// SPDX-License-Identifier: MIT
// The front-panel micom: its normal firmware (frames on the primary link,
// real-time clock, wake-up alarm, LEDs, power, keys) and its on-chip flash
// programmer (ISP link).  Bytes in, bytes out, pins in, in the time of a
// MicomEnv.  See micom_model.cpp for the behaviour.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "micom_env.h"

namespace micom {

/// A frame the normal firmware received from the host (checksum verified).
struct HostFrame {
    Nanos time;                 ///< arrival of its last byte
    uint8_t code;               ///< command code (high nibble of byte 2)
    std::vector<uint8_t> payload;
};

/// Calendar date and time of the micom's real-time clock.
struct DateTime {
    int year = 2013, mon = 1, day = 1, hour = 0, min = 0, sec = 0;
};

enum class Mode : uint8_t {
    Off,          ///< unpowered
    Reset,        ///< powered, held in reset
    Normal,       ///< normal firmware running
    Programmer,   ///< flash programmer running
    Halted,       ///< flash programmer selected through the pins, but no 8 MHz
                  ///< reference at its start: runs nothing until power is removed
};

/// Steps of the flash programmer that can be made to fail (answered with NAK).
enum class IspStep : uint8_t { Checksum, Erase, EraseVerify, BlockProgram, Byte, BlockVerify };

struct MicomConfig {
    Nanos key_repeat_interval = 110'000'000;  ///< repeat events while a key is held
    Nanos erase_time = 8'000'000;             ///< chip erase
    Nanos byte_program_time = 20'000;         ///< one byte of block programming
    Nanos answer_delay = 20'000;              ///< firmware's reaction time to a request
    Nanos programmer_start_time = 100'000;    ///< flash programmer start-up after reset release
    Nanos reboot_off_time = 1'000'000'000;    ///< how long CTRL_REBOOT keeps the box switched off
    Nanos frame_gap_timeout = 20'000'000;     ///< a host frame whose next byte is later than this is abandoned
    uint8_t wake_up_status = 0x01;            ///< status byte of the boot information after a timed wake-up
    uint8_t power_key = 0x01;                 ///< key byte of the remote's power key (it and the front
                                              ///< power key switch a box that is off on)
};

class MicomModel {
public:
    MicomModel(MicomEnv& env, MicomConfig cfg = {});
    ~MicomModel();

    // ---- inputs from the SoC ----
    /// A byte fully received on @link; @start is when its start bit began;
    /// @framing_ok is false on a parity or framing error.
    void receive(Link link, uint8_t byte, Nanos start, bool framing_ok);
    void set_pin(Pin pin, bool level);
    /// Whether the SoC's clock generator delivers the 8 MHz reference
    /// (divider programmed to 32 MHz and routed to the micom's clock output).
    void set_clock_reference(bool present);

    // ---- the outside world acting on the micom ----
    void set_time(const DateTime& t);
    DateTime time() const;
    /// The remote (address 0x5F) or the front keys (0x12) press @key for @hold.
    void press_key(uint8_t key, Nanos hold, uint8_t address = 0x5F);
    /// As press_key, but a key still held is let go at once (its release is
    /// sent) instead of the new press waiting for it.
    void press_key_now(uint8_t key, Nanos hold, uint8_t address = 0x5F);
    void press_front_power();
    /// Someone switches the box on at the micom (a box in standby or
    /// switched off): the micom powers it as at a wake-up, but not by the
    /// alarm.  False when the micom cannot, its normal firmware not running.
    bool switch_box_on();
    /// Sends a time answer (0xD8) of its own accord.
    void send_time_answer();

    // ---- state, for tests and the shell ----
    Mode mode() const;
    const std::vector<HostFrame>& frames() const;
    void clear_frames();
    std::vector<uint8_t> led_codes() const;     ///< LED pattern codes received, in order
    bool clock_display() const;                 ///< clock display switched on by CMD_CLOCK
    bool wake_up_stored() const;
    DateTime wake_up_time() const;
    const std::array<uint8_t, 8192>& flash() const;
    void set_flash(const std::array<uint8_t, 8192>& content);
    uint16_t flash_checksum() const;            ///< same algorithm as micomflash's file checksum
    bool key_active() const;                    ///< a press, its repeats or release still to go
    bool box_power() const;                     ///< whether the micom has the box switched on
    bool pin(Pin pin) const;                    ///< last level the SoC drove on @pin

    // ---- fault injection ----
    void set_silent(bool silent);               ///< normal firmware answers nothing
    void set_nak(IspStep step, bool nak);
    void power_loss();                          ///< loses power now (flash keeps what it has)
    /// The supply returns after power_loss(): the micom starts as at power-up
    /// (unless the SoC holds it switched off).
    void power_restore();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// 16-bit checksum of the flash programmer and of micomflash: per byte,
/// c = (c >> 1) ^ b ^ (c & 1 ? 0x1B00 : 0).
uint16_t flash_checksum(const uint8_t* data, size_t len);

}  // namespace micom
