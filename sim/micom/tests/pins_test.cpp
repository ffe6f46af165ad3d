// SPDX-License-Identifier: MIT
// Entry into the flash programmer through the pins, the clock it needs, and
// the way back to the normal firmware, with the timings the programmer uses.
#include <gtest/gtest.h>

#include "fake_env.h"

namespace micom::test {
namespace {

constexpr Link P = Link::Primary;
constexpr Link I = Link::Isp;

struct Entry {
    int pulses = 1;
    bool sync = true;
    bool sync_before_pulse = false;
    bool sync_after_release = false;
    bool sync_framing_ok = true;
    bool build_a = false;  ///< drives the ISP enable pin too
    Nanos sync_to_release = 10 * kUs;
};

class Pins : public ::testing::Test {
protected:
    FakeEnv env;
    MicomConfig cfg;
    MicomModel m{env, cfg};
    Nanos release_at = 0;
    Nanos clock_on_at = 0;

    void sync() { env.host_send(m, I, {0xAA}, 0, true); }

    // The entry sequence with the programmer's waits.
    void enter(const Entry& e = {}) {
        if (e.build_a) m.set_pin(Pin::IspEnableN, false);
        m.set_pin(Pin::IspClock, true);
        m.set_pin(Pin::Clock8MhzN, true);
        m.set_pin(Pin::PowerN, true);
        m.set_pin(Pin::Reset, false);
        env.run_for(1 * kSec);
        m.set_pin(Pin::PowerN, false);
        env.run_for(20 * kMs);
        if (e.sync_before_pulse) sync();
        for (int i = 0; i < e.pulses; ++i) {
            m.set_pin(Pin::IspClock, false);
            env.run_for(10 * kUs);
            m.set_pin(Pin::IspClock, true);
            env.run_for(10 * kUs);
        }
        if (e.sync && !e.sync_after_release) env.host_send(m, I, {0xAA}, 0, e.sync_framing_ok);
        env.run_for(e.sync_to_release);
        m.set_pin(Pin::Reset, true);
        release_at = env.now();
        if (e.sync_after_release) sync();
        env.run_for(5 * kMs);
        m.set_pin(Pin::Clock8MhzN, false);
        clock_on_at = env.now();
        env.run_for(20 * kUs);
    }

    void exit_sequence(bool build_a = false) {
        env.run_for(2 * kSec);
        m.set_pin(Pin::Clock8MhzN, true);
        m.set_pin(Pin::Reset, false);
        env.run_for(10 * kMs);
        m.set_pin(Pin::IspClock, false);
        m.set_pin(Pin::PowerN, true);
        env.run_for(1 * kMs);
        m.set_pin(Pin::Reset, true);
        env.run_for(1 * kMs);
        m.set_pin(Pin::PowerN, false);
        env.run_for(1 * kMs);
        if (build_a) m.set_pin(Pin::IspEnableN, true);
    }

    std::vector<uint8_t> isp(const std::vector<uint8_t>& bytes) {
        const size_t before = env.count(I);
        env.host_send(m, I, bytes);
        env.run_for(10 * kMs);
        return env.bytes(I, before);
    }
    std::vector<uint8_t> boot_info() {
        const size_t before = env.count(P);
        env.host_send(m, P, host_frame(0xA, {0x0A, 0x0A}));
        env.run_for(10 * kMs);
        return env.bytes(P, before);
    }
};

TEST_F(Pins, DefaultLevelsRunTheNormalFirmware) {
    EXPECT_EQ(m.mode(), Mode::Normal);
    EXPECT_FALSE(m.pin(Pin::PowerN));
    EXPECT_TRUE(m.pin(Pin::Reset));
    EXPECT_FALSE(m.pin(Pin::IspClock));
    EXPECT_TRUE(m.pin(Pin::Clock8MhzN));
    EXPECT_TRUE(m.pin(Pin::IspEnableN));
    EXPECT_TRUE(m.box_power());
    EXPECT_EQ(boot_info().size(), 12u);
}

TEST_F(Pins, EntryAnswersTheSyncAtStartBeforeTheClockIsEnabled) {
    m.set_clock_reference(true);
    enter();
    EXPECT_EQ(m.mode(), Mode::Programmer);
    const auto out = env.sent_on(I);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].byte, 0xAA);
    EXPECT_EQ(out[0].start, release_at + cfg.programmer_start_time);
    EXPECT_LT(out[0].end, clock_on_at);  // the host may ask for the result 20 µs after the clock enable

    EXPECT_EQ(isp({0xB0, 0x1F, 0x00, 0xFF}).at(4), 0x06);
    // The normal firmware is gone: frames on the primary link get nothing.
    EXPECT_TRUE(boot_info().empty());
}

TEST_F(Pins, SyncCompleteBeforeReleaseOrEndingLateOnASlowLink) {
    m.set_clock_reference(true);
    enter({.sync_to_release = 500 * kUs});  // the whole byte arrived while in reset
    ASSERT_EQ(m.mode(), Mode::Programmer);
    ASSERT_EQ(env.count(I), 1u);
    EXPECT_EQ(env.sent_on(I)[0].start, release_at + cfg.programmer_start_time);

    // At 9600 bit/s the sync ends long after the programmer's start time:
    // it is answered as soon as it is complete.
    FakeEnv slow;
    slow.isp_char_time = 1'145'834;
    MicomModel m2{slow, cfg};
    m2.set_clock_reference(true);
    m2.set_pin(Pin::IspClock, true);
    m2.set_pin(Pin::PowerN, true);
    m2.set_pin(Pin::Reset, false);
    m2.set_pin(Pin::PowerN, false);
    m2.set_pin(Pin::IspClock, false);
    slow.run_for(10 * kUs);
    m2.set_pin(Pin::IspClock, true);
    slow.run_for(10 * kUs);
    slow.host_send(m2, I, {0xAA});
    const Nanos sync_end = slow.now() + slow.isp_char_time;
    slow.run_for(10 * kUs);
    m2.set_pin(Pin::Reset, true);
    EXPECT_EQ(m2.mode(), Mode::Reset);
    slow.run_for(5 * kMs);
    EXPECT_EQ(m2.mode(), Mode::Programmer);
    ASSERT_EQ(slow.count(I), 1u);
    EXPECT_EQ(slow.sent_on(I)[0].start, sync_end);
}

