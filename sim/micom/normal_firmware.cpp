// SPDX-License-Identifier: MIT
#include "normal_firmware.h"

#include <algorithm>
#include <initializer_list>
#include <limits>

namespace micom::detail {
namespace {

constexpr uint8_t kStart = 0xAA;
constexpr uint8_t kToMicom = 0x20;
constexpr uint8_t kToHost = 0xDF;

constexpr uint8_t CMD_CLOCK = 0x3;
constexpr uint8_t CMD_CONTROL = 0x4;
constexpr uint8_t CMD_BOOTINFO = 0xA;
constexpr uint8_t CMD_SET_TIME = 0xC;
constexpr uint8_t CMD_GET_TIME = 0xD;

constexpr uint8_t CTRL_LED = 0x00;
constexpr uint8_t CTRL_DEEPSTANDBY = 0x0C;
constexpr uint8_t CTRL_ISP = 0x0F;
constexpr uint8_t CTRL_REBOOT = 0x55;

constexpr uint8_t kAnswerBootInfo = 0xA8;
constexpr uint8_t kAnswerTime = 0xD8;
constexpr uint8_t kKeyEvent = 0xE5;

// The logs of received frames and LED codes keep at most this many entries
// (twice as many just before the oldest half is dropped), so a box left
// blinking for days does not grow them without bound.
constexpr size_t kLogLimit = 4096;

template <class T>
void append_bounded(std::vector<T>& log, T value) {
    if (log.size() >= 2 * kLogLimit) log.erase(log.begin(), log.begin() + kLogLimit);
    log.push_back(std::move(value));
}

Nanos saturating_add(Nanos a, Nanos b) {
    return b > std::numeric_limits<Nanos>::max() - a ? std::numeric_limits<Nanos>::max() : a + b;
}

bool is(const std::vector<uint8_t>& p, std::initializer_list<uint8_t> want) {
    return p.size() == want.size() && std::equal(p.begin(), p.end(), want.begin());
}

}  // namespace

NormalFirmware::NormalFirmware(MicomEnv& env, const MicomConfig& cfg, RealTimeClock& rtc)
    : env_(env), cfg_(cfg), rtc_(rtc), answers_(env), keys_(env), power_(env) {
    rx_payload_.reserve(32);
}

void NormalFirmware::start() {
    running_ = true;
    reset_parser();
}

void NormalFirmware::stop() {
    running_ = false;
    reset_parser();
    answers_.cancel_all();
    drop_keys();
}

void NormalFirmware::power_lost() {
    stop();
    // The supply is gone: the pending wake-up or reboot goes with it, and so
    // does the display state.  The box keeps whatever power it had.
    power_.cancel_all();
    wake_stored_ = false;
    wake_armed_ = false;
    clock_display_ = false;
}

// ---- receiving host frames ----

void NormalFirmware::receive(uint8_t b, Nanos start, bool framing_ok) {
    if (!running_) return;
    const Nanos now = env_.now();
    // A frame whose bytes stopped coming is abandoned: the host never pauses
    // inside a frame, so a long gap means the rest was lost.
    if (rx_ != Rx::Idle && start > rx_last_ && start - rx_last_ > cfg_.frame_gap_timeout) reset_parser();
    rx_last_ = now;
    if (!framing_ok) {  // a damaged byte spoils the frame it belongs to
        reset_parser();
        return;
    }
    switch (rx_) {
    case Rx::Idle:
        if (b == kStart) rx_ = Rx::Direction;
        break;
    case Rx::Direction:
        if (b == kToMicom)
            rx_ = Rx::CodeLength;
        else if (b != kStart)  // AA AA 20 ...: the second 0xAA starts the frame
            rx_ = Rx::Idle;
        break;
    case Rx::CodeLength:
        rx_code_ = b >> 4;
        rx_len_ = b & 0x0F;
        rx_sum_ = kToMicom ^ b;
        rx_payload_.clear();
        rx_ = rx_len_ ? Rx::Payload : Rx::LengthOrChecksum;
        break;
    case Rx::LengthOrChecksum:
        // Low nibble 0: either a frame without payload (this byte is its
        // checksum) or the long form (this byte is a length of 16..32).  The
        // checksum wins where both readings are possible.
        if (b == rx_sum_) {
            frame_complete();
        } else if (b >= 16 && b <= 32) {
            rx_len_ = b;
            rx_sum_ ^= b;
            rx_ = Rx::Payload;
        } else {
            rx_ = Rx::Idle;
        }
        break;
    case Rx::Payload:
        rx_payload_.push_back(b);
        rx_sum_ ^= b;
        if (rx_payload_.size() == rx_len_) rx_ = Rx::Checksum;
        break;
    case Rx::Checksum:
        if (b == rx_sum_)
            frame_complete();
        else
            rx_ = Rx::Idle;  // bad checksum: the frame is ignored
        break;
    }
}

void NormalFirmware::frame_complete() {
    rx_ = Rx::Idle;
    append_bounded(frames_, HostFrame{env_.now(), rx_code_, rx_payload_});
    const std::vector<uint8_t>& p = rx_payload_;
    switch (rx_code_) {
    case CMD_BOOTINFO:
        if (is(p, {0x0A, 0x0A})) answer_later(kAnswerBootInfo, true);
        break;
    case CMD_GET_TIME:
        if (is(p, {0x0D, 0x0D})) answer_later(kAnswerTime, false);
        break;
    case CMD_SET_TIME:
        if (p.size() == 8) {
            if (auto t = decode_record(p.data())) {
                rtc_.set(*t);
                time_flags_ = p[7];
                rtc_changed();
            }
        }
        break;
    case CMD_CLOCK:
        if (is(p, {0x03, 0x03})) clock_display_ = true;
        break;
    case CMD_CONTROL:
        handle_control(p);
        break;
    default:
        break;  // recorded, nothing else to do
    }
}

void NormalFirmware::handle_control(const std::vector<uint8_t>& p) {
    if (p.size() == 2 && p[0] == CTRL_LED) {
        append_bounded(led_codes_, p[1]);
    } else if (is(p, {CTRL_DEEPSTANDBY, 0x00})) {
        deep_standby(nullptr);
    } else if (p.size() == 9 && p[0] == CTRL_DEEPSTANDBY && p[1] == 0x01) {
        deep_standby(&p[2]);
    } else if (is(p, {CTRL_REBOOT, 0x00})) {
        reboot();
    } else if (is(p, {CTRL_ISP, 0x00})) {
        if (on_handover) on_handover();
    }
}

// ---- sending ----

void NormalFirmware::send_frame(uint8_t code_length, const uint8_t* payload, size_t len) {
    uint8_t sum = kToHost ^ code_length;
    env_.transmit(Link::Primary, kStart);
    env_.transmit(Link::Primary, kToHost);
    env_.transmit(Link::Primary, code_length);
    for (size_t i = 0; i < len; ++i) {
        env_.transmit(Link::Primary, payload[i]);
        sum ^= payload[i];
    }
    env_.transmit(Link::Primary, sum);
}

void NormalFirmware::answer_later(uint8_t code_length, bool boot_info) {
    if (silent) return;
    answers_.at(env_.now() + cfg_.answer_delay, [this, code_length, boot_info] {
        std::array<uint8_t, 8> rec{};
        if (boot_info) {
            if (wake_stored_) rec = encode_record(wake_time_, 0);
            rec[7] = woken_by_alarm_ ? cfg_.wake_up_status : 0x00;
        } else {
            rec = encode_record(rtc_.now(), time_flags_);
        }
        send_frame(code_length, rec.data(), rec.size());
    });
}

void NormalFirmware::send_time_answer() {
    if (!running_ || !box_on_) return;  // nobody to tell
    const auto rec = encode_record(rtc_.now(), time_flags_);
    send_frame(kAnswerTime, rec.data(), rec.size());
}

// ---- the box's power ----

void NormalFirmware::set_box(bool on) {
    box_on_ = on;
    env_.set_box_power(on);
}

bool NormalFirmware::switch_box_on() {
    if (!running_) return false;
    if (!box_on_) {
        // a wake-up time or the end of a reboot still ahead is superseded;
        // the stored wake-up time stays, as after any other start
        power_.cancel_all();
        wake_armed_ = false;
        woken_by_alarm_ = false;
        set_box(true);
    }
    return true;
}

void NormalFirmware::deep_standby(const uint8_t* wake_record) {
    power_.cancel_all();  // a reboot still under way is superseded
    wake_armed_ = false;
    woken_by_alarm_ = false;
    wake_stored_ = false;
    if (wake_record) {
        // A record that is no date (bad BCD, 31 February) stores no wake-up:
        // the box simply stays off, as with 0C 00.
        if (auto t = decode_record(wake_record)) {
            wake_stored_ = true;
            wake_time_ = *t;
        }
    }
    drop_keys();
    set_box(false);
    if (wake_stored_) {
        wake_armed_ = true;
        arm_wake_up();
    }
}

void NormalFirmware::arm_wake_up() {
    power_.cancel_all();
    if (!wake_armed_) return;
    // Only a wake-up time still ahead of the clock switches the box on.  One
    // that has passed (or that a clock change jumped over) is never reached: a
    // driver that sends the same stale time at every power-off must not make
    // the box come back at once, every time.
    const Nanos t = rtc_.instant_of(to_epoch(wake_time_));
    if (t <= env_.now()) return;
    power_.at(t, [this] {
        wake_armed_ = false;
        woken_by_alarm_ = true;
        set_box(true);
    });
}

void NormalFirmware::rtc_changed() {
    if (wake_armed_) arm_wake_up();
}

void NormalFirmware::power_key_wake() {
    // The power key switches the box on from deep standby, wake-up time or
    // not; the start that follows is not a timed wake-up.
    power_.cancel_all();
    wake_armed_ = false;
    woken_by_alarm_ = false;
    set_box(true);
}

void NormalFirmware::reboot() {
    power_.cancel_all();
    wake_armed_ = false;
    woken_by_alarm_ = false;
    drop_keys();
    set_box(false);
    power_.at(env_.now() + cfg_.reboot_off_time, [this] { set_box(true); });
}

// ---- keys ----

void NormalFirmware::send_key_event(uint8_t address, uint8_t a, uint8_t b) {
    const uint8_t payload[5] = {0x01, 0x00, address, a, b};
    send_frame(kKeyEvent, payload, sizeof payload);
}

void NormalFirmware::press_key(uint8_t key, Nanos hold, uint8_t address) {
    if (running_ && !box_on_ && key == cfg_.power_key) return power_key_wake();
    // With the box off there is nobody to tell: any other press is dropped.
    if (!keys_can_run()) return;
    key_queue_.push_back({key, hold, address});
    if (!key_running_) start_next_key();
}

void NormalFirmware::press_key_now(uint8_t key, Nanos hold, uint8_t address) {
    if (!key_running_ || !keys_can_run()) return press_key(key, hold, address);
    // One key at a time: the held key is let go (its release goes out first).
    keys_.cancel_all();
    send_key_event(key_.address, static_cast<uint8_t>(~key_.key), key_.key);
    key_running_ = false;
    key_queue_.push_front({key, hold, address});
    start_next_key();
}

void NormalFirmware::press_front_power() {
    if (running_ && !box_on_) return power_key_wake();
    if (!keys_can_run()) return;
    static constexpr uint8_t payload[5] = {0x02, 0x12, 0x12, 0x00, 0xFF};
    send_frame(kKeyEvent, payload, sizeof payload);
}

void NormalFirmware::drop_keys() {
    keys_.cancel_all();
    key_queue_.clear();
    key_running_ = false;
}

void NormalFirmware::start_next_key() {
    if (key_queue_.empty()) return;
    key_ = key_queue_.front();
    key_queue_.pop_front();
    key_running_ = true;
    key_start_ = env_.now();
    key_repeats_ = 0;
    send_key_event(key_.address, key_.key, static_cast<uint8_t>(~key_.key));
    key_step();
}

// Schedules the next repeat of the held key, or its release.
void NormalFirmware::key_step() {
    const Nanos release_at = saturating_add(key_start_, key_.hold);
    const Nanos interval = cfg_.key_repeat_interval;
    if (interval > 0) {
        const Nanos next = saturating_add(key_start_, saturating_add(key_repeats_ * interval, interval));
        if (next < release_at) {
            keys_.at(next, [this] {
                if (!keys_can_run()) return drop_keys();
                ++key_repeats_;
                send_key_event(key_.address, key_.key, static_cast<uint8_t>(~key_.key));
                key_step();
            });
            return;
        }
    }
    keys_.at(release_at, [this] {
        if (!keys_can_run()) return drop_keys();
        send_key_event(key_.address, static_cast<uint8_t>(~key_.key), key_.key);
        key_running_ = false;
        start_next_key();
    });
}

}  // namespace micom::detail
