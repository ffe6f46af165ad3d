// SPDX-License-Identifier: MIT
// The front-panel micom.  This file ties its parts together and models its
// pins and power; normal_firmware.cpp and flash_programmer.cpp hold the two
// programs it can run.
//
// Environment contract: every call into the model, and every callback that the
// model schedules with MicomEnv::at(), runs on one thread at a time; at() never
// runs its callback before returning.  The environment must outlive the model.
//
// Normal firmware (primary link, 8N1)
//   - Host frames AA 20 <code/len> [len] payload XOR are checked (XOR of every
//     byte after 0xAA); bad frames are ignored, good ones are recorded (frames()).
//     A byte with a framing error, or a pause of more than frame_gap_timeout
//     inside a frame, abandons the frame.  A frame whose code/len byte has a low
//     nibble of 0 is taken as a frame without payload when the next byte is its
//     checksum, else as the long form with a length of 16..32.
//   - CMD_BOOTINFO (0A 0A) is answered after answer_delay with AA DF A8 <wake-up
//     time, status> XOR: the status is wake_up_status when the box was switched
//     on by the wake-up time, else 0; the time is the stored wake-up time, or
//     zeros when there is none.  CMD_GET_TIME (0D 0D) is answered with
//     AA DF D8 <clock record> XOR whose last byte is the flags byte of the last
//     set-clock record (0 until the clock is set).  set_silent() suppresses
//     both answers.  Answers are computed when they are sent.
//   - CMD_SET_TIME sets the clock from its record (century from bit 6 of the
//     hour byte); a record that is not a valid date is ignored.
//   - CMD_CONTROL: 00 xx records LED code xx; 0C 00 switches the box off;
//     0C 01 + 7 record bytes switches it off and on again at that time (only
//     a time still ahead of the clock does that; a record that is no date
//     stores nothing); 55 00 switches the box off and, after reboot_off_time,
//     on again; 0F 00 hands over to the flash programmer at once.
//   - switch_box_on() (someone switches the box on by hand) powers a box that
//     is off at once, superseding a wake-up or reboot under way.
//   - CMD_CLOCK (03 03) switches the clock display on.
//   - Keys: press events, repeats every key_repeat_interval while held, then the
//     release with the key pair swapped.  Presses queue up behind a key still
//     held (press_key_now lets the held key go at once instead).  While the
//     box is off, the power key (remote key power_key, or the front power key)
//     switches it on, as after a plain switch-on (boot-information status 0)
//     and any other press is dropped; while the normal firmware is not running
//     every press is dropped.  A held key whose box goes off is dropped with
//     its release.
//   - After a power-up or reset release it sends nothing until asked.
//
// Flash programmer (ISP link, 8E1): see flash_programmer.cpp.  Bytes received
// with a parity or framing error are ignored, in every mode.
//
// Pins and power
//   - Until the SoC drives them: PowerN low, Reset high, IspClock low,
//     Clock8MhzN high, IspEnableN high: the normal firmware runs and the box is on.
//   - PowerN high: the micom is off (its real-time clock and flash keep their
//     contents; its wake-up time, display state and everything under way are
//     lost).  PowerN low: it powers up in reset (Reset low) or runs its normal
//     firmware (Reset high).  power_loss() cuts the supply until the SoC
//     switches PowerN high and low again, or power_restore() gives it back.
//   - Entry into the flash programmer: powered while held in reset, exactly one
//     low pulse on IspClock, then a byte whose start bit begins after that pulse
//     and before reset release (the host's sync 0xAA; a byte usually ends after
//     the release, so its start time decides), then reset release.  The
//     programmer starts programmer_start_time after the release, and only if
//     the 8 MHz reference is present then; it answers the sync with 0xAA at
//     once.  Without the reference it is Halted and silent until power is
//     removed.  Any other sequence ends in the normal firmware.
//     The sync is answered at start, before the clock enable goes low: one
//     build of the programmer asks for the sync result only 20 µs after
//     enabling the clock, which is too short for a programmer that waited for
//     it.  From then on flash commands are carried out only while the clock
//     reaches the micom (Clock8MhzN low and the reference present); bytes that
//     arrive without it are ignored (no echo, no status).
//   - After the hand-over frame the programmer runs on the micom's own clock,
//     without the 8 MHz reference and whatever the pins say.
//   - Reset low at any time holds the micom in reset: everything under way stops.
#include "micom_model.h"

#include <algorithm>