TEST_F(Pins, FlashCommandsNeedTheClock) {
    m.set_clock_reference(true);
    Entry e;
    enter(e);
    m.set_pin(Pin::Clock8MhzN, true);  // clock enable off
    EXPECT_TRUE(isp({0xB0, 0x1F, 0x00, 0xFF}).empty());
    m.set_pin(Pin::Clock8MhzN, false);
    m.set_clock_reference(false);  // divider no longer routed
    EXPECT_TRUE(isp({0xB0, 0x1F, 0x00, 0xFF}).empty());
    m.set_clock_reference(true);
    EXPECT_EQ(isp({0xB0, 0x1F, 0x00, 0xFF}).size(), 7u);  // nothing half-received was kept
}

TEST_F(Pins, WithoutTheReferenceTheMicomStaysSilent) {
    enter();
    EXPECT_EQ(m.mode(), Mode::Halted);
    EXPECT_EQ(env.count(I), 0u);
    m.set_clock_reference(true);  // too late: it did not start
    EXPECT_TRUE(isp({0xAA}).empty());
    EXPECT_TRUE(isp({0xB0, 0x1F, 0x00, 0xFF}).empty());
    EXPECT_TRUE(boot_info().empty());
    exit_sequence();
    EXPECT_EQ(m.mode(), Mode::Normal);
    EXPECT_EQ(boot_info().size(), 12u);
}

TEST_F(Pins, WrongSequencesEndInTheNormalFirmware) {
    m.set_clock_reference(true);
    const Entry wrong[] = {
        {.pulses = 0},
        {.pulses = 2},
        {.sync = false},
        {.sync = false, .sync_before_pulse = true},
        {.sync = false, .sync_after_release = true},
        {.sync_framing_ok = false},
    };
    for (const Entry& e : wrong) {
        SCOPED_TRACE(testing::Message() << "pulses " << e.pulses << " sync " << e.sync << " before "
                                        << e.sync_before_pulse << " after " << e.sync_after_release
                                        << " ok " << e.sync_framing_ok);
        const size_t before = env.count(I);
        enter(e);
        EXPECT_EQ(m.mode(), Mode::Normal);
        EXPECT_TRUE(isp({0xAA}).empty());
        EXPECT_EQ(env.count(I), before);
        EXPECT_EQ(boot_info().size(), 12u);
    }
}

TEST_F(Pins, ExitSequenceReturnsToTheNormalFirmware) {
    m.set_clock_reference(true);
    enter();
    ASSERT_EQ(m.mode(), Mode::Programmer);
    exit_sequence();
    EXPECT_EQ(m.mode(), Mode::Normal);
    const size_t sent = env.count(P);
    env.run_for(1 * kSec);
    EXPECT_EQ(env.count(P), sent);  // sends nothing until asked
    EXPECT_EQ(boot_info().size(), 12u);
    EXPECT_TRUE(isp({0xAA}).empty());
    m.press_key(0x49, 0);
    env.run_for(10 * kMs);
    EXPECT_EQ(env.count(P), sent + 12 + 18);
}

TEST_F(Pins, HandOverThenPinEntryAsBuildADoesIt) {
    m.set_clock_reference(true);
    env.host_send(m, P, {0xAA, 0x20, 0x42, 0x0F, 0x00, 0x6D});
    env.run_for(10 * kMs);
    ASSERT_EQ(m.mode(), Mode::Programmer);
    enter({.build_a = true});
    EXPECT_EQ(m.mode(), Mode::Programmer);
    EXPECT_EQ(env.bytes(I), (std::vector<uint8_t>{0xAA}));
    env.run_for(6 * kSec);
    EXPECT_EQ(isp({0x30, 0x1F, 0x00, 0xFF}).size(), 5u);
    exit_sequence(true);
    EXPECT_EQ(m.mode(), Mode::Normal);
}

TEST_F(Pins, PowerLossWhileSwitchedOffChangesNothing) {
    m.set_pin(Pin::PowerN, true);
    m.power_loss();
    m.set_pin(Pin::PowerN, false);
    EXPECT_EQ(m.mode(), Mode::Normal);
    m.power_loss();
    EXPECT_EQ(m.mode(), Mode::Off);
    EXPECT_TRUE(boot_info().empty());
}

TEST_F(Pins, ResetHoldsTheFirmwareAndDropsWhatItHadToSend) {
    m.press_key(0x49, 1 * kSec);
    env.host_send(m, P, host_frame(0xD, {0x0D, 0x0D}));
    env.run_for(6 * env.char_time(P));  // request received, answer not yet sent
    const size_t sent = env.count(P);
    m.set_pin(Pin::Reset, false);
    EXPECT_EQ(m.mode(), Mode::Reset);
    EXPECT_FALSE(m.key_active());
    env.run_for(2 * kSec);
    EXPECT_EQ(env.count(P), sent);
    EXPECT_TRUE(boot_info().empty());  // held in reset
    m.set_pin(Pin::Reset, true);
    EXPECT_EQ(m.mode(), Mode::Normal);
    EXPECT_EQ(boot_info().size(), 12u);
}

}  // namespace
}  // namespace micom::test
