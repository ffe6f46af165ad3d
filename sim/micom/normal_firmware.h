// SPDX-License-Identifier: MIT
// The micom's normal firmware: host frames on the primary link, the answers to
// the boot-information and time requests, LEDs, clock display, the box's power
// (deep standby, timed wake-up, reboot) and key events.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "clock_record.h"
#include "micom_model.h"
#include "timers.h"

namespace micom::detail {

class NormalFirmware {
public:
    NormalFirmware(MicomEnv& env, const MicomConfig& cfg, RealTimeClock& rtc);

    /// Called when the firmware hands over to its flash programmer (CTRL_ISP).
    std::function<void()> on_handover;

    /// The firmware starts running (power-up, reset release): it sends nothing until asked.
    void start();
    /// The firmware stops (reset, hand-over, power off): whatever it still had to send is dropped.
    void stop();
    /// The micom loses its supply: besides stopping, the wake-up alarm and display state are lost.
    void power_lost();

    void receive(uint8_t byte, Nanos start, bool framing_ok);

    void rtc_changed();  ///< the clock was set: a pending wake-up is rescheduled
    void press_key(uint8_t key, Nanos hold, uint8_t address);
    /// A press that lets a held key go first, as a thumb moving to another key does.
    void press_key_now(uint8_t key, Nanos hold, uint8_t address);
    void press_front_power();
    /// Switches the box on by hand; false when the firmware is not running.
    bool switch_box_on();
    void send_time_answer();

    bool running() const { return running_; }
    bool silent = false;

    const std::vector<HostFrame>& frames() const { return frames_; }
    void clear_frames() { frames_.clear(); }
    const std::vector<uint8_t>& led_codes() const { return led_codes_; }
    bool clock_display() const { return clock_display_; }
    bool wake_up_stored() const { return wake_stored_; }
    DateTime wake_up_time() const { return wake_time_; }
    bool key_active() const { return key_running_ || !key_queue_.empty(); }
    bool box_power() const { return box_on_; }

private:
    enum class Rx : uint8_t { Idle, Direction, CodeLength, LengthOrChecksum, Payload, Checksum };
    struct KeyPress {
        uint8_t key;
        Nanos hold;
        uint8_t address;
    };

    void reset_parser() { rx_ = Rx::Idle; }
    void frame_complete();
    void handle_control(const std::vector<uint8_t>& p);
    void answer_later(uint8_t code_length, bool boot_info);
    void send_frame(uint8_t code_length, const uint8_t* payload, size_t len);
    void send_key_event(uint8_t address, uint8_t a, uint8_t b);

    void set_box(bool on);
    void deep_standby(const uint8_t* wake_record);  ///< nullptr: no wake-up time
    void arm_wake_up();
    void reboot();
    void power_key_wake();

    bool keys_can_run() const { return running_ && box_on_; }
    void start_next_key();
    void key_step();
    void drop_keys();

    MicomEnv& env_;
    const MicomConfig& cfg_;
    RealTimeClock& rtc_;
    Timers answers_;
    Timers keys_;
    Timers power_;

    bool running_ = false;

    // host frame being received
    Rx rx_ = Rx::Idle;
    uint8_t rx_code_ = 0;
    uint8_t rx_len_ = 0;
    uint8_t rx_sum_ = 0;
    Nanos rx_last_ = 0;
    std::vector<uint8_t> rx_payload_;

    std::vector<HostFrame> frames_;
    std::vector<uint8_t> led_codes_;
    bool clock_display_ = false;
    uint8_t time_flags_ = 0;  ///< flags byte of the last set-clock record, reported in time answers

    bool box_on_ = true;
    bool wake_stored_ = false;
    bool wake_armed_ = false;       ///< the box is off and waits for the wake-up time
    bool woken_by_alarm_ = false;   ///< the current boot of the box came from the wake-up time
    DateTime wake_time_{};

    std::deque<KeyPress> key_queue_;
    bool key_running_ = false;
    KeyPress key_{};
    Nanos key_start_ = 0;
    uint64_t key_repeats_ = 0;
};

}  // namespace micom::detail