#include "clock_record.h"
#include "flash_programmer.h"
#include "normal_firmware.h"
#include "timers.h"

namespace micom {

using detail::FlashProgrammer;
using detail::NormalFirmware;
using detail::RealTimeClock;
using detail::Timers;

struct MicomModel::Impl {
    Impl(MicomEnv& e, MicomConfig c) : env(e), cfg(c), rtc(e), fw(e, cfg, rtc), prog(e, cfg), entry(e) {
        fw.on_handover = [this] { hand_over(); };
        pins.fill(false);
        pins[idx(Pin::Reset)] = true;
        pins[idx(Pin::Clock8MhzN)] = true;
        pins[idx(Pin::IspEnableN)] = true;
        fw.start();
    }

    static size_t idx(Pin p) { return static_cast<size_t>(p); }
    bool level(Pin p) const { return pins[idx(p)]; }

    void set_pin(Pin p, bool lvl);
    void receive_isp(uint8_t b, Nanos start, bool ok);
    void power_off();
    void power_up();
    void enter_reset();
    void release_reset();
    void start_pin_programmer();
    void start_normal();
    void hand_over();
    void stop_all();
    bool programmer_clocked() const {
        return !pin_programmer || (!level(Pin::Clock8MhzN) && reference);
    }

    MicomEnv& env;
    MicomConfig cfg;
    RealTimeClock rtc;
    NormalFirmware fw;
    FlashProgrammer prog;
    Timers entry;  ///< programmer start or fall-back after reset release

    std::array<bool, 8> pins{};
    bool reference = false;
    bool power_lost = false;
    Mode mode = Mode::Normal;
    bool pin_programmer = false;  ///< the running programmer was entered through the pins

    // entry sequence, counted while powered and held in reset
    int isp_pulses = 0;
    bool isp_clock_fell = false;
    Nanos pulse_end = 0;
    bool selecting = false;  ///< reset released after one pulse, sync byte not decided yet
    Nanos release_at = 0;
    bool sync_seen = false;
    uint8_t sync_byte = 0;
};

void MicomModel::Impl::stop_all() {
    fw.stop();
    prog.stop();
    entry.cancel_all();
    selecting = false;
    pin_programmer = false;
}

void MicomModel::Impl::set_pin(Pin p, bool lvl) {
    const bool old = level(p);
    pins[idx(p)] = lvl;
    switch (p) {
    case Pin::PowerN:
        if (lvl) {
            power_lost = false;
            if (mode != Mode::Off) power_off();
        } else if (mode == Mode::Off && !power_lost) {
            power_up();
        }
        break;
    case Pin::Reset:
        if (mode == Mode::Off || old == lvl) break;
        if (!lvl)
            enter_reset();
        else if (mode == Mode::Reset && !selecting)
            release_reset();
        break;
    case Pin::IspClock:
        if (mode != Mode::Reset || selecting || old == lvl) break;
        if (!lvl) {
            isp_clock_fell = true;
        } else if (isp_clock_fell) {
            isp_clock_fell = false;
            ++isp_pulses;
            pulse_end = env.now();
            sync_seen = false;  // only a byte after the last pulse counts
        }
        break;
    case Pin::Clock8MhzN:
    case Pin::IspEnableN:
        break;  // looked at when used
    }
}

void MicomModel::Impl::power_off() {
    stop_all();
    fw.power_lost();
    mode = Mode::Off;
}

void MicomModel::Impl::power_up() {
    if (level(Pin::Reset))
        start_normal();
    else
        enter_reset();
}

void MicomModel::Impl::enter_reset() {
    stop_all();
    mode = Mode::Reset;
    isp_pulses = 0;
    isp_clock_fell = false;
    sync_seen = false;
}

void MicomModel::Impl::release_reset() {
    if (isp_pulses != 1) return start_normal();
    selecting = true;
    release_at = env.now();
    if (sync_seen) {
        entry.at(release_at + cfg.programmer_start_time, [this] { start_pin_programmer(); });
    } else {
        // A sync byte whose start bit began before the release is complete
        // one character time later at the latest.
        const Nanos last = std::max(cfg.programmer_start_time, env.char_time(Link::Isp));
        entry.at(release_at + last + 1, [this] { start_normal(); });
    }
}

void MicomModel::Impl::start_pin_programmer() {
    selecting = false;
    if (!reference) {
        mode = Mode::Halted;
        return;
    }
    mode = Mode::Programmer;
    pin_programmer = true;
    prog.start(sync_byte == 0xAA);
}

void MicomModel::Impl::start_normal() {
    stop_all();
    mode = Mode::Normal;
    fw.start();
}

void MicomModel::Impl::hand_over() {
    fw.stop();
    mode = Mode::Programmer;
    pin_programmer = false;
    prog.start(false);
}

void MicomModel::Impl::receive_isp(uint8_t b, Nanos start, bool ok) {
    if (!ok) return;
    switch (mode) {
    case Mode::Programmer:
        if (programmer_clocked()) prog.receive(b);
        break;
    case Mode::Reset:
        if (isp_pulses != 1 || start < pulse_end) break;
        if (!selecting) {
            sync_seen = true;
            sync_byte = b;
        } else if (start < release_at && !sync_seen) {
            sync_seen = true;
            sync_byte = b;
            entry.cancel_all();
            entry.at(std::max(env.now(), release_at + cfg.programmer_start_time),
                     [this] { start_pin_programmer(); });
        }
        break;
    default:
        break;  // the normal firmware does not listen on the ISP link
    }
}

// ---- MicomModel ----

MicomModel::MicomModel(MicomEnv& env, MicomConfig cfg) : impl_(std::make_unique<Impl>(env, cfg)) {}
MicomModel::~MicomModel() = default;

void MicomModel::receive(Link link, uint8_t byte, Nanos start, bool framing_ok) {
    if (link == Link::Isp)
        impl_->receive_isp(byte, start, framing_ok);
    else if (impl_->mode == Mode::Normal)
        impl_->fw.receive(byte, start, framing_ok);
}

void MicomModel::set_pin(Pin pin, bool level) { impl_->set_pin(pin, level); }
void MicomModel::set_clock_reference(bool present) { impl_->reference = present; }

void MicomModel::set_time(const DateTime& t) {
    impl_->rtc.set(t);
    impl_->fw.rtc_changed();
}
DateTime MicomModel::time() const { return impl_->rtc.now(); }

void MicomModel::press_key(uint8_t key, Nanos hold, uint8_t address) { impl_->fw.press_key(key, hold, address); }
void MicomModel::press_key_now(uint8_t key, Nanos hold, uint8_t address) {
    impl_->fw.press_key_now(key, hold, address);
}
void MicomModel::press_front_power() { impl_->fw.press_front_power(); }
bool MicomModel::switch_box_on() { return impl_->mode == Mode::Normal && impl_->fw.switch_box_on(); }
void MicomModel::send_time_answer() { impl_->fw.send_time_answer(); }

Mode MicomModel::mode() const { return impl_->mode; }
const std::vector<HostFrame>& MicomModel::frames() const { return impl_->fw.frames(); }
void MicomModel::clear_frames() { impl_->fw.clear_frames(); }
std::vector<uint8_t> MicomModel::led_codes() const { return impl_->fw.led_codes(); }
bool MicomModel::clock_display() const { return impl_->fw.clock_display(); }
bool MicomModel::wake_up_stored() const { return impl_->fw.wake_up_stored(); }
DateTime MicomModel::wake_up_time() const { return impl_->fw.wake_up_time(); }
const std::array<uint8_t, 8192>& MicomModel::flash() const { return impl_->prog.flash(); }
void MicomModel::set_flash(const std::array<uint8_t, 8192>& content) { impl_->prog.set_flash(content); }
uint16_t MicomModel::flash_checksum() const { return micom::flash_checksum(flash().data(), flash().size()); }
bool MicomModel::key_active() const { return impl_->fw.key_active(); }
bool MicomModel::box_power() const { return impl_->fw.box_power(); }
bool MicomModel::pin(Pin pin) const { return impl_->level(pin); }

void MicomModel::set_silent(bool silent) { impl_->fw.silent = silent; }
void MicomModel::set_nak(IspStep step, bool nak) { impl_->prog.set_nak(step, nak); }

void MicomModel::power_loss() {
    if (impl_->level(Pin::PowerN)) return;  // switched off already: nothing to lose
    if (impl_->mode != Mode::Off) impl_->power_off();
    impl_->power_lost = true;
}

void MicomModel::power_restore() {
    if (!impl_->power_lost) return;
    impl_->power_lost = false;
    if (!impl_->level(Pin::PowerN) && impl_->mode == Mode::Off) impl_->power_up();
}

}  // namespace micom
